#!/usr/bin/env python3
"""caller_log.py: caller-log in Python, on the C interface through ctypes and asyncio.

Prints a line for every ring, caller ID and DTMF digit on the line (and the link lost and
back), dated by the event's own wall-clock time, until interrupted. asyncio watches the
library's event descriptor, so nothing wakes the program while the line is quiet.

    $ python3 caller_log.py
    2026-12-09 18:30:02 ring
    2026-12-09 18:30:03 caller 5551234 "ANN LEE" 12/09 18:30

    $ python3 caller_log.py --devices        # the devices the library finds, and exit

The library is libtavro.so.1 as the dynamic loader finds it (LD_LIBRARY_PATH for a
private prefix), or the file given with --library.
"""
import argparse
import asyncio
import ctypes
import datetime
import signal
import sys

# The types of tavro/events.h and tavro/devices.h.
u8, u32, i32, i64 = ctypes.c_uint8, ctypes.c_uint32, ctypes.c_int32, ctypes.c_int64


class CallerId(ctypes.Structure):
    _fields_ = [("message_type", u8), ("checksum_valid", u8), ("has_date_time", u8),
                ("month", u8), ("day", u8), ("hour", u8), ("minute", u8),
                ("number_absence", u8), ("name_absence", u8), ("raw_length", u8),
                ("number", ctypes.c_char * 61), ("name", ctypes.c_char * 61),
                ("raw", u8 * 64)]


class Dtmf(ctypes.Structure):
    _fields_ = [("code", u8), ("key", ctypes.c_char)]


class Notice(ctypes.Structure):
    _fields_ = [("code", i32), ("text", ctypes.c_char * 256)]


class Overflow(ctypes.Structure):
    _fields_ = [("dropped", u32)]


# The kinds this program shows; the notice, the largest, gives the union its size.
class EventData(ctypes.Union):
    _fields_ = [("caller_id", CallerId), ("dtmf", Dtmf), ("notice", Notice),
                ("overflow", Overflow)]


class Event(ctypes.Structure):
    _fields_ = [("kind", u32), ("sequence", u32), ("time_ns", i64), ("u", EventData),
                ("wall_time_ns", i64)]


class Device(ctypes.Structure):
    _fields_ = [("backend", ctypes.c_char_p), ("path", ctypes.c_char_p),
                ("description", ctypes.c_char_p), ("state", ctypes.c_int),
                ("reason", ctypes.c_char_p)]


class DeviceList(ctypes.Structure):
    _fields_ = [("device_count", ctypes.c_size_t), ("devices", ctypes.POINTER(Device)),
                ("backend_count", ctypes.c_size_t), ("backends", ctypes.POINTER(ctypes.c_char_p)),
                ("note_count", ctypes.c_size_t), ("notes", ctypes.POINTER(ctypes.c_char_p))]


RING, CALLER_ID, DTMF, LINK_LOST, LINK_BACK, OVERFLOW = 1, 2, 3, 6, 7, 13
ABSENCE = {1: "private", 2: "unavailable", 3: "no number"}
NoticeHandler = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p)


def load(path):
    lib = ctypes.CDLL(path)
    signatures = {
        "tavro_open": (ctypes.c_void_p, []),
        "tavro_close": (ctypes.c_int, [ctypes.c_void_p]),
        "tavro_events_fd": (ctypes.c_int, [ctypes.c_void_p]),
        "tavro_event_take": (ctypes.c_int, [ctypes.c_void_p, ctypes.POINTER(Event)]),
        "tavro_box_in_use": (ctypes.c_int, []),
        "tavro_set_notice_handler": (ctypes.c_int, [NoticeHandler, ctypes.c_void_p]),
        "tavro_notice_text": (ctypes.c_char_p, [ctypes.c_int]),
        "tavro_result_name": (ctypes.c_char_p, [ctypes.c_int]),
        "tavro_list_devices": (ctypes.POINTER(DeviceList), []),
        "tavro_free_device_list": (None, [ctypes.POINTER(DeviceList)]),
        "tavro_device_state_name": (ctypes.c_char_p, [ctypes.c_int]),
    }
    for name, (result, arguments) in signatures.items():
        function = getattr(lib, name)
        function.restype, function.argtypes = result, arguments
    return lib


