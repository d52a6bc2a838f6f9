#!/usr/bin/python3
"""Measures the real daemon beside ping (iputils) in a throwaway sandbox: the
build under test and, with TOLVIN_BENCH_ALSO=DIR, a second build (the static
musl one) in the same run. Round-trip times on loopback, over a veth pair to
a test host, and over a path that a responder there delays by 5 ms; system
calls, heap allocations and CPU time per probe cycle, resident memory and
binary size; and the scrape latency of each build's tolvinstat --http behind
socket activation. Prints one table row per figure."""

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
import test_prometheus  # noqa: E402

PING = shutil.which("ping") or "/usr/bin/ping"
SCENARIO_SECONDS = 400


def row(figure, values, note=""):
    print("  %-40s %s  %s" % (figure, " ".join("%14s" % v for v in values), note), flush=True)


def ping_rtts(target, count):
    out = subprocess.run([PING, "-n", "-c", str(count), "-i", "0.2", target],
                         capture_output=True, text=True, timeout=count + 20).stdout
    return [float(m) * 1000 for m in re.findall(r"time=([\d.]+) ms", out)]


def use_program(path):
    """Puts a build's daemon at the daemon's path; the file, and with it the
    statistics key, stays the same."""
    shutil.copyfile(path, sandbox.DAEMON)


def daemon_rtts(sb, target, cycles):
    sb.settings(IPADDR=target, PINGINT=1, PINGSIZE=56)
    daemon = sb.start()
    time.sleep(cycles + 0.5)
    daemon.stop()
    return [rtt for _, rtt, _ in sandbox.read_stats()["samples"] if rtt >= 0]


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
    subprocess.run(["llvm-strip", "-o", copy, path], check=True)
    return os.stat(copy).st_size


def steady_state(sb):
    """A daemon already probing loopback: CPU time per cycle untraced, then
    the system calls of 10 s under strace, and its resident memory."""
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, PINGSIZE=56)
    daemon = sb.start()
    time.sleep(2.5)
    before = sandbox.read_stats()["probes"]
    cpu_before = schedstat_ns(daemon.pid)
    time.sleep(10.0)
    cpu_us = (schedstat_ns(daemon.pid) - cpu_before) / (sandbox.read_stats()["probes"] - before) / 1000
    rss = rss_kib(daemon.pid)
    before = sandbox.read_stats()["probes"]
    total, calls = strace_counts(daemon.pid, 10.0)
    cycles = sandbox.read_stats()["probes"] - before
    daemon.stop()
    return {"cpu": cpu_us, "rss": rss, "calls": total / cycles,
            "which": ", ".join("%s %.0f" % (k, v / cycles) for k, v in sorted(calls.items())
                               if k != "total" and v >= cycles / 2)}


def allocations_per_cycle(sb, static):
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, PINGSIZE=56)
    if static:
        daemon = sb.start(trace={"TOLVIN_TRACE_COUNT": "1"})
    else:
        daemon = sb.start(preload="call_counter.so")
    time.sleep(8.5)
    daemon.stop()
    counts = [int(re.search(r"allocations=(\d+)", l).group(1))
              for l in daemon.stderr.splitlines() if l.startswith("sendto ")]
    return (counts[-1] - counts[0]) / (len(counts) - 1)


