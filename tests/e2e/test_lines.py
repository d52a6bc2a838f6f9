#!/usr/bin/python3
"""A router with two lines to one far host: probes bound to line A by its
device or its source address, while the routing table prefers line B; line
A's far end cut and restored, its device deleted and made anew. Instances
of the daemon, one a line, side by side."""

import json
import os
import re
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sandbox
import test_snmp
from sandbox import LOG_NOTICE, LOG_WARNING, Capture, check, run

FAILOVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging", "tolvin-failover")
RULES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging", "prometheus",
                     "tolvin.rules.yml")

TARGET = "10.79.9.9"       # on the far host's loopback, reached over either line
LINES = {"a": ("10.79.1.1", "10.79.1.2", 200), "b": ("10.79.2.1", "10.79.2.2", 100)}   # ours, far, metric
SUCCESS = r"Ping to 10\.79\.9\.9: successful with response in \d+\.\d ms"


def failure(n):
    return r"Ping to 10\.79\.9\.9: failed with no response \(occurrence %d in a series\)" % n


class FarHost:
    """The far end of both lines, in a network namespace of its own; its
    kernel answers echo requests."""

    def __init__(self, sb):
        self.holder = subprocess.Popen(["unshare", "--net", "sleep", str(sandbox.SCENARIO_SECONDS)])
        sb.hosts.append(self)
        self.inside = ["nsenter", "-t", str(self.holder.pid), "-n"]
        sandbox.wait_until(lambda: os.readlink("/proc/%d/ns/net" % self.holder.pid) !=
                           os.readlink("/proc/self/ns/net"), "the far host's namespace")
        self.far("ip", "link", "set", "lo", "up")
        self.far("ip", "addr", "add", TARGET + "/32", "dev", "lo")
        for name in LINES:
            self.connect(name)

    def far(self, *command):
        run(*(self.inside + list(command)))

    def connect(self, name):
        """Line NAME: our device vrNAME, the far one vhNAME, and our route to
        the target over it with the line's metric."""
        ours, far, metric = LINES[name]
        run("ip", "link", "add", "name", "vr" + name, "type", "veth", "peer", "name", "vh" + name,
            "netns", str(self.holder.pid))
        run("ip", "addr", "add", ours + "/30", "dev", "vr" + name)
        run("ip", "link", "set", "vr" + name, "up")
        self.far("ip", "addr", "add", far + "/30", "dev", "vh" + name)
        self.far("ip", "link", "set", "vh" + name, "up")
        run("ip", "route", "add", TARGET + "/32", "via", far, "dev", "vr" + name, "metric", str(metric))

    def close(self):
        self.holder.kill()
        self.holder.wait()


def is_request(packet):
    return packet[9] == 1 and socket.inet_ntoa(packet[16:20]) == TARGET and packet[20] == 8


def queued_requests(capture):
    """The echo requests to the target that left through the capture's
    device so far."""
    capture.sock.setblocking(False)
    found = []
    while True:
        try:
            frame, address = capture.sock.recvfrom(65536)
        except BlockingIOError:
            return found
        if address[2] == Capture.PACKET_OUTGOING and frame[12:14] == b"\x08\x00" and is_request(frame[14:]):
            found.append(frame[14:])


