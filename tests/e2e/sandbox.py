"""Runs the real tolvind in throwaway namespaces.

Every scenario gets fresh mount, network, PID, IPC and UTS namespaces. Inside,
the daemon's fixed paths (/opt, /var, /run, /usr/bin, /usr/sbin, /etc) are
tmpfs or overlay mounts, /dev is a tmpfs holding only null, zero and urandom,
and /dev/log is a datagram socket that this harness reads. The daemon always
runs without CAP_SYS_BOOT in its bounding set; the only network is the
namespace's own loopback and test hosts made here. Nothing is written to the
host: the namespaces and their mounts vanish when the scenario ends.

A scenario file defines functions taking a Sandbox and ends with
    sandbox.main(globals())
Functions named scenario_* are the scenarios; each runs in its own sandbox.
"""

import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import traceback

DAEMON = "/opt/tolvin/bin/tolvind"
TOLVINSTAT = "/opt/tolvin/bin/tolvinstat"
SETTINGS = "/opt/tolvin/etc/settings"
TOOL_RECORD = "/run/tolvin-tools.record"
SCENARIO_SECONDS = 120

LOG_ERR, LOG_WARNING, LOG_NOTICE, LOG_INFO = 3, 4, 5, 6
LOG_DAEMON = 3

# The unseeded rand() sequences: the fill byte of the n-th set-up is the
# low byte of the n-th value.
GLIBC_RAND = [1804289383, 846930886, 1681692777, 1714636915, 1957747793]


def musl_rand(count):
    """musl's rand(): a 64-bit linear congruential generator, seed 0 unseeded."""
    seed, values = 0, []
    for _ in range(count):
        seed = (6364136223846793005 * seed + 1) & (2 ** 64 - 1)
        values.append(seed >> 33)
    return values


class BuildInfo:
    """What the build directory says of its programs (tolvin-build.txt)."""

    def __init__(self, build_dir):
        values = {}
        with open(os.path.join(build_dir, "tolvin-build.txt")) as f:
            for line in f:
                key, _, value = line.rstrip("\n").partition("=")
                values[key] = value
        self.libc = values["libc"]
        self.big_endian = values["byte_order"] == "big"
        self.static = values["static"] == "1"
        self.sanitized = values["sanitized"] == "1"
        self.emulator = values["emulator"].split()
        self.processor = values["processor"]

    @property
    def order(self):
        """The struct module's prefix for the daemon's native byte order."""
        return ">" if self.big_endian else "<"

    def rand(self, count):
        return GLIBC_RAND[:count] if self.libc == "glibc" else musl_rand(count)


BUILD = None   # the BuildInfo of the programs under test, set by the Sandbox

USAGE = ("tolvind [-c]\n\nOptions:\n   -c   continue availability monitoring without "
         "outgate (use for tolvind restart)\n")


# The router's tools; their stand-ins record argument vector and open
# descriptors, one JSON object a line, in TOOL_RECORD.
TOOLS = ("/usr/bin/snmptrap", "/usr/bin/email", "/usr/bin/sms", "/usr/sbin/service")
STAND_IN_TOOL = """#!/usr/bin/python3
import json, os, sys, time
fds = {}
for fd in os.listdir("/proc/self/fd"):
    try:
        fds[fd] = os.readlink("/proc/self/fd/" + fd)
    except OSError:
        pass
fds = {fd: target for fd, target in fds.items() if not target.startswith("/proc/")}
env = {k: v for k, v in os.environ.items() if k.startswith("TOLVIN_")}
with open("%s", "a") as record:
    record.write(json.dumps({"argv": sys.argv, "fds": fds, "env": env, "time": time.monotonic()}) + "\\n")
""" % TOOL_RECORD


class ScenarioFailure(AssertionError):
    pass


# The exit status of a scenario that cannot run here (CTest's SKIP_RETURN_CODE).
SKIPPED = 77


class ScenarioSkipped(Exception):
    pass


def skip(reason):
    """Ends the scenario as skipped: what it needs is not here."""
    raise ScenarioSkipped(reason)


def check(condition, message):
    if not condition:
        raise ScenarioFailure(message)


def run(*args, **kwargs):
    kwargs.setdefault("check", True)
    return subprocess.run(list(args), **kwargs)


LINK_STATS_BYTES = 120088
LINK_STATS_FIELDS = ("probes replies rtt_min rtt_max rtt_sum rtt_avg padding_28 jitter_sum jitter_avg "
                     "window_probes window_replies window_rtt_min window_rtt_max window_rtt_sum "
                     "window_rtt_avg window_jitter_sum window_jitter_avg tag sample_count").split()
