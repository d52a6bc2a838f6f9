# Run by gdb ("gdb -batch -x gdb_tracer.py --args PROGRAM ...") to do for a
# static program what preloaded libraries do for a dynamic one:
#   TOLVIN_TRACE_COUNT=1       counts heap allocations, name resolutions and
#                              descriptor openings, and at every sendto() of
#                              an echo request writes them to standard error:
#                              "sendto allocations=N resolutions=N openings=N"
#   TOLVIN_TRACE_CLOCK=FILE    shifts the wall clock the program reads by the
#                              seconds in FILE ("+0", "-3600"), read afresh at
#                              every reading, as libfaketime's timestamp file
#                              does; the monotonic clock stays as it is
# x86-64 only: arguments and return addresses are read from its registers.
import os
import struct
import sys

import gdb

COUNT = os.environ.get("TOLVIN_TRACE_COUNT") == "1"
CLOCK_FILE = os.environ.get("TOLVIN_TRACE_CLOCK")

for command in ("set pagination off", "set confirm off", "set startup-with-shell off",
                "set follow-fork-mode parent", "set detach-on-fork on",
                "set breakpoint pending off", "handle SIGPIPE nostop noprint pass",
                "unset environment TOLVIN_TRACE_COUNT", "unset environment TOLVIN_TRACE_CLOCK"):
    gdb.execute(command)

counts = {"allocations": 0, "resolutions": 0, "openings": 0}
placed = set()   # addresses with a breakpoint: aliases share one


def address_of(name):
    symbol = gdb.lookup_global_symbol(name) or gdb.lookup_static_symbol(name)
    if symbol is not None:
        return int(symbol.value().address)
    try:
        return int(gdb.parse_and_eval("(long)&'%s'" % name))
    except gdb.error:
        return None


class Counter(gdb.Breakpoint):
    def __init__(self, address, kind):
        super().__init__("*%d" % address, internal=True)
        self.kind = kind

    def stop(self):
        counts[self.kind] += 1
        return False


class SendReport(gdb.Breakpoint):
    """Reports at the sends of echo requests: those name a destination (the
    C library's send() for the system log is a sendto() without one)."""

    def __init__(self, address):
        super().__init__("*%d" % address, internal=True)

    def stop(self):
        if int(gdb.selected_frame().read_register("r8")) == 0:
            return False
        sys.stderr.write("sendto allocations=%(allocations)d resolutions=%(resolutions)d "
                         "openings=%(openings)d\n" % counts)
        sys.stderr.flush()
        return False


def shift_seconds():
    try:
        with open(CLOCK_FILE) as f:
            return int(f.read().strip() or "0")
    except (OSError, ValueError):
        return 0


REALTIME_CLOCKS = (0, 5, 8)   # CLOCK_REALTIME, _COARSE, _ALARM


class ClockReturn(gdb.Breakpoint):
    """Where a reading of the wall clock returns to: shifts what it wrote."""
    at = {}

    def __init__(self, address):
        super().__init__("*%d" % address, internal=True)
        self.timespecs = []

    def stop(self):
        inferior = gdb.selected_inferior()
        while self.timespecs:
            timespec = self.timespecs.pop()
            seconds = struct.unpack("<q", bytes(inferior.read_memory(timespec, 8)))[0]
            inferior.write_memory(timespec, struct.pack("<q", seconds + shift_seconds()))
        return False


class ClockCall(gdb.Breakpoint):
    def __init__(self, address):
        super().__init__("*%d" % address, internal=True)

    def stop(self):
        frame = gdb.selected_frame()
        clock = int(frame.read_register("rdi"))
        timespec = int(frame.read_register("rsi")) & (2 ** 64 - 1)
        if clock in REALTIME_CLOCKS and timespec != 0:
            stack = int(frame.read_register("rsp")) & (2 ** 64 - 1)
            back = struct.unpack("<Q", bytes(gdb.selected_inferior().read_memory(stack, 8)))[0]
            if back not in ClockReturn.at:
                ClockReturn.at[back] = ClockReturn(back)
            ClockReturn.at[back].timespecs.append(timespec)
        return False


def place(names, make):
    for name in names:
        address = address_of(name)
        if address is not None and address not in placed:
            placed.add(address)
            make(address)


gdb.execute("starti", to_string=True)
if COUNT:
    place(("malloc", "__libc_malloc", "__libc_malloc_impl", "calloc", "__libc_calloc", "realloc",
           "__libc_realloc", "aligned_alloc", "posix_memalign", "memalign"),
          lambda a: Counter(a, "allocations"))
    place(("getaddrinfo",), lambda a: Counter(a, "resolutions"))
    place(("socket", "open", "open64", "openat", "fopen", "fopen64"), lambda a: Counter(a, "openings"))
    place(("sendto",), SendReport)
if CLOCK_FILE:
    place(("__clock_gettime", "clock_gettime"), ClockCall)
gdb.execute("continue")
