#!/usr/bin/python3
"""tolvinstat against the blocks the real daemon writes."""

import json
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sandbox
from sandbox import check

NONE = -1
AVAILABILITY = "/var/data/tolvin/availability.dat"


def check_prometheus(text):
    """The text exposition format: HELP and TYPE before a family's samples,
    one TYPE per family, valid names, labels and values."""
    types = {}
    seen_samples = set()
    for line in text.splitlines():
        if line.startswith("# HELP "):
            name = line.split()[2]
            check(re.fullmatch(r"[a-zA-Z_:][a-zA-Z0-9_:]*", name), "metric name %r" % name)
            continue
        if line.startswith("# TYPE "):
            _, _, name, kind = line.split()
            check(name not in types, "second TYPE for %s" % name)
            check(kind in ("counter", "gauge"), "type %r" % kind)
            types[name] = kind
            continue
        match = re.fullmatch(r'([a-zA-Z_:][a-zA-Z0-9_:]*)(\{[a-z_]+="[^"]*"(,[a-z_]+="[^"]*")*\})? (\S+)', line)
        check(match is not None, "sample line %r" % line)
        name, labels, value = match.group(1), match.group(2) or "", match.group(4)
        check(name in types, "%s has no TYPE before it" % name)
        check(name.startswith("tolvin_"), "name %s" % name)
        float(value)
        check((name, labels) not in seen_samples, "duplicate sample %s%s" % (name, labels))
        seen_samples.add((name, labels))
        if types[name] == "counter":
            check(name.endswith("_total"), "counter %s" % name)
    return types


def scenario_no_segment(sb):
    status, out, err = sb.tolvinstat()
    check(status == 2, "status %d" % status)
    check(out == "", "stdout %r" % out)
    check(err == "tolvinstat: no statistics: tolvind has not run since boot\n", "stderr %r" % err)


def scenario_segment_without_samples(sb):
    hour = time.localtime().tm_hour
    # A window that is closed now: the block is reset but nothing recorded.
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, STARTTIME="%02d:00" % ((hour + 2) % 24),
                STOPTIME="%02d:00" % ((hour + 3) % 24))
    sb.start()
    sb.log.wait_for("started")
    time.sleep(0.5)
    status, out, _ = sb.tolvinstat()
    check(status == 0, "status %d" % status)
    check(out.startswith("tolvind link statistics: no samples yet\n"), "table %r" % out)
    check("rtt mean              no value          no value" in out, "table %r" % out)
    status, out, _ = sb.tolvinstat("--json")
    report = json.loads(out)
    check(report["samples_kept"] == 0 and report["long_term"]["rtt_min_us"] is None
          and report["availability"] is None, "json %r" % report)


