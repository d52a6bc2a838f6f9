#!/usr/bin/python3
"""A line alive but bad: its quality judged on loss and delay, every change
of the line told to the event program and published, a router tool that
never returns stopped, and the steady cycle unchanged with the judgement on."""

import json
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sandbox
from sandbox import LOG_WARNING, check

EVENT_PROGRAM = "/usr/bin/tolvin-event"
FIGURES = r"loss (\d+) % and median round-trip time (\d+\.\d) ms over the last 4 probes"


def warnings(sb):
    return [line for line in sb.log.snapshot() if line.level == LOG_WARNING and line.ident == "tolvin"]


def scenario_degraded_restored_and_every_change_told(sb):
    # A test host answering all, then one request of two, all, after 300 ms,
    # none, and all again: each change at once, without a gap.
    host = sb.test_host()
    condition = os.path.join(sb.root, "condition")
    condition_is = lambda said: sb.write(condition, said + "\n")
    condition_is("drop a")
    host.respond("follow", condition)
    sb.write(EVENT_PROGRAM, sandbox.STAND_IN_TOOL, 0o755)
    sb.settings(IPADDR=host.ADDRESS, PINGINT=1, ROUTERID="R1", DEGRCHECK=1, DEGRNUM=4, DEGRLOSS=50,
                DEGRRTT=250, RECOVTIME=2, DEGRLOG=1, DEGREMAIL2="ops@example.net", EVENTCMD=EVENT_PROGRAM,
                FAILCHECK=1, FAILNUM=2, FAILLOG=1, LOSTCHECK=1, LOSTNUM=3, LOSTLOG=1, LOSTRSTIFACE=1,
                REESTCHECK=1, REESTLOG=1)
    daemon = sb.start()
    sandbox.wait_until(lambda: (sandbox.read_stats() or {"replies": 0})["replies"] >= 4, "four replies")

    # Half the probes lost: degraded once, with the e-mail and the event.
    lossy = time.monotonic()
    condition_is("drop a-")
    index, line = sb.log.wait_for("line degraded, " + FIGURES, timeout=30, level=LOG_WARNING)
    degraded_after = line.arrival - lossy
    text = line.text[len("line degraded, "):]
    check(re.fullmatch(FIGURES, text).group(1) == "50", "figures %r" % text)
    state = json.loads(sb.tolvinstat("--json")[1])["line"]
    samples = sandbox.check_exposition(sb.tolvinstat("--prometheus")[1])
    check(state["state"] == "working" and state["degraded"] is True and
          samples[("tolvin_line_degraded", "")] == 1 and samples[("tolvin_line_state", '{state="working"}')] == 1,
          "published %r" % state)
    check(sb.tolvinstat()[1].startswith("line working but degraded since "), "the table's first line")

    # All answered again: restored once the window is good and has stayed so.
    good = time.monotonic()
    condition_is("drop a")
    _, line = sb.log.wait_for("line quality restored, " + FIGURES, start=index + 1, timeout=30)
    restored_after = line.arrival - good

    # Answers after 300 ms: degraded on the median. Then none: failed, lost
    # (no "restored" in between), and back.
    condition_is("delay 0.3")
    index, line = sb.log.wait_for("line degraded, " + FIGURES, start=index + 1, timeout=30)
    check(float(re.fullmatch("line degraded, " + FIGURES, line.text).group(2)) >= 300, "median %r" % line.text)
    condition_is("drop -")
    sb.log.wait_for(r"line lost, last successful ping was at .*", start=index + 1, timeout=30)
    condition_is("drop a")
    sb.log.wait_for(r"line re-established, .*", start=index + 1, timeout=10)
    sandbox.wait_until(lambda: len(sb.tool_records()) >= 10, "every call of a tool")
    daemon.freeze()

    alarms = [re.sub(r",.*", "", l.text) for l in warnings(sb)]
    check(alarms == ["line degraded", "line quality restored", "line degraded", "line failed", "line lost",
                     "line re-established"], "alarms %r" % alarms)
    records = sb.tool_records()
    calls = [r["argv"][1] if r["argv"][0] == EVENT_PROGRAM else r["argv"][0] for r in records]
    check(calls == ["/usr/bin/email", "degraded", "/usr/bin/email", "restored", "/usr/bin/email", "degraded",
                    "failed", "lost", "/sbin/service", "re-established"], "calls %r" % calls)
    check(records[0]["argv"] == ["/usr/bin/email", "-t", "ops@example.net", "-s", "Line degraded (R1)", "-m",
                                 'Router "R1" line degraded\nL' + text[1:]], "e-mail %r" % records[0]["argv"])
    loss, rtt = re.fullmatch(FIGURES, text).groups()
    check(records[1]["env"] == {"TOLVIN_EVENT": "degraded", "TOLVIN_INSTANCE": "", "TOLVIN_IFACE": "",
                                "TOLVIN_SRCADDR": "", "TOLVIN_TARGET": host.ADDRESS, "TOLVIN_STATE": "working",
                                "TOLVIN_DEGRADED": "1", "TOLVIN_LOSS_PERCENT": loss, "TOLVIN_RTT_MS": rtt,
                                "TOLVIN_TEXT": text}, "environment %r" % records[1]["env"])
    failed = records[6]["env"]
    check(failed["TOLVIN_STATE"] == "failed" and failed["TOLVIN_DEGRADED"] == "0" and
          failed["TOLVIN_LOSS_PERCENT"] == "" and failed["TOLVIN_TEXT"].startswith("last successful ping was at "),
          "failed %r" % failed)
    check(records[7]["env"]["TOLVIN_STATE"] == "lost" and records[9]["env"]["TOLVIN_STATE"] == "working",
          "lost, re-established %r" % records)
    # The verdict file, replaced whole at each change.
    verdict = dict(l.split("=", 1) for l in open("/run/tolvind.state").read().splitlines())
    check(verdict["state"] == "working" and verdict["degraded"] == "0" and
          verdict["pid"] == str(daemon.program_pid()), "verdict %r" % verdict)
    print("figures: degraded %.1f s after the loss began, restored %.1f s after it ended (cycles of 1 s, "
          "4 probes judged, held 2 s)" % (degraded_after, restored_after))


