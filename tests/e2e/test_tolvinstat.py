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


def check_series_against_the_block(samples, block, record, short_term):
    """Every series tolvinstat exports from the block and the availability
    file, in base units, against the figures read independently; the
    window's from the ring's newest `short_term` (S) samples."""
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
    window = sandbox.ring_window(block, short_term)
    equal("tolvin_window_probes", window["probes"])
    equal("tolvin_window_replies", window["replies"])
    for name, field in (("tolvin_window_rtt_min_seconds", "rtt_min_us"),
                        ("tolvin_window_rtt_mean_seconds", "rtt_avg_us"),
                        ("tolvin_window_rtt_max_seconds", "rtt_max_us"),
                        ("tolvin_window_jitter_mean_seconds", "jitter_avg_us")):
        if window[field] is None:
            check((name, "") not in samples, "%s exported without a value" % name)
        else:
            equal(name, window[field] / 1e6)
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
    check(out.startswith("line working since ") and "\ntolvind link statistics: no samples yet\n" in out,
          "table %r" % out)
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
    check(report["window"] == sandbox.ring_window(block, 4) and report["window"]["probes"] == 4,
          "window %r" % report["window"])
    counters = report["block_window_counters"]
    check(counters["probes"] == block["window_probes"] and counters["replies"] == block["window_replies"]
          and counters["rtt_sum_us"] == block["window_rtt_sum"], "the block's counters %r" % counters)
    check(report["availability"] == {"start_time": record[0], "elapsed_seconds": record[1],
                                     "monitored_seconds": record[2], "available_seconds": record[3]},
          "availability %r vs %r" % (report["availability"], record))

    status, out, _ = sb.tolvinstat()
    check(status == 0, "table status %d" % status)
    lines = out.splitlines()
    # Stopped: its verdict is no longer one.
    check(lines[0] == "line state unknown" and
          re.fullmatch(r"tolvind link statistics, newest sample \d+ s ago \(4 samples kept\)", lines[1]),
          "table %r" % out)
    check(re.fullmatch(r"probes +4 +4", lines[4]) and re.fullmatch(r"replies +3 +3", lines[5]),
          "table %r" % out)
    check(re.fullmatch(r"loss +25\.00 % +25\.00 %", lines[6]), "loss line %r" % lines[6])
    check("availability since " in out and re.search(r"available +0 d 00 h 00 min +\(\d+\.\d\d %\)", out),
          "table %r" % out)

    status, out, _ = sb.tolvinstat("--prometheus")
    check(status == 0, "prometheus status %d" % status)
    check_series_against_the_block(sandbox.check_exposition(out), block, record, 4)

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
MOD_TOLVIN_DEGRNUM="20000"
MOD_TOLVIN_DEGRLOSS="20"
MOD_TOLVIN_RECOVLOSS="20"
MOD_TOLVIN_EVENTCMD="/usr/bin/tolvin-no-such-program"
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
    (14, "MOD_TOLVIN_DEGRNUM=20000 is beyond the 10000 probes tolvind judges: it judges 10000"),
    (16, "MOD_TOLVIN_RECOVLOSS=20 is not below MOD_TOLVIN_DEGRLOSS=20: a degraded line is never restored on it"),
    (17, "there is no program /usr/bin/tolvin-no-such-program: no change of the line reaches the router"),
    (None, "no first address (MOD_TOLVIN_IPADDR): tolvind probes nothing"),
]