def scenario_bound_to_the_device_of_line_a(sb):
    far = FarHost(sb)
    captures = {name: Capture("vr" + name) for name in LINES}
    # Unbound, the routing table's choice is line B.
    run("ping", "-n", "-q", "-c", "1", "-W", "2", TARGET, stdout=subprocess.DEVNULL)
    check(queued_requests(captures["a"]) == [] and len(queued_requests(captures["b"])) == 1,
          "an unbound ping did not take line B")
    sb.settings(IPADDR=TARGET, PINGINT=1, LOGALL=1, IFACE="vra", LOSTCHECK=1, LOSTNUM=3, LOSTLOG=1,
                LOSTRSTIFACE=1, RSTSERVICE="wan_a", REESTCHECK=1, REESTLOG=1)
    daemon = sb.start()
    index = -1
    for _ in range(3):
        index, _ = sb.log.wait_for(SUCCESS, start=index + 1)
    over_a, over_b = queued_requests(captures["a"]), queued_requests(captures["b"])
    check(len(over_a) >= 3 and over_b == [], "requests over A %d, over B %d" % (len(over_a), len(over_b)))
    check(all(socket.inet_ntoa(p[12:16]) == LINES["a"][0] for p in over_a), "source of the requests")
    print("figures: %d requests over A, 0 over B, source %s" % (len(over_a), LINES["a"][0]))

    # An unbound instance beside it: the routing table's line B.
    sb.write(sandbox.SETTINGS + ".wanb", 'MOD_TOLVIN_IPADDR="%s"\nMOD_TOLVIN_PINGINT="1"\n'
             'MOD_TOLVIN_LOGALL="1"\n' % TARGET)
    unbound = sb.start(env={"TOLVIN_INSTANCE": "wanb"})
    replies_b = lambda start: sum(l.ident == "tolvin-wanb" and re.fullmatch(SUCCESS, l.text) is not None
                                  for l in sb.log.snapshot()[start:])
    sandbox.wait_until(lambda: replies_b(0) >= 1, "the unbound instance's first reply")

    # Line A's far end cut: the bound probe fails, the line is lost and its
    # own service restarted, while the unbound instance keeps its replies
    # over line B.
    far.far("ip", "link", "set", "vha", "down")
    cut = time.monotonic()
    index, _ = sb.log.wait_for(failure(3), start=index + 1, timeout=15)
    lost, _ = sb.log.wait_for("line lost, .*", start=index + 1, timeout=3)
    calls = sb.wait_tool_calls(1)
    check([argv for argv, _ in calls] == [["/sbin/service", "wan_a", "restart"]], "tools %r" % calls)
    print("figures: line A cut, failure 3 and line lost %.1f s after the cut" % (time.monotonic() - cut))
    sandbox.wait_until(lambda: replies_b(index + 1) >= 2, "the unbound instance's replies while A is cut")
    check(not any(l.ident == "tolvin-wanb" and l.text.startswith("Ping to") and "failed" in l.text
                  for l in sb.log.snapshot()), "the unbound instance lost a probe")
    check(len(queued_requests(captures["b"])) >= 3, "the unbound instance's requests not over line B")
    unbound.stop()
    far.far("ip", "link", "set", "vha", "up")
    index, _ = sb.log.wait_for("line re-established, .*", start=index + 1, timeout=10)

    # The device deleted (as a PPP link goes down between redials): one
    # warning; made anew under its name (a new index): probes resume within
    # two cycles, with one notice.
    before = len(sb.log.snapshot())
    run("ip", "link", "del", "vra")
    index, _ = sb.log.wait_for("can not probe over interface vra: .*", start=before, timeout=5,
                               level=LOG_WARNING)
    sb.log.wait_for(failure(2), start=index + 1, timeout=8)
    far.connect("a")
    back = time.monotonic()
    index, _ = sb.log.wait_for(r"probing over interface vra again", start=index + 1, timeout=5,
                               level=LOG_NOTICE)
    sb.log.wait_for(SUCCESS, start=index + 1, timeout=5)
    resumed = time.monotonic() - back
    check(resumed < 4.5, "probing resumed %.1f s after the device came back" % resumed)
    print("figures: device made anew, a reply %.2f s later (cycles of 1 s)" % resumed)
    texts = [l.text for l in sb.log.snapshot()[before:]]
    check(sum(t.startswith("can not probe over") for t in texts) == 1 and
          sum(t.startswith("probing over") for t in texts) == 1, "warnings and notices %r" % texts)
    check(daemon.alive(), "daemon ended")


def scenario_bound_to_a_source_address(sb):
    FarHost(sb)
    capture = Capture("vrb")
    sb.settings(IPADDR=TARGET, PINGINT=1, LOGALL=1, SRCADDR=LINES["a"][0])
    daemon = sb.start()
    index = -1
    for _ in range(2):
        index, _ = sb.log.wait_for(SUCCESS, start=index + 1)
    sources = {socket.inet_ntoa(p[12:16]) for p in queued_requests(capture)}
    check(sources == {LINES["a"][0]}, "sources %r" % sources)
    daemon.stop()

    # An address not assigned here yet, and one of the other family: no reply,
    # one warning each, the daemon goes on.
    for source, warning in (("10.79.3.1", "can not probe over source address 10.79.3.1: .*"),
                            ("fd79::1", "can not probe 10.79.9.9 from source address fd79::1: not of its family")):
        sb.settings(IPADDR=TARGET, PINGINT=1, LOGALL=1, SRCADDR=source)
        before = len(sb.log.snapshot())
        daemon = sb.start()
        index, _ = sb.log.wait_for(failure(3), start=before, timeout=10)
        texts = [l.text for l in sb.log.snapshot()[before:index + 1]]
        check(texts[0] == "started" and re.fullmatch(warning, texts[1]) and
              all(t.startswith("Ping to") for t in texts[2:]), "log %r" % texts)
        daemon.stop()

    # Not an address at all: refused at start.
    sb.settings(IPADDR=TARGET, PINGINT=1, SRCADDR="lte0")
    before = len(sb.log.snapshot())
    status, _, _ = sb.start().wait()
    check(status == 1, "exit status %d" % status)
    sb.log.wait_for("can not use source address lte0: not a numeric IPv4 or IPv6 address", start=before)


