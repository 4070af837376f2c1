#!/usr/bin/env python3
"""End-to-end tests of tavrod: tavro-box processes, tavrod sharing them, and several tavro
tools at once, each in a fresh XDG_RUNTIME_DIR.

Usage: tavrod_test.py --box PATH --tool PATH --daemon PATH [unittest arguments]
"""
import json
import os
import pty
import re
import select
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import e2e_test as e2e  # noqa: E402  the box, the output reader and the entry point
from e2e_test import DEADLINE, Lines, read_line  # noqa: E402

DAEMON = None
USB_BOX = None  # tavro-usb-box, where the build has the USB emulation
CLASS = "{77F49321-16EF-11D2-AD51-006097B514DD}"


def box(runtime, name):
    return e2e.Box(runtime, "--name", name)


class UsbBox(e2e.Box):
    """A virtual box shown as an emulated USB device by a tavro-usb-box process, which takes
    tavro-box's verbs. Its wire socket is in a folder of its own: the programs under test
    reach it over USB only, in the environment it names (`usb_env`)."""

    def __init__(self, tmp, name):
        runtime = os.path.join(tmp, "usb-box-run")
        os.makedirs(runtime, 0o700, exist_ok=True)
        e2e.Lines.__init__(self, [USB_BOX, "--runtime-dir", runtime, "--name", name],
                           dict(os.environ), stdin=subprocess.PIPE)
        line = self.wait_for(r"^usb (.*)$").group(1)
        self.usb_env = dict(pair.split("=", 1) for pair in line.split())
        self.wait_for(r"^device ")


def audio_of(path):
    """The data chunk of a wave file."""
    with open(path, "rb") as f:
        data = f.read()
    at = data.find(b"data")
    return data[at + 8:] if at >= 0 else b""


class DaemonTest(e2e.ToolTest):
    box_args = None  # the boxes are this test's own
    boxes = ("box0",)

    def start_box(self, name):
        return box(self.runtime, name)

    def daemon_env(self):
        return self.env

    def holding(self, name):
        """What tavrod says when it holds the box `name`; group 1 the shared box's name."""
        return r"holding wire .*/%s .* as .*/(\+%s)$" % (name, name)

    def setUp(self):
        super().setUp()
        self.env["TAVRO_BACKENDS"] = "wire"
        self.box = {}
        for name in self.boxes:
            self.box[name] = self.start_box(name)
            self.addCleanup(self.box[name].stop)
        self.daemon = Lines([DAEMON], self.daemon_env(), stream="stderr")
        self.addCleanup(self.daemon.end)
        self.shared = {}
        for name in self.boxes:
            self.shared[name] = re.escape(self.daemon.wait_for(self.holding(name)).group(1))

    def tearDown(self):
        self.doCleanups()
        self.box = None
        super().tearDown()

    def wait_recording(self, name, size=4000):
        end = time.monotonic() + DEADLINE
        while len(audio_of(self.path(name))) < size if os.path.exists(self.path(name)) else True:
            self.assertLess(time.monotonic(), end, "%s never grew" % name)
            time.sleep(0.05)


def watch_until(proc, kind, timeout=DEADLINE):
    end = time.monotonic() + timeout
    seen = []
    while time.monotonic() < end:
        try:
            event = json.loads(read_line(proc, timeout=end - time.monotonic()))
        except AssertionError as e:
            raise AssertionError("%s; saw %s" % (e, seen))
        seen.append(event)
        if event.get("event") == kind:
            return event
    raise AssertionError("no %s event; saw %s" % (kind, seen))


