#!/usr/bin/env python3
"""End-to-end tests of the tavro tool beside other programs and boxes: a box one program
holds, the devices listed, the tavro-box program itself and a box of an earlier version.

Usage: e2e_programs_test.py --box PATH --tool PATH [unittest arguments, e.g. a test class name]

The box and the tests' base are those of e2e_test.py.
"""

import json
import os
import pty
import select
import signal
import subprocess
import sys
import time
import unittest

import e2e_test as e2e
from e2e_test import (Box, DEADLINE, ToolTest, end_if_running, finish, noise, packet,
                      read_line, wave_header)


IN_USE = "the box is in use by another program"


EXIT_IN_USE = 9


class OneProgram(ToolTest):
    """A box belongs to one program at a time: a second one is refused, never takes it over."""
    box_args = ()

    def assertInUse(self, result, holder=None):
        self.assertRun(result, EXIT_IN_USE)
        self.assertIn("tavro: " + IN_USE, result.stderr)
        if holder is not None:  # the box says which program holds it
            self.assertIn("%s: process %d (tavro)" % (IN_USE, holder.pid), result.stderr)

    def stop_watch(self, proc):
        proc.send_signal(signal.SIGINT)
        code, out, err = finish(proc)
        self.assertEqual(code, 0, err)
        return [json.loads(line) for line in out.splitlines()]

    def test_a_recording_is_not_cut_by_a_second_program(self):
        proc = self.start_tool("record", "call.wav", "--seconds", "3", "--quiet")
        self.box.wait_for(r"^audio in: streaming")
        self.assertInUse(self.tool("--wait", "0.5", "status"), holder=proc)
        self.assertInUse(self.tool("--wait", "0.5", "pickup"))
        code, out, err = finish(proc)
        self.assertEqual(code, 0, err)
        data, h = wave_header(self.path("call.wav"))
        self.assertGreaterEqual(h["data_size"], 20000)  # 3 s at 8000 bytes a second, nearly
        with self.box.cond:
            lines = list(self.box.lines)
        self.assertFalse([l for l in lines if "replaces the previous one" in l], lines)
        self.assertTrue([l for l in lines if l.startswith("refused ")], lines)

    def test_two_watchers_leave_each_other_alone(self):
        first = self.start_tool("watch", "--json")
        self.assertEqual(json.loads(read_line(first))["state"], "up")
        second = self.tool("watch")
        self.assertInUse(second, holder=first)
        self.assertEqual(second.stdout, "")
        self.box.send("dtmf 5")
        self.assertEqual(json.loads(read_line(first))["event"], "dtmf")
        events = self.stop_watch(first)
        self.assertEqual([e for e in events if e["event"] == "link"], [])

    def test_the_holder_reconnects_and_the_box_is_free_once_it_ends(self):
        proc = self.start_tool("watch", "--json")
        self.assertEqual(json.loads(read_line(proc))["state"], "up")
        self.box.send("drop")
        self.assertEqual(json.loads(read_line(proc))["state"], "lost")
        self.assertEqual(json.loads(read_line(proc))["state"], "back")
        self.assertInUse(self.tool("--wait", "0.5", "status"))
        mark = self.box.mark()
        self.stop_watch(proc)
        # The hold ends with the program, without waiting for its grace time.
        self.box.wait_for(r"^released by process \d+: the process has ended", since=mark)
        self.assertRun(self.tool("--wait", "0.5", "status"))


