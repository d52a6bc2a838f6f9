#!/usr/bin/python3
"""A guided run of the real daemon in a throwaway sandbox."""

import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import sandbox  # noqa: E402


def say(text):
    print("\n== %s" % text, flush=True)


def scenario_try_it(sb):
    sb.log.echo = True
    settings = dict(IPADDR="127.0.0.1", IPADDR2="::1", PINGINT=1, PINGINT2=1, PINGSIZE=56,
                    PINGSIZE2=56, LOGALL=1)
    sb.settings(**settings)
    say("settings file /opt/tolvin/etc/settings:")
    print(open(sandbox.SETTINGS).read(), end="", flush=True)
    say("starting tolvind (without CAP_SYS_BOOT, in its own namespaces); its system log:")
    daemon = sb.start()
    time.sleep(5)
    say("outage: the IPv4 loopback stops answering echo requests; the daemon fails over to ::1")
    sb.sysctl("net.ipv4.icmp_echo_ignore_all", 1)
    time.sleep(5)
    say("both addresses silent: failed cycles are counted")
    sb.sysctl("net.ipv6.icmp.echo_ignore_all", 1)
    time.sleep(8)
    say("recovery: both addresses answer again")
    sb.icmp_echo(True)
    time.sleep(5)
    say("stopping the daemon; the sandbox and everything in it goes away")
    daemon.stop()


if __name__ == "__main__":
    sandbox.main(globals())
