#!/usr/bin/python3
"""The probe over a real path to a test host: round-trip times beside ping's
over a delayed path, and failed cycles that end at their deadline while late
replies keep coming. A dynamic glibc daemon runs a second time with a
select() that never writes back the time left, as musl's does."""

import os
import re
import shutil
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sandbox
from sandbox import TestHost, check

CORE = ("round_trip_over_a_delayed_path", "late_replies_do_not_stretch_a_failed_cycle")
DELAY_SECONDS = 0.005
PROBES = 6


def variants(sb):
    """(name, preload) for each way this build's daemon is run."""
    runs = [("as built", None)]
    if not sb.build.static and not sb.sanitized:
        runs.append(("with a select() that keeps its timeout", "select_keeps_timeout.so"))
    return runs


def check_preload_used(daemon, preload):
    if preload:
        check("select_keeps_timeout: in use" in daemon.stderr, "the preload was not used: %r" % daemon.stderr)


def start_ping(address, count):
    """ping beside the daemon, with the same priority: timed from user space
    to user space (-U), as the daemon's round-trip rule does."""
    ping = shutil.which("ping")
    check(ping is not None, "ping is missing (scripts/setup installs iputils-ping)")
    return subprocess.Popen(sandbox.REALTIME + [ping, "-n", "-U", "-c", str(count), "-i", "0.5", address],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)


def ping_rtts_usec(ping):
    out, _ = ping.communicate(timeout=30)
    return [float(m) * 1000 for m in re.findall(r"time=([\d.]+) ms", out)]


def scenario_round_trip_over_a_delayed_path(sb):
    host = sb.test_host()
    host.respond("delay", DELAY_SECONDS, realtime=True)
    for address in (TestHost.ADDRESS, TestHost.ADDRESS6):
        for name, preload in variants(sb):
            sb.settings(IPADDR=address, PINGINT=1, PINGSIZE=56, LOGALL=1)
            index = len(sb.log.snapshot())
            daemon = sb.start(preload=preload, realtime=True)
            ping = start_ping(address, 2 * PROBES)
            pattern = r"Ping to %s: successful with response in (\d+\.\d) ms" % re.escape(address)
            for _ in range(PROBES):
                index, _ = sb.log.wait_for(pattern, start=index + 1, timeout=15)
            daemon.stop()
            theirs = ping_rtts_usec(ping)
            check_preload_used(daemon, preload)
            block = sandbox.read_stats()
            ours = [rtt for _, rtt, _ in block["samples"]]
            check(len(ours) >= PROBES and all(rtt != -1 for rtt in ours), "samples %r" % ours)
            # The responder waits 5 ms before it answers. A probe whose clock
            # reading after the send came late (its process preempted, as
            # under emulation on a loaded machine) reads less; the median of
            # the probes stays near the path, where the fault read 0.
            check(len(theirs) >= 5, "ping got %r" % theirs)
            ours_median, theirs_median = statistics.median(ours), statistics.median(theirs)
            check(ours_median >= DELAY_SECONDS * 1e6 / 2, "%s, %s: median of %r far below the path's 5 ms" % (
                address, name, ours))
            check(ours_median <= theirs_median + 2000, "%s, %s: median %.0f us, ping's %.0f us" % (
                address, name, ours_median, theirs_median))
            print("%s, %s: median %.0f us (ping %.0f us), rtts %r, ping's %r" % (
                address, name, ours_median, theirs_median, ours, [round(t) for t in theirs]))


def scenario_late_replies_do_not_stretch_a_failed_cycle(sb):
    # Interval and timeout 1 s: a failed cycle waits 1 s and sleeps 1 s, while
    # a reply to an older request comes in every 0.2 s. The cycles are timed
    # by when their log lines reach the harness, which a loaded machine may
    # delay: a wait cut short by a late reply would make them 1.2 s, one
    # restarted by each would never end.
    host = sb.test_host()
    host.respond("late", 0.2)
    for name, preload in variants(sb):
        sb.settings(IPADDR=TestHost.ADDRESS, PINGINT=1, LOGALL=1)
        index = len(sb.log.snapshot())
        daemon = sb.start(preload=preload)
        pattern = r"Ping to 10\.77\.0\.2: failed with no response \(occurrence %d in a series\)"
        arrivals = []
        for n in range(1, 6):
            index, line = sb.log.wait_for(pattern % n, start=index + 1, timeout=8)
            arrivals.append(line.arrival)
        daemon.stop()
        check_preload_used(daemon, preload)
        cycles = [b - a for a, b in zip(arrivals, arrivals[1:])]
        print("%s: cycles of %s s" % (name, ", ".join("%.3f" % c for c in cycles)))
        check(all(1.5 <= c <= 4.0 for c in cycles), "%s: cycles of %r s" % (name, cycles))


if __name__ == "__main__":
    sandbox.main(globals())
