#!/usr/bin/python3
"""The daemon's start, its probes on loopback and its fail-over."""

import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sandbox
from sandbox import LOG_ERR, LOG_INFO, LOG_NOTICE, LOG_DAEMON, check

# Run under emulation too, for a big-endian router.
CORE = ("ipv4_loopback",
        "ipv6_loopback",
        "failover_to_second_address",
        "ipv4_request_on_the_wire",
        "ipv6_request_on_the_wire")

SUCCESS = r"Ping to %s: successful with response in \d+\.\d ms"


def scenario_usage_text(sb):
    for args in (["-x"], ["-c", "-c"], ["extra", "-c"], ["-c", "x"]):
        before = len(sb.log.snapshot())
        rc, out, err = sb.start(*args).wait()
        check(rc == 1, "exit status %d for %r" % (rc, args))
        check(out.decode() == sandbox.USAGE, "usage text %r" % out)
        check(err == b"", "standard error %r" % err)
        _, line = sb.log.wait_for("started", start=before)
        check(line.level == LOG_NOTICE and line.facility == LOG_DAEMON and line.ident == "tolvin",
              "started line %r" % line)


def scenario_missing_settings_still_start(sb):
    # No settings file: no address, interval 0; the empty address does not
    # resolve and every probe counts as no reply. The daemon keeps running.
    daemon = sb.start()
    sb.log.wait_for("started")
    sandbox.wait_until(lambda: (sandbox.read_stats() or {"probes": 0})["probes"] >= 3, "three cycles")
    check(daemon.alive(), "daemon ended without settings")
    check([l.text for l in sb.log.snapshot()] == ["started"], "log %r" % sb.log.snapshot())


def probe_outcomes(sb, address):
    sb.settings(IPADDR=address, PINGINT=1, PINGSIZE=56, LOGALL=1)
    daemon = sb.start()
    index, _ = sb.log.wait_for(SUCCESS % address, level=LOG_INFO)
    index, _ = sb.log.wait_for(SUCCESS % address, start=index + 1, level=LOG_INFO)
    sb.icmp_echo(False)
    pattern = r"Ping to %s: failed with no response \(occurrence %d in a series\)"
    index, _ = sb.log.wait_for(pattern % (address, 1), start=index + 1, level=LOG_INFO)
    index, _ = sb.log.wait_for(pattern % (address, 2), start=index + 1, level=LOG_INFO)
    sb.icmp_echo(True)
    sb.log.wait_for(SUCCESS % address, start=index + 1, level=LOG_INFO)
    check(daemon.alive(), "daemon ended")
    levels = {l.level for l in sb.log.snapshot()}
    check(levels <= {LOG_NOTICE, LOG_INFO}, "unexpected levels in %r" % sb.log.snapshot())


def scenario_ipv4_loopback(sb):
    probe_outcomes(sb, "127.0.0.1")


def scenario_ipv6_loopback(sb):
    probe_outcomes(sb, "::1")


def scenario_host_name(sb):
    probe_outcomes(sb, "probe-target")


def scenario_failover_to_second_address(sb):
    # The IPv4 loopback ignores echo requests, the IPv6 one answers.
    sb.sysctl("net.ipv4.icmp_echo_ignore_all", 1)
    sb.settings(IPADDR="127.0.0.1", IPADDR2="::1", PINGINT=1, PINGINT2=1, LOGALL=1)
    sb.start()
    index, _ = sb.log.wait_for(
        r"Ping to 127\.0\.0\.1 and ::1: first failed with no response, but second was successful "
        r"with response in \d+\.\d ms \(together taken as successful\)", timeout=15)
    # The next cycles stay on the second address.
    index, _ = sb.log.wait_for(SUCCESS % "::1", start=index + 1)
    index, _ = sb.log.wait_for(SUCCESS % "::1", start=index + 1)
    # Both silent: the series counts on, alternating targets.
    sb.sysctl("net.ipv6.icmp.echo_ignore_all", 1)
    index, _ = sb.log.wait_for(
        r"Ping to ::1 and 127\.0\.0\.1: failed with no response \(occurrence 1 in a series\)",
        start=index + 1, timeout=15)
    sb.log.wait_for(
        r"Ping to 127\.0\.0\.1 and ::1: failed with no response \(occurrence 2 in a series\)",
        start=index + 1, timeout=15)


def scenario_name_that_does_not_resolve(sb):
    sb.settings(IPADDR="no-such-host.invalid", PINGINT=1, LOGALL=1)
    daemon = sb.start()
    index, _ = sb.log.wait_for(
        r"Ping to no-such-host\.invalid: failed with no response \(occurrence 1 in a series\)")
    sb.log.wait_for(
        r"Ping to no-such-host\.invalid: failed with no response \(occurrence 2 in a series\)",
        start=index + 1)
    check(daemon.alive(), "daemon ended")


