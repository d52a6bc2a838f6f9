#!/usr/bin/python3
"""The daemon under faults and bad input: hostile settings files, extreme
payload and window sizes, a flood of foreign ICMP, misbehaving router tools,
a full disk, a foreign segment, and a wall clock set back."""

import json
import os
import random
import socket
import struct
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sandbox
from sandbox import LOG_ERR, LOG_WARNING, check

# Run under emulation too, for a big-endian router: the socket filters are
# checked by what they let through.
CORE = ("flood_of_foreign_icmp",)

NONE = -1
AVAILABILITY_DIR = "/var/data/tolvin"
AVAILABILITY = AVAILABILITY_DIR + "/availability.dat"
FAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"


def failed(address, n):
    return r"Ping to %s: failed with no response \(occurrence %d in a series\)" % (
        address.replace(".", r"\."), n)


def succeeded(address):
    return r"Ping to %s: successful with response in \d+\.\d ms" % address.replace(".", r"\.")


# --- settings -------------------------------------------------------------

def scenario_hostile_settings_file(sb):
    lines = [
        b" MOD_TOLVIN_IPADDR=10.9.9.9\n",                   # a blank before the key: another key
        b"mod_tolvin_ipaddr=\"127.0.0.1\"\r\n",              # lower case, quoted, CRLF
        b"x" * 16383 + b"MOD_TOLVIN_IPADDR2=::1\n",          # the second piece of a long line
        b"y" * 40000 + b"\n",                                # a line far over the buffer
        b"MOD_TOLVIN_PINGINT=+1\n",                          # a sign
        b"MOD_TOLVIN_PINGINT2=1s\n",                         # a suffix
        b"MOD_TOLVIN_ROUTERID=\"R1 \"main\"\"\n",           # an inner quote is kept
        b"MOD_TOLVIN_LOSTEMAIL1=\"a@example.org\n",         # unbalanced quote: empty
        b"MOD_TOLVIN_LOSTEMAIL2=b@example.org; echo hi\n",  # blanks and ; are data
        b"MOD_TOLVIN_LOSTSMS=+1\x00MOD_TOLVIN_LOSTSMS2=+2\n",  # text after a NUL is not seen
        b"\x01\x02\xff\xfe=binary\n",
        b"MOD_TOLVIN_LOSTCHECK=1\nMOD_TOLVIN_LOSTNUM=2 cycles\nMOD_TOLVIN_LOSTLOG=1\n",
        b"MOD_TOLVIN_FAILCHECK=0\n",
        b"MOD_TOLVIN_FAILCHECK=1\n",                         # repeated: the first wins
    ]
    # Every key once more with other values: the first occurrence wins.
    lines += [b"%s=\"999\"\n" % key.encode() for key in SETTING_KEYS]
    lines.append(b"MOD_TOLVIN_LOGALL=1")                     # no newline at the end
    with open(sandbox.SETTINGS, "wb") as f:
        f.write(b"".join(lines))
    daemon = sb.start()
    index, _ = sb.log.wait_for(succeeded("127.0.0.1"))
    sb.sysctl("net.ipv4.icmp_echo_ignore_all", 1)
    index, _ = sb.log.wait_for(r"Ping to 127\.0\.0\.1 and ::1: first failed .*", start=index + 1)
    sb.sysctl("net.ipv6.icmp.echo_ignore_all", 1)
    sb.log.wait_for(r"line lost, last successful ping was at .*", start=index + 1, timeout=15)
    # Keys not set before the repeated block take its 999: the trap host,
    # the third address, LOSTSMS2 (hidden behind a NUL) to LOSTSMS12, the
    # PPP restart and the reboot.
    recipients = [(argv[0], argv[2] if argv[0] in ("/usr/bin/snmptrap", "/usr/bin/email") else argv[1])
                  for argv, _ in sb.wait_tool_calls(16)]
    expected = ([("/usr/bin/snmptrap", "999"), ("/usr/bin/email", "b@example.org; echo hi"),
                 ("/usr/bin/email", "999"), ("/usr/bin/sms", "+1")]
                + [("/usr/bin/sms", "999")] * 11 + [("/sbin/service", "ppp")])
    check(recipients == expected, "tools %r" % recipients)
    email = sb.tool_calls()[1][0]
    check(email[4] == 'Line lost (R1 "main")', "subject %r" % email[4])
    sandbox.wait_until(lambda: os.path.exists("/var/data/system/reboot"), "a reboot attempt", 5)
    check(daemon.alive(), "daemon ended")
    warnings = [l.text for l in sb.log.snapshot() if l.level == LOG_WARNING]
    check(len(warnings) == 1, "FAILCHECK is 0 (first line), only line lost: %r" % warnings)