def scenario_settings_check(sb):
    # The commented sample has no findings; every key is listed with the
    # value the daemon uses, those of the file marked.
    status, out, _ = sb.tolvinstat("--check", SAMPLE)
    lines = out.splitlines()
    check(status == 0 and lines[-1] == "No findings." and len(lines) == 2 + 76 and
          "* MOD_TOLVIN_PINGINT=10" in lines, "the sample: %d %r" % (status, out))

    # A file with each kind of finding, the instance's own by default: each
    # with its line, in the order of the file, in text, JSON and the log.
    sb.write(sandbox.SETTINGS + ".lte", MISTYPED)
    before = len(sb.log.snapshot())
    status, out, _ = sb.tolvinstat("--instance", "lte", "--check", "--log")
    got = out.splitlines()[77:]
    check(status == 1 and got[0] == "15 findings:" and '  MOD_TOLVIN_ROUTERID=""' in out.splitlines(),
          "status %d, %r" % (status, got[:1]))
    for (number, text), line in zip(FINDINGS, got[1:]):
        prefix = "line %d: " % number if number else ""
        check(line.startswith(prefix + text), "finding %r, expected %r" % (line, prefix + text))
    report = json.loads(sb.tolvinstat("--check", "--json", sandbox.SETTINGS + ".lte")[1])
    check([(f["line"], f["text"][:len(t)]) for f, (_, t) in zip(report["findings"], FINDINGS)] == FINDINGS and
          report["settings"][3] == {"key": "MOD_TOLVIN_PINGINT", "value": 10, "line": 3}, "JSON %r" % report)
    sandbox.wait_until(lambda: sum(l.ident == "tolvinstat" for l in sb.log.snapshot()[before:]) == 15,
                       "the findings in the system log")
    check(sb.log.snapshot()[before].text == "/opt/tolvin/etc/settings.lte, line 2: " + FINDINGS[0][1], "log")

    # A time the daemon rejects, a source of the other family; a file that
    # cannot be read.
    sb.write("/tmp/other", 'MOD_TOLVIN_IPADDR="127.0.0.1"\nMOD_TOLVIN_STARTTIME="7.30"\nMOD_TOLVIN_SRCADDR="::1"\n'
             'MOD_TOLVIN_EVENTCMD="/tmp/other"\n')
    status, out, _ = sb.tolvinstat("--check", "/tmp/other")
    check(status == 1 and out.splitlines()[78:] == [
        'line 2: MOD_TOLVIN_STARTTIME="7.30" is not a time of day (hh:mm)',
        "line 3: source address ::1 is not of the family of 127.0.0.1: its probes go without reply",
        "line 4: /tmp/other is not executable: no change of the line reaches the router"],
        "other: %r" % out.splitlines()[77:])
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


def scenario_a_lossy_line_as_the_ring_holds_it(sb):
    # A test host that answers three requests of seven: the block's own
    # window success count drifts down after every loss, whatever leaves the
    # window; every reader shows the window's samples.
    host = sb.test_host()
    host.respond("drop", "a--a-a-")
    sb.settings(IPADDR=host.ADDRESS, PINGINT=1, SHORTTERM=6, EXPOSEAVAIL=1)
    daemon = sb.start()

    def apart():
        block = sandbox.read_stats()
        return block and block["probes"] >= 10 and block["window_replies"] != sandbox.ring_window(block, 6)["replies"]
    sandbox.wait_until(apart, "the block's window count apart from the ring's", timeout=40)
    daemon.freeze()
    block = sandbox.read_stats()
    ring = sandbox.ring_window(block, 6)
    check(ring["probes"] == 6 and block["window_replies"] != ring["replies"], "ring %r, block's count %d" % (
        ring, block["window_replies"]))

    report = json.loads(sb.tolvinstat("--json")[1])
    check(report["window"] == ring, "JSON's window %r, the ring's %r" % (report["window"], ring))
    check(report["block_window_counters"]["replies"] == block["window_replies"], "JSON %r" % report)

    ms = lambda usec: "no value" if usec is None else "%d.%03d ms" % divmod(usec, 1000)
    loss = "%.2f %%" % (100.0 * (6 - ring["replies"]) / 6)
    table = sb.tolvinstat()[1].splitlines()[1:]
    for line, expected in ((2, r" +since start +last 6 probes"), (3, r"probes +\d+ +6"),
                           (4, r"replies +\d+ +%d" % ring["replies"]), (5, r"loss +\S+ % +" + re.escape(loss)),
                           (6, r"rtt min +.* ms +" + re.escape(ms(ring["rtt_min_us"]))),
                           (7, r"rtt mean +.* ms +" + re.escape(ms(ring["rtt_avg_us"]))),
                           (8, r"rtt max +.* ms +" + re.escape(ms(ring["rtt_max_us"]))),
                           (9, r"jitter mean +.* +" + re.escape(ms(ring["jitter_avg_us"])))):
        check(re.fullmatch(expected, table[line]), "table line %r, expected %r" % (table[line], expected))

    record = [int(n) for n in open(AVAILABILITY).read().split()]
    status, out, err = sb.tolvinstat("--prometheus")
    check(status == 0 and err == "", "status %d %r" % (status, err))
    check_series_against_the_block(sandbox.check_exposition(out), block, record, 6)

    page = cgi(sb, "")
    figures = dict(re.findall(r'data-figure="(window_\w+)">([^<]*)<', page))
    check(figures == {"window_probes": "6", "window_replies": str(ring["replies"]), "window_loss": loss,
                      "window_rtt_min": ms(ring["rtt_min_us"]), "window_rtt_mean": ms(ring["rtt_avg_us"]),
                      "window_rtt_max": ms(ring["rtt_max_us"]), "window_jitter_mean": ms(ring["jitter_avg_us"])},
          "the page's window %r, the ring's %r" % (figures, ring))
    print("figures: the ring's last 6: %d answered, mean %s; the block's own count %d, mean %s" % (
        ring["replies"], ms(ring["rtt_avg_us"]), block["window_replies"],
        ms(None if block["window_rtt_avg"] == NONE else block["window_rtt_avg"])))


