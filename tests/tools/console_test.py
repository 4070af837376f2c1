#!/usr/bin/env python3
"""tavro console as a person and as a script use it.

Usage: console_test.py --box PATH --tool PATH [unittest arguments, e.g. a test class name]

A person: the console runs on a pseudo-terminal opened here; what it writes goes through a
small terminal (the screen below), and the tests type keys and read the screen. A script:
the console reads its standard input from a pipe.
"""
import argparse
import fcntl
import os
import pty
import re
import shutil
import signal
import struct
import subprocess
import sys
import termios
import threading
import time
import unittest

import e2e_test as e2e
from e2e_test import DEADLINE, packet

ROWS, COLUMNS = 30, 80
UP = "\x1b[A"
# The number of write(2), as /proc/PID/syscall shows it.
WRITE_SYSCALL = {"x86_64": 1, "aarch64": 64, "i686": 4}[os.uname().machine]


class Screen:
    """The text a terminal shows for what a program writes: printable characters with
    automatic margins, CR, LF, BS, TAB, and the cursor and erase sequences of a VT100-like
    terminal (CUU/CUD/CUF/CUB/CUP, ED, EL, ICH, DCH). Others are taken and dropped."""

    def __init__(self, rows, columns):
        self.rows, self.columns = rows, columns
        self.cells = [[" "] * columns for _ in range(rows)]
        self.row = self.col = 0
        self.wrap_next = False
        self.pending = ""
        self.scrolled = []  # lines that went off the top, as a terminal's scroll-back keeps them

    def _scroll(self):
        self.scrolled.append("".join(self.cells.pop(0)).rstrip())
        self.cells.append([" "] * self.columns)

    def _newline(self):
        if self.row == self.rows - 1:
            self._scroll()
        else:
            self.row += 1

    def _put(self, ch):
        if self.wrap_next:
            self.col = 0
            self._newline()
            self.wrap_next = False
        self.cells[self.row][self.col] = ch
        if self.col == self.columns - 1:
            self.wrap_next = True
        else:
            self.col += 1

    def _csi(self, params, final):
        nums = [int(p) if p.isdigit() else 0 for p in params.lstrip("?").split(";")] or [0]
        n = max(nums[0], 1)
        self.wrap_next = False
        if final == "A":
            self.row = max(self.row - n, 0)
        elif final == "B":
            self.row = min(self.row + n, self.rows - 1)
        elif final == "C":
            self.col = min(self.col + n, self.columns - 1)
        elif final == "D":
            self.col = max(self.col - n, 0)
        elif final in "Hf":
            self.row = min(max(nums[0], 1), self.rows) - 1
            self.col = min(max(nums[1] if len(nums) > 1 else 1, 1), self.columns) - 1
        elif final == "J":
            if nums[0] == 2:
                self.cells = [[" "] * self.columns for _ in range(self.rows)]
            else:
                self.cells[self.row][self.col:] = [" "] * (self.columns - self.col)
                for r in range(self.row + 1, self.rows):
                    self.cells[r] = [" "] * self.columns
        elif final == "K":
            self.cells[self.row][self.col:] = [" "] * (self.columns - self.col)
        elif final == "@":
            line = self.cells[self.row]
            line[self.col:] = ([" "] * n + line[self.col:])[:self.columns - self.col]
        elif final == "P":
            line = self.cells[self.row]
            line[self.col:] = (line[self.col + n:] + [" "] * n)[:self.columns - self.col]

    def feed(self, text):
        text = self.pending + text
        self.pending = ""
        i = 0
        while i < len(text):
            ch = text[i]
            if ch == "\x1b":
                m = re.match(r"\x1b\[([0-9;?]*)([@-~])", text[i:])
                if m:
                    self._csi(m.group(1), m.group(2))
                    i += m.end()
                    continue
                if i + 1 >= len(text) or (text[i + 1] == "[" and not m):
                    self.pending = text[i:]  # a sequence cut by the read: wait for the rest
                    return
                i += 3 if text[i + 1] in "()#" else 2
                continue
            if ch == "\r":
                self.col, self.wrap_next = 0, False
            elif ch == "\n":
                self._newline()
                self.wrap_next = False
            elif ch == "\b":
                self.col, self.wrap_next = max(self.col - 1, 0), False
            elif ch == "\t":
                self.col = min((self.col // 8 + 1) * 8, self.columns - 1)
            elif ch >= " ":
                self._put(ch)
            i += 1

    def lines(self):
        """The scroll-back and the screen, top to bottom."""
        return self.scrolled + ["".join(r).rstrip() for r in self.cells]

    def text(self):
        return "\n".join(self.lines()).rstrip()


class Pty:
    """The console on a pseudo-terminal that is its controlling terminal."""

    def __init__(self, args, cwd, env, job_control=False):
        pid, fd = pty.fork()
        if pid == 0:  # the child: the terminal is its standard input, output and error
            try:
                fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", ROWS, COLUMNS, 0, 0))
                os.chdir(cwd)
                if job_control:
                    self._run_as_a_job(args, env)
                os.execve(e2e.TOOL, [e2e.TOOL, *args], env)
            finally:
                os._exit(127)
        self.pid, self.fd = pid, fd
        self.screen = Screen(ROWS, COLUMNS)
        self.raw = ""
        self.cond = threading.Condition()
        self.status = None
        self.reading = threading.Event()
        self.reading.set()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    @staticmethod
    def _run_as_a_job(args, env):
        """As a shell with job control runs a program: in a process group of its own in the
        foreground of the terminal, with this process (in the same session) waiting for it,
        so that the terminal's stop key stops it. Returns in the program's process."""
        job = os.fork()
        if job == 0:
            os.setpgid(0, 0)
            signal.signal(signal.SIGTTOU, signal.SIG_IGN)
            os.tcsetpgrp(0, os.getpid())
            signal.signal(signal.SIGTTOU, signal.SIG_DFL)
            return
        _, status = os.waitpid(job, 0)
        os._exit(os.waitstatus_to_exitcode(status) & 0xFF)

    def job(self):
        """The program's process, when it runs as a job."""
        with open("/proc/%d/task/%d/children" % (self.pid, self.pid)) as f:
            return int(f.read().split()[0])

    def _read(self):
        while True:
            self.reading.wait()  # cleared: the terminal's output backs up, as on a slow line
            try:
                data = os.read(self.fd, 4096)
            except OSError:  # the other end is closed: the console has ended
                data = b""
            with self.cond:
                if not data:
                    self.cond.notify_all()
                    return
                text = data.decode("utf-8", "replace")
                self.raw += text
                self.screen.feed(text)
                self.cond.notify_all()

    def type(self, keys):
        os.write(self.fd, keys.encode())

    def wait_for(self, check, what, timeout=DEADLINE):
        """Waits until check(lines of the screen) is true; returns its value."""
        end = time.monotonic() + timeout
        with self.cond:
            while True:
                got = check(self.screen.lines())
                if got:
                    return got
                left = end - time.monotonic()
                if left <= 0 or not self.reader.is_alive():
                    raise AssertionError("the screen never showed %s; it shows:\n%s"
                                         % (what, self.screen.text()))
                self.cond.wait(min(left, 0.5))

    def wait_text(self, pattern, timeout=DEADLINE):
        rx = re.compile(pattern)
        return self.wait_for(lambda lines: next((m for m in map(rx.search, lines) if m), None),
                             repr(pattern), timeout)

    def last_line(self):
        with self.cond:
            lines = [l for l in self.screen.lines() if l]
            return lines[-1] if lines else ""

    def wait_prompt(self, typed=""):
        """Waits until the last line of the screen is the prompt with `typed` after it."""
        want = ("tavro> " + typed).rstrip()
        return self.wait_for(lambda lines: [l for l in lines if l][-1:] == [want],
                             "the prompt %r" % want)

    def wait_exit(self, timeout=DEADLINE):
        end = time.monotonic() + timeout
        while self.status is None:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                self.status = os.waitstatus_to_exitcode(status)
                break
            if time.monotonic() > end:
                raise AssertionError("the console did not end; the screen shows:\n"
                                     + self.screen.text() + "\nits threads:\n"
                                     + e2e.thread_stacks(self.pid))
            with self.cond:
                self.cond.wait(0.05)
        self.reader.join(DEADLINE)
        return self.status

    def close(self):
        if self.status is None:
            try:
                os.kill(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.wait_exit()
        os.close(self.fd)


class ConsoleTest(e2e.ToolTest):
    box_args = ()

    def setUp(self):
        super().setUp()
        self.env["HOME"] = self.tmp  # no editor settings of the user running the tests
        self.env["TERM"] = "vt100"
        self.term = None

    def tearDown(self):
        if self.term:
            self.term.close()
        super().tearDown()

    def sent(self, mark):
        """The commands the box received since `mark`, once it has logged all of them."""
        self.box.sync()
        return self.box.commands(mark)

    def start_console(self):
        self.term = Pty(["console"], self.cwd, self.env)
        self.term.wait_text(r"^\d\d:\d\d:\d\d\.\d{3} link up$")
        self.term.wait_prompt()
        return self.term

    def enter(self, line, answer, shown=None):
        """Types a line and Enter; waits for the answer under the line on the screen, and the
        next prompt under that. `shown` is the line as the screen shows it, when that is
        not what was typed (a line recalled from the history)."""
        typed = ("tavro> " + (line if shown is None else shown)).rstrip()
        with self.term.cond:
            before = [l for l in self.term.screen.lines() if l][:-1].count(typed)
        self.term.type(line + "\r")
        rx = re.compile(answer)

        def answered(lines):
            lines = [l for l in lines if l]
            if lines.count(typed) <= before or lines[-1] != "tavro>":
                return None
            after = lines[len(lines) - 1 - lines[::-1].index(typed):-1]
            return next((m for m in map(rx.search, after) if m), None)

        return self.term.wait_for(answered, "%r answered by %r" % (typed, answer))


class Terminal(ConsoleTest):
    def test_events_show_above_a_half_typed_line(self):
        term = self.start_console()
        term.type("dial 55")
        term.wait_prompt("dial 55")
        # The box rings and sends digits while the line is half typed.
        self.box.send("ring")
        self.box.send("dtmf 4#")
        shown = [r"^\d\d:\d\d:\d\d\.\d{3} ring$", r" dtmf 4 \(code 4\)$", r" dtmf # \(code 12\)$",
                 r"^tavro> dial 55$"]  # the typed line, drawn again below them

        def events_above_the_line(lines):
            last = [l for l in lines if l][-4:]
            return len(last) == 4 and all(re.search(p, l) for p, l in zip(shown, last))

        term.wait_for(events_above_the_line, "the events above the half-typed line")
        # Typing goes on where it was: the line holds what was typed before and after.
        self.box.sync()  # what the box logged so far is read
        mark = self.box.mark()
        self.enter("51", r"^dialled 5551$", shown="dial 5551")
        dial = [c for c in self.sent(mark) if c[0] == 6]
        self.assertEqual(len(dial), 1)
        self.assertEqual(dial[0][1], 4)
        self.assertEqual(dial[0][22:26], [5, 5, 5, 1])
        # A caller's number with control bytes reaches the screen escaped, in the words of
        # watch: with the call's date.
        self.box.send(e2e.caller_id_record("555\x1b[2J1"))
        term.wait_text(r" call 555\\x1b\[2J1 12-08 10:30$")
        # Idle, the console sleeps until something happens (polling at 20 a second would
        # wake 100 times in 5 s); a ring still shows.
        before = e2e.voluntary_switches(term.pid)
        time.sleep(5)
        if os.environ.get("TAVRO_SANITIZE") != "thread":
            self.assertLessEqual(e2e.voluntary_switches(term.pid) - before, 10)
        self.box.send("hook on")
        term.wait_text(r" hook on \(box\)$")

    def test_history_cancel_and_errors(self):
        term = self.start_console()
        self.enter("mute on", r"^mute on$")
        self.enter("status", r"^link: up$")
        # The up arrow recalls the lines typed before, the last first.
        term.type(UP)
        term.wait_prompt("status")
        term.type(UP)
        term.wait_prompt("mute on")
        self.box.sync()  # what the box logged so far is read
        mark = self.box.mark()
        self.enter("", r"^mute on$", shown="mute on")
        self.assertEqual(self.sent(mark), [packet(17, 1)])
        # Ctrl-C drops the line being typed: nothing is sent, a new prompt follows.
        term.type("hangup")
        term.wait_prompt("hangup")
        self.box.sync()  # what the box logged so far is read
        mark = self.box.mark()
        term.type("\x03")
        term.wait_for(lambda lines: [l for l in lines if l][-2:] == ["tavro> hangup", "tavro>"],
                      "a new prompt under the dropped line")
        term.type("ring\r")
        term.wait_text(r"^ring detection requested$")
        self.assertEqual(self.sent(mark), [packet(26)])
        # A mistake is named and the console goes on.
        self.enter("fly", r"^tavro: unknown command 'fly' \(help lists the commands\)$")
        self.enter("record", r"^tavro: record: file is required")
        self.enter("help", r"^  quit +Hang up")
        term.type("quit\r")
        self.assertEqual(term.wait_exit(), 0)

    def test_history_is_kept_for_the_next_session(self):
        term = self.start_console()
        self.enter("mute on", r"^mute on$")
        term.type("quit\r")
        self.assertEqual(term.wait_exit(), 0)
        term.close()
        self.term = None
        kept = os.path.join(self.tmp, ".local", "state", "tavro", "history")
        self.assertEqual(os.stat(kept).st_mode & 0o777, 0o600)
        term = self.start_console()
        term.type(UP)
        term.wait_prompt("quit")
        term.type(UP)
        term.wait_prompt("mute on")
        term.type("\x03")
        term.type("quit\r")
        self.assertEqual(term.wait_exit(), 0)

    def test_ctrl_z_gives_the_terminal_back_and_the_line_goes_on(self):
        self.term = term = Pty(["console"], self.cwd, self.env, job_control=True)
        term.wait_text(r"^\d\d:\d\d:\d\d\.\d{3} link up$")
        term.wait_prompt()
        job = term.job()
        slave = os.readlink("/proc/%d/fd/0" % job)
        term.type("dial 5")
        term.wait_prompt("dial 5")

        def state():
            with open("/proc/%d/stat" % job) as f:
                return f.read().rsplit(")", 1)[1].split()[0]

        def wait_state(stopped, what):
            deadline = time.monotonic() + e2e.DEADLINE
            while (state() == "T") != stopped:
                self.assertLess(time.monotonic(), deadline, what)
                time.sleep(0.01)

        def terminal_given_back():
            wait_state(True, "Ctrl-Z did not stop the console")
            tty = os.open(slave, os.O_RDWR | os.O_NOCTTY)
            try:
                lflag = termios.tcgetattr(tty)[3]
            finally:
                os.close(tty)
            self.assertTrue(lflag & termios.ECHO and lflag & termios.ICANON,
                            "the terminal is left as the console found it")
            os.kill(job, signal.SIGCONT)
            wait_state(False, "SIGCONT did not continue the console")

        # Ctrl-Z at a waiting prompt.
        term.type("\x1a")
        terminal_given_back()
        # The stop signal while the editor is between two keys: here it waits to write the
        # redraws of a burst of Ctrl-L (each a cleared screen with its padding, some 200
        # bytes on a vt100) to a terminal whose output is not read. The burst is typed at
        # once; a few hundred of its keys back the output up.
        term.reading.clear()
        try:
            term.type("\x0c" * 1500)

            def writing():
                with open("/proc/%d/syscall" % job) as f:
                    return f.read().split()[0] == str(WRITE_SYSCALL)

            deadline = time.monotonic() + 3 * e2e.DEADLINE
            while not writing():
                self.assertLess(time.monotonic(), deadline,
                                "the console's output never backed up")
                time.sleep(0.01)
            os.kill(job, signal.SIGTSTP)
        finally:
            term.reading.set()
        terminal_given_back()
        term.wait_prompt("dial 5")
        self.box.sync()
        mark = self.box.mark()
        self.enter("55", r"^dialled 555$", shown="dial 555")
        self.assertEqual([c[22:25] for c in self.sent(mark) if c[0] == 6], [[5, 5, 5]])
        term.type("quit\r")
        self.assertEqual(term.wait_exit(), 0)

    def test_pickup_record_stop_play_and_quit(self):
        capture = os.path.join(self.tmp, "captured.wav")
        self.box.stop()
        self.box = e2e.Box(self.runtime, "--capture", capture)
        line = e2e.noise(4000, seed=11)
        e2e.write_alaw_wave(os.path.join(self.tmp, "line.wav"), line)
        self.box.send("source wave " + os.path.join(self.tmp, "line.wav"))
        self.box.sync()
        term = self.start_console()
        self.enter("pickup", r"^line off hook$")
        self.enter("record call.wav --mode 0", r"^recording call\.wav \(stop ends it\)$")
        # The recording runs while the console takes commands: status shows it growing.
        while True:
            m = self.enter("status", r"^recording call\.wav: [0-9.]+ s, (\d+) bytes")
            if int(m.group(1)) >= 8000:
                break
        m = self.enter("stop", r"^recorded call\.wav: (\d+) bytes, ([0-9.]+) s of audio")
        size = int(m.group(1))
        self.assertEqual(os.path.getsize(self.path("call.wav")), size)
        # A sound tool reads all of it: the header describes the file.
        r = subprocess.run(["sox", "--i", "-s", self.path("call.wav")], capture_output=True,
                           text=True, timeout=DEADLINE)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(int(r.stdout), size - 48)
        with open(self.path("call.wav"), "rb") as f:
            audio = f.read()[48:]
        self.assertEqual(audio, (line * (len(audio) // len(line) + 1))[:len(audio)])
        # Played back to the line, it ends by itself and says so above the prompt.
        self.enter("play call.wav", r"^playing call\.wav \(stop ends it\)$")
        term.wait_text(r"^played call\.wav: %d bytes$" % (size - 48))
        self.box.sync()  # what the box logged so far is read
        mark = self.box.mark()
        term.type("quit\r")
        self.assertEqual(term.wait_exit(), 0)
        self.assertIn("line on hook", term.screen.text())  # quit put the line back on hook
        self.assertEqual(self.sent(mark), [packet(3)])
        self.box.stop()
        self.box = None
        with open(capture, "rb") as f:
            played = f.read()
        played = played[played.index(b"data") + 8:]
        with open(self.path("call.wav"), "rb") as f:
            self.assertEqual(played[:size - 48], f.read()[48:])  # its audio, no header

    def test_ctrl_d_ends_the_console_and_stops_a_recording(self):
        term = self.start_console()
        self.enter("record end.wav", r"^recording end\.wav")
        self.box.wait_for(r"^audio in: streaming")
        term.type("\x04")
        self.assertEqual(term.wait_exit(), 0)
        self.assertRegex(term.screen.text(), r"recorded end\.wav: \d+ bytes")
        e2e.wave_header(self.path("end.wav"))  # complete: its header reads


class Script(ConsoleTest):
    def console(self, script, *args):
        return subprocess.run([e2e.TOOL, *args, "console"], input=script, capture_output=True,
                              text=True, cwd=self.cwd, env=self.env, timeout=DEADLINE * 2)

    def test_a_script_runs_in_order(self):
        r = self.console("# a comment, then the commands\n"
                         "pickup\n"
                         "record s.wav --seconds 1\n"
                         "wait\n"
                         "play s.wav\n"
                         "wait\n"
                         "\n"
                         "hangup\n")
        self.assertRun(r)
        self.assertNotIn("tavro>", r.stdout)  # no prompt
        said = [re.sub(r"^\d\d:\d\d:\d\d\.\d{3} ", "", l) for l in r.stdout.splitlines()]
        results = [l for l in said if not l.startswith(("link ", "hook "))]
        self.assertEqual(results[0], "line off hook")
        self.assertRegex(results[1], r"^recording s\.wav for 1\.0 s$")
        self.assertRegex(results[2], r"^recorded s\.wav: \d+ bytes")
        self.assertEqual(results[3], "playing s.wav (stop ends it)")
        self.assertRegex(results[4], r"^played s\.wav: \d+ bytes$")
        self.assertEqual(results[5:], ["line on hook"])
        self.assertIn("link up", said)
        e2e.wave_header(self.path("s.wav"))

    def test_a_bad_line_ends_the_script_with_its_error(self):
        self.box.sync()  # what the box logged so far is read
        mark = self.box.mark()
        r = self.console("mute on\nmute sideways\nring\n")
        self.assertRun(r, 2)
        self.assertIn("tavro: line 2: mute: ", r.stderr)
        self.assertIn("the script stops at line 2", r.stderr)
        self.assertEqual(self.sent(mark), [packet(17, 1)])  # ring was not sent
        r = self.console("status\nfly away\n")
        self.assertRun(r, 2)
        self.assertIn("tavro: line 2: unknown command 'fly'", r.stderr)
        # A command that the box does not answer ends it with that command's exit status.
        self.box.send("silent on")
        self.box.sync()
        r = self.console("pickup\nstatus\n")
        self.assertRun(r, 5)
        self.assertIn("pick up failed: no answer from the box", r.stderr)
        self.assertNotIn("link: up", r.stdout)

    def test_wait_refuses_a_recording_without_an_end(self):
        r = self.console("record x.wav\nwait\n")
        self.assertRun(r, 2)
        self.assertIn("the recording has no time limit", r.stderr)
        e2e.wave_header(self.path("x.wav"))  # stopped at the end all the same

    def test_no_box(self):
        self.box.stop()
        self.box = None
        r = self.console("status\n", "--wait", "0.5")
        self.assertRun(r, 3)
        self.assertIn("no box", r.stderr)


def run(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--box", required=True)
    parser.add_argument("--tool", required=True)
    args, rest = parser.parse_known_args(argv[1:])
    e2e.BOX, e2e.TOOL = args.box, args.tool
    if not shutil.which("sox"):
        sys.exit("console_test.py: sox is needed to read the recordings back")
    unittest.main(argv=[argv[0], "-v"] + rest)


if __name__ == "__main__":
    run(sys.argv)