SETTING_KEYS = (
    ["MOD_TOLVIN_ENABLED", "MOD_TOLVIN_IPADDR", "MOD_TOLVIN_IPADDR2", "MOD_TOLVIN_PINGINT",
     "MOD_TOLVIN_PINGINT2", "MOD_TOLVIN_PINGSIZE", "MOD_TOLVIN_PINGSIZE2", "MOD_TOLVIN_ROUTERID",
     "MOD_TOLVIN_STARTTIME", "MOD_TOLVIN_STOPTIME", "MOD_TOLVIN_LOGALL", "MOD_TOLVIN_SHORTTERM",
     "MOD_TOLVIN_FAILCHECK", "MOD_TOLVIN_FAILNUM", "MOD_TOLVIN_FAILTIME", "MOD_TOLVIN_FAILLOG",
     "MOD_TOLVIN_FAILSNMP", "MOD_TOLVIN_LOSTCHECK", "MOD_TOLVIN_LOSTNUM", "MOD_TOLVIN_LOSTTIME",
     "MOD_TOLVIN_LOSTLOG", "MOD_TOLVIN_LOSTSNMP", "MOD_TOLVIN_LOSTRSTIFACE", "MOD_TOLVIN_LOSTREBOOT",
     "MOD_TOLVIN_REESTCHECK", "MOD_TOLVIN_REESTLOG", "MOD_TOLVIN_EXPOSEAVAIL"]
    + ["MOD_TOLVIN_%sEMAIL%d" % (kind, i) for kind in ("FAIL", "LOST", "REEST") for i in (1, 2, 3)]
    + ["MOD_TOLVIN_%sSMS%s" % (kind, "" if i == 1 else i) for kind in ("LOST", "REEST")
       for i in range(1, 13)])
assert len(SETTING_KEYS) == 60


# --- payloads and windows -------------------------------------------------

def scenario_payload_sizes(sb):
    # 65507 is the largest IPv4 echo payload (65535 - 20 - 8).
    for size, answered in ((0, True), (1, True), (7, True), (1471, True), (65507, True),
                           (65508, False)):
        sb.settings(IPADDR="127.0.0.1", PINGINT=1, PINGSIZE=size, LOGALL=1)
        start = len(sb.log.snapshot())
        daemon = sb.start()
        sb.log.wait_for(succeeded("127.0.0.1") if answered else failed("127.0.0.1", 1),
                        start=start, timeout=5)
        daemon.stop()
        texts = [l.text for l in sb.log.snapshot()[start:]]
        check(not any("different size" in t for t in texts), "size %d: %r" % (size, texts))
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, PINGSIZE=4294967295)
    rc, _, _ = sb.start().wait()
    check(rc == 1, "size 4294967295: exit status %d" % rc)


def scenario_window_sizes_with_more_probes_than_s(sb):
    for s in (0, 1, 9999, 10000, 4294967295):
        # Interval 0: the cycles follow each other without a pause.
        sb.settings(IPADDR="127.0.0.1", PINGINT=0, SHORTTERM=s)
        daemon = sb.start()
        sandbox.wait_until(lambda: (sandbox.read_stats() or {"probes": 0})["probes"] > min(s, 10000) + 200,
                           "S %d: the window past its length" % s, 40)
        daemon.stop()
        block = sandbox.read_stats()
        sandbox.remove_stats()                  # the next daemon's block is a new one
        probes = block["probes"]
        check(probes > min(s, 10000), "S %d: only %d probes" % (s, probes))
        window = 9999 if s > 9999 and probes > s else s
        check(block["sample_count"] == min(probes, 10000), "S %d: sample_count" % s)
        check(block["window_probes"] == min(probes, window), "S %d: window_probes %d" % (
            s, block["window_probes"]))
        check(block["window_replies"] <= block["window_probes"], "S %d: window_replies" % s)
        times = [t for t, _, _ in block["samples"]]
        check(times == sorted(times), "S %d: ring out of order" % s)
        check(block["tag"] == 0x64617461, "S %d: tag" % s)
        if s == 0:
            check(block["window_rtt_sum"] == 0 and block["window_rtt_avg"] == NONE, "S 0: window")


