#!/usr/bin/python3
"""The statistics block as other programs on the router read it."""

import os
import re
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sandbox
from sandbox import LOG_ERR, check

# Run under emulation too, for a big-endian router.
CORE = ("reader_finds_the_daemons_figures",
        "every_start_resets_the_block")

NONE = -1


def scenario_reader_finds_the_daemons_figures(sb):
    sb.settings(IPADDR="127.0.0.1", IPADDR2="::1", PINGINT=1, PINGINT2=1, LOGALL=1, SHORTTERM=3)
    check(sandbox.read_stats() is None, "a segment before the daemon started")
    daemon = sb.start()
    index, _ = sb.log.wait_for(r"Ping to 127\.0\.0\.1: successful .*")
    index, _ = sb.log.wait_for(r"Ping to 127\.0\.0\.1: successful .*", start=index + 1)
    sb.sysctl("net.ipv4.icmp_echo_ignore_all", 1)
    index, _ = sb.log.wait_for(r"Ping to 127\.0\.0\.1 and ::1: first failed .*", start=index + 1,
                               timeout=10)
    index, _ = sb.log.wait_for(r"Ping to ::1: successful .*", start=index + 1)
    daemon.wait_asleep()
    stats = sandbox.read_stats()
    # Samples: 2 successes, a failed first probe, the fail-over success, one more.
    tag_bytes = b"data" if sb.build.big_endian else b"atad"   # 0x64617461 in native order
    check(stats["tag"] == 0x64617461 and stats["raw"][76:80] == tag_bytes, "tag %r" % stats["raw"][76:80])
    check(stats["probes"] == 5 and stats["sample_count"] == 5, "counts %r" % {
        k: stats[k] for k in ("probes", "sample_count")})
    check(stats["replies"] == 4, "replies %d" % stats["replies"])
    rtts = [rtt for _, rtt, _ in stats["samples"]]
    check(rtts[2] == NONE and all(r >= 0 for i, r in enumerate(rtts) if i != 2), "rtts %r" % rtts)
    times = [t for t, _, _ in stats["samples"]]
    check(times == sorted(times) and abs(times[-1] - time.time()) < 5, "times %r" % times)
    # The logged round-trip times are the recorded ones, in ms with one decimal.
    logged = [m.group(1) for l in sb.log.snapshot()
              for m in [re.search(r"response in (\d+\.\d) ms", l.text)] if m]
    recorded = ["%.1f" % (r * 0.001) for r in rtts if r != NONE]
    check(logged == recorded, "logged %r recorded %r" % (logged, recorded))
    check(stats["rtt_min"] == min(r for r in rtts if r != NONE), "rtt_min")
    check(stats["rtt_max"] == max(rtts), "rtt_max")
    check(stats["rtt_sum"] == sum(r for r in rtts if r != NONE), "rtt_sum")
    check(stats["window_probes"] == 3, "window_probes %d" % stats["window_probes"])


def scenario_every_start_resets_the_block(sb):
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, LOGALL=1)
    daemon = sb.start()
    index, _ = sb.log.wait_for(r"Ping to 127\.0\.0\.1: successful .*")
    sb.log.wait_for(r"Ping to 127\.0\.0\.1: successful .*", start=index + 1)
    daemon.stop()
    stats = sandbox.read_stats()
    check(stats["probes"] >= 2, "figures stay after the daemon ended: %r" % stats["probes"])
    old = stats["samples"]
    sb.icmp_echo(False)
    second = sb.start()
    sb.log.wait_for(r"Ping to 127\.0\.0\.1: failed .*", start=len(sb.log.snapshot()) - 1, timeout=5)
    stats = sandbox.read_stats()
    check(stats["probes"] == 1 and stats["replies"] == 0 and stats["rtt_min"] == NONE, "after restart")
    check(stats["rtt_avg"] == NONE and stats["jitter_avg"] == NONE, "averages after restart")
    check(stats["samples"][0][1] == NONE, "first sample %r" % (stats["samples"],))
    second.stop()


def scenario_missing_executable_path(sb):
    os.remove(sandbox.DAEMON)
    program = os.path.join(sb.stage, "tolvind")
    sb.settings(IPADDR="127.0.0.1", PINGINT=1)
    rc, _, _ = sb.start(program=program).wait()
    check(rc == 1, "exit status %d" % rc)
    _, line = sb.log.wait_for("data allocation problem: No such file or directory")
    check(line.level == LOG_ERR, "level %d" % line.level)


def scenario_smaller_segment_under_the_key(sb):
    sandbox.create_segment(1000)
    sb.settings(IPADDR="127.0.0.1", PINGINT=1)
    rc, _, _ = sb.start().wait()
    check(rc == 1, "exit status %d" % rc)
    _, line = sb.log.wait_for("data allocation problem: Invalid argument")
    check(line.level == LOG_ERR, "level %d" % line.level)


if __name__ == "__main__":
    sandbox.main(globals())