LINK_STATS_HEADER = "IIiiQiIQiIIiiIiIiII"   # averages read as signed: -1 for none


def _libc():
    import ctypes
    libc = ctypes.CDLL(None, use_errno=True)
    libc.ftok.argtypes = [ctypes.c_char_p, ctypes.c_int]
    libc.shmget.argtypes = [ctypes.c_int, ctypes.c_size_t, ctypes.c_int]
    libc.shmat.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
    libc.shmat.restype = ctypes.c_void_p
    libc.shmdt.argtypes = [ctypes.c_void_p]
    return ctypes, libc


def instance_project(name):
    """ftok's project id of an instance's segment: 1 for the default, else
    2 + the name's FNV-1a hash modulo 254."""
    if not name:
        return 1
    value = 2166136261
    for byte in name.encode():
        value = ((value ^ byte) * 16777619) & 0xFFFFFFFF
    return 2 + value % 254


def stats_key(instance=""):
    _, libc = _libc()
    return libc.ftok(DAEMON.encode(), instance_project(instance))


def create_segment(size, mode=0o600):
    """A segment under the daemon's key, as another program might leave it."""
    ctypes, libc = _libc()
    ident = libc.shmget(stats_key(), size, 0o1000 | mode)   # IPC_CREAT
    check(ident != -1, "shmget: errno %d" % ctypes.get_errno())
    return ident


def write_stats(fields, samples, instance=""):
    """A statistics block made by the test, as the daemon would leave it:
    `fields` by name (the others as after a reset), `samples` oldest first."""
    ctypes, libc = _libc()
    block = {name: 0 for name in LINK_STATS_FIELDS}
    block.update({name: -1 for name in ("rtt_min", "rtt_max", "rtt_avg", "jitter_avg", "window_rtt_min",
                                        "window_rtt_max", "window_rtt_avg", "window_jitter_avg")})
    block.update(tag=0x64617461, sample_count=len(samples))
    block.update(fields)
    raw = struct.pack(BUILD.order + LINK_STATS_HEADER, *(block[name] for name in LINK_STATS_FIELDS))
    raw += b"".join(struct.pack(BUILD.order + "iii", *sample) for sample in samples)
    ident = libc.shmget(stats_key(instance), LINK_STATS_BYTES, 0o1600)
    check(ident != -1, "shmget: errno %d" % ctypes.get_errno())
    address = libc.shmat(ident, None, 0)
    ctypes.memmove(address, raw, len(raw))
    libc.shmdt(address)


def remove_stats(instance=""):
    """The statistics segment removed, as a reboot would."""
    _, libc = _libc()
    libc.shmctl(libc.shmget(stats_key(instance), 0, 0), 0, None)       # IPC_RMID


def read_stats(instance=""):
    """The statistics block as another program reads it: attached read-only
    under the key derived from the daemon's path (and the instance's name).
    None when there is none."""
    ctypes, libc = _libc()
    ident = libc.shmget(stats_key(instance), 0, 0)
    if ident == -1:
        return None
    address = libc.shmat(ident, None, 0o10000)              # SHM_RDONLY
    check(address not in (None, ctypes.c_void_p(-1).value), "shmat: errno %d" % ctypes.get_errno())
    raw = ctypes.string_at(address, LINK_STATS_BYTES)
    libc.shmdt(address)
    # In the daemon's byte order, whatever this machine's is.
    header = struct.unpack_from(BUILD.order + LINK_STATS_HEADER, raw, 0)
    stats = dict(zip(LINK_STATS_FIELDS, header))
    stats["raw"] = raw
    stats["samples"] = [struct.unpack_from(BUILD.order + "iii", raw, 84 + 12 * i)
                        for i in range(stats["sample_count"])]
    return stats


