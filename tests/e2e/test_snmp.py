#!/usr/bin/python3
"""tolvinstat --snmp behind Debian's snmpd: DISMAN-PING-MIB walked, read
and tabled with net-snmp's own tools, against the golden rows of a block the
test wrote, and beside a live daemon."""

import os
import re
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sandbox  # noqa: E402
from sandbox import check  # noqa: E402

SCENARIO_SECONDS = 200
HERE = os.path.dirname(os.path.abspath(__file__))
AGENT = "udp:127.0.0.1:16161"
PING_MIB = ".1.3.6.1.2.1.80"
INDEX = ".6.116.111.108.118.105.110.4.108.105.110.101"
CTL, RESULTS, HISTORY = PING_MIB + ".1.2.1.", PING_MIB + ".1.3.1.", PING_MIB + ".1.4.1."
HISTORY_ROWS = 50
NONE = -1


SNIPPET = os.path.join(HERE, "..", "..", "packaging", "snmp", "tolvinstat.conf")


class Agent:
    """snmpd in the foreground on a loopback port, with the handler
    registered (or `config` as given); `user` runs it as that uid and gid,
    as Debian's runs as Debian-snmp."""

    def __init__(self, sb, handler=None, user=None, config_text=None):
        self.directory = os.path.join(sb.root, "snmp")
        os.makedirs(self.directory, exist_ok=True)
        os.chmod(self.directory, 0o755)
        config = os.path.join(self.directory, "snmpd.conf")
        with open(config, "w") as f:
            f.write(config_text or "rocommunity public 127.0.0.1\nrwcommunity private 127.0.0.1 %s\n"
                    "pass_persist %s %s\n" % (PING_MIB, PING_MIB, handler))
        self.env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "MIBS": "",
                    "SNMP_PERSISTENT_DIR": os.path.join(self.directory, "persist")}
        command = ["snmpd", "-f", "-Lo", "-C", "-c", config, "-I", "-smux", AGENT]
        if user is not None:
            command[1:1] = ["-u", str(user), "-g", str(user)]
        self.log = open(os.path.join(self.directory, "log"), "w")
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=self.log,
                                        stderr=subprocess.STDOUT, env=self.env)
        sb.hosts.append(self)
        sandbox.wait_until(lambda: self.tool("snmpget", "-v2c", "-c", "public", AGENT,
                                             ".1.3.6.1.2.1.1.3.0").returncode == 0, "snmpd's answer", 15)

    def tool(self, *args, mibs=None):
        env = dict(self.env)
        if mibs:
            env.update({"MIBDIRS": HERE, "MIBS": mibs})
        numeric = [] if args[0] == "snmptable" else ["-On"]
        return subprocess.run(list(args[:1]) + numeric + ["-t", "3", "-r", "1"] + list(args[1:]),
                              capture_output=True, text=True, timeout=60, env=env)

    def walk(self, version="2c"):
        tool = "snmpbulkwalk" if version == "2c" else "snmpwalk"
        started = time.monotonic()
        result = self.tool(tool, "-v" + version, "-c", "public", AGENT, PING_MIB)
        seconds = time.monotonic() - started
        check(result.returncode == 0 and result.stderr == "", "%s: %d %r" % (tool, result.returncode, result.stderr))
        return parse_walk(result.stdout), seconds

    def handlers(self):
        return sandbox.children(self.process.pid)

    def close(self):
        self.process.kill()     # a stuck handler makes it ignore SIGTERM
        self.process.wait()
        self.log.close()


def parse_walk(text):
    """[(OID, type, value)] of net-snmp's output, strictly increasing."""
    rows = []
    for line in text.splitlines():
        if line.endswith("= No more variables left in this MIB View (It is past the end of the MIB tree)"):
            continue    # endOfMibView: the walk ends inside the view
        match = re.fullmatch(r"(\.[\d.]+) = (?:([\w-]+): )?(.*)", line)
        check(match is not None, "walk line %r" % line)
        oid, kind, value = match.group(1), match.group(2) or "STRING", match.group(3)
        if kind == "STRING" and value.startswith('"'):
            value = value[1:-1]
        rows.append((oid, kind, value.strip()))
    keys = [tuple(int(n) for n in oid[1:].split(".")) for oid, _, _ in rows]
    check(all(a < b for a, b in zip(keys, keys[1:])), "OIDs not strictly increasing: %r" % [
        (a, b) for a, b in zip(keys, keys[1:]) if a >= b][:3])
    check(rows and rows[-1][0].startswith(PING_MIB + "."), "walk left the subtree: %r" % rows[-1:])
    return rows