# --- foreign traffic -------------------------------------------------------

def flood(stop, counter):
    """Foreign ICMP at loopback as fast as it goes: replies with other
    identifiers, replies with old sequence numbers of every identifier,
    truncated messages, and echo requests whose replies loop back."""
    sender = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
    rng = random.Random(7)
    while not stop.is_set():
        kind = rng.randrange(4)
        identifier = rng.randrange(65536)
        sequence = rng.randrange(4)
        if kind == 0:
            packet = struct.pack("!BBHHH", 0, 0, 0, identifier, sequence) + b"f" * 16
        elif kind == 1:
            packet = struct.pack("!BBH", 0, 0, 0)                        # truncated
        elif kind == 2:
            packet = struct.pack("!BBHHH", 8, 0, 0, identifier, sequence) + b"r" * 8
        else:
            packet = struct.pack("!BBHH", 0, 0, 0, identifier)          # 6 bytes
        checksum = 0xFFFF - sandbox.internet_checksum(packet)
        packet = packet[:2] + struct.pack("!H", checksum) + packet[4:]
        try:
            sender.sendto(packet, ("127.0.0.1", 0))
            counter[0] += 1
        except OSError:
            pass


def scenario_flood_of_foreign_icmp(sb):
    stop = threading.Event()
    counter = [0]
    sb.settings(IPADDR="127.0.0.1", PINGINT=2, LOGALL=1)
    threading.Thread(target=flood, args=(stop, counter), daemon=True).start()
    daemon = sb.start()
    index = -1
    for _ in range(3):
        index, _ = sb.log.wait_for(succeeded("127.0.0.1"), start=index + 1, timeout=6)
    sb.sysctl("net.ipv4.icmp_echo_ignore_all", 1)
    index, first = sb.log.wait_for(failed("127.0.0.1", 1), start=index + 1, timeout=8)
    t1 = time.monotonic()
    sb.log.wait_for(failed("127.0.0.1", 2), start=index + 1, timeout=8)
    t2 = time.monotonic()
    # A failed cycle is the 2 s wait plus the 2 s sleep; the flood never
    # restarts the wait.
    check(3.0 < t2 - t1 < 6.0, "failed cycles %.2f s apart" % (t2 - t1))
    sb.sysctl("net.ipv4.icmp_echo_ignore_all", 0)
    sb.log.wait_for(succeeded("127.0.0.1"), start=index + 1, timeout=8)
    stop.set()
    check(counter[0] > 10000, "only %d foreign packets" % counter[0])
    check(daemon.alive(), "daemon ended")
    texts = [l.text for l in sb.log.snapshot()]
    check(not any("different size" in t for t in texts), "a foreign datagram matched: %r" % texts)


# --- router tools -----------------------------------------------------------

def scenario_tools_missing_failing_hanging_and_noisy(sb):
    os.remove("/usr/bin/snmptrap")
    sb.write("/usr/bin/email", "#!/bin/sh\nexit 3\n", 0o755)
    sb.write("/usr/bin/sms", "#!/bin/sh\nsleep 3\necho \"$@\" >> /run/sms.record\n", 0o755)
    sb.write("/usr/sbin/service", "#!/bin/sh\nhead -c 5000000 /dev/zero\nhead -c 5000000 /dev/zero >&2\n"
             "echo \"$@\" >> /run/service.record\n", 0o755)
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, LOGALL=1, LOSTCHECK=1, LOSTNUM=1, LOSTLOG=1,
                LOSTSNMP="nms", LOSTEMAIL1="a@x", LOSTSMS="+1", LOSTRSTIFACE=1)
    sb.icmp_echo(False)
    daemon = sb.start()
    index, _ = sb.log.wait_for("line lost, no successful ping from module start", timeout=5)
    lost_at = time.monotonic()
    index, _ = sb.log.wait_for(failed("127.0.0.1", 2), start=index + 1, timeout=10)
    check(time.monotonic() - lost_at >= 2.5, "the hanging tool was not waited for")
    check(open("/run/sms.record").read() == "+1 Router \"\" line lost (no successful ping from module start)\n",
          "sms record")
    check(open("/run/service.record").read() == "ppp restart\n", "service record")
    daemon.stop()
    check(daemon.stdout == "" and daemon.stderr == "", "tool output reached the daemon's descriptors")