def cgi(sb, path):
    """The CGI front end's answer to GET of `path`."""
    result = subprocess.run(sb.tolvinstat_command("--cgi"), env={"REQUEST_METHOD": "GET", "PATH_INFO": path},
                            stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=20)
    check(result.returncode == 0, "tolvinstat --cgi: %d %r" % (result.returncode, result.stderr))
    return result.stdout


def scenario_a_line_that_cannot_be_read_leaves_the_others_served(sb):
    # Three lines; under lte's key another program's segment. The scrape, the
    # textfile, the page and the chart serve the two others, and say why lte
    # is missing.
    for name in ("", "wan2", "lte"):
        sb.write(sandbox.SETTINGS + ("." + name if name else ""),
                 'MOD_TOLVIN_IPADDR="127.0.0.1"\nMOD_TOLVIN_PINGINT="1"\nMOD_TOLVIN_SHORTTERM="4"\n')
    daemons = [sb.start(env={"TOLVIN_INSTANCE": name} if name else None) for name in ("", "wan2")]
    _, libc = sandbox._libc()
    check(libc.shmget(sandbox.stats_key("lte"), 4096, 0o1600) != -1, "the other program's segment")
    for name, daemon in zip(("", "wan2"), daemons):
        sandbox.wait_until(lambda: (sandbox.read_stats(name) or {"probes": 0})["probes"] >= 2, "probes of %r" % name)
        daemon.freeze()
    problem = "the segment under tolvind's key is not its statistics block"

    status, out, err = sb.tolvinstat("--prometheus")
    check(status == 0 and err == "tolvinstat: line lte: %s\n" % problem, "status %d, stderr %r" % (status, err))
    samples = sandbox.check_exposition(out)
    check({labels: value for (name, labels), value in samples.items() if name == "tolvin_read_success"} ==
          {"": 1, '{line="wan2"}': 1, '{line="lte"}': 0}, "read_success %r" % samples)
    for labels, name in (("", ""), ('{line="wan2"}', "wan2")):
        check(samples.get(("tolvin_probes_total", labels)) == sandbox.read_stats(name)["probes"], "probes %r" % name)
    check(not any('lte' in labels for name, labels in samples if name == "tolvin_probes_total"), "lte's probes")

    status, _, err = sb.tolvinstat("--textfile", sb.root)
    check(status == 0 and "line lte: " in err, "textfile: %d %r" % (status, err))
    check(open(os.path.join(sb.root, "tolvin.prom")).read().count("tolvin_read_success") == 5, "the textfile")

    before = len(sb.log.snapshot())
    page = cgi(sb, "")
    check(page.startswith("Status: 200 ") and page.count('data-figure="probes"') == 2, "page %r" % page[:300])
    lte = page[page.index('<section id="line-lte">'):]
    check(problem in lte[:lte.index("</section>")], "lte's section %r" % lte[:300])
    sb.log.wait_for(r"line lte: " + re.escape(problem), start=before, level=sandbox.LOG_WARNING)
    chart = cgi(sb, "/rtt.svg")
    check(chart.startswith("Status: 200 ") and "<svg" in chart, "chart %r" % chart[:200])

    # No line read, and one refused: an error, not an empty answer.
    for daemon in daemons:
        daemon.stop()
    os.remove(sandbox.SETTINGS)
    os.remove(sandbox.SETTINGS + ".wan2")
    for name in ("", "wan2"):
        sandbox.remove_stats(name)
    status, _, err = sb.tolvinstat("--prometheus")
    check(status == 1 and err.startswith("tolvinstat: line lte: "), "status %d %r" % (status, err))


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