def running_daemon(sb, outage=True):
    """A daemon with some replies, then (when asked) a short outage, then
    replies again: the window and the history hold both."""
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, LOGALL=1, SHORTTERM=8, FAILSNMP="nms", LOSTSNMP="nms")
    daemon = sb.start()
    index, _ = sb.log.wait_for(r"Ping to 127\.0\.0\.1: successful .*")
    index, _ = sb.log.wait_for(r"Ping to 127\.0\.0\.1: successful .*", start=index + 1)
    if outage:
        sb.icmp_echo(False)
        index, _ = sb.log.wait_for(r"Ping to 127\.0\.0\.1: failed .*occurrence 2 .*", start=index + 1, timeout=10)
        sb.icmp_echo(True)
        index, _ = sb.log.wait_for(r"Ping to 127\.0\.0\.1: successful .*", start=index + 1, timeout=10)
    return daemon


def frozen(daemon):
    """Holds the daemon still (SIGSTOP) so that the block and the walk agree."""
    class Freeze:
        def __enter__(self):
            daemon.freeze()

        def __exit__(self, *exc):
            daemon.thaw()
    return Freeze()


# A block the test writes, as a daemon that has ended leaves it: 26 probes,
# the newest four kept (2.5 ms, 3 us, lost, 1.234567 s), a window of three.
KNOWN_SAMPLES = [(1796693077, 2500, -1), (1796693078, 3, 2497), (1796693079, -1, -1),
                 (1796693080, 1234567, 1234564)]
GOLDEN = [(PING_MIB + ".1.1.0", "Gauge32", "1")] + [(CTL + c + INDEX, k, v) for c, k, v in (
    ("3", "INTEGER", "1"), ("4", "Hex-STRING", "7F 00 00 01"), ("5", "Gauge32", "0"), ("6", "Gauge32", "1"),
    ("7", "Gauge32", "1"), ("8", "INTEGER", "1"), ("10", "Gauge32", "1"), ("11", "Gauge32", "50"),
    ("12", "INTEGER", "5"), ("13", "Hex-STRING", "C0"), ("16", "OID", ".1.3.6.1.2.1.80.3.1"),
    ("17", "STRING", "tolvind: ICMP echo to 127.0.0.1 every 1 s"), ("18", "INTEGER", "0"), ("19", "STRING", ""),
    ("20", "INTEGER", "0"), ("21", "INTEGER", "2"), ("22", "INTEGER", "0"), ("23", "INTEGER", "1"))] + [
    (RESULTS + c + INDEX, k, v) for c, k, v in (
        ("1", "INTEGER", "2"),                     # disabled: no daemon holds the block
        ("2", "INTEGER", "1"), ("3", "Hex-STRING", "7F 00 00 01"),
        ("4", "Gauge32", "1"),                     # 3 us rounds up, never to 0
        ("5", "Gauge32", "1235"), ("6", "Gauge32", "618"), ("7", "Gauge32", "2"), ("8", "Gauge32", "3"),
        ("9", "Gauge32", "1525226"),               # 1^2 + 1235^2 over the window
        ("10", "Hex-STRING", "07 EA 0C 08 01 18 28 00 2B 00 00"))] + [
    (HISTORY + c + INDEX + "." + n, k, v) for c, n, k, v in (
        ("2", "23", "Gauge32", "3"), ("2", "24", "Gauge32", "1"),
        ("2", "25", "Gauge32", "1000"),            # lost: the time waited
        ("2", "26", "Gauge32", "1235"), ("3", "23", "INTEGER", "1"), ("3", "24", "INTEGER", "1"),
        ("3", "25", "INTEGER", "4"), ("3", "26", "INTEGER", "1"), ("4", "23", "INTEGER", "0"),
        ("4", "24", "INTEGER", "0"), ("4", "26", "INTEGER", "0"),
        ("5", "23", "Hex-STRING", "07 EA 0C 08 01 18 25 00 2B 00 00"),
        ("5", "24", "Hex-STRING", "07 EA 0C 08 01 18 26 00 2B 00 00"),
        ("5", "25", "Hex-STRING", "07 EA 0C 08 01 18 27 00 2B 00 00"),
        ("5", "26", "Hex-STRING", "07 EA 0C 08 01 18 28 00 2B 00 00"))]