def scenario_dev_null_unusable_in_the_child(sb):
    subprocess.run(["umount", "/dev/null"], check=True)
    os.remove("/dev/null")
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, LOSTCHECK=1, LOSTNUM=1, LOSTSNMP="nms")
    sb.icmp_echo(False)
    process = subprocess.Popen(["setpriv", "--bounding-set", "-sys_boot", sandbox.DAEMON],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    sb.daemons.append(sandbox.Daemon(process))
    sandbox.wait_until(sb.tool_calls, "a tool run", 8)
    calls = sb.tool_calls()
    check(len(calls) == 1, "tool calls %r" % calls)
    argv, fds = calls[0]
    check(argv[:3] == ["/usr/bin/snmptrap", "-c darnoq", "nms"], "argv %r" % argv)
    check(fds == {}, "the tool held %r" % fds)


def scenario_pid_file_of_an_ended_process(sb):
    ended = subprocess.Popen(["true"])
    ended.wait()
    sb.write("/run/fwupdate.pid", "%d\n" % ended.pid)
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, LOGALL=1, LOSTCHECK=1, LOSTNUM=1, LOSTREBOOT=1)
    sb.icmp_echo(False)
    sb.start()
    index, _ = sb.log.wait_for(failed("127.0.0.1", 1), timeout=5)
    # A hold would last 10 s.
    sandbox.wait_until(lambda: os.path.exists("/var/data/system/reboot"),
                       "the reboot waited for an ended process", 5)
    sb.log.wait_for(failed("127.0.0.1", 2), start=index + 1, timeout=5)


# --- availability file --------------------------------------------------------

def full_tmpfs(directory):
    os.makedirs(directory, exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16k", "tolvin-full", directory], check=True)


def fill(directory):
    try:
        with open(os.path.join(directory, "filler"), "wb") as f:
            while True:
                f.write(b"\0" * 4096)
                f.flush()
    except OSError:
        pass


def scenario_disk_full_for_a_new_file(sb):
    full_tmpfs(AVAILABILITY_DIR)
    fill(AVAILABILITY_DIR)
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, LOGALL=1, EXPOSEAVAIL=1)
    daemon = sb.start()
    index, line = sb.log.wait_for(
        r'Can not write data about availability to "%s": No space left on device' % AVAILABILITY)
    check(line.level == LOG_ERR, "level %d" % line.level)
    index, _ = sb.log.wait_for(succeeded("127.0.0.1"), start=index + 1)
    sb.log.wait_for(succeeded("127.0.0.1"), start=index + 1)
    check(daemon.alive(), "daemon ended")


def scenario_disk_full_keeps_what_is_stored(sb):
    full_tmpfs(AVAILABILITY_DIR)
    sb.write(AVAILABILITY, "1700000000\n1000\n900\n800\n")
    fill(AVAILABILITY_DIR)
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, LOGALL=1, EXPOSEAVAIL=1)
    daemon = sb.start()
    index = -1
    for _ in range(3):
        index, _ = sb.log.wait_for(succeeded("127.0.0.1"), start=index + 1)
    daemon.wait_asleep()
    daemon.stop()
    numbers = [int(n) for n in open(AVAILABILITY).read().split()]
    check(len(numbers) == 4 and numbers[0] == 1700000000 and numbers[2] >= 900 and numbers[3] >= 800,
          "record %r" % numbers)


# --- the statistics segment ----------------------------------------------------

