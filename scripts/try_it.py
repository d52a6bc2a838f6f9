#!/usr/bin/python3
"""A guided run of the real daemon in a throwaway sandbox: every feature on,
an outage long enough to lose the line, and recovery."""

import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import sandbox  # noqa: E402


def say(text):
    print("\n== %s" % text, flush=True)


def show_tools(sb, seen):
    calls = sb.tool_calls()
    for argv, _ in calls[seen:]:
        print("  tool: " + " ".join(repr(a) if (" " in a or "\n" in a or not a) else a for a in argv),
              flush=True)
    return len(calls)


def tolvinstat(sb, *args):
    status, out, err = sb.tolvinstat(*args)
    print("$ tolvinstat %s   (exit status %d)" % (" ".join(args), status))
    print((out + err).rstrip(), flush=True)


def scenario_try_it(sb):
    hour = time.localtime().tm_hour
    sb.settings(
        ENABLED=1, IPADDR="127.0.0.1", IPADDR2="::1", PINGINT=1, PINGINT2=1,
        PINGSIZE=56, PINGSIZE2=56, ROUTERID="R1", LOGALL=1, SHORTTERM=10,
        STARTTIME="%02d:00" % ((hour + 23) % 24), STOPTIME="%02d:59" % ((hour + 1) % 24),
        FAILCHECK=1, FAILNUM=3, FAILTIME=0, FAILLOG=1, FAILSNMP="nms.example",
        FAILEMAIL1="noc@example.org",
        LOSTCHECK=1, LOSTNUM=5, LOSTTIME=0, LOSTLOG=1, LOSTSNMP="nms.example",
        LOSTEMAIL1="noc@example.org", LOSTSMS="+15550100", LOSTRSTIFACE=1, LOSTREBOOT=1,
        REESTCHECK=1, REESTLOG=1, REESTEMAIL1="noc@example.org", REESTSMS="+15550100",
        EXPOSEAVAIL=1)
    say("settings file /opt/tolvin/etc/settings")
    print(open(sandbox.SETTINGS).read(), end="", flush=True)
    say("before the daemon ever ran")
    tolvinstat(sb)
    say("starting tolvind in its own namespaces, without CAP_SYS_BOOT; its system log and "
        "the router tools it runs (stand-ins that record their arguments):")
    sb.log.echo = True
    daemon = sb.start()
    log = sb.log
    index = -1
    for _ in range(4):
        index, _ = log.wait_for(r"Ping to 127\.0\.0\.1: successful .*", start=index + 1)
    daemon.wait_asleep()
    say("the line works")
    tolvinstat(sb)
    say("outage: 127.0.0.1 stops answering, the daemon fails over to ::1")
    sb.sysctl("net.ipv4.icmp_echo_ignore_all", 1)
    index, _ = log.wait_for(r"Ping to 127\.0\.0\.1 and ::1: first failed .*", start=index + 1)
    for _ in range(2):
        index, _ = log.wait_for(r"Ping to ::1: successful .*", start=index + 1)
    say("both addresses silent: line failed after 3 failed cycles, lost after 5, PPP restart, "
        "reboot log line, reboot refused")
    sb.sysctl("net.ipv6.icmp.echo_ignore_all", 1)
    seen = 0
    for alarm in ("line failed", "line lost"):
        index, _ = log.wait_for(alarm + ", .*", start=index + 1, timeout=30)
        daemon.wait_asleep(timeout=30)            # its tools have run
        seen = show_tools(sb, seen)
    print("  reboot log: %s" % open("/var/data/system/reboot").read().rstrip(), flush=True)
    print("  reboot(RB_AUTOBOOT) was refused (no CAP_SYS_BOOT, own PID namespace): "
          "the daemon %s" % ("probes on" if daemon.alive() else "ENDED"), flush=True)
    say("during the outage")
    tolvinstat(sb)
    say("recovery: both addresses answer again")
    sb.icmp_echo(True)
    index, _ = log.wait_for("line re-established, .*", start=index + 1, timeout=15)
    daemon.wait_asleep()
    seen = show_tools(sb, seen)
    say("after recovery")
    tolvinstat(sb)
    tolvinstat(sb, "--samples", "5")
    tolvinstat(sb, "--json")
    tolvinstat(sb, "--prometheus")
    say("stopping the daemon; the sandbox and everything in it goes away")
    daemon.stop()
    alarms = [l.text.split(",")[0] for l in sb.log.snapshot() if l.level == sandbox.LOG_WARNING]
    sandbox.check(alarms == ["line failed", "line lost", "line re-established"],
                  "alarms raised: %r" % alarms)
    sandbox.check(len(sb.tool_calls()) == 8, "tool runs: %d" % len(sb.tool_calls()))


if __name__ == "__main__":
    sandbox.main(globals())