class Sharing(DaemonTest):
    def test_three_programs_at_once(self):
        self.box["box0"].send("source pattern")
        watch = self.start_tool("watch", "--json")
        watch_until(watch, "link")
        first = self.start_tool("record", "a.wav", "--quiet")
        self.wait_recording("a.wav")
        second = self.start_tool("record", "b.wav", "--seconds", "1", "--quiet")
        self.box["box0"].send("call 5551234 name=\"Ann Lee\"")
        for args in (("status",), ("info",), ("dial", "5551234")):
            self.assertRun(self.tool(*args))
        call = watch_until(watch, "call")
        self.assertIn("5551234", json.dumps(call))
        self.assertEqual(second.wait(DEADLINE), 0, second.stderr.read())
        first.send_signal(signal.SIGINT)
        self.assertEqual(first.wait(DEADLINE), 0, first.stderr.read())
        # Two recordings at once hold the same audio: the later, shorter one is a stretch of
        # the longer one.
        a, b = audio_of(self.path("a.wav")), audio_of(self.path("b.wav"))
        self.assertGreater(len(b), 4000)
        self.assertNotEqual(a.find(b), -1, "the second recording is not a stretch of the first")
        # Each program's recording starts at its own start: b began later than a.
        self.assertGreater(a.find(b), 0)
        self.daemon.wait_for(r"program \d+ \(tavro\) connected to %s \(3 programs\)"
                             % self.shared["box0"])

    def test_pickup_then_record_in_separate_processes(self):
        self.assertRun(self.tool("pickup"))
        self.assertRun(self.tool("record", "line.wav", "--mode", "0", "--seconds", "0.5",
                                 "--quiet"))
        self.assertGreater(len(audio_of(self.path("line.wav"))), 2000)
        self.assertRun(self.tool("hangup"))

    def test_hook_follows_another_programs_pickup(self):
        watch = self.start_tool("watch", "--json")
        watch_until(watch, "link")
        self.assertRun(self.tool("pickup"))
        self.assertEqual(watch_until(watch, "hook").get("state"), "off")
        status = self.tool("status")
        self.assertRun(status)
        self.assertIn("off-hook", status.stdout)

    def test_one_player_at_a_time_and_a_killed_player_lets_go(self):
        sound = self.path("tone.raw")
        with open(sound, "wb") as f:
            f.write(b"\xd5" * 8000 * 20)
        self.assertRun(self.tool("pickup"))
        player = self.start_tool("play", sound, "--raw")
        self.box["box0"].wait_for(r"audio out: playing")
        second = self.tool("play", sound, "--raw")
        self.assertNotEqual(second.returncode, 0)
        self.assertIn("another program is playing", second.stderr)
        player.kill()
        player.wait()
        self.daemon.wait_for(r"left %s: the process has ended" % self.shared["box0"])
        mark = self.box["box0"].mark()
        third = self.start_tool("play", sound, "--raw")
        self.box["box0"].wait_for(r"audio out: playing", since=mark)
        third.send_signal(signal.SIGINT)
        self.assertEqual(third.wait(DEADLINE), 0, third.stderr.read())

    def test_a_recorder_killed_mid_recording_leaves_the_others_recording(self):
        self.box["box0"].send("source pattern")
        keeps = self.start_tool("record", "keeps.wav", "--quiet")
        killed = self.start_tool("record", "killed.wav", "--quiet")
        self.wait_recording("keeps.wav")
        self.wait_recording("killed.wav")
        killed.kill()
        killed.wait()
        self.daemon.wait_for(r"left %s: the process has ended" % self.shared["box0"])
        size = len(audio_of(self.path("keeps.wav")))
        self.wait_recording("keeps.wav", size + 8000)
        self.assertRun(self.tool("status"))
        keeps.send_signal(signal.SIGINT)
        self.assertEqual(keeps.wait(DEADLINE), 0, keeps.stderr.read())
        # The last recorder gone, the box stops streaming.
        self.box["box0"].wait_for(r"audio in: stopped")

    def test_a_late_answer_goes_to_nobody(self):
        # A console's command is answered after it (and tavrod) gave up, while the next
        # program's command of the same kind is in flight: that program gets its own answer.
        # (The console runs on a terminal, so that it goes on after the failure.)
        box = self.box["box0"]
        master, slave = pty.openpty()
        console = subprocess.Popen([e2e.TOOL, "console"], stdin=slave, stdout=slave, stderr=slave,
                                   cwd=self.cwd, env=self.env, start_new_session=True)
        os.close(slave)
        self.addCleanup(lambda: (console.kill(), console.wait(), os.close(master)))
        said = b""

        def console_says(text):
            nonlocal said
            while text not in said:
                ready, _, _ = select.select([master], [], [], DEADLINE)
                self.assertTrue(ready, "the console never said %r: %r" % (text, said))
                said += os.read(master, 4096)
            said = said[said.index(text) + len(text):]

        console_says(b"link up")
        box.send("type 0x41")
        box.send("delay 3300")
        box.sync()
        mark = box.mark()
        os.write(master, b"info\r")
        box.wait_for(r"^command 1b", since=mark)
        console_says(b"no answer from the box")
        box.send("type 0x42")
        box.send("delay 1000")
        box.sync()
        mark = box.mark()
        second = self.start_tool("status")
        box.wait_for(r"^reply 0b 42", since=mark)
        box.send("delay 0")  # for the rest of its commands
        out, err = second.communicate(timeout=DEADLINE)
        self.assertEqual(second.returncode, 0, err)
        self.assertIn("device type: 0x42", out)
        self.assertIsNone(console.poll())

    def test_unplug_and_replug_under_three_clients(self):
        watches = [self.start_tool("watch", "--json") for _ in range(3)]
        for w in watches:
            watch_until(w, "link")
        self.box["box0"].send("unplug")
        for w in watches:
            self.assertEqual(watch_until(w, "link").get("state"), "lost")
        # A program that looks for the box while it is away finds none, not the box in use
        # (past the shared box's hold of its claim), and the watches wait on as long.
        self.assertRun(self.tool("--wait", "0", "status"), 3)
        self.box["box0"].send("replug")
        for w in watches:
            self.assertEqual(watch_until(w, "link").get("state"), "back")
        self.assertRun(self.tool("status"))

    def test_objects_bound_to_the_shared_box_or_to_the_box_it_stands_for(self):
        watch = self.start_tool("watch", "--json")
        watch_until(watch, "link")
        r = self.tool("devices", "--json")
        self.assertRun(r)
        path = {os.path.basename(d["path"]): d["path"] for d in json.loads(r.stdout)["devices"]}
        # The shared box serves a program bound to it beside the watch.
        mark = self.box["box0"].mark()
        self.assertRun(self.tool("--device", path["+box0"], "status"))
        self.box["box0"].wait_for(r"^command 1b", since=mark)
        # The box itself is tavrod's: a program bound to it never reaches the shared box.
        held = self.tool("--wait", "0", "--device", path["box0"], "status")
        self.assertRun(held, 9)
        self.assertIn("is in use by another program: process %d (tavrod)" % self.daemon.proc.pid,
                      held.stderr)
        self.assertIsNone(watch.poll())

    def test_sigterm_ends_it_at_once_and_removes_the_shared_box(self):
        watch = self.start_tool("watch", "--json")
        watch_until(watch, "link")
        began = time.monotonic()
        self.assertEqual(self.daemon.end(), 0)
        self.assertLess(time.monotonic() - began, 1.0)
        folder = os.path.join(self.runtime, "tavro", CLASS)
        self.assertEqual([n for n in os.listdir(folder) if n.startswith("+")], [])
        self.assertEqual(watch_until(watch, "link").get("state"), "lost")


