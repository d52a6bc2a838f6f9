#!/usr/bin/python3
"""Alarms: a whole outage and recovery, the router tools' argument vectors,
the PPP restart, the reboot log, the refused reboot and the firmware wait."""

import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sandbox
from sandbox import LOG_WARNING, check

ROUTER = 'R1 "main"; $(touch /run/pwned) `id`'
STAMP = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d"
DEV_NULL = {"0": "/dev/null", "1": "/dev/null", "2": "/dev/null"}


def scenario_outage_and_recovery(sb):
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, LOGALL=1, ROUTERID=ROUTER,
                FAILCHECK=1, FAILNUM=3, FAILLOG=1, FAILSNMP="nms one",
                FAILEMAIL1="a@example.org", FAILEMAIL3="c@example.org; rm -rf /",
                LOSTCHECK=1, LOSTNUM=5, LOSTLOG=1, LOSTSNMP="nms", LOSTEMAIL2="b@example.org",
                LOSTSMS="+4711", LOSTSMS12="+0815", LOSTRSTIFACE=1, LOSTREBOOT=1,
                REESTCHECK=1, REESTLOG=1, REESTEMAIL1="a@example.org", REESTSMS3="+1 2 3")
    daemon = sb.start()
    index, _ = sb.log.wait_for(r"Ping to 127\.0\.0\.1: successful with response in \d+\.\d ms")
    sb.icmp_echo(False)
    failure = r"Ping to 127\.0\.0\.1: failed with no response \(occurrence %d in a series\)"
    index, _ = sb.log.wait_for(failure % 3, start=index + 1, timeout=15)
    failed_index, failed = sb.log.wait_for(r"line failed, last successful ping was at " + STAMP,
                                           start=index + 1, timeout=2)
    check(failed_index == index + 1 and failed.level == LOG_WARNING, "line failed %r" % failed)
    index, _ = sb.log.wait_for(failure % 5, start=index + 1, timeout=10)
    lost_index, lost = sb.log.wait_for(r"line lost, last successful ping was at " + STAMP,
                                       start=index + 1, timeout=2)
    check(lost_index == index + 1 and lost.level == LOG_WARNING, "line lost %r" % lost)
    # The reboot was refused (no CAP_SYS_BOOT): the daemon probes on.
    index, _ = sb.log.wait_for(failure % 7, start=index + 1, timeout=10)
    check(daemon.alive(), "daemon ended after the refused reboot")
    with open("/var/data/system/reboot") as f:
        reboot_log = f.read()
    check(re.fullmatch(STAMP + r" tolvin: reboot due line lost\n", reboot_log),
          "reboot log %r" % reboot_log)
    sb.icmp_echo(True)
    _, back = sb.log.wait_for(r"line re-established, first successful ping was at " + STAMP,
                              start=index + 1, timeout=10)
    time.sleep(2.5)
    warnings = [l.text for l in sb.log.snapshot() if l.level == LOG_WARNING]
    check(warnings == [failed.text, lost.text, back.text], "alarms %r" % warnings)

    failed_text = failed.text[len("line failed, "):]
    lost_text = lost.text[len("line lost, "):]
    back_text = back.text[len("line re-established, "):]
    cap = lambda text: text[0].upper() + text[1:]
    expected = [
        ["/usr/bin/snmptrap", "-c darnoq", "nms one", "1.3.6.1.2.1.80.0.1.0", "s",
         "Router line failed, " + failed_text],
        ["/usr/bin/email", "-t", "a@example.org", "-s", "Line failed (%s)" % ROUTER, "-m",
         'Router "%s" line failed\n%s' % (ROUTER, cap(failed_text))],
        ["/usr/bin/email", "-t", "c@example.org; rm -rf /", "-s", "Line failed (%s)" % ROUTER, "-m",
         'Router "%s" line failed\n%s' % (ROUTER, cap(failed_text))],
        ["/usr/bin/snmptrap", "-c darnoq", "nms", "1.3.6.1.2.1.80.0.2.0", "s",
         "Router line lost, " + lost_text],
        ["/usr/bin/email", "-t", "b@example.org", "-s", "Line lost (%s)" % ROUTER, "-m",
         'Router "%s" line lost\n%s' % (ROUTER, cap(lost_text))],
        ["/usr/bin/sms", "+4711", ('Router "%s" line lost (%s)' % (ROUTER, lost_text))[:159]],
        ["/usr/bin/sms", "+0815", ('Router "%s" line lost (%s)' % (ROUTER, lost_text))[:159]],
        ["/sbin/service", "ppp", "restart"],
        ["/usr/bin/email", "-t", "a@example.org", "-s", "Line re-established (%s)" % ROUTER, "-m",
         'Router "%s" line re-established\n%s' % (ROUTER, cap(back_text))],
        ["/usr/bin/sms", "+1 2 3", ('Router "%s" line re-established (%s)' % (ROUTER, back_text))[:159]],
    ]
    calls = sb.wait_tool_calls(len(expected))
    argvs = [argv for argv, _ in calls]
    check(argvs == expected, "tool calls:\n%s\nexpected:\n%s" % (
        "\n".join(map(repr, argvs)), "\n".join(map(repr, expected))))
    for argv, fds in calls:
        check(fds == DEV_NULL, "%s ran with descriptors %r" % (argv[0], fds))
    check(not os.path.exists("/run/pwned"), "a settings value ran as code")


def scenario_reboot_waits_for_a_firmware_update(sb):
    # The updater's pid is made distinctive, since the router's check greps
    # the process list for it.
    sb.sysctl("kernel.ns_last_pid", 4999)
    updater = subprocess.Popen(["sleep", "100"])
    check(updater.pid == 5000, "updater pid %d" % updater.pid)
    sb.write("/run/fwupdate.pid", "%d\n" % updater.pid)
    sb.icmp_echo(False)
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, LOSTCHECK=1, LOSTNUM=1, LOSTLOG=1,
                LOSTRSTIFACE=1, LOSTREBOOT=1)
    daemon = sb.start()
    sb.log.wait_for(r"line lost, no successful ping from module start", timeout=10)
    time.sleep(3)
    check(not os.path.exists("/var/data/system/reboot"), "reboot log written during the update")
    check([a for a, _ in sb.tool_calls()] == [["/sbin/service", "ppp", "restart"]],
          "tool calls %r" % sb.tool_calls())
    updater.kill()
    updater.wait()
    deadline = time.monotonic() + 15
    while not os.path.exists("/var/data/system/reboot") and time.monotonic() < deadline:
        time.sleep(0.2)
    with open("/var/data/system/reboot") as f:
        line = f.read()
    check(re.fullmatch(STAMP + r" tolvin: reboot due line lost\n", line), "reboot log %r" % line)
    time.sleep(2.5)
    check(daemon.alive(), "daemon ended after the refused reboot")


def scenario_missing_reboot_log_directory(sb):
    os.rmdir("/var/data/system")
    sb.icmp_echo(False)
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, LOGALL=1, LOSTCHECK=1, LOSTNUM=1, LOSTREBOOT=1)
    daemon = sb.start()
    sb.log.wait_for(r"Ping to 127\.0\.0\.1: failed with no response \(occurrence 2 in a series\)",
                    timeout=10)
    check(daemon.alive(), "daemon ended")
    check(not os.path.exists("/var/data/system"), "reboot log directory created")


if __name__ == "__main__":
    sandbox.main(globals())
