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

# Run under emulation too, for a big-endian router.
CORE = ("live_figures_in_every_mode",
        "no_segment")

NONE = -1
AVAILABILITY = "/var/data/tolvin/availability.dat"


def check_series_against_the_block(samples, block, record):
    """Every series tolvinstat exports from the block and the availability
    file, in base units, against the figures read independently."""
    def equal(name, expected, labels=""):
        got = samples.get((name, labels))
        check(got is not None and abs(got - expected) < 1e-9, "%s%s: %r, expected %r" % (
            name, labels, got, expected))
    equal("tolvin_probes_total", block["probes"])
    equal("tolvin_replies_total", block["replies"])
    equal("tolvin_rtt_seconds_sum", block["rtt_sum"] / 1e6)
    equal("tolvin_rtt_seconds_count", block["replies"])
    equal("tolvin_jitter_seconds_sum", block["jitter_sum"] / 1e6)
    equal("tolvin_jitter_seconds_count", max(block["replies"] - 1, 0))
    newest = block["samples"][-1]
    equal("tolvin_last_probe_timestamp_seconds", newest[0])
    equal("tolvin_last_probe_success", 1 if newest[1] != NONE else 0)
    equal("tolvin_window_probes", block["window_probes"])
    equal("tolvin_window_replies", block["window_replies"])
    for name, field in (("tolvin_window_rtt_min_seconds", "window_rtt_min"),
                        ("tolvin_window_rtt_mean_seconds", "window_rtt_avg"),
                        ("tolvin_window_rtt_max_seconds", "window_rtt_max"),
                        ("tolvin_window_jitter_mean_seconds", "window_jitter_avg")):
        if block[field] == NONE:
            check((name, "") not in samples, "%s exported without a value" % name)
        else:
            equal(name, block[field] / 1e6)
    equal("tolvin_availability_start_timestamp_seconds", record[0])
    equal("tolvin_availability_update_timestamp_seconds", record[0] + record[1])
    equal("tolvin_monitored_seconds_total", record[2])
    equal("tolvin_available_seconds_total", record[3])
    check(all(value >= 0 for value in samples.values()), "a negative figure: %r" % samples)


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
    daemon = sb.start()
    sb.log.wait_for("started")
    daemon.wait_asleep()                   # in the closed window, the block reset
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
    daemon.wait_asleep()
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
    check(status == 0, "prometheus status %d" % status)
    check_series_against_the_block(sandbox.check_exposition(out), block, record)

    status, out, _ = sb.tolvinstat("--samples", "3")
    rows = out.splitlines()
    check(rows[0] == "time,rtt_us,jitter_us" and len(rows) == 4, "csv %r" % out)
    for row, (stamp, rtt, jitter) in zip(rows[1:], block["samples"][-3:]):
        expected = "%s,%s,%s" % (time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(stamp)),
                                 "" if rtt == NONE else rtt, "" if jitter == NONE else jitter)
        check(row == expected, "row %r, expected %r" % (row, expected))


SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging", "settings.sample")
MISTYPED = """# each kind of finding
MOD_TOLVIN_IPADRR="127.0.0.1"
MOD_TOLVIN_PINGINT="10s"
MOD_TOLVIN_FAILNUM="three"
MOD_TOLVIN_PINGINT="5"
just words
 MOD_TOLVIN_LOGALL=1
MOD_TOLVIN_SHORTTERM=-1
MOD_TOLVIN_PINGSIZE=70000
MOD_TOLVIN_STARTTIME="08:00"
MOD_TOLVIN_STOPTIME="08:00"
MOD_TOLVIN_IPADDR2="nowhere.invalid"
MOD_TOLVIN_IFACE="lte0"
"""
FINDINGS = [
    (2, "MOD_TOLVIN_IPADRR is not a key tolvind knows: did you mean MOD_TOLVIN_IPADDR?"),
    (3, 'MOD_TOLVIN_PINGINT="10s" is read as 10'),
    (4, 'MOD_TOLVIN_FAILNUM="three" is read as 0'),
    (5, "MOD_TOLVIN_PINGINT is given again: tolvind takes the first, on line 3"),
    (6, '"just words" is not key=value: tolvind skips this line'),
    (7, '" MOD_TOLVIN_LOGALL" is not a key tolvind knows: the blanks around MOD_TOLVIN_LOGALL make it another one'),
    (8, 'MOD_TOLVIN_SHORTTERM="-1" is read as 4294967295'),
    (9, "MOD_TOLVIN_PINGSIZE=70000 is beyond the largest echo payload, 65507"),
    (11, "the monitoring window starts as it stops (08:00): it is (almost) never open; set neither for "
         "monitoring all day"),
    (12, 'MOD_TOLVIN_IPADDR2 "nowhere.invalid" does not resolve now: '),
    (13, "there is no interface lte0 now: probes over it go without reply until it is there (a line between "
         "redials?)"),
    (None, "no first address (MOD_TOLVIN_IPADDR): tolvind probes nothing"),
]