def scenario_a_tool_that_never_returns_is_stopped(sb):
    # An e-mail tool that starts a child and waits for ever: stopped with its
    # child after MOD_TOLVIN_CMDTIMEOUT; the probing goes on.
    sb.write("/usr/bin/email", "#!/bin/sh\nsleep 1000 &\necho $$ $! > /run/email.pids\nwait\n", 0o755)
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, LOGALL=1, FAILCHECK=1, FAILNUM=1, FAILLOG=1,
                FAILEMAIL1="ops@example.net", REESTCHECK=1, REESTLOG=1, CMDTIMEOUT=2)
    daemon = sb.start()
    index, _ = sb.log.wait_for(r"Ping to 127\.0\.0\.1: successful .*")
    sb.icmp_echo(False)
    index, failed = sb.log.wait_for(r"line failed, .*", start=index + 1)
    _, stopped = sb.log.wait_for(r"/usr/bin/email did not end within 2 s: stopped", start=index + 1, timeout=10,
                                 level=LOG_WARNING)
    _, probe = sb.log.wait_for(r"Ping to 127\.0\.0\.1: failed .*", start=index + 1, timeout=10)
    held = probe.arrival - failed.arrival
    # The log lines' arrival here, not their sending: room either way.
    check(1.5 <= stopped.arrival - failed.arrival < 5, "stopped after %.1f s" % (stopped.arrival - failed.arrival))
    sb.icmp_echo(True)
    sb.log.wait_for(r"line re-established, .*", start=index + 1, timeout=10)

    def ended(pid):
        try:
            return open("/proc/%d/stat" % pid).read().rpartition(")")[2].split()[0] == "Z"
        except OSError:
            return True
    pids = [int(n) for n in open("/run/email.pids").read().split()]
    sandbox.wait_until(lambda: all(ended(pid) for pid in pids), "the tool and its child ended")
    check(daemon.alive() and len(warnings(sb)) == 3, "warnings %r" % warnings(sb))
    print("figures: the hung tool held the watch %.1f s (limit 2 s)" % held)


def scenario_steady_cycle_system_calls_with_the_judgement_on(sb):
    # Between one request and the next: at most 4 system calls, the judgement
    # of the newest probes included.
    if sb.build.emulator:
        sandbox.skip("strace would count the emulator's own calls")
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, DEGRCHECK=1, DEGRNUM=4, DEGRLOSS=50, DEGRRTT=100)
    daemon = sb.start()
    sandbox.wait_until(lambda: (sandbox.read_stats() or {"replies": 0})["replies"] >= 5, "five replies")
    out = "/run/strace.out"
    tracer = subprocess.Popen(["strace", "-o", out, "-p", str(daemon.program_pid())], stderr=subprocess.DEVNULL)
    sandbox.wait_until(lambda: os.path.exists(out) and open(out).read().count("sendto(") >= 4, "four cycles traced")
    tracer.terminate()
    tracer.wait(timeout=10)
    calls = [l.split("(")[0] for l in open(out).read().splitlines() if re.match(r"[a-z_0-9]+\(", l)]
    starts = [i for i, name in enumerate(calls) if name == "sendto"]
    cycles = [calls[a:b] for a, b in zip(starts, starts[1:])]
    check(len(cycles) >= 3 and all(len(c) <= 4 for c in cycles), "calls per cycle %r" % cycles)


if __name__ == "__main__":
    sandbox.main(globals())