def ring_window(stats, short_term):
    """The short-term window as a reader takes it from the ring: the newest
    min(S, kept) samples; None where there is no value."""
    window = stats["samples"][len(stats["samples"]) - min(short_term, len(stats["samples"])):]
    rtts = [rtt for _, rtt, _ in window if rtt != -1]
    jitters = [jitter for _, rtt, jitter in window if rtt != -1 and jitter != -1]
    return {"probes": len(window), "replies": len(rtts),
            "rtt_min_us": min(rtts) if rtts else None, "rtt_max_us": max(rtts) if rtts else None,
            "rtt_avg_us": sum(rtts) // len(rtts) if rtts else None, "rtt_sum_us": sum(rtts),
            "jitter_avg_us": sum(jitters) // len(jitters) if jitters else None, "jitter_sum_us": sum(jitters)}


class LogLine:
    # The pid is left out by a logger without one (BusyBox's).
    PATTERN = re.compile(rb"^<(\d+)>(\w{3} [ \d]\d \d\d:\d\d:\d\d) ([^\[:]+)(?:\[(\d+)\])?: (.*)$", re.S)

    def __init__(self, raw):
        self.raw = raw
        self.arrival = time.monotonic()
        match = self.PATTERN.match(raw)
        check(match is not None, "unexpected system log datagram %r" % raw)
        priority = int(match.group(1))
        self.facility = priority >> 3
        self.level = priority & 7
        self.ident = match.group(3).decode()
        self.pid = int(match.group(4) or 0)
        self.text = match.group(5).decode("utf-8", "replace")

    def __repr__(self):
        return "<%d.%d %s[%d]: %s>" % (self.facility, self.level, self.ident, self.pid, self.text)


class SystemLog:
    """Reads what syslog() sends to /dev/log. musl ends every message with a
    line feed (and stamps it in UTC), glibc does not; the host's own tools
    (logger) are glibc's."""

    def __init__(self, libc):
        self.trailing_newline = libc == "musl"
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind("/dev/log")
        os.chmod("/dev/log", 0o666)
        self.lines = []
        self.cond = threading.Condition()
        self.echo = os.environ.get("TOLVIN_E2E_ECHO") == "1"
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while True:
            raw = self.sock.recv(65536)
            if os.environ.get("TOLVIN_E2E_RAW") == "1":
                print("  raw: %r" % raw, flush=True)
            raw = raw.rstrip(b"\0")
            line = LogLine(raw[:-1] if self.trailing_newline and raw.endswith(b"\n") else raw)
            # Every message of the programs under test, musl's with its line feed.
            if self.trailing_newline and line.ident.startswith("tolvin") and line.ident != "tolvin-failover":
                check(raw.endswith(b"\n"), "musl's syslog ends %r with a line feed" % raw)
            if self.echo:
                print("  log: %r" % line, flush=True)
            with self.cond:
                self.lines.append(line)
                self.cond.notify_all()

    def snapshot(self):
        with self.cond:
            return list(self.lines)

    def wait_for(self, pattern, timeout=10.0, start=0, level=None):
        """The first line at or after index `start` whose text matches the
        regular expression in full; fails after `timeout` seconds."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for index in range(start, len(self.lines)):
                    line = self.lines[index]
                    if regex.fullmatch(line.text) and (level is None or line.level == level):
                        return index, line
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise ScenarioFailure("no log line matching %r within %.0f s; log:\n  %s" % (
                        pattern, timeout, "\n  ".join(map(repr, self.lines[start:]))))
                self.cond.wait(remaining)


class Capture:
    """Packets leaving through an interface, read with a packet socket."""

    PACKET_OUTGOING = 4

    def __init__(self, interface="lo"):
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))
        self.sock.bind((interface, 0))

    def outgoing(self, predicate, count, timeout=10.0):
        """`count` outgoing frames (without their 14-byte Ethernet header) for
        which `predicate(ip_packet)` holds."""
        found = []
        deadline = time.monotonic() + timeout
        while len(found) < count:
            remaining = deadline - time.monotonic()
            check(remaining > 0, "captured %d of %d packets" % (len(found), count))
            self.sock.settimeout(remaining)
            try:
                frame, address = self.sock.recvfrom(65536)
            except socket.timeout:
                continue
            if address[2] != self.PACKET_OUTGOING:
                continue
            packet = frame[14:]
            if predicate(packet):
                found.append(packet)
        return found


def check_exposition(text):
    """promtool's own check of Prometheus's text format and naming rules;
    then the samples, {(name, labels text): value}."""
    result = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True,
                            text=True, timeout=30)
    check(result.returncode == 0 and result.stdout.strip() == "" and result.stderr.strip() == "",
          "promtool check metrics: %s%s\non:\n%s" % (result.stdout, result.stderr, text))
    samples = {}
    for line in text.splitlines():
        if line.startswith("#"):
            continue
        match = re.fullmatch(r"([a-zA-Z_:][a-zA-Z0-9_:]*)(\{.*\})? (\S+)", line)
        check(match is not None, "sample line %r" % line)
        key = (match.group(1), match.group(2) or "")
        check(key not in samples, "a second sample %r" % (key,))
        samples[key] = float(match.group(3))
    return samples


def children(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(n) for n in f.read().split()]
    except OSError:
        return []


# For a measurement of time that the rest of the machine must not disturb:
# a round-robin real-time priority runs a process that wakes up at once,
# before any ordinary one (a build, a busy loop), which would otherwise hold
# the processor for the rest of its time slice, a few milliseconds.
REALTIME = ["chrt", "--rr", "10"]

TRACER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "gdb_tracer.py")
RESPONDER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "echo_responder.py")


class TestHost:
    """A host in a network namespace of its own, joined to the sandbox by a
    veth pair: 10.77.0.2 and fd77::2 (the sandbox end is .1 and ::1). Its
    kernel does not answer echo requests; a responder of ours may, after a
    delay, or send late replies only. Everything ends with the sandbox."""

    ADDRESS, ADDRESS6 = "10.77.0.2", "fd77::2"

    def __init__(self):
        self.holder = subprocess.Popen(["unshare", "--net", "sleep", str(SCENARIO_SECONDS)])
        self.inside = ["nsenter", "-t", str(self.holder.pid), "-n"]
        wait_until(lambda: os.readlink("/proc/%d/ns/net" % self.holder.pid) != os.readlink("/proc/self/ns/net"),
                   "the test host's namespace", 5)
        run("ip", "link", "add", "name", "vr1", "type", "veth", "peer", "name", "vh1",
            "netns", str(self.holder.pid))
        run("ip", "addr", "add", "10.77.0.1/30", "dev", "vr1")
        run("ip", "-6", "addr", "add", "fd77::1/64", "dev", "vr1", "nodad")
        run("ip", "link", "set", "vr1", "up")
        for command in (["ip", "addr", "add", "10.77.0.2/30", "dev", "vh1"],
                        ["ip", "-6", "addr", "add", "fd77::2/64", "dev", "vh1", "nodad"],
                        ["ip", "link", "set", "vh1", "up"], ["ip", "link", "set", "lo", "up"],
                        ["sysctl", "-q", "-w", "net.ipv4.icmp_echo_ignore_all=1"],
                        ["sysctl", "-q", "-w", "net.ipv6.icmp.echo_ignore_all=1"]):
            run(*(self.inside + command))
        self.responder = None

    def respond(self, mode, seconds, realtime=False):
        """Starts (or replaces) the responder: "delay" or "late"; `realtime`
        schedules it before every ordinary process (see Sandbox.start)."""
        self.stop_responding()
        self.responder = subprocess.Popen(self.inside + (REALTIME if realtime else []) +
                                          [sys.executable, RESPONDER, mode, str(seconds)],
                                          stdout=subprocess.PIPE, text=True)
        check(self.responder.stdout.readline() == "ready\n", "the responder did not start")

    def stop_responding(self):
        if self.responder is not None:
            self.responder.kill()
            self.responder.wait()
            self.responder = None

    def close(self):
        self.stop_responding()
        self.holder.kill()
        self.holder.wait()


class Router:
    """One router of a fleet: network, IPC and mount namespaces of its own
    (its own loopback, statistics segment, settings, availability file and
    /run), the sandbox's programs, and a veth pair to the sandbox, which
    reaches it at 10.78.N.2. Everything ends with the sandbox."""

    HTTP_PORT = 8493

    def __init__(self, number):
        self.number = number
        self.address = "10.78.%d.2" % number
        self.holder = subprocess.Popen(["unshare", "--net", "--ipc", "--mount", "--propagation",
                                        "private", "sleep", str(SCENARIO_SECONDS)])
        wait_until(lambda: os.readlink("/proc/%d/ns/mnt" % self.holder.pid) != os.readlink("/proc/self/ns/mnt"),
                   "router %d's namespaces" % number, 5)
        self.inside = ["nsenter", "-t", str(self.holder.pid), "-n", "-i", "-m"]
        outside, inside = "vf%d" % number, "vr%d" % number
        run("ip", "link", "add", "name", outside, "type", "veth", "peer", "name", inside,
            "netns", str(self.holder.pid))
        run("ip", "addr", "add", "10.78.%d.1/30" % number, "dev", outside)
        run("ip", "link", "set", outside, "up")
        for command in (["ip", "addr", "add", self.address + "/30", "dev", inside],
                        ["ip", "link", "set", inside, "up"], ["ip", "link", "set", "lo", "up"],
                        ["mount", "-t", "tmpfs", "-o", "mode=0755", "router-etc", "/opt/tolvin/etc"],
                        ["mount", "-t", "tmpfs", "-o", "mode=0755", "router-data", "/var/data"],
                        ["mount", "-t", "tmpfs", "-o", "mode=0755", "router-run", "/run"]):
            run(*(self.inside + command))
        self.processes = []

    def path(self, path):
        """A path of the router's file system, as seen from the sandbox."""
        return "/proc/%d/root%s" % (self.holder.pid, path)

    def settings(self, **values):
        with open(self.path(SETTINGS), "w") as f:
            f.write("".join('MOD_TOLVIN_%s="%s"\n' % (k, v) for k, v in values.items()))

    def start(self, *args):
        """The daemon, without CAP_SYS_BOOT."""
        process = subprocess.Popen(self.inside + ["setpriv", "--bounding-set", "-sys_boot",
                                                  "--inh-caps", "-sys_boot", DAEMON] + list(args),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env={"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"})
        daemon = Daemon(process)
        self.processes.append(daemon)
        return daemon

    def serve_http(self):
        """tolvinstat --http for each connection to port 8493, as a .socket
        unit with Accept=yes runs it."""
        process = subprocess.Popen(self.inside + ["systemd-socket-activate", "--accept", "--inetd",
                                                  "--listen=%s:%d" % (self.address, self.HTTP_PORT),
                                                  TOLVINSTAT, "--http"],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE)
        self.processes.append(Daemon(process))
        wait_for_port(self.address, self.HTTP_PORT)

    def tolvinstat(self, *args):
        result = subprocess.run(self.inside + [TOLVINSTAT] + list(args), capture_output=True,
                                text=True, timeout=20)
        return result.returncode, result.stdout, result.stderr

    def sysctl(self, key, value):
        run(*(self.inside + ["sysctl", "-q", "-w", "%s=%s" % (key, value)]))

    def close(self):
        for process in self.processes:
            process.stop()
        self.holder.kill()
        self.holder.wait()


def wait_for_port(address, port, timeout=10.0):
    def listening():
        try:
            socket.create_connection((address, port), timeout=1).close()
            return True
        except OSError:
            return False
    wait_until(listening, "something listening on %s:%d" % (address, port), timeout)


class Prometheus:
    """Debian's Prometheus server in the sandbox, on 127.0.0.1:9090: scrapes
    `targets` (job "tolvin") every second and evaluates `rules` every second."""

    def __init__(self, root, targets, rules):
        self.directory = os.path.join(root, "prometheus")
        os.makedirs(self.directory)
        with open(os.path.join(self.directory, "tolvin.rules.yml"), "w") as f:
            f.write(rules)
        config = {"global": {"scrape_interval": "1s", "scrape_timeout": "1s", "evaluation_interval": "1s"},
                  "rule_files": [os.path.join(self.directory, "tolvin.rules.yml")],
                  "scrape_configs": [{"job_name": "tolvin", "static_configs": [{"targets": targets}]}]}
        with open(os.path.join(self.directory, "prometheus.yml"), "w") as f:
            json.dump(config, f)    # JSON is YAML
        self.log = open(os.path.join(self.directory, "log"), "w")
        self.process = subprocess.Popen(
            ["prometheus", "--config.file=" + os.path.join(self.directory, "prometheus.yml"),
             "--storage.tsdb.path=" + os.path.join(self.directory, "data"),
             "--web.listen-address=127.0.0.1:9090", "--log.level=warn"],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log)
        self.wait(lambda: self._get("/-/ready", raw=True) is not None, "Prometheus ready", 30)

    def _get(self, path, raw=False):
        import urllib.error
        import urllib.request
        try:
            with urllib.request.urlopen("http://127.0.0.1:9090" + path, timeout=5) as answer:
                body = answer.read()
        except (urllib.error.URLError, OSError):
            return None
        return body if raw else json.loads(body)

    def query(self, expression):
        """The instant vector or scalar of a query: [(labels, value)]."""
        import urllib.parse
        answer = self._get("/api/v1/query?" + urllib.parse.urlencode({"query": expression}))
        check(answer is not None and answer["status"] == "success", "query %r: %r" % (expression, answer))
        data = answer["data"]
        if data["resultType"] == "scalar":
            return [({}, float(data["result"][1]))]
        return [(item["metric"], float(item["value"][1])) for item in data["result"]]

    def firing(self, alertname):
        """The instances for which the alert fires."""
        answer = self._get("/api/v1/alerts")
        check(answer is not None, "alerts unavailable")
        return sorted(alert["labels"].get("instance", "") for alert in answer["data"]["alerts"]
                      if alert["labels"]["alertname"] == alertname and alert["state"] == "firing")

    def wait(self, condition, what, timeout=30.0):
        deadline = time.monotonic() + timeout
        while not condition():
            if time.monotonic() > deadline:
                raise ScenarioFailure("%s: not within %.0f s; Prometheus said:\n%s" % (
                    what, timeout, open(os.path.join(self.directory, "log")).read()[-3000:]))
            time.sleep(0.2)

    def close(self):
        self.process.kill()
        self.process.wait()
        self.log.close()


def internet_checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total


def wait_until(condition, what, timeout=10.0):
    """Polls `condition` until it gives a true value, which it returns;
    fails after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        check(time.monotonic() < deadline, "%s: not within %.0f s" % (what, timeout))
        time.sleep(0.01)


# nanosleep and clock_nanosleep on this machine (x86-64): what the daemon's
# sleep between cycles comes to, under an emulator too, whose own calls are
# this machine's.
SLEEP_SYSCALLS = (35, 230)


class Daemon:
    def __init__(self, process, traced=False):
        self.process = process
        self.pid = process.pid
        self.traced = traced
        self.stdout = ""
        self.stderr = ""

    def wait(self, timeout=10.0):
        try:
            out, err = self.process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise ScenarioFailure("daemon still running after %.0f s" % timeout)
        self.stdout, self.stderr = out.decode(errors="replace"), err.decode(errors="replace")
        return self.process.returncode, out, err

    def alive(self):
        return self.process.poll() is None

    def program_pid(self):
        """The daemon's own process: the debugger's child when traced."""
        if self.traced:
            return wait_until(lambda: children(self.pid), "the traced daemon")[0]
        return self.pid

    def _proc(self, name):
        try:
            with open("/proc/%d/%s" % (self.program_pid(), name)) as f:
                return f.read()
        except OSError:
            return ""

    def wait_asleep(self, times=1, timeout=10.0):
        """Waits until the daemon is asleep (between cycles, or in a closed
        window): everything the cycle before the sleep writes is written.
        With `times`, until it has gone to sleep that many times, counting a
        sleep under way: only for a closed window, where nothing else blocks
        (each sleep is one voluntary context switch)."""
        def switches():
            match = re.search(r"^voluntary_ctxt_switches:\s+(\d+)", self._proc("status"), re.M)
            return int(match.group(1)) if match else 0

        def asleep():
            fields = self._proc("syscall").split()
            return bool(fields) and fields[0].isdigit() and int(fields[0]) in SLEEP_SYSCALLS
        first = switches() - (1 if asleep() else 0)
        wait_until(lambda: asleep() and switches() >= first + times,
                   "the daemon asleep %d times" % times, timeout)

    def freeze(self):
        """SIGSTOP, and waits until the daemon has stopped inside a system
        call (a wait, a sleep, a write): never half way through recording a
        probe, which makes none. Stopped elsewhere, it goes on and is stopped
        again."""
        def stopped_in_a_call():
            os.kill(self.program_pid(), signal.SIGSTOP)
            wait_until(lambda: self._proc("stat").rpartition(")")[2].split()[:1] == ["T"],
                       "the daemon stopped")
            # "-1 ..." while it ran its own code.
            if not self._proc("syscall").startswith("-1"):
                return True
            self.thaw()
            return False
        wait_until(stopped_in_a_call, "the daemon stopped inside a system call")

    def thaw(self):
        os.kill(self.program_pid(), signal.SIGCONT)

    def stop(self):
        """Kills the daemon (SIGKILL: it has no handlers) and keeps its output.
        A traced daemon is the debugger's child, which outlives the debugger."""
        if self.process.returncode is None:
            if self.traced:
                for child in children(self.pid):
                    try:
                        os.kill(child, signal.SIGKILL)
                    except ProcessLookupError:
                        pass
            self.process.kill()
            out, err = self.process.communicate()
            self.stdout = (out or b"").decode(errors="replace")
            self.stderr = (err or b"").decode(errors="replace")


class Sandbox:
    def __init__(self, build_dir, root):
        global BUILD
        self.build_dir = build_dir
        self.build = BUILD = BuildInfo(build_dir)
        # A daemon built with the sanitizers: nothing else may be preloaded.
        self.sanitized = self.build.sanitized
        self.root = root
        self.daemons = []
        self.hosts = []
        self._mount_all()
        self.log = SystemLog(self.build.libc)
        run("ip", "link", "set", "lo", "up")

    # --- set-up -----------------------------------------------------------

    def _mount_all(self):
        run("mount", "--make-rprivate", "/")
        run("mount", "-t", "tmpfs", "-o", "mode=0755", "tolvin-e2e", self.root)
        # The build tree may sit below one of the paths covered next.
        self.stage = os.path.join(self.root, "stage")
        os.mkdir(self.stage)
        for program in ("tolvind", "tolvinstat", "call_counter.so", "select_keeps_timeout.so"):
            source = os.path.join(self.build_dir, program)
            if os.path.exists(source):
                shutil.copy2(source, self.stage)
        real_dev = os.path.join(self.root, "realdev")
        os.mkdir(real_dev)
        run("mount", "--rbind", "/dev", real_dev)
        run("mount", "-t", "tmpfs", "-o", "mode=0755", "tolvin-dev", "/dev")
        for name in ("null", "zero", "urandom"):
            open("/dev/" + name, "w").close()
            run("mount", "--bind", os.path.join(real_dev, name), "/dev/" + name)
        for directory in ("/usr/bin", "/usr/sbin", "/etc", "/var"):
            self.overlay(directory)
        for directory in ("/opt", "/run"):
            run("mount", "-t", "tmpfs", "-o", "mode=0755", "tolvin-" + directory[1:], directory)
        for directory in ("/opt/tolvin/bin", "/opt/tolvin/etc"):
            os.makedirs(directory)
        shutil.copy2(os.path.join(self.stage, "tolvind"), DAEMON)
        if os.path.exists(os.path.join(self.stage, "tolvinstat")):
            shutil.copy2(os.path.join(self.stage, "tolvinstat"), TOLVINSTAT)
        # Names resolve from /etc/hosts only: no resolver traffic leaves.
        self.write("/etc/nsswitch.conf", "hosts: files\n")
        self.write("/etc/hosts", "127.0.0.1 localhost probe-target\n::1 localhost6 probe-target6\n")
        self.write("/etc/resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n")
        for tool in TOOLS:
            self.write(tool, STAND_IN_TOOL, 0o755)
        # The firmware check's shell and tools are BusyBox's, as on a router:
        # its ps lists every process with its whole command line.
        busybox = shutil.which("busybox")
        check(busybox is not None, "BusyBox is missing (scripts/setup installs it)")
        for tool in ("sh", "ps", "grep", "cat"):
            path = "/usr/bin/" + tool
            if os.path.lexists(path):
                os.remove(path)
            os.symlink(busybox, path)
        os.makedirs("/var/data/system", exist_ok=True)

    def overlay(self, directory):
        name = directory.strip("/").replace("/", "-")
        upper = os.path.join(self.root, "overlay", name, "upper")
        work = os.path.join(self.root, "overlay", name, "work")
        os.makedirs(upper)
        os.makedirs(work)
        run("mount", "-t", "overlay", "overlay", "-o",
            "lowerdir=%s,upperdir=%s,workdir=%s" % (directory, upper, work), directory)

    def write(self, path, text, mode=0o644):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, mode)

    def settings(self, **values):
        """Writes the settings file; keyword NAME=value becomes MOD_TOLVIN_NAME=value."""
        self.write(SETTINGS, "".join('MOD_TOLVIN_%s="%s"\n' % (k, v) for k, v in values.items()))

    def tool_calls(self):
        """Every stand-in tool run so far: (argument vector, open descriptors)."""
        return [(entry["argv"], entry["fds"]) for entry in self.tool_records()]

    def tool_records(self):
        """Every stand-in tool run so far, whole: argv, fds, env (its TOLVIN_
        variables) and time (monotonic, as this harness's)."""
        if not os.path.exists(TOOL_RECORD):
            return []
        with open(TOOL_RECORD) as f:
            return [json.loads(line) for line in f]

    def wait_tool_calls(self, count, timeout=15.0):
        """The tool runs once there are `count` of them (alarms run their
        tools one after another, after the alarm's log line)."""
        wait_until(lambda: len(self.tool_calls()) >= count, "%d tool runs" % count, timeout)
        return self.tool_calls()

    def sysctl(self, key, value):
        with open("/proc/sys/" + key.replace(".", "/"), "w") as f:
            f.write(str(value))

    def icmp_echo(self, answer):
        """Turns the namespace's echo replies on or off (both families)."""
        self.sysctl("net.ipv4.icmp_echo_ignore_all", 0 if answer else 1)
        self.sysctl("net.ipv6.icmp.echo_ignore_all", 0 if answer else 1)

    # --- the daemon -------------------------------------------------------

    def start(self, *args, drop=(), preload=None, program=DAEMON, env=None, trace=None, realtime=False):
        """Starts the daemon without CAP_SYS_BOOT (and the capabilities in
        `drop`), under the build's emulator if it has one. `preload` names a
        library of the stage to preload; `env` adds to the environment;
        `trace` runs it under the debugger with the tracer's settings (for a
        static program, which nothing can be preloaded into); `realtime`
        gives it a real-time priority (REALTIME)."""
        bounding = ",".join("-" + cap for cap in ("sys_boot",) + tuple(drop))
        environment = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"}
        environment.update(env or {})
        if preload:
            environment["LD_PRELOAD"] = os.path.join(self.stage, preload)
        command = (REALTIME if realtime else []) + self.build.emulator + [program] + list(args)
        if trace is not None:
            environment.update(trace)
            command = ["gdb", "-q", "-nx", "-batch", "-x", TRACER, "--args"] + command
        process = subprocess.Popen(
            ["setpriv", "--bounding-set", bounding, "--inh-caps", bounding] + command,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            cwd="/", env=environment)
        daemon = Daemon(process, traced=trace is not None)
        self.daemons.append(daemon)
        return daemon

    def wait_probes(self, daemon, count, timeout=10.0):
        """Waits until the block holds `count` probes and the daemon, asleep
        again, has written what its cycle writes (an interval of 1 s or more)."""
        wait_until(lambda: (read_stats() or {"probes": 0})["probes"] >= count, "%d probes" % count, timeout)
        daemon.wait_asleep()

    def test_host(self):
        host = TestHost()
        self.hosts.append(host)
        return host

    def router(self, number):
        router = Router(number)
        self.hosts.append(router)
        return router

    def prometheus(self, targets, rules):
        server = Prometheus(self.root, targets, rules)
        self.hosts.append(server)
        return server

    def tolvinstat_command(self, *args):
        return self.build.emulator + [TOLVINSTAT] + list(args)

    def tolvinstat(self, *args, user=None):
        """Runs tolvinstat (as `user` when given); returns (status, stdout, stderr)."""
        command = self.tolvinstat_command(*args)
        if user is not None:
            command = ["setpriv", "--reuid", str(user), "--regid", str(user), "--clear-groups"] + command
        result = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, timeout=20)
        return result.returncode, result.stdout.decode(), result.stderr.decode()

    def close(self):
        for daemon in self.daemons:
            daemon.stop()
        for host in self.hosts:
            host.close()
        self.hosts = []


