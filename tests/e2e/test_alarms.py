#!/usr/bin/python3
"""Alarms: a whole outage and recovery, the router tools' argument vectors,
the PPP restart, the reboot log, the refused reboot and the firmware wait."""

import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sandbox
from sandbox import LOG_WARNING, check

# Run under emulation too, for a big-endian router.
CORE = ("outage_and_recovery",
        "reboot_waits_for_a_live_firmware_updater")

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
    index, back = sb.log.wait_for(r"line re-established, first successful ping was at " + STAMP,
                                  start=index + 1, timeout=10)
    # Two more answered cycles: no other alarm follows.
    for _ in range(2):
        index, _ = sb.log.wait_for(r"Ping to 127\.0\.0\.1: successful .*", start=index + 1)
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


REBOOT_LOG = "/var/data/system/reboot"
REBOOT_LINE = STAMP + r" tolvin: reboot due line lost\n"


def wait_for_reboot_lines(count, timeout):
    """The reboot log's text once it has `count` lines; None after `timeout` s."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.exists(REBOOT_LOG):
            with open(REBOOT_LOG) as f:
                text = f.read()
            if text.count("\n") >= count and text.endswith("\n"):
                check(re.fullmatch("(%s){%d}" % (REBOOT_LINE, count), text), "reboot log %r" % text)
                return text
        time.sleep(0.1)
    return None


def process_with_pid(pid):
    """A process of the sandbox's own with exactly this pid."""
    with open("/proc/sys/kernel/ns_last_pid", "w") as f:
        f.write(str(pid - 1))
    process = subprocess.Popen(["sleep", "100"])
    check(process.pid == pid, "wanted pid %d, got %d" % (pid, process.pid))
    return process


def lose_the_line(sb, **settings):
    sb.icmp_echo(False)
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, LOGALL=1, LOSTCHECK=1, LOSTNUM=1, LOSTLOG=1,
                LOSTREBOOT=1, **settings)
    daemon = sb.start()
    sb.log.wait_for(r"line lost, no successful ping from module start", timeout=10)
    return daemon


# A check that holds the reboot asks again after 10 s: "at once" is well below.
AT_ONCE_SECONDS = 8


def scenario_reboot_waits_for_a_live_firmware_updater(sb):
    # BusyBox's ps lists pid 5000 and the check matches; the daemon asks again
    # every 10 s and reboots once the updater has ended.
    updater = process_with_pid(5000)
    sb.write("/run/fwupdate.pid", "%d\n" % updater.pid)
    daemon = lose_the_line(sb, LOSTRSTIFACE=1)
    check(wait_for_reboot_lines(1, 12) is None, "reboot log written during the update")
    check([a for a, _ in sb.tool_calls()] == [["/sbin/service", "ppp", "restart"]],
          "tool calls %r" % sb.tool_calls())
    updater.kill()
    updater.wait()
    ended = time.monotonic()
    check(wait_for_reboot_lines(1, 15) is not None, "no reboot after the update")
    waited = time.monotonic() - ended
    check(waited < 13, "the reboot came %.1f s after the update ended" % waited)
    check(daemon.alive(), "daemon ended after the refused reboot")


def scenario_reboot_goes_ahead_without_a_pid_file(sb):
    lose_the_line(sb)
    check(wait_for_reboot_lines(1, AT_ONCE_SECONDS) is not None, "no reboot")


def scenario_a_stale_pid_file_never_holds_the_reboot(sb):
    # No process 4242: the check's grep may still find the number, in its own
    # command line in BusyBox's ps listing. Three outages, three reboots.
    sb.write("/run/fwupdate.pid", "4242\n")
    daemon = lose_the_line(sb)
    index = 0
    for outage in range(1, 4):
        check(wait_for_reboot_lines(outage, AT_ONCE_SECONDS) is not None, "no reboot %d" % outage)
        if outage == 3:
            break
        sb.icmp_echo(True)
        index, _ = sb.log.wait_for(r"Ping to 127\.0\.0\.1: successful .*", start=index, timeout=10)
        sb.icmp_echo(False)
        index, _ = sb.log.wait_for(r"line lost, .*", start=index, timeout=10)
    check(daemon.alive(), "daemon ended")


