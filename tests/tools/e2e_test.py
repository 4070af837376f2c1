#!/usr/bin/env python3
"""End-to-end tests of the tavro tool: a tavro-box process, the tavro tool, and this script.

Usage: e2e_test.py --box PATH --tool PATH [unittest arguments, e.g. a test class name]

Every test runs its own box in a fresh XDG_RUNTIME_DIR and working directory. What the box
received is read from its event lines ("command 04", ...), which it prints on stdout.
"""
import argparse
import json
import os
import resource
import pty
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

BOX = None
TOOL = None

# Generous: the suite also runs under the sanitizers.
DEADLINE = 30.0

SPACE_CODE = 0x0E  # the library sends it when it stops, to wake its reply reader


def parse_hex(text):
    return [int(b, 16) for b in text.split()]


class Box:
    """A tavro-box process in interactive mode, with its event lines collected."""

    def __init__(self, runtime_dir, *extra):
        env = dict(os.environ, XDG_RUNTIME_DIR=runtime_dir)
        self.proc = subprocess.Popen(
            [BOX, "--interactive", "--runtime-dir", runtime_dir, *extra],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            text=True, bufsize=1, env=env)
        self.lines = []
        self.cond = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.wait_for(r"^device |plugged ")

    def _read(self):
        for line in self.proc.stdout:
            # "[   1.234] command 04 01" -> "command 04 01"
            line = re.sub(r"^\[\s*[0-9.]+\]\s*", "", line.rstrip("\n"))
            with self.cond:
                self.lines.append(line)
                self.cond.notify_all()

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def mark(self):
        with self.cond:
            return len(self.lines)

    def wait_for(self, pattern, since=0, timeout=DEADLINE):
        rx = re.compile(pattern)
        end = time.monotonic() + timeout
        with self.cond:
            while True:
                for line in self.lines[since:]:
                    m = rx.search(line)
                    if m:
                        return m
                left = end - time.monotonic()
                if left <= 0:
                    raise AssertionError("box never said %r; it said:\n%s"
                                         % (pattern, "\n".join(self.lines)))
                self.cond.wait(left)

    def sync(self):
        """Returns once the box has run every verb sent so far."""
        mark = self.mark()
        self.send("state")
        self.wait_for(r"^line: ", since=mark)

    def commands(self, since=0):
        """The command packets received since the mark, as byte lists, space codes left out."""
        with self.cond:
            lines = list(self.lines[since:])
        out = []
        for line in lines:
            m = re.match(r"^command ((?:[0-9a-f]{2} ?)+)$", line)
            if m:
                packet = parse_hex(m.group(1))
                if packet[0] != SPACE_CODE:
                    out.append(packet)
        return out

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.send("quit")
            except (BrokenPipeError, ValueError):
                pass
            try:
                self.proc.wait(timeout=DEADLINE)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.reader.join(DEADLINE)
        self.proc.stdout.close()
        self.proc.stderr.close()
        self.proc.stdin.close()


def packet(*head):
    """A 64-byte packet as the box logs it: zeros after the last non-zero byte cut."""
    data = list(head)
    while len(data) > 1 and data[-1] == 0:
        data.pop()
    return data


def caller_id_record(number, when="12081030"):
    """Reply type 4 with a single-data message: date and time digits, then the number."""
    body = [ord(c) for c in when + number]
    msg = [0x04, len(body)] + body
    msg.append((-sum(msg)) & 0xFF)
    return "record 04 01 " + " ".join("%02x" % b for b in msg)


