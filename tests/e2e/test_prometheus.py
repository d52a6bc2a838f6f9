#!/usr/bin/python3
"""tolvinstat as Prometheus's exporter: a fleet of three routers, each with
its own namespaces, daemon and socket-activated tolvinstat --http, scraped by
a real Prometheus server with the alert rules loaded; the HTTP front end's
answers to raw clients; the textfile for node_exporter; reading with two
capabilities instead of root."""

import json
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import dashboard_check  # noqa: E402
import sandbox  # noqa: E402
from sandbox import check  # noqa: E402

SCENARIO_SECONDS = 240
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
RULES = os.path.join(SOURCE, "packaging", "prometheus", "tolvin.rules.yml")
DASHBOARD = os.path.join(SOURCE, "packaging", "grafana", "tolvin.json")
PORT = sandbox.Router.HTTP_PORT


def shortened(rules):
    """The rules with windows and waits a test can sit through: every range
    5 s (15 s for the availability day), every for: 2 s."""
    rules = rules.replace("[1d]", "[15s]")
    rules = re.sub(r"\[\d+[mh]\]", "[5s]", rules)
    return re.sub(r"for: \S+", "for: 2s", rules)


def block_figures(router):
    status, out, err = router.tolvinstat("--json")
    check(status == 0, "tolvinstat --json on router %d: %d %r" % (router.number, status, err))
    return json.loads(out)["long_term"]


def one_value(server, expression):
    result = server.query(expression)
    return result[0][1] if len(result) == 1 else None