def scenario_traffic_follows_the_example_event_program(sb):
    # Default routes over both lines, A preferred; the daemon bound to A with
    # the example event program. A loses half its probes: degraded, and the
    # router's own ping leaves by B; A answers all again: restored, and back.
    far = FarHost(sb)
    for name, metric in (("a", 100), ("b", 200)):
        run("ip", "route", "del", TARGET + "/32", "dev", "vr" + name)
        run("ip", "route", "add", "default", "via", LINES[name][1], "dev", "vr" + name, "metric", str(metric))
    far.far("sysctl", "-q", "-w", "net.ipv4.icmp_echo_ignore_all=1")

    def respond(pattern):
        responder = subprocess.Popen(far.inside + [sys.executable, sandbox.RESPONDER, "drop", pattern, LINES["a"][0]],
                                     stdout=subprocess.PIPE, text=True)
        sb.daemons.append(sandbox.Daemon(responder))
        check(responder.stdout.readline() == "ready\n", "the responder did not start")
        return responder

    def line_of_the_router_ping():
        captures = {name: Capture("vr" + name) for name in LINES}
        run("ping", "-n", "-c", "1", "-W", "1", TARGET, check=False, stdout=subprocess.DEVNULL)
        over = [name for name, capture in captures.items() if queued_requests(capture)]
        check(len(over) == 1, "the ping left by %r" % over)
        return over[0]
    check(line_of_the_router_ping() == "a", "line A is not preferred")

    sb.write("/usr/bin/tolvin-failover", open(FAILOVER).read(), 0o755)
    sb.settings(IPADDR=TARGET, IFACE="vra", PINGINT=1, DEGRCHECK=1, DEGRNUM=4, DEGRLOSS=50,
                EVENTCMD="/usr/bin/tolvin-failover")
    lossy = respond("a-")
    sb.start()
    index, _ = sb.log.wait_for(r"line degraded: default route over vra via 10\.79\.1\.2: metric 100 -> 1100 .*",
                               timeout=30)
    check(line_of_the_router_ping() == "b", "degraded: the router's traffic did not move to line B")
    lossy.kill()
    respond("a")
    sb.log.wait_for(r"line restored: default route over vra via 10\.79\.1\.2: metric 1100 -> 100 .*",
                    start=index + 1, timeout=30)
    check(line_of_the_router_ping() == "a", "restored: the router's traffic did not come back to line A")


