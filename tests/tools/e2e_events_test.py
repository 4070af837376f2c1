#!/usr/bin/env python3
"""End-to-end tests of tavro watch: the box's events as lines and as JSON, through a tavro-box
process, and the tool asleep while nothing happens.

Usage: e2e_events_test.py --box PATH --tool PATH [unittest arguments, e.g. a test class name]

The box and the tests' base are those of e2e_test.py.
"""

import json
import os
import signal
import sys
import time
import unittest

import e2e_test as e2e
from e2e_test import DEADLINE, ToolTest, caller_id_record, finish, read_line, voluntary_switches


def mdmf_record(*params):
    """Reply type 4 with a multiple-data message of (type, bytes) parameters."""
    body = []
    for kind, data in params:
        body += [kind, len(data)] + list(data)
    msg = [0x80, len(body)] + body
    msg.append((-sum(msg)) & 0xFF)
    return "record 04 01 " + " ".join("%02x" % b for b in msg)


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


if __name__ == "__main__":
    e2e.run(sys.argv)
