#!/usr/bin/env python3
"""End-to-end tests of the tavro tool's audio: recordings and playbacks through a tavro-box
process, and lines replayed by a box that listens to them.

Usage: e2e_audio_test.py --box PATH --tool PATH [unittest arguments, e.g. a test class name]

The box and the tests' base are those of e2e_test.py.
"""

import json
import os
import pty
import re
import resource
import select
import shutil
import signal
import struct
import subprocess
import sys
import time
import unittest

import e2e_test as e2e
from e2e_test import (Box, DEADLINE, ToolTest, finish, noise, packet, read_line, wave_header,
                      write_alaw_wave)


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
        r = subprocess.run([e2e.TOOL, "record", "full.wav", "--seconds", "20", "--quiet"],
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
        proc = subprocess.Popen([e2e.TOOL, *args], stdout=slave, stderr=subprocess.PIPE,
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


if __name__ == "__main__":
    e2e.run(sys.argv)