def scenario_live_figures_in_every_mode(sb):
    sb.settings(IPADDR="127.0.0.1", IPADDR2="::1", PINGINT=1, PINGINT2=1, LOGALL=1,
                SHORTTERM=4, EXPOSEAVAIL=1)
    daemon = sb.start()
    index, _ = sb.log.wait_for(r"Ping to 127\.0\.0\.1: successful .*")
    sb.sysctl("net.ipv4.icmp_echo_ignore_all", 1)
    index, _ = sb.log.wait_for(r"Ping to 127\.0\.0\.1 and ::1: first failed .*", start=index + 1)
    sb.log.wait_for(r"Ping to ::1: successful .*", start=index + 1)
    time.sleep(0.3)
    daemon.stop()                          # the figures hold still from here
    block = sandbox.read_stats()
    with open(AVAILABILITY) as f:
        record = [int(n) for n in f.read().split()]

    status, out, err = sb.tolvinstat("--json")
    check(status == 0 and err == "", "status %d, stderr %r" % (status, err))
    report = json.loads(out)
    value = lambda v: None if v == NONE else v
    check(report["version"] == 1, "version")
    check(report["samples_kept"] == block["sample_count"] == 4, "samples %r" % report)
    check(report["newest_sample_time"] == block["samples"][-1][0], "newest time")
    long_term = report["long_term"]
    check(long_term == {"probes": block["probes"], "replies": block["replies"],
                        "rtt_min_us": value(block["rtt_min"]), "rtt_max_us": value(block["rtt_max"]),
                        "rtt_avg_us": value(block["rtt_avg"]), "rtt_sum_us": block["rtt_sum"],
                        "jitter_avg_us": value(block["jitter_avg"]),
                        "jitter_sum_us": block["jitter_sum"]}, "long_term %r vs %r" % (long_term, block))
    window = report["window"]
    check(window["probes"] == block["window_probes"] == 4 and window["replies"] == block["window_replies"]
          and window["rtt_sum_us"] == block["window_rtt_sum"], "window %r" % window)
    check(report["availability"] == {"start_time": record[0], "elapsed_seconds": record[1],
                                     "monitored_seconds": record[2], "available_seconds": record[3]},
          "availability %r vs %r" % (report["availability"], record))

    status, out, _ = sb.tolvinstat()
    check(status == 0, "table status %d" % status)
    lines = out.splitlines()
    check(re.fullmatch(r"tolvind link statistics, newest sample \d+ s ago \(4 samples kept\)", lines[0]),
          "table %r" % out)
    check(re.fullmatch(r"probes +4 +4", lines[3]) and re.fullmatch(r"replies +3 +3", lines[4]),
          "table %r" % out)
    check(re.fullmatch(r"loss +25\.00 % +25\.00 %", lines[5]), "loss line %r" % lines[5])
    check("availability since " in out and re.search(r"available +0 d 00 h 00 min +\(\d+\.\d\d %\)", out),
          "table %r" % out)

    status, out, _ = sb.tolvinstat("--prometheus")
    types = check_prometheus(out)
    check(types.get("tolvin_probes_total") == "counter", "types %r" % types)
    check("tolvin_probes_total 4\n" in out and "tolvin_replies_total 3\n" in out, "prometheus %r" % out)

    status, out, _ = sb.tolvinstat("--samples", "3")
    rows = out.splitlines()
    check(rows[0] == "time,rtt_us,jitter_us" and len(rows) == 4, "csv %r" % out)
    for row, (stamp, rtt, jitter) in zip(rows[1:], block["samples"][-3:]):
        expected = "%s,%s,%s" % (time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(stamp)),
                                 "" if rtt == NONE else rtt, "" if jitter == NONE else jitter)
        check(row == expected, "row %r, expected %r" % (row, expected))


def scenario_bad_options_and_help(sb):
    status, out, _ = sb.tolvinstat("--help")
    check(status == 0 and out.startswith("Usage: tolvinstat"), "help %d %r" % (status, out))
    for args in (["--bogus"], ["--samples"], ["--samples", "0"], ["--samples", "x"], ["--watch", "-1"],
                 ["--json", "--prometheus"], ["extra"]):
        status, out, err = sb.tolvinstat(*args)
        check(status == 1 and out == "" and err.startswith("tolvinstat: "), "%r: %d %r %r" % (args, status, out, err))


def scenario_permission_denied_for_others(sb):
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, LOGALL=1)
    sb.start()
    sb.log.wait_for(r"Ping to 127\.0\.0\.1: successful .*")
    os.chmod(sandbox.TOLVINSTAT, 0o755)
    os.chmod("/opt/tolvin", 0o755)
    status, out, err = sb.tolvinstat(user=65534)
    check(status == 1, "status %d" % status)
    check(err == "tolvinstat: permission denied: the statistics belong to the user tolvind runs as\n",
          "stderr %r" % err)


def scenario_block_changing_under_the_reader(sb):
    # Interval 0: the daemon records continuously while tolvinstat reads.
    sb.settings(IPADDR="127.0.0.1", PINGINT=0, SHORTTERM=50)
    sb.start()
    time.sleep(0.5)
    for _ in range(40):
        status, out, err = sb.tolvinstat("--json")
        check(status == 0, "status %d: %r" % (status, err))
        report = json.loads(out)
        long_term = report["long_term"]
        check(long_term["replies"] <= long_term["probes"], "replies over probes: %r" % report)
        check(report["samples_kept"] == min(long_term["probes"], 10000), "samples %r" % report)
        check(report["window"]["probes"] == min(long_term["probes"], 50), "window %r" % report)


def scenario_watch_repeats_the_table(sb):
    sb.settings(IPADDR="127.0.0.1", PINGINT=1)
    sb.start()
    time.sleep(1.5)
    process = subprocess.Popen([sandbox.TOLVINSTAT, "--watch", "1"], stdout=subprocess.PIPE)
    time.sleep(2.5)
    process.kill()
    out, _ = process.communicate()
    tables = out.decode().count("tolvind link statistics")
    check(tables >= 2, "%d tables in %r" % (tables, out))


if __name__ == "__main__":
    sandbox.main(globals())