def scenario_instances_side_by_side(sb):
    # The default instance and two named ones at once, each with its own
    # settings, log ident, block and availability file.
    lines = {"": "127.0.0.1", "wan2": "::1", "lte": "127.0.0.1"}
    for name, address in lines.items():
        sb.write(sandbox.SETTINGS + ("." + name if name else ""),
                 'MOD_TOLVIN_IPADDR="%s"\nMOD_TOLVIN_PINGINT="1"\nMOD_TOLVIN_LOGALL="1"\n'
                 'MOD_TOLVIN_EXPOSEAVAIL="1"\nMOD_TOLVIN_SHORTTERM="%d"\n' % (address, 3 + len(name)))
    daemons = {name: sb.start(env={"TOLVIN_INSTANCE": name} if name else None) for name in lines}
    for name, address in lines.items():
        ident = "tolvin-" + name if name else "tolvin"
        sandbox.wait_until(lambda: sum(l.ident == ident and l.text.startswith("Ping to %s: successful" % address)
                                       for l in sb.log.snapshot()) >= 2, "two replies logged by " + ident)
    for name in lines:
        daemons[name].wait_asleep()
        block = sandbox.read_stats(name)
        check(block is not None and block["probes"] >= 2 and block["window_probes"] == min(block["probes"],
              3 + len(name)), "block of %r: %r" % (name, block and block["probes"]))
        path = "/var/data/tolvin/%savailability.dat" % (name + "/" if name else "")
        check(len(open(path).read().split()) == 4, "availability file of %r" % name)
    idents = {l.ident for l in sb.log.snapshot()}
    check(idents == {"tolvin", "tolvin-wan2", "tolvin-lte"}, "idents %r" % idents)

    # tolvinstat reads the instance it is told, by option or environment.
    for name, daemon in daemons.items():
        daemon.freeze()
    status, out, err = sb.tolvinstat("--instance", "wan2", "--json")
    report = json.loads(out)
    check(status == 0 and report["instance"] == "wan2" and
          report["long_term"]["probes"] == sandbox.read_stats("wan2")["probes"], "wan2's JSON %r %r" % (out, err))
    table = subprocess.run(sb.tolvinstat_command(), env={"TOLVIN_INSTANCE": "lte"}, capture_output=True,
                           text=True, timeout=20).stdout
    check(table.startswith("line lte working since ") and "\ntolvind link statistics of line lte, newest sample "
          in table, "lte's table %r" % table)
    status, out, _ = sb.tolvinstat()
    check(status == 0 and out.startswith("line working since ") and "\ntolvind link statistics, newest sample "
          in out and
          '"instance"' not in sb.tolvinstat("--json")[1], "the default's table %r" % out)
    for daemon in daemons.values():
        daemon.thaw()

    # One scrape by Prometheus and one walk by snmpd show every line: the
    # default's series as ever, the named ones' labeled; a control row per
    # line, in index order (a shorter name first).
    samples = sandbox.check_exposition(sb.tolvinstat("--prometheus")[1])
    check({labels for name, labels in samples if name == "tolvin_daemon_running"} ==
          {"", '{line="wan2"}', '{line="lte"}'}, "the lines in the exposition %r" % samples)
    port = sandbox.Router.HTTP_PORT
    sb.daemons.append(sandbox.Daemon(subprocess.Popen(
        ["systemd-socket-activate", "--accept", "--inetd", "--listen=127.0.0.1:%d" % port] +
        sb.tolvinstat_command("--http"), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL)))
    sandbox.wait_for_port("127.0.0.1", port)
    with open(RULES) as f:
        server = sb.prometheus(["127.0.0.1:%d" % port], f.read())
    server.wait(lambda: sorted(labels.get("line", "") for labels, value in server.query("tolvin_probes_total")
                               if value >= 2) == ["", "lte", "wan2"], "every line's probes in Prometheus", 30)
    agent = test_snmp.Agent(sb, sandbox.TOLVINSTAT + " --snmp")
    rows, _ = agent.walk()

    def test_name(oid, column_prefix):
        ids = [int(n) for n in oid[len(column_prefix):].split(".")[1:]]
        return bytes(ids[8:8 + ids[7]]).decode()
    for prefix, what in ((test_snmp.CTL + "3.", "control"), (test_snmp.RESULTS + "1.", "results")):
        names = [test_name(oid, prefix[:-1]) for oid, _, _ in rows if oid.startswith(prefix)]
        check(names == ["lte", "line", "wan2"], "%s rows %r" % (what, names))
    enabled = [value for oid, _, value in rows if oid.startswith(test_snmp.RESULTS + "1.")]
    check(enabled == ["1", "1", "1"], "every line's daemon running: %r" % enabled)
    history = {test_name(oid, test_snmp.HISTORY + "2") for oid, _, _ in rows if oid.startswith(test_snmp.HISTORY + "2.")}
    check(history == {"lte", "line", "wan2"}, "history rows of %r" % history)

    # A name that is not one, and a name whose segment would be wan2's:
    # refused before anything is made.
    twin = next("n%d" % i for i in range(100000) if sandbox.instance_project("n%d" % i) ==
                sandbox.instance_project("wan2"))
    sb.write(sandbox.SETTINGS + "." + twin, 'MOD_TOLVIN_IPADDR="127.0.0.1"\nMOD_TOLVIN_EXPOSEAVAIL="1"\n')
    for name, message in (("WAN", r'can not use instance name "WAN": 1 to 15 of a-z, 0-9, _ and -, .*'),
                          (twin, r'can not use instance name "%s": its statistics segment would be that of '
                                 r'instance "wan2"; rename one of them' % twin)):
        before = len(sb.log.snapshot())
        status, _, _ = sb.start(env={"TOLVIN_INSTANCE": name}).wait()
        check(status == 1, "instance %r: exit status %d" % (name, status))
        sb.log.wait_for(message, start=before, level=sandbox.LOG_ERR)
        check(not os.path.exists("/var/data/tolvin/" + name), "%s's folder was made" % name)
    check(all(daemon.alive() for daemon in daemons.values()), "an instance ended")


if __name__ == "__main__":
    sandbox.main(globals())