def scenario_segment_of_another_user(sb):
    # Made by a program of another user, which need not reach the checkout.
    script = ("import ctypes, sys; libc = ctypes.CDLL(None); libc.ftok.argtypes = [ctypes.c_char_p, ctypes.c_int]; "
              "sys.exit(libc.shmget(libc.ftok(%r, 1), 120088, 0o1600) == -1)" % sandbox.DAEMON.encode())
    subprocess.run(["setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups",
                    sys.executable, "-c", script], check=True, cwd="/")
    sb.settings(IPADDR="127.0.0.1", PINGINT=1)
    # Without CAP_IPC_OWNER, as root on a router without it would be.
    rc, _, _ = sb.start(drop=("ipc_owner",)).wait()
    check(rc == 1, "exit status %d" % rc)
    sb.log.wait_for("data allocation problem: Permission denied")


# --- the wall clock set back ------------------------------------------------------

def start_with_shifted_clock(sb):
    """The daemon with its wall clock shifted by the seconds in /run/faketime:
    libfaketime for a dynamic program, the debugger for a static one; None
    where the sanitizers' runtime forbids preloading. The monotonic clock is
    left alone, as a wall clock set back leaves it."""
    clock_settings(sb)
    sb.write("/run/faketime", "+0\n")
    if sb.build.static:
        return sb.start(trace={"TOLVIN_TRACE_CLOCK": "/run/faketime"})
    if sb.sanitized:
        sandbox.skip("libfaketime cannot be preloaded before the sanitizers' runtime")
    return sb.start(env={"LD_PRELOAD": FAKETIME, "FAKETIME_TIMESTAMP_FILE": "/run/faketime",
                         "FAKETIME_NO_CACHE": "1", "FAKETIME_DONT_FAKE_MONOTONIC": "1"})


def clock_settings(sb):
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, LOGALL=1, FAILCHECK=1, FAILTIME=20, FAILLOG=1,
                LOSTCHECK=1, LOSTTIME=40, LOSTLOG=1, LOSTRSTIFACE=1, REESTCHECK=1, REESTLOG=1,
                EXPOSEAVAIL=1)


def check_clock_was_shifted():
    """The newest sample carries the daemon's time: an hour behind."""
    newest = sandbox.read_stats()["samples"][-1][0]
    check(3500 < time.time() - newest < 3700, "the daemon's clock was not set back: %d" % newest)


def check_no_wrap(sb):
    numbers = [int(n) for n in open(AVAILABILITY).read().split()]
    check(all(0 <= n < 10 ** 6 for n in numbers[1:]), "a counter wrapped: %r" % numbers)
    warnings = [l.text for l in sb.log.snapshot() if l.level == LOG_WARNING]
    check(warnings == [], "alarms raised: %r" % warnings)
    check(sb.tool_calls() == [], "tools ran: %r" % sb.tool_calls())


def scenario_clock_set_back_while_the_line_is_good(sb):
    daemon = start_with_shifted_clock(sb)
    index = -1
    for _ in range(2):
        index, _ = sb.log.wait_for(succeeded("127.0.0.1"), start=index + 1)
    sb.write("/run/faketime", "-3600\n")
    for _ in range(3):
        index, _ = sb.log.wait_for(succeeded("127.0.0.1"), start=index + 1)
    daemon.wait_asleep()
    check(daemon.alive(), "daemon ended")
    check_clock_was_shifted()
    check_no_wrap(sb)
    # The ring's oldest samples are now an hour newer than its newest: the
    # block is whole all the same.
    status, out, err = sb.tolvinstat("--json")
    check(status == 0 and json.loads(out)["long_term"]["replies"] >= 5, "tolvinstat: %d %r" % (status, err))


def scenario_clock_set_back_during_an_outage(sb):
    daemon = start_with_shifted_clock(sb)
    index, _ = sb.log.wait_for(succeeded("127.0.0.1"))
    sb.icmp_echo(False)
    index, _ = sb.log.wait_for(failed("127.0.0.1", 2), start=index + 1, timeout=8)
    sb.write("/run/faketime", "-3600\n")
    # Without a guard the time since the last success would wrap to years:
    # line failed and line lost at once.
    index, _ = sb.log.wait_for(failed("127.0.0.1", 5), start=index + 1, timeout=12)
    daemon.wait_asleep()
    check(daemon.alive(), "daemon ended")
    check_clock_was_shifted()
    check_no_wrap(sb)


if __name__ == "__main__":
    sandbox.main(globals())