def text(raw):
    """Bytes from the line as text a terminal shows as it is: control bytes escaped."""
    return "".join(c if c.isprintable() else "\\x%02x" % ord(c)
                   for c in raw.decode("latin-1"))


def caller_line(c):
    line = ABSENCE.get(c.number_absence) or text(c.number) or "-"
    if c.name:
        line += ' "%s"' % text(c.name)
    elif c.name_absence in ABSENCE:
        line += " (name %s)" % ABSENCE[c.name_absence]
    if c.has_date_time:
        line += " %02d/%02d %02d:%02d" % (c.month, c.day, c.hour, c.minute)
    if not c.checksum_valid and c.message_type != 0:
        line += " (checksum mismatch)"
    return line


def event_line(e):
    if e.kind == RING:
        return "ring"
    if e.kind == CALLER_ID:
        return "caller " + caller_line(e.u.caller_id)
    if e.kind == DTMF:
        return "dtmf " + text(e.u.dtmf.key)
    if e.kind == LINK_LOST:
        return "link lost"
    if e.kind == LINK_BACK:
        return "link back"
    if e.kind == OVERFLOW:
        return "%d events lost" % e.u.overflow.dropped
    return None


def list_devices(lib):
    listing = lib.tavro_list_devices()
    if not listing:
        return 1
    try:
        got = listing.contents
        backends = [got.backends[i].decode() for i in range(got.backend_count)]
        print("backends: " + ", ".join(backends))
        for i in range(got.device_count):
            d = got.devices[i]
            line = "%s: %s" % (d.description.decode(), lib.tavro_device_state_name(d.state).decode())
            print(line + (" (%s)" % d.reason.decode() if d.reason else ""))
        for i in range(got.note_count):
            print("note: " + got.notes[i].decode())
    finally:
        lib.tavro_free_device_list(listing)
    return 0


async def log_events(lib, io):
    loop = asyncio.get_running_loop()
    stop = asyncio.Event()
    for signo in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(signo, stop.set)

    def take():
        event = Event()
        while lib.tavro_event_take(io, ctypes.byref(event)) == 1:
            line = event_line(event)
            if line is not None:
                when = datetime.datetime.fromtimestamp(event.wall_time_ns / 1e9)
                print(when.strftime("%Y-%m-%d %H:%M:%S"), line, flush=True)

    loop.add_reader(lib.tavro_events_fd(io), take)
    take()  # what came before the reader was added
    await stop.wait()
    loop.remove_reader(lib.tavro_events_fd(io))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--library", default="libtavro.so.1", help="the library to load")
    parser.add_argument("--devices", action="store_true", help="list the devices and exit")
    args = parser.parse_args()
    lib = load(args.library)
    if args.devices:
        return list_devices(lib)

    # The library's notices, in English, on standard error. The handler is kept alive as
    # long as the library may call it.
    @NoticeHandler
    def on_notice(code, original, user):
        print("caller_log.py: " + (lib.tavro_notice_text(code).decode() or text(original)),
              file=sys.stderr, flush=True)

    lib.tavro_set_notice_handler(on_notice, None)
    io = lib.tavro_open()
    if not io:
        print("caller_log.py: the library could not start", file=sys.stderr)
        return 1
    if lib.tavro_box_in_use():
        print("caller_log.py: the box is in use by another program; waiting for it",
              file=sys.stderr, flush=True)
    try:
        asyncio.run(log_events(lib, io))
    finally:
        closed = lib.tavro_close(io)
        lib.tavro_set_notice_handler(NoticeHandler(), None)
    if closed != 1:
        print("caller_log.py: closing failed: " + lib.tavro_result_name(closed).decode(),
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