class ToolTest(unittest.TestCase):
    box_args = ()

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="tavro-e2e-")
        self.runtime = os.path.join(self.tmp, "run")
        os.mkdir(self.runtime, 0o700)
        self.cwd = os.path.join(self.tmp, "work")
        os.mkdir(self.cwd)
        self.env = dict(os.environ, XDG_RUNTIME_DIR=self.runtime)
        self.box = Box(self.runtime, *self.box_args) if self.box_args is not None else None

    def tearDown(self):
        if self.box:
            self.box.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def tool(self, *args, timeout=DEADLINE, env=None):
        return subprocess.run([TOOL, *args], capture_output=True, text=True, cwd=self.cwd,
                              env=env or self.env, timeout=timeout)

    def start_tool(self, *args):
        """The tool as a running process; killed at the end of the test if it still runs."""
        proc = subprocess.Popen([TOOL, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True, cwd=self.cwd, env=self.env)
        self.addCleanup(end_if_running, proc)
        return proc

    def assertRun(self, result, code=0):
        self.assertEqual(result.returncode, code,
                         "exit %d\nstdout:\n%s\nstderr:\n%s"
                         % (result.returncode, result.stdout, result.stderr))

    def path(self, name):
        return os.path.join(self.cwd, name)


def read_line(proc, stream=None, timeout=DEADLINE):
    """One line of a running tool's standard output (or `stream`), or an assertion after the
    time-out."""
    stream = stream or proc.stdout
    ready, _, _ = select.select([stream], [], [], timeout)
    if not ready:
        raise AssertionError("the tool printed nothing within %.0f s" % timeout)
    line = stream.readline()
    if not line:
        raise AssertionError("the tool ended: %s" % proc.stderr.read())
    return line.rstrip("\n")


def end_if_running(proc):
    if proc.poll() is None:
        proc.kill()
        proc.communicate()


def thread_stacks(pid):
    """Every thread's stack of a program that hangs, for the failure message (gdb where the
    machine has it)."""
    gdb = shutil.which("gdb")
    if gdb is None:
        return "(no gdb to show them)"
    r = subprocess.run([gdb, "-p", str(pid), "-batch", "-nx", "-ex", "thread apply all bt"],
                       capture_output=True, text=True, timeout=DEADLINE)
    return "\n".join(l for l in r.stdout.splitlines() if l.startswith(("#", "Thread")))


def finish(proc, timeout=DEADLINE):
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        stacks = thread_stacks(proc.pid)
        proc.kill()
        out, err = proc.communicate()
        raise AssertionError("the tool did not end within %.0f s; it printed:\n%s%s\nits threads:\n%s"
                             % (timeout, out, err, stacks))
    return proc.returncode, out, err


def wave_header(path):
    with open(path, "rb") as f:
        data = f.read()
    fields = struct.unpack("<4sI4s4sIHHIIHHHH4sI", data[:48])
    return data, dict(riff=fields[0], riff_size=fields[1], wave=fields[2], fmt=fields[3],
                      fmt_size=fields[4], format=fields[5], channels=fields[6], rate=fields[7],
                      byte_rate=fields[8], align=fields[9], bits=fields[10], data=fields[13],
                      data_size=fields[14])


class CommandLine(ToolTest):
    box_args = None  # no box needed

    def test_help_version_and_usage_errors(self):
        r = self.tool("--version")
        self.assertRun(r)
        self.assertRegex(r.stdout, r"^tavro \d+\.\d+\.\d+")
        r = self.tool("--help")
        self.assertRun(r)
        for command in ("status", "watch", "pickup", "hangup", "dial", "mute", "mic-out",
                        "line-mic", "ring", "dtmf-check", "record", "play", "info",
                        "flash-write"):
            self.assertIn(command, r.stdout)
        self.assertIn("no box", r.stdout)  # the exit codes are listed
        for command in ("record", "play", "dial", "watch"):
            r = self.tool(command, "--help")
            self.assertRun(r)
            self.assertIn("Usage", r.stdout)
        self.assertRun(self.tool(), 2)
        r = self.tool("--wait", "1", "fly")
        self.assertRun(r, 2)
        self.assertIn("unknown command 'fly'", r.stderr)
        self.assertRun(self.tool("mute", "maybe"), 2)
        self.assertRun(self.tool("play", "x.al", "--from", "1001"), 2)

    def test_a_number_that_cannot_be_dialled_is_refused_by_name(self):
        r = self.tool("dial", "+49 (30) 555")
        self.assertRun(r, 2)
        self.assertIn("'+' at position 1", r.stderr)

    def test_no_box(self):
        # Nothing is published: the tool says so at once, not after its whole wait.
        start = time.monotonic()
        r = self.tool("--wait", "60", "pickup")
        self.assertLess(time.monotonic() - start, 30)
        self.assertRun(r, 3)
        self.assertIn("no box", r.stderr)
        # The hint names both places a box is looked for, and where to look further.
        self.assertIn("tavro-box", r.stderr)
        self.assertIn("USB", r.stderr)
        self.assertIn("tavro devices", r.stderr)
        r = self.tool("--wait", "0.5", "status")
        self.assertRun(r, 3)
        self.assertIn("link: down", r.stdout)
        self.assertIn("link-down", r.stdout)
        # A device that is there but does not come up (a socket left behind) is waited for.
        folder = os.path.join(self.runtime, "tavro", "{77F49321-16EF-11D2-AD51-006097B514DD}")
        os.makedirs(folder, mode=0o700)
        os.chmod(os.path.join(self.runtime, "tavro"), 0o700)
        stale = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        stale.bind(os.path.join(folder, "box0"))
        stale.close()
        start = time.monotonic()
        r = self.tool("--wait", "1", "pickup")
        self.assertGreaterEqual(time.monotonic() - start, 1)
        self.assertRun(r, 3)
        self.assertIn("within 1.0 s", r.stderr)

    def test_files_are_checked_before_the_box_is_asked(self):
        with open(self.path("short.bin"), "wb") as f:
            f.write(bytes(239))
        r = self.tool("--wait", "0.5", "flash-write", "short.bin")
        self.assertRun(r, 7)
        self.assertIn("240", r.stderr)
        r = self.tool("--wait", "0.5", "play", "missing.al")
        self.assertRun(r, 7)
        self.assertIn("missing.al", r.stderr)
        r = self.tool("--wait", "0.5", "record", "no/such/dir/x.wav")
        self.assertRun(r, 7)
        # Only a regular file is recorded into: a FIFO without a reader is refused at once.
        os.mkfifo(self.path("fifo"))
        r = self.tool("--wait", "0.5", "record", "fifo", timeout=10)
        self.assertRun(r, 7)
        self.assertIn("fifo is a named pipe (FIFO), not a regular file", r.stderr)

    def test_flash_write_checks_type_and_size_before_reading(self):
        os.mkdir(self.path("adir"))
        with open(self.path("huge.bin"), "wb") as f:
            f.truncate(2 << 30)  # sparse: costs no disk
        for name, said in (("adir", "is a directory"), ("/dev/zero", "more than 240"),
                           ("huge.bin", "more than 240")):
            with self.subTest(file=name):
                proc = subprocess.Popen([TOOL, "--wait", "0.5", "flash-write", name],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True, cwd=self.cwd, env=self.env)
                out, err = proc.communicate(timeout=DEADLINE)
                # Refused by the check, not by a crash, and without reading the file in.
                self.assertEqual(proc.returncode, 7, err)
                self.assertIn(said, err)
        # The largest resident size of any child so far stays far below the file's.
        self.assertLess(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, 512 * 1024)
        r = self.tool("--wait", "0.5", "play", "adir")
        self.assertRun(r, 7)
        self.assertIn("is a directory", r.stderr)

    def test_numbers_are_checked_and_refused_in_words(self):
        for args, said in ((("--wait", "nan", "status"), "nan is not a finite number"),
                           (("--wait", "abc", "status"), "abc is not a number"),
                           (("record", "x.wav", "--mode", "9"), "9 is not between 0 and 1"),
                           (("watch", "--seconds", "0"), "0 is not between"),
                           (("watch", "--events", "0"), "0 is not between 1 and 2147483647")):
            with self.subTest(args=args):
                r = self.tool(*args, timeout=10)
                self.assertRun(r, 2)
                self.assertIn(said, r.stderr)
                self.assertLess(len(r.stderr), 200)  # no bound in 309 digits

    def test_record_seconds_are_bounded(self):
        for seconds in ("3000000", "inf", "nan", "0"):
            with self.subTest(seconds=seconds):
                r = self.tool("--wait", "0.5", "record", "x.wav", "--seconds", seconds)
                self.assertRun(r, 2)
        self.assertFalse(os.path.exists(self.path("x.wav")))


class LineCommands(ToolTest):
    box_args = ()

    def run_command(self, *args):
        mark = self.box.mark()
        r = self.tool(*args)
        self.assertRun(r)
        return r, self.box.commands(mark)

    def test_each_command_sends_its_packet(self):
        cases = [
            (("pickup",), [packet(4)], "line off hook"),
            (("hangup",), [packet(3)], "line on hook"),
            (("mute", "on"), [packet(17, 1)], "mute on"),
            (("mute", "off"), [packet(17, 0)], "mute off"),
            (("mic-out", "on"), [packet(18, 1)], "mic-out on"),
            (("line-mic", "ON"), [packet(21, 1)], "line-mic on"),
            (("dtmf-check", "off"), [packet(22, 0)], "dtmf-check off"),
            (("ring",), [packet(26)], "ring"),
        ]
        for args, sent, said in cases:
            with self.subTest(args=args):
                r, commands = self.run_command(*args)
                self.assertEqual(commands, sent)
                self.assertIn(said, r.stdout)

    def test_dial_picks_up_and_sends_the_digits_without_separators(self):
        r, commands = self.run_command("dial", "(555) 12-34.0*#")
        self.assertIn("dialled 55512340*#", r.stdout)
        self.assertEqual(len(commands), 2, commands)
        self.assertEqual(commands[0], packet(4))
        dial = commands[1] + [0] * (64 - len(commands[1]))
        self.assertEqual(dial[0:6], [6, 10, 0, 0, 0, 1])
        self.assertEqual(dial[22:32], [5, 5, 5, 1, 2, 3, 4, 10, 11, 12])
        self.assertEqual(dial[32:], [0] * 32)

    def test_status_and_info(self):
        r = self.tool("status")
        self.assertRun(r)
        self.assertIn("link: up", r.stdout)
        self.assertRegex(r.stdout, r"status: 0x[0-9A-F]{8} \(.*initialised.*reader-ready")
        self.assertRegex(r.stdout, r"device type: 0x[0-9a-f]{2}")
        self.assertRegex(r.stdout, r"information: ([0-9a-f]{2} ){10}[0-9a-f]{2}")
        self.assertRegex(r.stdout, r"flags: 0x[0-9a-f]{8}")
        r = self.tool("status", "--json")
        self.assertRun(r)
        s = json.loads(r.stdout)
        self.assertEqual(s["link"], "up")
        self.assertIn("reader-ready", s["bits"])
        self.assertEqual(s["status"] & 0x200, 0)
        self.assertEqual(len(s["info"]), 22)
        mark = self.box.mark()
        r = self.tool("info", "--json")
        self.assertRun(r)
        i = json.loads(r.stdout)
        self.assertRegex(i["clock"], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$")
        self.assertEqual([c[0] for c in self.box.commands(mark)], [27, 36, 24])

    def test_a_new_program_learns_that_the_line_is_off_hook(self):
        self.assertRun(self.tool("pickup"))
        r = self.tool("status", "--json")
        self.assertRun(r)
        self.assertIn("off-hook", json.loads(r.stdout)["bits"])
        # Mode 0 needs the line off hook: it is, though another run took it off hook.
        self.assertRun(self.tool("record", "x.wav", "--mode", "0", "--seconds", "0.5", "--quiet"))
        self.assertRun(self.tool("hangup"))
        r = self.tool("status", "--json")
        self.assertNotIn("off-hook", json.loads(r.stdout)["bits"])

    def test_flash_write_sends_four_blocks(self):
        data = bytes((i * 7 + 3) & 0xFF for i in range(240))
        with open(self.path("flash.bin"), "wb") as f:
            f.write(data)
        r, commands = self.run_command("flash-write", "flash.bin")
        self.assertRegex(r.stdout, r"acknowledged with 0x[0-9a-f]{2}")
        self.assertEqual(len(commands), 4)
        for index, c in enumerate(commands):
            c = c + [0] * (64 - len(c))
            self.assertEqual(c[0:4], [25, index, 0, 0])
            self.assertEqual(bytes(c[4:64]), data[60 * index:60 * index + 60])

    def test_modes_that_need_the_line_off_hook(self):
        with open(self.path("x.al"), "wb") as f:
            f.write(bytes(100))
        for args in (("record", "x.wav", "--mode", "0"), ("play", "x.al", "--raw", "--mode", "0")):
            with self.subTest(args=args):
                mark = self.box.mark()
                r = self.tool(*args)
                self.assertRun(r, 6)
                self.assertIn("on hook", r.stderr)
                self.assertEqual(self.box.commands(mark), [])
        self.assertFalse(os.path.exists(self.path("x.wav")))

    def test_a_silent_box_is_reported_as_no_answer(self):
        self.box.send("silent on")
        self.box.wait_for(r"^silent")
        start = time.monotonic()
        r = self.tool("pickup")
        self.assertRun(r, 5)
        self.assertIn("no answer from the box", r.stderr)
        self.assertLess(time.monotonic() - start, DEADLINE)


def mdmf_record(*params):
    """Reply type 4 with a multiple-data message of (type, bytes) parameters."""
    body = []
    for kind, data in params:
        body += [kind, len(data)] + list(data)
    msg = [0x80, len(body)] + body
    msg.append((-sum(msg)) & 0xFF)
    return "record 04 01 " + " ".join("%02x" % b for b in msg)


def voluntary_switches(pid):
    """Voluntary context switches of every thread of the process so far."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/status" % (pid, task)) as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches:"):
                        total += int(line.split()[1])
        except FileNotFoundError:
            pass  # a thread that has just ended
    return total


class Watch(ToolTest):
    box_args = ()

    def test_notices_in_english_and_with_verbose_also_the_librarys_text(self):
        for verbose in (False, True):
            with self.subTest(verbose=verbose):
                options = ["--verbose"] if verbose else []
                proc = self.start_tool(*options, "watch", "--json")
                self.assertEqual(json.loads(read_line(proc))["state"], "up")
                self.box.send("record 02")  # a record of a type the library does not use
                self.assertEqual(read_line(proc, proc.stderr),
                                 "tavro: notice: The box sent a record of an unused type.")
                proc.send_signal(signal.SIGINT)
                # The rest of standard error, once the tool has ended.
                code = proc.wait(timeout=DEADLINE)
                err = proc.stderr.read()
                self.assertEqual(code, 0, err)
                self.assertEqual(err.startswith("tavro: the library's text: NoUsed 0x02\n"),
                                 verbose, err)

    def test_prints_calls_dtmf_tones_hook_and_link_changes(self):
        proc = self.start_tool("watch", "--json")
        events = []

        def next_event():
            events.append(json.loads(read_line(proc)))
            return events[-1]

        first = next_event()
        self.assertEqual((first["event"], first["state"]), ("link", "up"))
        self.box.send("ring")
        self.assertEqual(next_event()["event"], "ring")
        self.box.send(caller_id_record("5551234"))
        e = next_event()
        self.assertEqual((e["number"], e["name"], e["message"], e["checksum_valid"]),
                         ("5551234", None, "single-data", True))
        self.assertEqual((e["month"], e["day"], e["hour"], e["minute"]), (12, 8, 10, 30))
        self.assertEqual(e["raw"][:6], "01040f")  # state, type, length
        for code, key in ((5, "5"), (10, "0"), (11, "*")):
            self.box.send("record 07 %02x" % code)
            e = next_event()
            self.assertEqual((e["event"], e["code"], e["key"]), ("dtmf", code, key))
        self.box.send("record 05 03 2c 01")  # tone report {3, 300}
        e = next_event()
        self.assertEqual((e["event"], e["values"], e["tone"]), ("tone", [3, 300], True))
        self.box.send("record d0 01 01")  # status item: off hook
        e = next_event()
        self.assertEqual((e["event"], e["state"], e["cause"]), ("hook", "off", "box"))
        self.box.send("record 04 02")  # the box has no number for this call
        e = next_event()
        self.assertEqual((e["event"], e["number"], e["number_absence"]),
                         ("call", None, "no-number"))
        # Number withheld, name out of area, and a checksum that does not match: reported,
        # and the call still shown.
        record = mdmf_record((0x01, b"01020304"), (0x04, b"P"), (0x08, b"O"))
        self.box.send(record[:-2] + "00")
        e = next_event()
        self.assertEqual((e["number"], e["number_absence"], e["name_absence"],
                          e["checksum_valid"], e["month"], e["minute"]),
                         (None, "private", "unavailable", False, 1, 4))
        self.box.send("unplug")
        e = next_event()
        self.assertEqual((e["event"], e["state"]), ("link", "lost"))
        self.box.send("replug")
        e = next_event()
        self.assertEqual((e["event"], e["state"]), ("link", "back"))
        proc.send_signal(signal.SIGINT)
        code, out, err = finish(proc)
        self.assertEqual(code, 0, err)
        # Every event in the order it happened, each numbered once.
        numbers = [e["sequence"] for e in events]
        self.assertEqual(numbers, sorted(set(numbers)))
        times = [e["monotonic_ns"] for e in events]
        self.assertEqual(times, sorted(times))

    def test_plain_lines_and_waiting_for_the_box(self):
        self.box.send("unplug")
        self.box.wait_for("unplugged")
        proc = self.start_tool("watch", "--events", "5")
        # Nothing to report while the box is away; it comes up once plugged.
        self.assertIn("waiting for the box", read_line(proc, proc.stderr))
        self.box.send("replug")
        self.assertRegex(read_line(proc), r"^\d\d:\d\d:\d\d\.\d{3} link up$")
        # The box's own caller-ID message (multiple-data format, with a name) and digits.
        self.box.send('call 0301234567 name="Ann Smith" date=12241859')
        self.assertRegex(read_line(proc), r' call 0301234567 "Ann Smith" 12-24 18:59$')
        self.box.send("call 5550000 format=digits")
        self.assertRegex(read_line(proc), r" call 5550000$")
        self.box.send("dtmf 4#")
        self.assertRegex(read_line(proc), r" dtmf 4 \(code 4\)$")
        self.assertRegex(read_line(proc), r" dtmf # \(code 12\)$")
        code, out, err = finish(proc)  # --events 5 ends it
        self.assertEqual(code, 0, err)

    def test_idle_watch_sleeps_until_something_happens(self):
        proc = self.start_tool("watch", "--json")
        self.assertEqual(json.loads(read_line(proc))["state"], "up")
        # The library's threads and the tool all wait for events: over 5 idle seconds the
        # whole process wakes a few times at most (a watch that looked every 50 ms would
        # wake 100 times).
        before = voluntary_switches(proc.pid)
        time.sleep(5)
        woken = voluntary_switches(proc.pid) - before
        # ThreadSanitizer's background thread wakes ten times a second by itself.
        if os.environ.get("TAVRO_SANITIZE") != "thread":
            self.assertLessEqual(woken, 10)
        # And it still wakes for an event.
        self.box.send("ring")
        self.assertEqual(json.loads(read_line(proc))["event"], "ring")

    def test_ends_when_its_reader_goes_away(self):
        proc = self.start_tool("watch", "--json")
        self.assertEqual(json.loads(read_line(proc))["state"], "up")
        proc.stdout.close()
        # Nothing happens on the line: the closed pipe alone ends it, and the box is let go.
        self.assertEqual(proc.wait(timeout=DEADLINE), 1)
        proc.stderr.close()


class HostileText(ToolTest):
    box_args = ()

    def test_control_bytes_from_the_box_never_reach_the_terminal(self):
        # An OSC sequence that retitles the window, a screen clear, a C1 control and a backslash.
        number = "555\x1b]0;owned\x07\x1b[2J\x9b1\\"
        for json_mode in (False, True):
            with self.subTest(json=json_mode):
                proc = self.start_tool("watch", "--events", "2", *(["--json"] if json_mode else []))
                read_line(proc)  # link up
                self.box.send(caller_id_record(number))
                code, out, err = finish(proc)
                self.assertEqual(code, 0, err)
                for c in out:
                    self.assertTrue(c == "\n" or " " <= c <= "~", repr(out))
                if json_mode:
                    self.assertEqual(json.loads(out.splitlines()[-1])["number"].encode("latin-1"),
                                     number.encode("latin-1"))
                else:
                    self.assertTrue(out.endswith(
                        " call 555\\x1b]0;owned\\x07\\x1b[2J\\x9b1\\\\ 12-08 10:30\n"),
                        repr(out))


def write_alaw_wave(path, audio):
    """A plain 8 kHz mono A-law wave file (16-byte format chunk)."""
    fmt = struct.pack("<HHIIHH", 6, 1, 8000, 8000, 1, 8)
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt) + 8 + len(audio)) + b"WAVE")
        f.write(b"fmt " + struct.pack("<I", len(fmt)) + fmt)
        f.write(b"data" + struct.pack("<I", len(audio)) + audio)


def noise(n, seed=1):
    """Bytes that no fault of framing could reproduce by accident."""
    out = bytearray()
    x = seed
    for _ in range(n):
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out.append((x >> 16) & 0xFF)
    return bytes(out)


class Audio(ToolTest):
    # The line carries a known signal; what is played is captured into a file at the end.
    box_args = None

    def setUp(self):
        super().setUp()
        self.capture = os.path.join(self.tmp, "captured.wav")
        self.box = Box(self.runtime, "--capture", self.capture)
        self.line = noise(3000, seed=7)
        write_alaw_wave(os.path.join(self.tmp, "line.wav"), self.line)
        self.box.send("source wave " + os.path.join(self.tmp, "line.wav"))
        self.box.sync()

    def assertValidRecording(self, name):
        data, h = wave_header(self.path(name))
        self.assertEqual((h["riff"], h["wave"], h["fmt"], h["data"]),
                         (b"RIFF", b"WAVE", b"fmt ", b"data"))
        self.assertEqual((h["fmt_size"], h["format"], h["channels"], h["rate"], h["byte_rate"],
                          h["align"], h["bits"]), (20, 6, 1, 8000, 8000, 1, 8))
        audio = data[48:]
        self.assertEqual(h["data_size"], len(audio))
        self.assertEqual(h["riff_size"], len(audio) + 40)
        self.assertGreater(len(audio), 0)
        self.assertEqual(len(audio) % 500, 0)  # whole 512-byte reads of two frames
        # The line's signal, looped, from its start: nothing lost, doubled or reordered.
        loops = self.line * (len(audio) // len(self.line) + 1)
        self.assertEqual(audio, loops[:len(audio)])
        return audio

    def captured(self):
        self.box.stop()
        self.box = None
        with open(self.capture, "rb") as f:
            data = f.read()
        return data[data.index(b"data") + 8:]

    def test_record_for_a_time(self):
        mark = self.box.mark()
        r = self.tool("record", "line.wav", "--seconds", "1.5")
        self.assertRun(r)
        audio = self.assertValidRecording("line.wav")
        self.assertRegex(r.stdout, r"recorded line.wav: %d bytes" % (len(audio) + 48))
        self.assertRegex(r.stdout, r"\d+\.\d s, \d+ bytes, \d+ bytes/s")  # progress lines
        # 1.5 s at 8000 bytes a second, give or take the start and the last read.
        self.assertGreater(len(audio), 6000)
        self.assertLess(len(audio), 20000)
        commands = self.box.commands(mark)
        self.assertEqual(commands[0], packet(7, 1, 1))
        self.assertEqual(commands[-1], packet(7, 0, 0))

    def test_ctrl_c_ends_a_recording_with_a_valid_file(self):
        proc = self.start_tool("record", "call.wav", "--mode", "1")
        while True:
            m = re.search(r" (\d+) bytes, ", read_line(proc))
            if m and int(m.group(1)) > 0:
                break
        proc.send_signal(signal.SIGINT)
        code, out, err = finish(proc)
        self.assertEqual(code, 0, err)
        self.assertIn("recorded call.wav", out)
        self.assertValidRecording("call.wav")

    def test_a_lost_link_ends_the_recording_with_its_message(self):
        proc = self.start_tool("record", "lost.wav")
        while not re.search(r" [1-9]\d* bytes, ", read_line(proc)):
            pass
        self.box.send("unplug")
        code, out, err = finish(proc)
        self.assertEqual(code, 4, err)
        self.assertIn("link to the box was lost", err)
        # The audio recorded before the loss is kept, under a header that describes it.
        self.assertValidRecording("lost.wav")

    def assertPlayable(self, name):
        """What the header promises is what a sound tool reads."""
        data, h = wave_header(self.path(name))
        sox = shutil.which("sox")
        if sox:
            r = subprocess.run([sox, "--i", "-s", self.path(name)], capture_output=True,
                               text=True, timeout=DEADLINE)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(int(r.stdout), h["data_size"])
        return h["data_size"]

    def stream_then_stall(self):
        """Waits until the box has streamed some audio, then stops its stream (the link stays
        up; the box goes on answering commands)."""
        self.box.wait_for(r"^audio in: streaming")
        while True:
            mark = self.box.mark()
            self.box.send("audio")
            m = self.box.wait_for(r"^audio: .*?(\d+) frames sent", since=mark)
            if int(m.group(1)) >= 8:
                break
        self.box.send("pace 0.000001")
        self.box.sync()

    def test_a_stalled_stream_ends_the_recording_with_its_message(self):
        proc = self.start_tool("record", "stall.wav", "--seconds", "600")
        self.stream_then_stall()
        start = time.monotonic()
        code, out, err = finish(proc)
        self.assertEqual(code, 5, err)
        self.assertIn("the box stopped sending audio (nothing for 3.0 s) while the link is up", err)
        self.assertNotIn("link down", err)
        self.assertLess(time.monotonic() - start, DEADLINE)
        self.assertValidRecording("stall.wav")
        self.assertGreater(self.assertPlayable("stall.wav"), 0)

    def test_a_full_disk_ends_the_recording_with_its_message(self):
        # A file size limit fails the writes as a full disk does, for this process only.
        def limit():
            resource.setrlimit(resource.RLIMIT_FSIZE, (20000, 20000))
        start = time.monotonic()
        r = subprocess.run([TOOL, "record", "full.wav", "--seconds", "20", "--quiet"],
                           capture_output=True, text=True, cwd=self.cwd, env=self.env,
                           timeout=DEADLINE, preexec_fn=limit)
        self.assertRun(r, 7)
        self.assertIn("record failed: disk full", r.stderr)
        self.assertLess(time.monotonic() - start, 15)  # ended by the full disk, not its time
        audio = self.assertValidRecording("full.wav")  # what fitted, under a true header
        self.assertLessEqual(len(audio) + 48, 20000)

    def test_a_link_lost_while_the_recording_stops_keeps_the_audio(self):
        proc = self.start_tool("record", "end.wav", "--seconds", "2")
        # The recorder waits in a read when the time is up; the box goes away meanwhile.
        self.stream_then_stall()
        while not re.match(r"^2\.\d s, ", read_line(proc)):
            pass
        self.box.send("unplug")
        code, out, err = finish(proc)
        self.assertEqual(code, 4, err)
        self.assertIn("link to the box was lost", err)
        self.assertIn("end.wav keeps the", err)
        self.assertValidRecording("end.wav")
        self.assertGreater(self.assertPlayable("end.wav"), 0)

    def test_a_recording_of_any_length_notices_a_lost_link(self):
        proc = self.start_tool("record", "long.wav", "--seconds", "604800")
        while not re.search(r" [1-9]\d* bytes, ", read_line(proc)):
            pass
        self.box.send("unplug")
        code, out, err = finish(proc)
        self.assertEqual(code, 4, err)
        self.assertValidRecording("long.wav")

    def test_play_sends_the_file_as_it_is(self):
        played = noise(3000, seed=3)  # not a multiple of the 512-byte blocks
        with open(self.path("out.al"), "wb") as f:
            f.write(played)
        mark = self.box.mark()
        r = self.tool("play", "out.al", "--raw", "--mode", "2", "--param", "7", "--flag")
        self.assertRun(r)
        self.assertIn("100.0%", r.stdout)
        self.assertIn("played out.al: 3000 bytes", r.stdout)
        commands = self.box.commands(mark)
        self.assertEqual(commands[0], packet(9, 1, 2, 7, 1))
        self.assertIn(packet(9, 0, 2, 1, 0), commands)  # the closing command
        # The last block is filled up with A-law silence.
        self.assertEqual(self.captured(), played + b"\xd5" * (3072 - 3000))

    def test_a_wave_plays_its_audio_and_other_files_are_refused_by_name(self):
        played = noise(3000, seed=4)
        write_alaw_wave(self.path("a.wav"), played)
        with open(self.path("text.txt"), "w") as f:
            f.write("hello\n")
        with open(self.path("pcm.wav"), "wb") as f:  # 16-bit stereo at 16 kHz
            fmt = struct.pack("<HHIIHH", 1, 2, 16000, 64000, 4, 16)
            f.write(b"RIFF" + struct.pack("<I", 36 + 400) + b"WAVE" + b"fmt " +
                    struct.pack("<I", 16) + fmt + b"data" + struct.pack("<I", 400) + bytes(400))
        mark = self.box.mark()
        for args, said in ((("text.txt",), "text.txt is not a wave file"),
                           (("pcm.wav",), "pcm.wav is a 16-bit PCM stereo wave at 16000 Hz"),
                           (("a.wav", "--raw"), "leave out --raw")):
            with self.subTest(args=args):
                r = self.tool("play", *args)
                self.assertRun(r, 7)
                self.assertIn(said, r.stderr)
        self.assertEqual(self.box.commands(mark), [])  # refused before the box is asked
        r = self.tool("play", "a.wav", "--quiet")
        self.assertRun(r)
        self.assertEqual(r.stdout.strip(), "played a.wav: 3000 bytes")
        # The audio alone goes to the line, not the header.
        self.assertEqual(self.captured(), played + b"\xd5" * (3072 - 3000))

    def test_play_from_the_middle(self):
        played = noise(10000, seed=5)
        with open(self.path("half.al"), "wb") as f:
            f.write(played)
        r = self.tool("play", "half.al", "--raw", "--from", "500", "--quiet")
        self.assertRun(r)
        self.assertEqual(r.stdout.strip(), "played half.al: 10000 bytes")
        self.assertEqual(self.captured(), played[5000:] + b"\xd5" * (5120 - 5000))

    def test_a_playback_whose_audio_pipe_fails_is_a_failure(self):
        with open(self.path("long.al"), "wb") as f:
            f.write(noise(80000, seed=5))  # 10 s
        mark = self.box.mark()
        proc = self.start_tool("play", "long.al", "--raw")
        self.box.wait_for(r"^audio out: playing", since=mark)
        self.box.send("drop 3")  # the audio-out pipe alone fails; the link stays up
        code, out, err = finish(proc)
        self.assertEqual(code, 4, err)
        self.assertIn("play failed: the link to the box failed during the playback", err)

    def run_on_terminal(self, *args):
        """Runs the tool with a terminal as its standard output; returns status and output."""
        master, slave = pty.openpty()
        proc = subprocess.Popen([TOOL, *args], stdout=slave, stderr=subprocess.PIPE,
                                cwd=self.cwd, env=self.env)
        os.close(slave)
        out = b""
        while True:
            ready, _, _ = select.select([master], [], [], DEADLINE)
            if not ready:
                proc.kill()
                raise AssertionError("the tool printed nothing within %.0f s" % DEADLINE)
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the terminal's other end is closed
                chunk = b""
            if not chunk:
                break
            out += chunk
        os.close(master)
        proc.stderr.close()
        return proc.wait(timeout=DEADLINE), out.decode()

    def test_progress_on_a_terminal_is_one_live_line(self):
        code, out = self.run_on_terminal("record", "t.wav", "--seconds", "1")
        self.assertEqual(code, 0, out)
        # Redrawn in place, then closed by the summary line.
        redraws = re.findall(r"\r\d+\.\d s, \d+ bytes, \d+ bytes/s\x1b\[K", out)
        self.assertGreaterEqual(len(redraws), 3, out)
        self.assertIn("recorded t.wav", out)
        with open(self.path("t.al"), "wb") as f:
            f.write(noise(4000))
        code, out = self.run_on_terminal("play", "t.al", "--raw")
        self.assertEqual(code, 0, out)
        self.assertRegex(out, r"\r\[#{40}\] 100\.0% t\.al")
        self.assertIn("played t.al: 4000 bytes", out)

    def test_ctrl_c_stops_a_playback(self):
        played = noise(40000, seed=9)  # five seconds
        with open(self.path("long.al"), "wb") as f:
            f.write(played)
        proc = self.start_tool("play", "long.al", "--raw")
        while True:
            m = re.search(r"([0-9.]+)%", read_line(proc))
            if m and float(m.group(1)) >= 10:
                break
        proc.send_signal(signal.SIGINT)
        code, out, err = finish(proc)
        self.assertEqual(code, 0, err)
        self.assertRegex(out, r"stopped long.al at \d+\.\d%")
        captured = self.captured()
        self.assertGreater(len(captured), 0)
        self.assertLess(len(captured), len(played))
        self.assertEqual(captured, played[:len(captured)])


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
        r = subprocess.run([BOX, "--version"], capture_output=True, text=True, timeout=DEADLINE)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertRegex(r.stdout, r"^tavro-box \d+\.\d+\.\d+")
        os.mkfifo(self.path("fifo"))
        with open(self.path("huge.wav"), "wb") as f:
            f.truncate(65 << 20)  # sparse
        for name, said in (("/dev/zero", "not a regular file"), ("fifo", "not a regular file"),
                           ("huge.wav", "larger than 64 MiB")):
            with self.subTest(file=name):
                r = subprocess.run([BOX, "--runtime-dir", self.runtime, "--line", name],
                                   capture_output=True, text=True, cwd=self.cwd, timeout=10)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn(said, r.stderr)
                self.assertNotIn("device ", r.stdout)  # never published

    def test_a_prompt_on_a_terminal_and_no_line_per_transfer_setup(self):
        master, slave = pty.openpty()
        proc = subprocess.Popen([BOX, "--interactive", "--runtime-dir", self.runtime],
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


class Replay(ToolTest):
    """A wave file of a line, replayed by a box that listens to it (--line FILE --detect),
    gives the events of what the line carries: a call recorded from our own box, and
    digits made by another tool."""
    box_args = None

    def replayed_events(self, wave, count):
        box = Box(self.runtime, "--line", wave, "--detect")
        self.addCleanup(box.stop)
        proc = self.start_tool("watch", "--json", "--events", str(count + 1))
        self.assertEqual(json.loads(read_line(proc))["state"], "up")
        events = [json.loads(read_line(proc)) for _ in range(count)]
        code, out, err = finish(proc)
        self.assertEqual(code, 0, err)
        return events

    def recorded_seconds(self, proc, at_least):
        """Reads the recording's progress lines until `at_least` seconds are recorded."""
        while True:
            m = re.match(r"^(\d+\.\d) s, ", read_line(proc))
            if m and float(m.group(1)) >= at_least:
                return float(m.group(1))

    def test_a_recorded_call_replayed_gives_its_caller_and_digits(self):
        box = Box(self.runtime)
        self.addCleanup(box.stop)
        proc = self.start_tool("record", "call.wav", "--seconds", "7")
        t = self.recorded_seconds(proc, 0.5)
        box.send('call 5551234 name="Ann Lee"')
        t = self.recorded_seconds(proc, t + 2)  # the burst has sounded
        box.send("dtmf 42")
        code, out, err = finish(proc)
        self.assertEqual(code, 0, err)
        box.stop()
        # The line loops: the call comes first from the start of the file, or after the
        # digits of the round before.
        events = self.replayed_events(self.path("call.wav"), 5)
        kinds = [(e["event"], e.get("number") or e.get("key")) for e in events]
        start = kinds.index(("call", "5551234"))
        self.assertEqual(kinds[start:start + 3],
                         [("call", "5551234"), ("dtmf", "4"), ("dtmf", "2")], kinds)
        self.assertEqual(events[start]["name"], "Ann Lee")

    def test_digits_made_by_sox_replayed_are_heard(self):
        sox = shutil.which("sox")
        self.assertIsNotNone(sox, "sox is installed by scripts/setup")

        def make(name, *effect):
            subprocess.run([sox, "-n", "-r", "8000", "-e", "a-law", "-c", "1", self.path(name),
                            *effect], check=True)

        # 7 (852 + 1209 Hz) and # (941 + 1477 Hz), 120 ms each at -10 dBFS, 300 ms apart.
        make("seven.wav", "synth", "0.12", "sine", "852", "sine", "1209", "remix", "-",
             "gain", "-n", "-10")
        make("hash.wav", "synth", "0.12", "sine", "941", "sine", "1477", "remix", "-",
             "gain", "-n", "-10")
        make("gap.wav", "trim", "0", "0.3")
        subprocess.run([sox] + [self.path(n) for n in
                                ("gap.wav", "seven.wav", "gap.wav", "hash.wav", "gap.wav")]
                       + [self.path("digits.wav")], check=True)
        keys = [e["key"] for e in self.replayed_events(self.path("digits.wav"), 4)]
        self.assertTrue(set(keys) <= {"7", "#"}, keys)
        pairs = list(zip(keys, keys[1:]))
        self.assertIn(("7", "#"), pairs, keys)
        self.assertNotIn(("7", "7"), pairs, "each tone is one digit: %s" % keys)


def run(argv):
    global BOX, TOOL
    parser = argparse.ArgumentParser()
    parser.add_argument("--box", required=True)
    parser.add_argument("--tool", required=True)
    args, rest = parser.parse_known_args(argv[1:])
    BOX, TOOL = args.box, args.tool
    unittest.main(argv=[argv[0], "-v"] + rest)


if __name__ == "__main__":
    run(sys.argv)