def scenario_raw_socket_refused(sb):
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, LOGALL=1)
    rc, out, _ = sb.start(drop=("net_raw",)).wait()
    check(rc == 1, "exit status %d" % rc)
    check(out == b"", "standard output %r" % out)
    _, line = sb.log.wait_for("can not open socket: Operation not permitted")
    check(line.level == LOG_ERR, "level %d" % line.level)


def scenario_oversized_payload_refused(sb):
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, PINGSIZE=4294967295)
    rc, _, _ = sb.start().wait()
    check(rc == 1, "exit status %d" % rc)
    _, line = sb.log.wait_for(
        "can not use ping size 4294967295: larger than any echo request can be")
    check(line.level == LOG_ERR, "level %d" % line.level)


def scenario_payload_too_large_for_a_datagram(sb):
    # sendto fails every time: no message, no reply after the full timeout.
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, PINGSIZE=70000, LOGALL=1)
    daemon = sb.start()
    index, _ = sb.log.wait_for(
        r"Ping to 127\.0\.0\.1: failed with no response \(occurrence 1 in a series\)")
    sb.log.wait_for(
        r"Ping to 127\.0\.0\.1: failed with no response \(occurrence 2 in a series\)",
        start=index + 1)
    check(daemon.alive(), "daemon ended")
    check(len(sb.log.snapshot()) == 3, "log %r" % sb.log.snapshot())


def request_fields(icmp, pid):
    identifier = struct.pack(sandbox.BUILD.order + "H", pid & 0xFFFF)  # the daemon's native order
    check(icmp[1] == 0, "code %d" % icmp[1])
    check(icmp[4:6] == identifier, "identifier %r for pid %d" % (icmp[4:6], pid))
    return struct.unpack("!H", icmp[6:8])[0]


def scenario_ipv4_request_on_the_wire(sb):
    capture = sandbox.Capture("lo")
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, PINGSIZE=13)
    daemon = sb.start()
    packets = capture.outgoing(lambda p: p[0] >> 4 == 4 and p[9] == 1
                               and p[4 * (p[0] & 15)] == 8, 3)
    fill = sb.build.rand(1)[0] & 0xFF
    for sequence, packet in enumerate(packets, start=1):
        icmp = packet[4 * (packet[0] & 15):]
        check(len(icmp) == 8 + 13, "request of %d bytes" % len(icmp))
        check(sandbox.internet_checksum(icmp) == 0xFFFF, "checksum of %r" % icmp)
        check(request_fields(icmp, daemon.pid) == sequence, "sequence in %r" % icmp)
        check(icmp[8:] == bytes([fill]) * 13, "payload %r" % icmp[8:])


def scenario_ipv6_request_on_the_wire(sb):
    capture = sandbox.Capture("lo")
    sb.settings(IPADDR="::1", PINGINT=1, PINGSIZE=0)
    daemon = sb.start()
    packets = capture.outgoing(lambda p: p[0] >> 4 == 6 and p[6] == 58 and p[40] == 128, 2)
    for sequence, packet in enumerate(packets, start=1):
        icmp = packet[40:]
        check(len(icmp) == 8, "request of %d bytes" % len(icmp))
        pseudo = packet[8:40] + struct.pack("!IxxxB", len(icmp), 58)
        check(sandbox.internet_checksum(pseudo + icmp) == 0xFFFF, "checksum of %r" % icmp)
        check(request_fields(icmp, daemon.pid) == sequence, "sequence in %r" % icmp)


def scenario_steady_cycles_allocate_resolve_and_open_nothing(sb):
    # Counts of allocations, resolutions and openings written at every send:
    # after the set-up before the first send they never change again, through
    # replies and through failed cycles.
    # A static program is counted by the debugger, a dynamic one by a
    # preloaded library.
    if sb.sanitized:
        sandbox.skip("the sanitizers' runtime must come first, nothing can be preloaded")
    # The quality judged at every cycle (its median never reaches 1 s here).
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, PINGSIZE=100, DEGRCHECK=1, DEGRNUM=4, DEGRRTT=1000)
    if sb.build.static:
        daemon = sb.start(trace={"TOLVIN_TRACE_COUNT": "1"})
    else:
        daemon = sb.start(preload="call_counter.so")
    block = lambda: sandbox.read_stats() or {"probes": 0, "replies": 0}
    sandbox.wait_until(lambda: block()["replies"] >= 4, "four replies", 15)
    sb.icmp_echo(False)
    sandbox.wait_until(lambda: block()["probes"] >= block()["replies"] + 4, "four failed cycles", 20)
    daemon.stop()
    lines = [l for l in daemon.stderr.splitlines() if l.startswith("sendto ")]
    check(len(lines) >= 7, "only %d sends: %r" % (len(lines), lines))
    check(all(l == lines[0] for l in lines), "counts changed between cycles: %r" % lines)
    check("resolutions=1 " in lines[0], "resolutions before the first send: %r" % lines[0])


if __name__ == "__main__":
    sandbox.main(globals())
