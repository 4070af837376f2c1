#!/usr/bin/env python3
"""The Python example (ctypes and asyncio) against a tavro-box process.

Usage: python_e2e.py --box PATH --library PATH --example PATH

One instance takes the box and logs the calls the box plays, as caller-log does, and shows
a notice in English through its notice handler; a second one, started meanwhile, says that
the box is in use and takes it once the first has ended. Last, --devices lists the box.
"""
import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile

from examples_e2e import CALLS, DEADLINE, EXPECTED, Lines, stop


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--box", required=True)
    parser.add_argument("--library", required=True)
    parser.add_argument("--example", required=True)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="tavro-python-") as work:
        runtime = os.path.join(work, "runtime")
        os.mkdir(runtime, 0o700)
        env = dict(os.environ, XDG_RUNTIME_DIR=runtime, TAVRO_BACKENDS="wire")
        example = [sys.executable, args.example, "--library", args.library]

        def start():
            proc = subprocess.Popen(example, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    text=True, env=env)
            return proc, Lines(proc.stdout), Lines(proc.stderr)

        def end(proc, name):
            proc.send_signal(signal.SIGINT)
            rc = proc.wait(timeout=DEADLINE)
            if rc != 0:
                raise AssertionError("%s ended with %d" % (name, rc))

        box = subprocess.Popen([args.box, "--runtime-dir", runtime, "--interactive"],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True, bufsize=1, env=env)
        first = second = None
        try:
            box_lines = Lines(box.stdout)
            box_lines.wait_for(r"^device ")
            first, first_out, first_err = start()
            first_out.until(lambda ls: any(l.endswith(" link back") for l in ls),
                            "the first instance's link up")
            second, second_out, second_err = start()
            second_err.until(lambda ls: any("in use by another program" in l for l in ls),
                             "the second instance's word that the box is in use")

            box.stdin.write("".join(verb + "\n" for verb in CALLS + ["record 02"]))
            box.stdin.flush()
            events = lambda ls: [l.split(" ", 2)[2] for l in ls
                                 if len(l.split(" ", 2)) == 3 and "link" not in l]
            lines = first_out.until(lambda ls: len(events(ls)) >= len(EXPECTED),
                                    "every event's line")
            for line in lines:
                if not re.match(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d ", line):
                    raise AssertionError("a line without its time: %r" % line)
            if events(lines)[:len(EXPECTED)] != EXPECTED:
                raise AssertionError("the example printed\n%s\nexpected\n%s"
                                     % ("\n".join(events(lines)), "\n".join(EXPECTED)))
            notice = first_err.until(lambda ls: any("unused type" in l for l in ls),
                                     "the notice in English")
            if any("NoUsed" in l for l in notice):
                raise AssertionError("the library's own text went out: %r" % notice)
            end(first, "the first instance")

            second_out.until(lambda ls: any(l.endswith(" link back") for l in ls),
                             "the second instance taking the box")
            end(second, "the second instance")

            listed = subprocess.run(example + ["--devices"], capture_output=True, text=True,
                                    env=env, timeout=DEADLINE)
            if (listed.returncode != 0 or "backends: wire" not in listed.stdout
                    or not re.search(r"box.*: opens$", listed.stdout, re.M)):
                raise AssertionError("--devices printed %r (%d)" % (listed.stdout,
                                                                    listed.returncode))
        finally:
            for proc in (first, second):
                if proc is not None:
                    stop(proc)
            stop(box)
            box.stdin.close()
    print("python_e2e: passed")


if __name__ == "__main__":
    sys.exit(main())