def scenario_part_of_a_live_pid_never_holds_the_reboot(sb):
    # 500 is no process, but it stands in 5000 in BusyBox's ps listing.
    other = process_with_pid(5000)
    sb.write("/run/fwupdate.pid", "500\n")
    lose_the_line(sb)
    check(wait_for_reboot_lines(1, AT_ONCE_SECONDS) is not None, "no reboot")
    other.kill()
    other.wait()


def scenario_missing_reboot_log_directory(sb):
    os.rmdir("/var/data/system")
    sb.icmp_echo(False)
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, LOGALL=1, LOSTCHECK=1, LOSTNUM=1, LOSTREBOOT=1)
    daemon = sb.start()
    sb.log.wait_for(r"Ping to 127\.0\.0\.1: failed with no response \(occurrence 2 in a series\)",
                    timeout=10)
    check(daemon.alive(), "daemon ended")
    check(not os.path.exists("/var/data/system"), "reboot log directory created")


# --- the router's local time ------------------------------------------------

KATHMANDU_SECONDS = 5 * 3600 + 45 * 60   # UTC+05:45 all year


def local_stamp(utc_seconds):
    return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(utc_seconds + KATHMANDU_SECONDS))


def check_local_stamp(text, around, what):
    """`text` holds a "%F %T" stamp of Kathmandu's time within 5 s of `around`."""
    stamp = re.search(STAMP, text)
    check(stamp is not None, "%s: no time in %r" % (what, text))
    near = {local_stamp(around + d) for d in range(-5, 6)}
    check(stamp.group(0) in near, "%s: %s is not Kathmandu's time (about %s)" % (
        what, stamp.group(0), local_stamp(around)))


def local_time_run(sb, env):
    """A window open now in Kathmandu but not in UTC: the daemon probes at
    once; then an outage to "line lost" whose text and reboot-log line give
    the time in Kathmandu."""
    now = time.time()
    hhmm = lambda t: time.strftime("%H:%M", time.gmtime(t + KATHMANDU_SECONDS))
    sb.icmp_echo(True)
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, LOGALL=1, STARTTIME=hhmm(now - 600),
                STOPTIME=hhmm(now + 1200), LOSTCHECK=1, LOSTNUM=2, LOSTLOG=1, LOSTREBOOT=1)
    if os.path.exists(REBOOT_LOG):
        os.remove(REBOOT_LOG)
    index = len(sb.log.snapshot())
    daemon = sb.start(env=env)
    index, _ = sb.log.wait_for(r"Ping to 127\.0\.0\.1: successful .*", start=index, timeout=5)
    last_success = time.time()
    sb.icmp_echo(False)
    _, lost = sb.log.wait_for(r"line lost, last successful ping was at " + STAMP, start=index, timeout=10)
    check_local_stamp(lost.text, last_success, "the alarm text")
    check(wait_for_reboot_lines(1, AT_ONCE_SECONDS) is not None, "no reboot")
    check_local_stamp(open(REBOOT_LOG).read(), time.time(), "the reboot log")
    daemon.stop()


def scenario_local_time_of_the_router(sb):
    # The zone from /etc/localtime, as the C libraries read it by default...
    shutil.copy("/usr/share/zoneinfo/Asia/Kathmandu", "/etc/localtime.zone")
    if os.path.lexists("/etc/localtime"):
        os.remove("/etc/localtime")
    os.rename("/etc/localtime.zone", "/etc/localtime")
    local_time_run(sb, {})
    # ...and from TZ, where the router's init script passes its /etc/TZ.
    shutil.copy("/usr/share/zoneinfo/UTC", "/etc/localtime.zone")
    os.remove("/etc/localtime")
    os.rename("/etc/localtime.zone", "/etc/localtime")
    local_time_run(sb, {"TZ": "<+0545>-5:45"})


if __name__ == "__main__":
    sandbox.main(globals())
