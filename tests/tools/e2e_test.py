#!/usr/bin/env python3
"""End-to-end tests of the tavro tool: a tavro-box process, the tavro tool, and this script.
Here the command line and the line commands, and the box and the tests' base that
e2e_events_test.py (watch), e2e_audio_test.py (record, play) and e2e_programs_test.py (other
programs and boxes) use too.

Usage: e2e_test.py --box PATH --tool PATH [unittest arguments, e.g. a test class name]

Every test runs its own box in a fresh XDG_RUNTIME_DIR and working directory. What the box
received is read from its event lines ("command 04", ...), which it prints on stdout.
"""
import argparse
import json
import os
import resource
import re
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


class Collected:
    """The lines of a stream, collected by a thread as they come, each without the
    "[   1.234] " time a program puts ahead of it."""

    what = "the program"
    deadline = DEADLINE

    def __init__(self, stream):
        self.lines = []
        self.cond = threading.Condition()
        self.reader = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self.reader.start()

    def _read(self, stream):
        for line in stream:
            line = re.sub(r"^\[\s*[0-9.]+\]\s*", "", line.rstrip("\n"))
            with self.cond:
                self.lines.append(line)
                self.cond.notify_all()

    def mark(self):
        with self.cond:
            return len(self.lines)

    def until(self, predicate, what, timeout=None):
        """Waits until predicate(the lines so far) holds; the lines then."""
        end = time.monotonic() + (self.deadline if timeout is None else timeout)
        with self.cond:
            while not predicate(self.lines):
                left = end - time.monotonic()
                if left <= 0:
                    raise AssertionError("%s never came; %s said:\n%s"
                                         % (what, self.what, "\n".join(self.lines)))
                self.cond.wait(left)
            return list(self.lines)

    def wait_for(self, pattern, since=0, timeout=None):
        """The match of the first line since the mark that has `pattern`."""
        rx = re.compile(pattern)
        found = []

        def seen(lines):
            m = next((m for m in map(rx.search, lines[since:]) if m), None)
            return m is not None and not found.append(m)

        self.until(seen, "a line with %r" % pattern, timeout)
        return found[0]


class Lines(Collected):
    """A process whose output lines (stdout, or stderr) are collected as they come."""

    def __init__(self, args, env, stream="stdout", stdin=None):
        self.proc = subprocess.Popen(args, stdin=stdin, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, bufsize=1, env=env)
        super().__init__(getattr(self.proc, stream))

    def end(self, sig=signal.SIGTERM):
        """Ends the process with `sig` (killed when it outlives the deadline); its exit code."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout=DEADLINE)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.reader.join(DEADLINE)
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            if stream:
                stream.close()
        return self.proc.returncode


class Box(Lines):
    """A tavro-box process in interactive mode, with its event lines collected."""

    what = "the box"

    def __init__(self, runtime_dir, *extra):
        super().__init__([BOX, "--interactive", "--runtime-dir", runtime_dir, *extra],
                         dict(os.environ, XDG_RUNTIME_DIR=runtime_dir), stdin=subprocess.PIPE)
        self.wait_for(r"^device |plugged ")

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

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
                self.proc.wait(timeout=DEADLINE)
            except (BrokenPipeError, ValueError, subprocess.TimeoutExpired):
                pass
        self.end(signal.SIGKILL)


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
    # readline() in a thread of its own: a select() on the descriptor would miss a line that
    # came in one read with the line before and waits in the stream's buffer.
    got = []
    reader = threading.Thread(target=lambda: got.append(stream.readline()), daemon=True)
    reader.start()
    reader.join(timeout)
    if not got:
        raise AssertionError("the tool printed nothing within %.0f s" % timeout)
    line = got[0]
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


def noise(n, seed=1):
    """Bytes that no fault of framing could reproduce by accident."""
    out = bytearray()
    x = seed
    for _ in range(n):
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out.append((x >> 16) & 0xFF)
    return bytes(out)


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


def write_alaw_wave(path, audio):
    """A plain 8 kHz mono A-law wave file (16-byte format chunk)."""
    fmt = struct.pack("<HHIIHH", 6, 1, 8000, 8000, 1, 8)
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt) + 8 + len(audio)) + b"WAVE")
        f.write(b"fmt " + struct.pack("<I", len(fmt)) + fmt)
        f.write(b"data" + struct.pack("<I", len(audio)) + audio)


def run(argv, options=(), configure=None):
    """Runs the tests named in argv (all when none): --box and --tool, and each of `options`
    (also paths that a script needs), are required; `configure` receives them all first."""
    global BOX, TOOL
    parser = argparse.ArgumentParser()
    for option in ("--box", "--tool", *options):
        parser.add_argument(option, required=True)
    args, rest = parser.parse_known_args(argv[1:])
    BOX, TOOL = args.box, args.tool
    if configure:
        configure(args)
    unittest.main(argv=[argv[0], "-v"] + rest)


if __name__ == "__main__":
    run(sys.argv)