class SharingOverUsb(DaemonTest):
    """The box reached over emulated USB: tavrod runs under the emulation's preload and
    holds the box through the USB backend; the tools, without it, reach the shared box."""

    def start_box(self, name):
        return UsbBox(self.tmp, name)

    def daemon_env(self):
        return dict(self.env, **self.box["box0"].usb_env)

    def holding(self, name):
        return r"holding usb .* as .*/(\+usb-\S+)$"

    test_three_programs_at_once = Sharing.test_three_programs_at_once
    test_unplug_and_replug_under_three_clients = Sharing.test_unplug_and_replug_under_three_clients


class TwoBoxes(DaemonTest):
    boxes = ("box0", "box1")

    def test_each_box_is_shared_and_listed_and_serves(self):
        watch = self.start_tool("watch", "--json")
        watch_until(watch, "link")
        r = self.tool("devices")
        self.assertRun(r)
        for name, others in (("box0", "1 other program"), ("box1", "0 other programs")):
            self.assertRegex(r.stdout, r"\+%s  \(shared: wire \S+/%s \(virtual wire box "
                             r"%s\), %s\)  opens" % (name, name, name, others))
        # The first box gone, programs go on with the second one.
        self.box["box0"].send("unplug")
        self.assertEqual(watch_until(watch, "link").get("state"), "lost")
        mark = self.box["box1"].mark()
        self.assertRun(self.tool("status"))
        self.box["box1"].wait_for(r"^command 1b", since=mark)
        self.assertEqual(watch_until(watch, "link").get("state"), "back")


def configure(args):
    global DAEMON
    DAEMON = args.daemon


if __name__ == "__main__":
    # --usb-box PATH only where the build has the USB emulation.
    argv = list(sys.argv)
    if "--usb-box" in argv:
        at = argv.index("--usb-box")
        USB_BOX = argv[at + 1]
        del argv[at:at + 2]
    e2e.run(argv, ("--daemon",), configure)
