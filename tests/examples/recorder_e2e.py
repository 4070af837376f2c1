#!/usr/bin/env python3
"""The multi-line-recorder example against two tavro-box processes, each line with a tone of
its own and a call with a caller ID.

Usage: recorder_e2e.py --box PATH --recorder PATH

The recorder is given no device: it takes every box there is. On each box a call comes and is
answered (the box reports the line off hook), the box streams some of its tone, and the line
goes on hook. There must then be one file per call, named by box, time and caller, holding its
own box's tone, and the recorder must end cleanly on SIGINT.
"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

from examples_e2e import DEADLINE, Lines, stop

# Box name, caller, the tone its line carries.
LINES = [("box0", "5551234", 440), ("box1", "0301234567", 1000)]


def wait_for_frames(box, lines, count):
    """Waits until the box has streamed `count` audio frames since its start."""
    while True:
        mark = len(lines.lines)
        box.stdin.write("audio\n")
        box.stdin.flush()
        found = lines.until(lambda ls: any(re.search(r"audio: .*?(\d+) frames sent", l)
                                           for l in ls[mark:]), "the box's audio line")
        sent = [re.search(r"audio: .*?(\d+) frames sent", l) for l in found[mark:]]
        if int(next(m for m in sent if m).group(1)) >= count:
            return


def rough_frequency(sox, path):
    r = subprocess.run([sox, path, "-n", "stat"], capture_output=True, text=True,
                       timeout=DEADLINE)
    m = re.search(r"Rough\s+frequency:\s+(\d+)", r.stderr)
    if r.returncode != 0 or not m:
        raise AssertionError("sox cannot read %s: %s" % (path, r.stderr))
    return int(m.group(1))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--box", required=True)
    parser.add_argument("--recorder", required=True)
    args = parser.parse_args()
    sox = shutil.which("sox")
    if sox is None:
        raise AssertionError("sox is installed by scripts/setup")

    with tempfile.TemporaryDirectory(prefix="tavro-recorder-") as work:
        runtime = os.path.join(work, "runtime")
        out = os.path.join(work, "calls")
        os.mkdir(runtime, 0o700)
        os.mkdir(out)
        env = dict(os.environ, XDG_RUNTIME_DIR=runtime, TAVRO_BACKENDS="wire")
        boxes, recorder = [], None
        try:
            for name, _, tone in LINES:
                box = subprocess.Popen([args.box, "--runtime-dir", runtime, "--name", name,
                                        "--interactive"], stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                       text=True, bufsize=1, env=env)
                lines = Lines(box.stdout)
                boxes.append((box, lines))
                lines.wait_for(r"^device ")
                box.stdin.write("source tone %d level=0.5\n" % tone)
                box.stdin.flush()
            recorder = subprocess.Popen([args.recorder, "--out", out], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True, env=env)
            said = Lines(recorder.stdout)
            said.until(lambda ls: all("%s: link up" % n in ls for n, _, _ in LINES),
                       "the link up on every box")
            for (box, _), (_, caller, _) in zip(boxes, LINES):
                box.stdin.write("call %s\nhook off\n" % caller)
                box.stdin.flush()
            for (box, lines), (name, _, _) in zip(boxes, LINES):
                said.until(lambda ls: any(l.startswith(name + ": recording ") for l in ls),
                           name + "'s recording")
                wait_for_frames(box, lines, 16)  # half a second
                box.stdin.write("hook on\n")
                box.stdin.flush()
            said.until(lambda ls: sum(": recorded " in l for l in ls) == len(LINES),
                       "every recording's end")
            recorder.send_signal(signal.SIGINT)
            rc = recorder.wait(timeout=DEADLINE)
            if rc != 0:
                raise AssertionError("the recorder ended with %d: %s" % (rc, recorder.stderr.read()))

            files = sorted(os.listdir(out))
            if len(files) != len(LINES):
                raise AssertionError("one file per call expected: %s" % files)
            for f, (name, caller, tone) in zip(files, LINES):
                if not re.fullmatch(r"%s_\d{8}-\d{6}_%s\.wav" % (name, caller), f):
                    raise AssertionError("%s is not named by box, time and caller" % f)
                path = os.path.join(out, f)
                samples = subprocess.run([sox, "--i", "-s", path], capture_output=True,
                                         text=True, timeout=DEADLINE)
                if samples.returncode != 0 or int(samples.stdout) < 2000:
                    raise AssertionError("%s holds too little audio: %s%s"
                                         % (f, samples.stdout, samples.stderr))
                heard = rough_frequency(sox, path)
                if abs(heard - tone) > tone / 10:
                    raise AssertionError("%s holds %d Hz, its line carries %d Hz" % (f, heard, tone))
        finally:
            if recorder is not None:
                stop(recorder)
                recorder.stdout.close()
                recorder.stderr.close()
            for box, _ in boxes:
                stop(box)
                box.stdout.close()
                box.stdin.close()
    print("recorder_e2e: passed")


if __name__ == "__main__":
    sys.exit(main())
