#!/usr/bin/env python3
"""The caller-log example against a tavro-box process that plays calls.

Usage: examples_e2e.py --box PATH --caller-log PATH

The box publishes itself in a fresh XDG_RUNTIME_DIR; once caller-log reports the link up
(its library has started: records that come earlier are not taken), the box plays calls.
caller-log must print each event's line, in order, and end cleanly on SIGINT.
"""
import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from e2e_test import Collected  # noqa: E402  the line collector of the tool's tests

# Generous: the suite also runs under the sanitizers and on a busy machine.
DEADLINE = 60.0

CALLS = [
    "ring",
    'call 5551234 name="ANN LEE" date=12241830',
    "dtmf 4#",
    "call P format=sdm date=01020304",
    'call name="BOB" date=12312359',
]

# What caller-log prints for it, after its time stamp, in this order.
EXPECTED = [
    "ring",
    'caller 5551234 "ANN LEE" 12/24 18:30',
    "dtmf 4",
    "dtmf #",
    "caller private 01/02 03:04",
    'caller unavailable "BOB" 12/31 23:59',
]


class Lines(Collected):
    """The lines a stream gives, collected by a thread, with the examples' deadline."""

    deadline = DEADLINE


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=DEADLINE)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--box", required=True)
    parser.add_argument("--caller-log", required=True)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="tavro-examples-") as work:
        runtime = os.path.join(work, "runtime")
        os.mkdir(runtime, 0o700)
        env = dict(os.environ, XDG_RUNTIME_DIR=runtime, TAVRO_BACKENDS="wire")
        box = subprocess.Popen([args.box, "--runtime-dir", runtime, "--interactive"],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True, bufsize=1, env=env)
        log = None
        try:
            box_lines = Lines(box.stdout)
            box_lines.wait_for(r"^device ")
            log = subprocess.Popen([args.caller_log], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True, env=env)
            log_lines = Lines(log.stdout)
            log_lines.until(lambda ls: any(l.endswith(" link back") for l in ls),
                            "the link up")
            for verb in CALLS:
                box.stdin.write(verb + "\n")
            box.stdin.flush()
            # "2026-12-09 18:30:02 ring" -> "ring"; the link coming up is left out.
            events = lambda ls: [l.split(" ", 2)[2] for l in ls
                                 if len(l.split(" ", 2)) == 3 and "link" not in l]
            lines = log_lines.until(lambda ls: len(events(ls)) >= len(EXPECTED),
                                    "every event's line")
            for line in lines:
                if not re.match(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d ", line):
                    raise AssertionError("a line without its time: %r" % line)
            if events(lines)[:len(EXPECTED)] != EXPECTED:
                raise AssertionError("caller-log printed\n%s\nexpected\n%s"
                                     % ("\n".join(events(lines)), "\n".join(EXPECTED)))
            log.send_signal(signal.SIGINT)
            rc = log.wait(timeout=DEADLINE)
            if rc != 0:
                raise AssertionError("caller-log ended with %d: %s" % (rc, log.stderr.read()))
        finally:
            if log is not None:
                stop(log)
                log.stdout.close()
                log.stderr.close()
            stop(box)
            box.stdout.close()
            box.stdin.close()
    print("examples_e2e: passed")


if __name__ == "__main__":
    sys.exit(main())
