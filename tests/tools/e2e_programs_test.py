#!/usr/bin/env python3
"""End-to-end tests of the tavro tool beside other programs and boxes: a box one program
holds, the devices listed, the tavro-box program itself and a box of an earlier version.

Usage: e2e_programs_test.py --box PATH --tool PATH [unittest arguments, e.g. a test class name]

The box and the tests' base are those of e2e_test.py.
"""

import json
import os
import pty
import queue
import re
import select
import signal
import subprocess
import sys
import threading
import time
import unittest

import e2e_test as e2e
from e2e_test import (Box, DEADLINE, ToolTest, caller_id_record, end_if_running, finish,
                      noise, packet, read_line, wave_header)


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


def line_reader(proc):
    """The next line of a running tool's output, for lines that may come several at once
    (read by a thread: a select on the pipe misses lines already buffered); and the thread."""
    lines = queue.Queue()
    reader = threading.Thread(target=lambda: [lines.put(l.rstrip("\n")) for l in proc.stdout],
                              daemon=True)
    reader.start()
    return (lambda: lines.get(timeout=DEADLINE)), reader


class SeveralBoxes(ToolTest):
    """Two boxes: --device picks one of them, watch --all reports on both."""
    box_args = ()

    def setUp(self):
        super().setUp()
        self.second = Box(self.runtime, "--name", "box1")
        self.addCleanup(self.second.stop)
        self.second.send("type 66")  # told apart from the first box's 0x35
        self.second.sync()
        self.folder = os.path.join(self.runtime, "tavro", "{77F49321-16EF-11D2-AD51-006097B514DD}")
        self.paths = [os.path.join(self.folder, name) for name in ("box0", "box1")]

    def test_device_picks_the_box_and_names_it_when_it_cannot(self):
        for path, box, other, code in ((self.paths[0], self.box, self.second, 0x35),
                                       (self.paths[1], self.second, self.box, 66)):
            with self.subTest(path=path):
                r = self.tool("--device", path, "info", "--json")
                self.assertRun(r)
                self.assertEqual(json.loads(r.stdout)["type"], code)
                marks = box.mark(), other.mark()
                self.assertRun(self.tool("--device", path, "pickup"))
                box.sync()
                other.sync()
                self.assertEqual(box.commands(marks[0]), [packet(4)])
                self.assertEqual(other.commands(marks[1]), [])
        # The console too.
        r = subprocess.run([e2e.TOOL, "--device", self.paths[1], "console"], input="info\n",
                           capture_output=True, text=True, env=self.env, timeout=DEADLINE)
        self.assertRun(r)
        self.assertIn("device type: 0x42", r.stdout)
        missing = os.path.join(self.folder, "box9")
        r = self.tool("--device", missing, "status")
        self.assertRun(r, 3)
        self.assertIn("no box: there is no box at " + missing, r.stderr)
        self.assertRun(self.tool("--device", "box1", "status"), 2)
        # A box that another program holds is refused by name; the other box is free.
        holder = self.start_tool("--device", self.paths[1], "watch")
        next_line, _ = line_reader(holder)
        while not next_line().endswith(" link up"):  # the line is off hook: said first
            pass
        r = self.tool("--wait", "0.5", "--device", self.paths[1], "pickup")
        self.assertRun(r, EXIT_IN_USE)
        self.assertIn("the box %s is in use by another program: process %d (tavro)"
                      % (self.paths[1], holder.pid), r.stderr)
        self.assertRun(self.tool("--wait", "0.5", "--device", self.paths[0], "pickup"))

    def test_watch_all_reports_every_box_with_its_path(self):
        proc = self.start_tool("watch", "--all", "--json")
        take = lambda: json.loads(next_line())
        next_line, reader = line_reader(proc)
        ups = [take() for _ in self.paths]
        self.assertEqual(sorted((e["device"], e["event"], e["state"]) for e in ups),
                         [(p, "link", "up") for p in self.paths])
        self.box.send("dtmf 5")
        self.second.send(caller_id_record("5551234"))
        events = sorted((e["device"], e["event"]) for e in (take() for _ in self.paths))
        self.assertEqual(events, [(self.paths[0], "dtmf"), (self.paths[1], "call")])
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=DEADLINE), 0, proc.stderr.read())
        reader.join(DEADLINE)
        # A box that another program holds is left out, said so; the others are watched.
        holder = self.start_tool("--device", self.paths[0], "watch")
        self.assertIn(" link up", read_line(holder))
        r = self.tool("watch", "--all", "--events", "1")
        self.assertRun(r)
        self.assertRegex(r.stdout, r"^\d\d:\d\d:\d\d\.\d{3} %s link up\n$" % re.escape(self.paths[1]))
        self.assertIn("the box %s is in use by another program: process %d (tavro); it is not "
                      "watched" % (self.paths[0], holder.pid), r.stderr)


if __name__ == "__main__":
    e2e.run(sys.argv)