def _run_inside(module_globals, build_dir, root, name):
    sandbox = Sandbox(build_dir, root)
    try:
        module_globals[name](sandbox)
    except ScenarioSkipped:
        raise
    except Exception:
        # What the daemons said, for the failure report.
        sandbox.close()
        for daemon in sandbox.daemons:
            for stream, text in (("stdout", daemon.stdout), ("stderr", daemon.stderr)):
                if text:
                    print("daemon %d %s:\n%s" % (daemon.pid, stream, text[-4000:]))
        raise
    finally:
        sandbox.close()


def _scenarios(module_globals):
    return sorted(name for name in module_globals if name.startswith("scenario_"))


def main(module_globals):
    global SCENARIO_SECONDS
    SCENARIO_SECONDS = module_globals.get("SCENARIO_SECONDS", SCENARIO_SECONDS)
    args = sys.argv[1:]
    if args[:1] in (["--list"], ["--list-core"]):
        # The core runs under emulation too: the names in the file's CORE.
        core = module_globals.get("CORE", ())
        names = [name[len("scenario_"):] for name in _scenarios(module_globals)]
        if args[0] == "--list-core":
            names = [name for name in names if name in core]
        print(";".join(names))
        return
    check(args[:1] == ["--build"], "usage: %s --build DIR [--inside ROOT] [SCENARIO...]" % sys.argv[0])
    build_dir = os.path.abspath(args[1])
    args = args[2:]

    if args[:1] == ["--inside"]:
        root, name = args[1], args[2]
        signal.alarm(SCENARIO_SECONDS)
        try:
            _run_inside(module_globals, build_dir, root, name)
        except ScenarioSkipped as reason:
            print("skipped: %s" % reason, flush=True)
            os._exit(SKIPPED)
        except Exception:
            traceback.print_exc()
            sys.stdout.flush()
            os._exit(1)
        sys.stdout.flush()
        os._exit(0)

    check(os.geteuid() == 0, "the end-to-end scenarios need root")
    names = ["scenario_" + n for n in args] if args else _scenarios(module_globals)
    passed = failed = skipped = 0
    for name in names:
        root = tempfile.mkdtemp(prefix="tolvin-e2e-")
        started = time.monotonic()
        try:
            result = subprocess.run(
                ["unshare", "--mount", "--net", "--pid", "--ipc", "--uts", "--fork",
                 "--mount-proc", "--kill-child", sys.executable, os.path.abspath(sys.argv[0]),
                 "--build", build_dir, "--inside", root, name],
                stdin=subprocess.DEVNULL, timeout=SCENARIO_SECONDS + 10)
            status = result.returncode
        except subprocess.TimeoutExpired:
            status = 1
        os.rmdir(root)
        outcome = "PASS" if status == 0 else "SKIP" if status == SKIPPED else "FAIL"
        print("%s %s (%.1f s)" % (outcome, name, time.monotonic() - started), flush=True)
        passed += outcome == "PASS"
        skipped += outcome == "SKIP"
        failed += outcome == "FAIL"
    print("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
    # One scenario skipped, and nothing else run, is a skip to CTest.
    sys.exit(1 if failed else SKIPPED if skipped and not passed else 0)