def scenario_fleet_scraped_by_prometheus(sb):
    routers = []
    daemons = {}
    for number in (1, 2, 3):
        router = sb.router(number)
        router.settings(IPADDR="127.0.0.1", PINGINT=1, PINGSIZE=56, SHORTTERM=5, EXPOSEAVAIL=1)
        daemons[number] = router.start()
        router.serve_http()
        routers.append(router)
    instances = {r.number: "%s:%d" % (r.address, PORT) for r in routers}
    with open(RULES) as f:
        server = sb.prometheus(sorted(instances.values()), shortened(f.read()))

    started = time.monotonic()
    step = lambda what: print("%5.1f s  %s" % (time.monotonic() - started, what), flush=True)
    # The first scrape of a new target comes some seconds after the start.
    server.wait(lambda: sorted(labels["instance"] for labels, value in server.query('up{job="tolvin"}')
                               if value == 1) == sorted(instances.values()), "every router scraped", 30)
    server.wait(lambda: len(server.query("tolvin_rtt_seconds_count > 2")) == 3, "replies from every router", 30)
    step("every router scraped, with replies")

    # Each router's figures as Prometheus holds them are its block's: with a
    # daemon held still, they agree exactly once the next scrape is in.
    for router in routers:
        daemon = daemons[router.number]
        daemon.freeze()
        try:
            block = block_figures(router)
            selector = '{instance="%s"}' % instances[router.number]
            server.wait(lambda: one_value(server, "tolvin_probes_total" + selector) == block["probes"],
                        "router %d's probes %d in Prometheus" % (router.number, block["probes"]), 15)
            mean = one_value(server, "tolvin_rtt_seconds_sum%s / tolvin_rtt_seconds_count%s" % (selector, selector))
            check(mean is not None and abs(mean - block["rtt_sum_us"] / 1e6 / block["replies"]) < 1e-12,
                  "router %d: PromQL's mean %r, the block's %r / %r" % (
                      router.number, mean, block["rtt_sum_us"], block["replies"]))
            check(block["rtt_avg_us"] == block["rtt_sum_us"] // block["replies"], "block %r" % block)
        finally:
            daemon.thaw()

    step("each router's probes and mean round-trip time as its block has them")
    # The dashboard's every expression returns data from this server.
    with open(DASHBOARD) as f:
        dashboard = json.load(f)
    for title, expression in dashboard_check.expressions(dashboard, instance=instances[1],
                                                         rate_interval="5s", time_range="20s"):
        server.wait(lambda: len(server.query(expression)) > 0,
                    "the %r panel's %r returns data" % (title, expression), 20)

    # An outage on router 2 alone: TolvinLineDown for it, and for no other;
    # resolved once the line is back.
    step("every expression of the dashboard returns data")
    check(server.firing("TolvinLineDown") == [], "line down before any outage")
    routers[1].sysctl("net.ipv4.icmp_echo_ignore_all", 1)
    server.wait(lambda: server.firing("TolvinLineDown") == [instances[2]], "TolvinLineDown for router 2", 40)
    step("outage on router 2: TolvinLineDown fires for it alone")
    routers[1].sysctl("net.ipv4.icmp_echo_ignore_all", 0)
    server.wait(lambda: server.firing("TolvinLineDown") == [], "TolvinLineDown resolved", 40)
    step("line back: TolvinLineDown resolved")

    # Router 3's daemon killed: TolvinDown for it alone.
    check(server.firing("TolvinDown") == [], "down before any daemon ended")
    daemons[3].stop()
    server.wait(lambda: server.firing("TolvinDown") == [instances[3]], "TolvinDown for router 3", 40)
    step("router 3's daemon killed: TolvinDown fires for it alone")
    check(one_value(server, 'tolvin_daemon_running{instance="%s"}' % instances[3]) == 0, "daemon_running")
    check(server.firing("TolvinLineDown") == [], "a line down with a stopped daemon")


def http_exchange(request, read_timeout=10.0, address="127.0.0.1"):
    """Sends `request` (None: nothing) and reads until the server closes:
    (answer, seconds until closed)."""
    started = time.monotonic()
    with socket.create_connection((address, PORT), timeout=read_timeout) as conn:
        if request:
            conn.sendall(request)
        answer = b""
        while True:
            chunk = conn.recv(65536)
            if not chunk:
                break
            answer += chunk
    return answer, time.monotonic() - started


def status_of(answer):
    match = re.match(rb"HTTP/1\.1 (\d{3}) ", answer)
    check(match is not None, "not an HTTP answer: %r" % answer[:200])
    return int(match.group(1))


def headers_and_body(answer):
    head, _, body = answer.partition(b"\r\n\r\n")
    lines = head.decode().split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(": ")
        headers[name.lower()] = value
    check(headers.get("connection") == "close", "headers %r" % headers)
    check(int(headers["content-length"]) == len(body), "length %r for %d bytes" % (headers, len(body)))
    return headers, body


def scenario_http_front_end_over_a_raw_socket(sb):
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, EXPOSEAVAIL=1)
    daemon = sb.start()
    sb.log.wait_for("started")
    activator = subprocess.Popen(["systemd-socket-activate", "--accept", "--inetd",
                                  "--listen=127.0.0.1:%d" % PORT, sandbox.TOLVINSTAT, "--http"],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        sandbox.wait_for_port("127.0.0.1", PORT)
        sb.wait_probes(daemon, 2)

        answer, _ = http_exchange(b"GET /metrics HTTP/1.1\r\nHost: router\r\nAccept: */*\r\n\r\n")
        check(status_of(answer) == 200, "metrics %r" % answer[:100])
        headers, body = headers_and_body(answer)
        check(headers["content-type"] == "text/plain; version=0.0.4; charset=utf-8", "type %r" % headers)
        samples = sandbox.check_exposition(body.decode())
        check(samples[("tolvin_daemon_running", "")] == 1 and samples[("tolvin_probes_total", "")] >= 1,
              "samples %r" % samples)

        answer, _ = http_exchange(b"HEAD /metrics HTTP/1.0\r\n\r\n")
        head, _, rest = answer.partition(b"\r\n\r\n")
        check(status_of(answer) == 200 and rest == b"" and b"Content-Length: " in head, "HEAD %r" % answer)

        answer, _ = http_exchange(b"GET / HTTP/1.1\r\nHost: router\r\n\r\n")
        _, body = headers_and_body(answer)
        check(status_of(answer) == 200 and b'<a href="/metrics">' in body, "index %r" % answer)

        cases = [
            (b"GET /nothing HTTP/1.1\r\nHost: r\r\n\r\n", 404),
            (b"POST /metrics HTTP/1.1\r\nHost: r\r\nContent-Length: 5\r\n\r\nhello", 405),
            (b"PUT / HTTP/1.0\r\n\r\n", 405),
            (b"GET /metrics HTTP/1.1\r\n\r\n", 400),               # no Host
            (b"GET /metrics\r\n\r\n", 400),                        # HTTP/0.9 style
            (b"GET /metrics HTTP/3.0\r\nHost: r\r\n\r\n", 505),
            (b"GET /metrics HTTP/1.1\r\nHost: r\r\nX: " + b"a" * 9000 + b"\r\n\r\n", 431),
            (b"GET /" + b"m" * 9000 + b" HTTP/1.1\r\nHost: r\r\n\r\n", 431),
            (bytes(range(256)) * 4 + b"\r\n\r\n", 400),            # binary garbage
            (b"GET /metrics HTTP/1.1\r\nHost: r\r\n", 408),        # the head never ends
        ]
        for request, expected in cases:
            answer, seconds = http_exchange(request)
            check(status_of(answer) == expected, "%r: %r" % (request[:60], answer[:120]))
            headers, _ = headers_and_body(answer)
            if expected == 405:
                check(headers.get("allow") == "GET, HEAD", "405 without Allow: %r" % headers)
            check(seconds < 8, "%r took %.1f s" % (request[:60], seconds))

        # A client that sends nothing, and one that sends a byte a second, are
        # dropped within a few seconds.
        answer, seconds = http_exchange(None)
        check(seconds < 8 and (answer == b"" or status_of(answer) == 408), "silent client: %r after %.1f s" % (
            answer, seconds))
        started = time.monotonic()
        with socket.create_connection(("127.0.0.1", PORT), timeout=15) as conn:
            answer = b""
            try:
                for byte in b"GET /metrics HTTP/1.1\r\nHost: r\r\n\r\n":
                    conn.sendall(bytes([byte]))
                    time.sleep(0.5)
            except OSError:
                pass
            while True:
                chunk = conn.recv(65536)
                if not chunk:
                    break
                answer += chunk
        check(time.monotonic() - started < 9 and status_of(answer) == 408, "slow client: %r after %.1f s" % (
            answer[:80], time.monotonic() - started))

        # 50 scrapes at once: every one answered whole.
        results = [None] * 50
        barrier = threading.Barrier(50)

        def scrape(i):
            barrier.wait()
            try:
                results[i] = http_exchange(b"GET /metrics HTTP/1.1\r\nHost: router\r\n\r\n", 30)[0]
            except OSError as e:
                results[i] = e
        threads = [threading.Thread(target=scrape, args=(i,)) for i in range(50)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(60)
        for i, answer in enumerate(results):
            check(isinstance(answer, bytes) and status_of(answer) == 200, "scrape %d: %r" % (i, answer))
            _, body = headers_and_body(answer)
            check(b"\ntolvin_probes_total " in body and body.endswith(b"\n"), "scrape %d body %r" % (i, body[-80:]))
    finally:
        activator.kill()
        _, err = activator.communicate()
    # tolvinstat wrote nothing to standard error (the activator's own lines
    # name the program they start).
    check(b"tolvinstat: " not in err, "standard error %r" % err)


def scenario_no_daemon_yet_still_answers(sb):
    sb.settings(IPADDR="192.0.2.1", PINGINT=7)
    activator = subprocess.Popen(["systemd-socket-activate", "--accept", "--inetd",
                                  "--listen=127.0.0.1:%d" % PORT, sandbox.TOLVINSTAT, "--http"],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        sandbox.wait_for_port("127.0.0.1", PORT)
        answer, _ = http_exchange(b"GET /metrics HTTP/1.0\r\n\r\n")
        check(status_of(answer) == 200, "answer %r" % answer)
        _, body = headers_and_body(answer)
        samples = sandbox.check_exposition(body.decode())
        check(samples[("tolvin_daemon_running", "")] == 0, "samples %r" % samples)
        check(samples[("tolvin_probe_interval_seconds", '{target="first"}')] == 7, "samples %r" % samples)
        check(samples[("tolvin_probe_target_info", '{target="first",address="192.0.2.1"}')] == 1, "%r" % samples)
        check(not any(name.startswith("tolvin_probes") for name, _ in samples), "figures without a block")
    finally:
        activator.kill()
        activator.wait()


def scenario_textfile_for_node_exporter(sb):
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, EXPOSEAVAIL=1)
    daemon = sb.start()
    sb.log.wait_for("started")
    sb.wait_probes(daemon, 2)
    directory = "/var/prometheus"
    os.makedirs(directory)
    status, out, err = sb.tolvinstat("--textfile", directory)
    check(status == 0 and out == "" and err == "", "status %d %r %r" % (status, out, err))
    check(os.listdir(directory) == ["tolvin.prom"], "files %r" % os.listdir(directory))
    check(os.stat(directory + "/tolvin.prom").st_mode & 0o777 == 0o644, "mode")
    with open(directory + "/tolvin.prom") as f:
        samples = sandbox.check_exposition(f.read())
    check(samples[("tolvin_probes_total", "")] >= 1, "samples %r" % samples)

    # A reader never finds less than a whole file while it is rewritten.
    stop = threading.Event()
    seen = []

    def read_all_the_time():
        while not stop.is_set():
            with open(directory + "/tolvin.prom") as f:
                text = f.read()
            seen.append(text.endswith("\n") and "tolvin_build_info" in text and
                        text.rstrip("\n").rsplit("\n", 1)[-1].startswith("tolvin_available_seconds_total "))
    reader = threading.Thread(target=read_all_the_time)
    reader.start()
    for _ in range(40):
        status, _, _ = sb.tolvinstat("--textfile", directory)
        check(status == 0, "status %d" % status)
    stop.set()
    reader.join()
    check(len(seen) > 40 and all(seen), "%d of %d reads incomplete" % (seen.count(False), len(seen)))
    check(os.listdir(directory) == ["tolvin.prom"], "files left: %r" % os.listdir(directory))

    status, _, err = sb.tolvinstat("--textfile", "/var/no-such-directory")
    check(status == 1 and "cannot write /var/no-such-directory/tolvin.prom: No such file or directory" in err,
          "status %d %r" % (status, err))


def scenario_two_capabilities_read_what_root_reads(sb):
    # tolvinstat@.service runs as a user of its own with CAP_IPC_OWNER (the
    # daemon's 0600 segment) and CAP_DAC_READ_SEARCH (the daemon's
    # availability directory): that is enough, and nothing less is.
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, EXPOSEAVAIL=1)
    daemon = sb.start()
    sb.log.wait_for("started")
    sb.wait_probes(daemon, 2)
    as_root = sb.tolvinstat("--prometheus")
    check(as_root[0] == 0, "as root %r" % (as_root,))
    base = ["setpriv", "--reuid", "61234", "--regid", "61234", "--clear-groups"]
    caps = "+ipc_owner,+dac_read_search"
    command = base + ["--inh-caps", caps, "--ambient-caps", caps] + sb.tolvinstat_command("--prometheus")
    result = subprocess.run(command, capture_output=True, text=True, timeout=20)
    check(result.returncode == 0, "with the two capabilities: %d %r" % (result.returncode, result.stderr))
    samples = sandbox.check_exposition(result.stdout)
    check(("tolvin_available_seconds_total", "") in samples and samples[("tolvin_daemon_running", "")] == 1,
          "samples %r" % samples)
    without = subprocess.run(base + sb.tolvinstat_command("--prometheus"), capture_output=True, text=True,
                             timeout=20)
    check(without.returncode == 1 and "permission denied" in without.stderr, "without: %r" % (without,))


if __name__ == "__main__":
    sandbox.main(globals())
