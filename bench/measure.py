#!/usr/bin/python3
"""Measures the real daemon beside ping (iputils) in a throwaway sandbox:
round-trip accuracy on loopback and over a veth pair to a test host in a
namespace of its own, system calls, heap allocations and CPU time per probe
cycle, resident memory and binary size. Prints one table row per figure."""

import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import sandbox  # noqa: E402

PING = shutil.which("ping") or "/usr/bin/ping"
ROWS = []


def row(figure, tolvind, ping, note=""):
    ROWS.append((figure, tolvind, ping, note))
    print("  %-44s %14s %14s  %s" % (figure, tolvind, ping, note), flush=True)


def ping_rtts(target, count, interval="0.2"):
    out = subprocess.run([PING, "-n", "-c", str(count), "-i", interval, target],
                         capture_output=True, text=True, timeout=count * 2 + 10).stdout
    return [float(m) * 1000 for m in re.findall(r"time=([\d.]+) ms", out)]


def daemon_rtts(sb, target, cycles):
    sb.settings(IPADDR=target, PINGINT=1, PINGSIZE=56)
    daemon = sb.start()
    pinger = subprocess.Popen([PING, "-n", "-c", str(cycles * 5), "-i", "0.2", target],
                              stdout=subprocess.PIPE, text=True)
    time.sleep(cycles + 0.5)
    out, _ = pinger.communicate(timeout=30)
    daemon.stop()
    block = sandbox.read_stats()
    ours = [rtt for _, rtt, _ in block["samples"] if rtt >= 0]
    theirs = [float(m) * 1000 for m in re.findall(r"time=([\d.]+) ms", out)]
    return ours, theirs


def veth_host():
    """A test host in a network namespace of its own, joined by a veth pair."""
    holder = subprocess.Popen(["unshare", "--net", "sleep", "600"])
    time.sleep(0.3)
    subprocess.run(["ip", "link", "add", "vh0", "type", "veth", "peer", "name", "vt0", "netns",
                    str(holder.pid)], check=True)
    subprocess.run(["ip", "addr", "add", "10.77.0.1/30", "dev", "vh0"], check=True)
    subprocess.run(["ip", "link", "set", "vh0", "up"], check=True)
    inside = ["nsenter", "-t", str(holder.pid), "-n"]
    subprocess.run(inside + ["ip", "addr", "add", "10.77.0.2/30", "dev", "vt0"], check=True)
    subprocess.run(inside + ["ip", "link", "set", "vt0", "up"], check=True)
    subprocess.run(inside + ["ip", "link", "set", "lo", "up"], check=True)
    time.sleep(0.5)
    return holder


def strace_counts(command_or_pid, seconds=None):
    """Total system calls seen by strace -c, for a command or an attached pid."""
    out = "/run/strace.out"
    if isinstance(command_or_pid, int):
        tracer = subprocess.Popen(["strace", "-c", "-f", "-o", out, "-p", str(command_or_pid)],
                                  stderr=subprocess.DEVNULL)
        time.sleep(seconds)
        tracer.send_signal(signal.SIGINT)
        tracer.wait(timeout=10)
    else:
        subprocess.run(["strace", "-c", "-f", "-o", out] + command_or_pid,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    text = open(out).read()
    total = re.search(r"^100\.00\s+\S+\s+\S+\s+(\d+)", text, re.M)
    calls = {m.group(2): int(m.group(1)) for m in
             re.finditer(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?(\w+)$", text, re.M)}
    return int(total.group(1)) if total else 0, calls


def schedstat_ns(pid):
    return int(open("/proc/%d/schedstat" % pid).read().split()[0])


def rss_kib(pid):
    return int(re.search(r"VmRSS:\s+(\d+)", open("/proc/%d/status" % pid).read()).group(1))


def stripped_size(path):
    copy = "/run/stripped"
    subprocess.run(["strip", "-o", copy, path], check=True)
    return os.stat(copy).st_size


def scenario_measure(sb):
    print("  %-44s %14s %14s" % ("figure", "tolvind", "ping"), flush=True)

    ours, theirs = daemon_rtts(sb, "127.0.0.1", 20)
    row("loopback rtt median (us)", "%.1f" % statistics.median(ours),
        "%.1f" % statistics.median(theirs),
        "difference %+.1f us" % (statistics.median(ours) - statistics.median(theirs)))
    holder = veth_host()
    try:
        ours, theirs = daemon_rtts(sb, "10.77.0.2", 20)
        row("veth rtt median (us)", "%.1f" % statistics.median(ours),
            "%.1f" % statistics.median(theirs),
            "difference %+.1f us" % (statistics.median(ours) - statistics.median(theirs)))
    finally:
        holder.kill()

    # The steady state: a daemon already probing, traced for 10 cycles.
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, PINGSIZE=56)
    daemon = sb.start()
    time.sleep(2.5)
    # CPU time untraced first, then the system calls under strace.
    before = sandbox.read_stats()["probes"]
    cpu_before = schedstat_ns(daemon.pid)
    time.sleep(10.0)
    cpu = (schedstat_ns(daemon.pid) - cpu_before) / (sandbox.read_stats()["probes"] - before)
    rss = rss_kib(daemon.pid)
    before = sandbox.read_stats()["probes"]
    total, calls = strace_counts(daemon.pid, 10.0)
    cycles = sandbox.read_stats()["probes"] - before
    daemon.stop()
    # ping: the difference between 30 and 10 requests, so start-up drops out.
    few, few_calls = strace_counts([PING, "-n", "-c", "10", "-i", "0.2", "127.0.0.1"])
    many, many_calls = strace_counts([PING, "-n", "-c", "30", "-i", "0.2", "127.0.0.1"])
    row("system calls per cycle / request", "%.1f" % (total / cycles), "%.1f" % ((many - few) / 20),
        "tolvind: " + ", ".join("%s %.0f" % (k, v / cycles) for k, v in sorted(calls.items())))
    print("  %-44s %14s %14s  ping: %s" % ("", "", "", ", ".join(
        "%s %.0f" % (k, (many_calls.get(k, 0) - few_calls.get(k, 0)) / 20)
        for k in sorted(many_calls) if many_calls.get(k, 0) != few_calls.get(k, 0))))

    pinger = subprocess.Popen([PING, "-n", "-c", "60", "-i", "0.2", "127.0.0.1"], stdout=subprocess.DEVNULL)
    time.sleep(1.0)
    ping_rss = rss_kib(pinger.pid)
    ping_cpu_before = schedstat_ns(pinger.pid)
    time.sleep(10.0)
    ping_cpu = (schedstat_ns(pinger.pid) - ping_cpu_before) / 50
    pinger.kill()
    pinger.wait()
    row("CPU time per cycle / request (us)", "%.1f" % (cpu / 1000), "%.1f" % (ping_cpu / 1000))
    row("resident memory (KiB)", "%d" % rss, "%d" % ping_rss)
    row("binary size, stripped (bytes)", "%d" % stripped_size(sandbox.DAEMON), "%d" % stripped_size(PING))

    if not sb.sanitized:
        sb.settings(IPADDR="127.0.0.1", PINGINT=1, PINGSIZE=56)
        daemon = sb.start(preload="call_counter.so")
        time.sleep(8.5)
        daemon.stop()
        counts = [int(re.search(r"allocations=(\d+)", l).group(1))
                  for l in daemon.stderr.splitlines() if l.startswith("sendto ")]
        row("heap allocations per cycle (after set-up)", "%.1f" % ((counts[-1] - counts[0]) / (len(counts) - 1)),
            "")


if __name__ == "__main__":
    sandbox.main(globals())