def scenario_walk_get_and_table_of_a_known_block(sb):
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, SHORTTERM=3, FAILSNMP="nms", LOSTSNMP="nms")
    sandbox.write_stats({"probes": 26, "replies": 12}, KNOWN_SAMPLES)
    agent = Agent(sb, sandbox.TOLVINSTAT + " --snmp")
    walk, seconds = agent.walk("2c")
    check(walk == GOLDEN, "walk differs:\n%s" % "\n".join(
        "got %r\nexp %r" % (g, e) for g, e in zip(walk + [None] * 5, GOLDEN + [None] * 5) if g != e))
    print("v2c bulk walk: %d objects in %.3f s" % (len(walk), seconds))
    walk_v1, seconds_v1 = agent.walk("1")
    check(walk_v1 == walk, "a v1 walk differs from the v2c one")
    print("v1 walk: %d objects in %.3f s" % (len(walk_v1), seconds_v1))

    # Single cells.
    for cell in (GOLDEN[0], GOLDEN[15], GOLDEN[20], GOLDEN[-1]):
        result = agent.tool("snmpget", "-v2c", "-c", "public", AGENT, cell[0])
        check(result.returncode == 0 and parse_walk(result.stdout) == [cell], "snmpget %r: %r" % (
            cell, result.stdout))
    result = agent.tool("snmpget", "-v2c", "-c", "public", AGENT, PING_MIB + ".1.1.1")
    check("No Such" in result.stdout, "a get beside the objects: %r" % result.stdout)

    # The results table, named by the test's own cut of the MIB.
    result = agent.tool("snmptable", "-v2c", "-c", "public", "-Cf", ",", "-CH", AGENT,
                        "TOLVIN-TEST-PING-MIB::pingResultsTable", mibs="TOLVIN-TEST-PING-MIB")
    check(result.returncode == 0, "snmptable: %r %r" % (result.stdout, result.stderr))
    table = [line for line in result.stdout.splitlines() if line.strip()]
    check(len(table) == 1 and table[0].split(",")[3:8] == ["1", "1235", "618", "2", "3"], "snmptable %r" % table)

    # Nothing is writable.
    result = agent.tool("snmpset", "-v2c", "-c", "private", AGENT, PING_MIB + ".1.1.0", "u", "5")
    check(result.returncode != 0 and "notWritable" in result.stderr, "snmpset %r" % (result,))


def scenario_a_full_walk_of_fifty_history_rows(sb):
    # Interval 0: probes without a pause fill the ring at once; then held
    # still, the walk carries the newest 50 probes and nothing more.
    sb.settings(IPADDR="127.0.0.1", PINGINT=0, SHORTTERM=200, LOSTSNMP="nms", FAILSNMP="nms")
    daemon = sb.start()
    agent = Agent(sb, sandbox.TOLVINSTAT + " --snmp")
    sandbox.wait_until(lambda: (sandbox.read_stats() or {"probes": 0})["probes"] >= 500, "500 probes", 20)
    with frozen(daemon):
        block = sandbox.read_stats()
        walk, seconds = agent.walk("2c")
        results = {o[len(RESULTS):].split(".")[0]: v for o, _, v in walk if o.startswith(RESULTS)}
        check(results["1"] == "1" and results["8"] == "200", "results %r" % results)   # a full window of S
        rows = {o.rsplit(".", 1)[1] for o, _, _ in walk if o.startswith(HISTORY + "5.")}
        check(len(rows) == HISTORY_ROWS and max(map(int, rows)) == block["probes"], "history rows %r" % sorted(rows))
        walk_v1, seconds_v1 = agent.walk("1")
        check(walk_v1 == walk, "a v1 walk differs")
        print("full walk: %d objects, snmpbulkwalk -v2c %.3f s, snmpwalk -v1 %.3f s" % (
            len(walk), seconds, seconds_v1))


def scenario_history_keeps_its_indexes_while_probes_arrive(sb):
    daemon = running_daemon(sb, outage=False)
    agent = Agent(sb, sandbox.TOLVINSTAT + " --snmp")
    first, _ = agent.walk()
    before = {o: v for o, _, v in first if o.startswith(HISTORY)}
    newest_before = max(int(o.rsplit(".", 1)[1]) for o in before)
    index = len(sb.log.snapshot())
    for _ in range(3):
        index, _ = sb.log.wait_for(r"Ping to 127\.0\.0\.1: successful .*", start=index, timeout=10)
        index += 1
    with frozen(daemon):
        after_walk, _ = agent.walk()
        probes = sandbox.read_stats()["probes"]
    after = {o: v for o, _, v in after_walk if o.startswith(HISTORY)}
    newest_after = max(int(o.rsplit(".", 1)[1]) for o in after)
    check(newest_after == probes, "the newest row %d of %d probes" % (newest_after, probes))
    check(newest_after >= newest_before + 3, "history %d then %d" % (newest_before, newest_after))
    same = [o for o in before if o in after]
    check(same and all(before[o] == after[o] for o in same), "a kept row changed: %r" % [
        (o, before[o], after[o]) for o in same if before[o] != after[o]])