def scenario_settings_check(sb):
    # The commented sample has no findings; every key is listed with the
    # value the daemon uses, those of the file marked.
    status, out, _ = sb.tolvinstat("--check", SAMPLE)
    lines = out.splitlines()
    check(status == 0 and lines[-1] == "No findings." and len(lines) == 2 + 63 and
          "* MOD_TOLVIN_PINGINT=10" in lines, "the sample: %d %r" % (status, out))

    # A file with each kind of finding, the instance's own by default: each
    # with its line, in the order of the file, in text, JSON and the log.
    sb.write(sandbox.SETTINGS + ".lte", MISTYPED)
    before = len(sb.log.snapshot())
    status, out, _ = sb.tolvinstat("--instance", "lte", "--check", "--log")
    got = out.splitlines()[64:]
    check(status == 1 and got[0] == "12 findings:" and '  MOD_TOLVIN_ROUTERID=""' in out.splitlines(),
          "status %d, %r" % (status, got[:1]))
    for (number, text), line in zip(FINDINGS, got[1:]):
        prefix = "line %d: " % number if number else ""
        check(line.startswith(prefix + text), "finding %r, expected %r" % (line, prefix + text))
    report = json.loads(sb.tolvinstat("--check", "--json", sandbox.SETTINGS + ".lte")[1])
    check([(f["line"], f["text"][:len(t)]) for f, (_, t) in zip(report["findings"], FINDINGS)] == FINDINGS and
          report["settings"][3] == {"key": "MOD_TOLVIN_PINGINT", "value": 10, "line": 3}, "JSON %r" % report)
    sandbox.wait_until(lambda: sum(l.ident == "tolvinstat" for l in sb.log.snapshot()[before:]) == 12,
                       "the findings in the system log")
    check(sb.log.snapshot()[before].text == "/opt/tolvin/etc/settings.lte, line 2: " + FINDINGS[0][1], "log")

    # A time the daemon rejects, a source of the other family; a file that
    # cannot be read.
    sb.write("/tmp/other", 'MOD_TOLVIN_IPADDR="127.0.0.1"\nMOD_TOLVIN_STARTTIME="7.30"\nMOD_TOLVIN_SRCADDR="::1"\n')
    status, out, _ = sb.tolvinstat("--check", "/tmp/other")
    check(status == 1 and out.splitlines()[65:] == [
        'line 2: MOD_TOLVIN_STARTTIME="7.30" is not a time of day (hh:mm)',
        "line 3: source address ::1 is not of the family of 127.0.0.1: its probes go without reply"],
        "other: %r" % out.splitlines()[64:])
    status, out, err = sb.tolvinstat("--check", "/nonexistent")
    check(status == 2 and out == "" and err == "tolvinstat: cannot read /nonexistent: No such file or directory\n",
          "unreadable: %d %r" % (status, err))


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
    sandbox.wait_until(lambda: (sandbox.read_stats() or {"probes": 0})["probes"] >= 100, "100 probes")
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
    sandbox.wait_until(lambda: (sandbox.read_stats() or {"probes": 0})["probes"] >= 1, "a probe")
    process = subprocess.Popen([sandbox.TOLVINSTAT, "--watch", "1"], stdout=subprocess.PIPE)
    try:
        out, tables = b"", 0
        deadline = time.monotonic() + 10
        while tables < 2 and time.monotonic() < deadline:
            line = process.stdout.readline()
            out += line
            tables += line.count(b"tolvind link statistics")
        check(tables >= 2, "%d tables in %r" % (tables, out))
    finally:
        process.kill()
        process.communicate()


if __name__ == "__main__":
    sandbox.main(globals())