class Devices(ToolTest):
    """The device list: every box with whether it opens, without starting the library."""
    box_args = None

    def listing(self, code=0):
        r = self.tool("devices", "--json", env=dict(self.env, TAVRO_BACKENDS="wire"))
        self.assertRun(r, code)
        return [(d["description"], d["state"], d["reason"]) for d in json.loads(r.stdout)["devices"]]

    def test_no_box_one_two_a_busy_one_and_one_that_fails(self):
        self.assertEqual(self.listing(3), [])
        r = self.tool("devices", env=dict(self.env, TAVRO_BACKENDS="wire,serial"))
        self.assertRun(r, 3)
        self.assertEqual(r.stdout, "no devices on wire\nnote: TAVRO_BACKENDS: no backend serial\n")

        first = Box(self.runtime)
        self.addCleanup(first.stop)
        self.assertEqual(self.listing(), [("virtual wire box box0", "opens", None)])
        r = self.tool("devices", env=dict(self.env, TAVRO_BACKENDS="wire"))
        self.assertRun(r)
        self.assertEqual(r.stdout, "wire  %s/tavro/{77F49321-16EF-11D2-AD51-006097B514DD}/box0"
                         "  (virtual wire box box0)  opens\n" % self.runtime)

        second = Box(self.runtime, "--name", "box1")
        self.addCleanup(second.stop)
        second.send("probefails on")
        second.sync()
        self.assertEqual(self.listing(), [
            ("virtual wire box box0", "opens", None),
            ("virtual wire box box1", "fails", "does not answer the device probe")])

        # The listing took nothing from the holder: its watch goes on.
        watch = self.start_tool("watch", "--json")
        self.assertEqual(json.loads(read_line(watch))["state"], "up")
        self.assertEqual(self.listing(EXIT_IN_USE), [
            ("virtual wire box box0", "busy",
             "another program holds it: process %d (tavro)" % watch.pid),
            ("virtual wire box box1", "fails", "does not answer the device probe")])
        first.send("dtmf 5")
        self.assertEqual(json.loads(read_line(watch))["event"], "dtmf")
        watch.send_signal(signal.SIGINT)
        code, out, err = finish(watch)
        self.assertEqual(code, 0, err)
        self.assertNotIn("lost", out)


class BoxProgram(ToolTest):
    """tavro-box itself: its version, the files it reads, its prompt and its quiet lines."""
    box_args = None

    def test_version_and_line_files_that_are_refused_before_publishing(self):
        r = subprocess.run([e2e.BOX, "--version"], capture_output=True, text=True, timeout=DEADLINE)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertRegex(r.stdout, r"^tavro-box \d+\.\d+\.\d+")
        os.mkfifo(self.path("fifo"))
        with open(self.path("huge.wav"), "wb") as f:
            f.truncate(65 << 20)  # sparse
        for name, said in (("/dev/zero", "not a regular file"), ("fifo", "not a regular file"),
                           ("huge.wav", "larger than 64 MiB")):
            with self.subTest(file=name):
                r = subprocess.run([e2e.BOX, "--runtime-dir", self.runtime, "--line", name],
                                   capture_output=True, text=True, cwd=self.cwd, timeout=10)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn(said, r.stderr)
                self.assertNotIn("device ", r.stdout)  # never published

    def test_a_prompt_on_a_terminal_and_no_line_per_transfer_setup(self):
        master, slave = pty.openpty()
        proc = subprocess.Popen([e2e.BOX, "--interactive", "--runtime-dir", self.runtime],
                                stdin=slave, stdout=slave, stderr=subprocess.DEVNULL, env=self.env)
        os.close(slave)
        self.addCleanup(end_if_running, proc)
        self.addCleanup(os.close, master)
        seen = b""
        deadline = time.monotonic() + DEADLINE
        while b"box> " not in seen and time.monotonic() < deadline:
            if select.select([master], [], [], 1)[0]:
                seen += os.read(master, 4096)
        self.assertIn(b"box> ", seen)
        os.write(master, b"quit\r")
        self.assertEqual(proc.wait(timeout=DEADLINE), 0)

        box = Box(self.runtime)
        self.addCleanup(box.stop)
        with open(self.path("a.al"), "wb") as f:
            f.write(noise(8000))  # one second: some 16 transfer setups
        self.assertRun(self.tool("play", "a.al", "--raw", "--quiet"))
        box.sync()
        with box.cond:
            self.assertFalse([l for l in box.lines if "transfer setup" in l], box.lines)


class EarlierBox(ToolTest):
    """A box of the earlier wire, which knows no claims, is used as before."""
    box_args = ("--no-claims",)

    def test_a_box_without_claims_still_works(self):
        mark = self.box.mark()
        self.assertRun(self.tool("pickup"))
        self.assertRun(self.tool("status"))
        self.assertEqual(self.box.commands(mark)[0], packet(4))
        self.box.wait_for(r"^control: unknown code 0x0022000c, failed", since=mark)


if __name__ == "__main__":
    e2e.run(sys.argv)