def scenario_a_handler_killed_mid_walk_loses_nothing(sb):
    # A walk one getnext at a time, its handler killed after 20 of them:
    # snmpd starts a new one and the walk goes on where it was.
    daemon = running_daemon(sb, outage=False)
    agent = Agent(sb, sandbox.TOLVINSTAT + " --snmp")
    with frozen(daemon):
        whole, _ = agent.walk("2c")
        walked, oid, killed = [], PING_MIB, []
        while True:
            if len(walked) == 20:
                killed = agent.handlers()
                check(len(killed) == 1, "handlers %r" % killed)
                os.kill(killed[0], signal.SIGKILL)
            result = agent.tool("snmpgetnext", "-v2c", "-c", "public", AGENT, oid)
            check(result.returncode == 0, "getnext %s: %r" % (oid, result.stderr))
            row = parse_walk(result.stdout) if result.stdout.startswith(PING_MIB + ".") else []
            if not row:
                break
            walked.append(row[0])
            oid = row[0][0]
        check(walked == whole, "the walk across the restart differs:\n%r\n%r" % (walked, whole))
        check(agent.handlers() and agent.handlers() != killed, "no new handler: %r" % agent.handlers())
        again, _ = agent.walk("1")
        check(again == whole, "the walk after the restart differs")


def scenario_snmpd_as_its_own_user_with_the_handler_capability(sb):
    # Debian's snmpd runs as Debian-snmp, which cannot attach the daemon's
    # 0600 segment: the shipped snippet, with Debian's own view and community
    # lines, and the handler installed as the snippet says.
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, SHORTTERM=3, FAILSNMP="nms", LOSTSNMP="nms")
    sandbox.write_stats({"probes": 26, "replies": 12}, KNOWN_SAMPLES)
    user = 61234
    handler = "/opt/tolvin/libexec/tolvinstat-snmp"
    os.makedirs(os.path.dirname(handler))
    config = ("view systemonly included .1.3.6.1.2.1.1\nrocommunity public default -V systemonly\n"
              "includeFile %s\n" % os.path.abspath(SNIPPET))
    subprocess.run(["install", "-m", "0750", "-o", "root", "-g", str(user), sandbox.TOLVINSTAT, handler],
                   check=True)
    agent = Agent(sb, user=user, config_text=config)
    walk, _ = agent.walk()
    check(not any(o.startswith(RESULTS) for o, _, _ in walk), "results without the capability: %r" % walk[:20])
    agent.close()
    sb.hosts.remove(agent)
    subprocess.run(["setcap", "cap_ipc_owner+ep", handler], check=True)
    agent = Agent(sb, user=user, config_text=config)
    walk, _ = agent.walk()
    check(walk == GOLDEN, "with the capability: %r" % walk[:30])


def scenario_the_handler_on_its_own(sb):
    # The conversation snmpd has with it, over a pipe: no segment yet.
    sb.settings(IPADDR="192.0.2.1", PINGINT=10)
    requests = ("PING\nget\n.1.3.6.1.2.1.80.1.1.0\nget\n.1.3.6.1.2.1.80.1.3.1.1" + INDEX + "\n"
                "getnext\n.1.3.6.1.2.1.80.1.2.1.23" + INDEX + "\n" + "x" * 100000 + "\nset\n.1.3.6.1.2.1.80.1.1.0\n"
                "unsigned 5\n\nget\n.1.3.a\nPING\n")
    result = subprocess.run(sb.tolvinstat_command("--snmp"), input=requests, capture_output=True, text=True,
                            timeout=20)
    check(result.returncode == 0 and result.stderr == "", "status %d %r" % (result.returncode, result.stderr))
    check(result.stdout == "PONG\n.1.3.6.1.2.1.80.1.1.0\nunsigned\n1\nNONE\nNONE\nNONE\nnot-writable\nNONE\nPONG\n",
          "answers %r" % result.stdout)


if __name__ == "__main__":
    sandbox.main(globals())