def scrape_latencies_ms(tolvinstat, count=100):
    """`count` scrapes of /metrics, one after another, each over a new
    connection to a socket-activated tolvinstat --http, as Prometheus makes
    them: connect, request, read until the server closes."""
    port = test_prometheus.PORT
    activator = subprocess.Popen(["systemd-socket-activate", "--accept", "--inetd",
                                  "--listen=127.0.0.1:%d" % port, tolvinstat, "--http"],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
    try:
        sandbox.wait_for_port("127.0.0.1", port)
        latencies = []
        for _ in range(count):
            answer, seconds = test_prometheus.http_exchange(b"GET /metrics HTTP/1.1\r\nHost: router\r\n\r\n")
            latencies.append(seconds * 1000)
            sandbox.check(answer.startswith(b"HTTP/1.1 200 ") and b"\ntolvin_probes_total " in answer,
                          "scrape answered %r" % answer[:100])
    finally:
        activator.kill()
        activator.wait()
    return latencies


def scenario_measure(sb):
    programs = [(sb.build.libc, os.path.join(sb.stage, "tolvind"), sb.build)]
    tolvinstats = [os.path.join(sb.stage, "tolvinstat")]
    also = os.environ.get("TOLVIN_BENCH_ALSO")
    if also:
        other = sandbox.BuildInfo(also)
        copy = os.path.join(sb.stage, "tolvind.also")
        shutil.copy2(os.path.join(also, "tolvind"), copy)
        programs.append((other.libc + (" static" if other.static else ""), copy, other))
        tolvinstats.append(os.path.join(sb.stage, "tolvinstat.also"))
        shutil.copy2(os.path.join(also, "tolvinstat"), tolvinstats[-1])
    row("figure", [name for name, _, _ in programs] + ["ping"])

    host = sb.test_host()
    paths = [("loopback", "127.0.0.1"), ("veth to a test host", sandbox.TestHost.ADDRESS)]
    for name, target in paths + [("veth, path delayed 5 ms", sandbox.TestHost.ADDRESS)]:
        if "delayed" in name:
            host.respond("delay", 0.005)
        else:
            host.stop_responding()
            subprocess.run(host.inside + ["sysctl", "-q", "-w", "net.ipv4.icmp_echo_ignore_all=0"],
                           check=True)
        medians = []
        for _, path, _ in programs:
            use_program(path)
            medians.append(statistics.median(daemon_rtts(sb, target, 10)))
        medians.append(statistics.median(ping_rtts(target, 20)))
        subprocess.run(host.inside + ["sysctl", "-q", "-w", "net.ipv4.icmp_echo_ignore_all=1"],
                       check=True)
        row("rtt median, %s (us)" % name, ["%.1f" % m for m in medians])

    states = []
    for _, path, _ in programs:
        use_program(path)
        states.append(steady_state(sb))
    # ping: the difference between 30 and 10 requests, so start-up drops out.
    few, few_calls = strace_counts([PING, "-n", "-c", "10", "-i", "0.2", "127.0.0.1"])
    many, many_calls = strace_counts([PING, "-n", "-c", "30", "-i", "0.2", "127.0.0.1"])
    ping_which = ", ".join("%s %.0f" % (k, (many_calls.get(k, 0) - few_calls.get(k, 0)) / 20)
                           for k in sorted(many_calls)
                           if k != "total" and many_calls.get(k, 0) != few_calls.get(k, 0))
    row("system calls per cycle / request", ["%.1f" % s["calls"] for s in states]
        + ["%.1f" % ((many - few) / 20)])
    for (name, _, _), state in zip(programs, states):
        print("      %s: %s" % (name, state["which"]))
    print("      ping: %s" % ping_which)

    pinger = subprocess.Popen([PING, "-n", "-c", "60", "-i", "0.2", "127.0.0.1"], stdout=subprocess.DEVNULL)
    time.sleep(1.0)
    ping_rss = rss_kib(pinger.pid)
    ping_cpu_before = schedstat_ns(pinger.pid)
    time.sleep(10.0)
    ping_cpu = (schedstat_ns(pinger.pid) - ping_cpu_before) / 50 / 1000
    pinger.kill()
    pinger.wait()
    row("CPU time per cycle / request (us)", ["%.1f" % s["cpu"] for s in states] + ["%.1f" % ping_cpu])
    row("resident memory (KiB)", ["%d" % s["rss"] for s in states] + ["%d" % ping_rss])
    row("binary size, stripped (bytes)", ["%d" % stripped_size(path) for _, path, _ in programs]
        + ["%d" % stripped_size(PING)])

    allocations = []
    for _, path, build in programs:
        use_program(path)
        allocations.append("-" if build.sanitized else "%.1f" % allocations_per_cycle(sb, build.static))
    row("heap allocations per cycle (after set-up)", allocations + [""])

    sb.settings(IPADDR="127.0.0.1", PINGINT=1, PINGSIZE=56, EXPOSEAVAIL=1)
    use_program(programs[0][1])
    daemon = sb.start()
    time.sleep(2.5)
    scrapes = [sorted(scrape_latencies_ms(tolvinstat)) for tolvinstat in tolvinstats]
    daemon.stop()
    row("scrape latency, median of 100 (ms)", ["%.2f" % statistics.median(s) for s in scrapes] + [""])
    row("scrape latency, worst of 100 (ms)", ["%.2f" % s[-1] for s in scrapes] + [""])


if __name__ == "__main__":
    sandbox.main(globals())
