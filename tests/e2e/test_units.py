#!/usr/bin/python3
"""The systemd units under a real systemd: a minimal Debian (scripts/setup
makes it) booted in a container of the sandbox's own, with the build
installed as a package would install it. tolvind@NAME started, restarted and
restarted by systemd after a kill; the socket unit answering a scrape."""

import os
import re
import shutil
import signal
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sandbox
from sandbox import check, run, wait_until

SCENARIO_SECONDS = 140
CODENAME = subprocess.run(["sh", "-c", ". /etc/os-release && echo $VERSION_CODENAME"], capture_output=True,
                          text=True).stdout.strip()
SYSTEM_ROOT = os.path.join(os.path.expanduser("~"), ".cache", "tolvin", "systemd-root-" + CODENAME)


class Container:
    """systemd as PID 1 of a container on an overlay of SYSTEM_ROOT, without
    a network beside its loopback and without CAP_SYS_BOOT."""

    def __init__(self, sb, files):
        check(os.path.exists(os.path.join(SYSTEM_ROOT, "lib", "systemd", "systemd")),
              "no system root at %s: scripts/setup makes it" % SYSTEM_ROOT)
        self.root = os.path.join(sb.root, "container")
        upper, work = os.path.join(sb.root, "container-upper"), os.path.join(sb.root, "container-work")
        for directory in (self.root, upper, work):
            os.makedirs(directory)
        run("mount", "-t", "overlay", "overlay", "-o",
            "lowerdir=%s,upperdir=%s,workdir=%s" % (SYSTEM_ROOT, upper, work), self.root)
        run("cmake", "--install", sb.build_dir, "--prefix", "/usr", env=dict(os.environ, DESTDIR=self.root),
            stdout=subprocess.DEVNULL)
        # The libraries a build needs beyond the system's own (a sanitized
        # build's runtime), as its package would depend on them.
        for program in ("tolvind", "tolvinstat"):
            for library in re.findall(r"=> (/\S+)", run("ldd", os.path.join(sb.build_dir, program),
                                                          capture_output=True, text=True, check=False).stdout):
                if not os.path.exists(self.root + library):
                    shutil.copy2(library, self.root + library)
        # The router's data partition, which the daemon's files go below.
        os.makedirs(self.root + "/var/data/system")
        for path, text in files.items():
            with open(self.root + path, "w") as f:
                f.write(text)
        self.log = open(os.path.join(sb.root, "container.log"), "w")
        self.process = subprocess.Popen(
            ["systemd-nspawn", "-q", "-D", self.root, "--register=no", "--keep-unit", "--private-network",
             "--drop-capability=CAP_SYS_BOOT", "-b"],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT)
        sb.hosts.append(self)
        wait_until(lambda: self._systemd() is not None, "the container's systemd", 20)
        self.leader = self._systemd()
        wait_until(lambda: self.inside("systemctl", "is-system-running", check=False).stdout.strip()
                   in ("running", "degraded"), "the container booted", 60)

    def _systemd(self):
        """The container's PID 1, once nspawn's own children have made it."""
        for pid in sandbox.children(self.process.pid):
            try:
                with open("/proc/%d/comm" % pid) as f:
                    if f.read().strip() == "systemd":
                        return pid
            except OSError:
                pass
        return None

    def inside(self, *command, check=True):
        return run("nsenter", "-t", str(self.leader), "-a", *command, capture_output=True, text=True,
                   timeout=30, check=check)

    def main_pid(self, unit):
        return int(self.inside("systemctl", "show", "-P", "MainPID", unit).stdout)

    def proc(self, pid, name):
        """/proc/PID/NAME of a process of the container, its words."""
        with open("/proc/%d/root/proc/%d/%s" % (self.leader, pid, name), "rb") as f:
            return f.read().decode().split("\0")[:-1]

    def close(self):
        for pid in (getattr(self, "leader", None), self.process.pid):
            try:
                if pid is not None:
                    os.kill(pid, signal.SIGKILL)   # the container's PID namespace ends with its PID 1
            except ProcessLookupError:
                pass
        self.process.wait(timeout=20)
        self.log.close()


def scenario_units_under_systemd(sb):
    container = Container(sb, {"/opt/tolvin/etc/settings.wan2": 'MOD_TOLVIN_IPADDR="127.0.0.1"\n'
                               'MOD_TOLVIN_PINGINT="1"\nMOD_TOLVIN_LOGALL="1"\nMOD_TOLVIN_EXPOSEAVAIL="1"\nMOD_TOLVIN_PINGINTT="2"\n'})
    unit = "tolvind@wan2.service"

    def replies():
        return container.inside("journalctl", "-q", "-o", "cat", "-t", "tolvin-wan2").stdout.count(
            "Ping to 127.0.0.1: successful")

    def started(previous, arguments, what):
        wait_until(lambda: container.main_pid(unit) not in (0, previous), what, 30)
        pid = container.main_pid(unit)
        check(container.proc(pid, "cmdline") == ["/opt/tolvin/bin/tolvind"] + arguments,
              "%s: %r" % (what, container.proc(pid, "cmdline")))
        check("TOLVIN_INSTANCE=wan2" in container.proc(pid, "environ"), "%s: no TOLVIN_INSTANCE" % what)
        return pid

    # The first start after the boot: no -c, and its own marker.
    container.inside("systemctl", "start", unit)
    pid = started(0, [], "the first start")
    run_dir = "/proc/%d/root/run/tolvind/" % container.leader
    check(os.listdir(run_dir) == ["ran.wan2"], "markers %r" % os.listdir(run_dir))
    wait_until(lambda: replies() >= 2, "wan2's replies in the journal", 15)
    check(container.inside("journalctl", "-q", "-o", "cat", "-t", "tolvinstat").stdout.splitlines()[:1] ==
          ["/opt/tolvin/etc/settings.wan2, line 5: MOD_TOLVIN_PINGINTT is not a key tolvind knows: did you mean "
           "MOD_TOLVIN_PINGINT?"], "the check's findings in the journal")
    # A restart continues the availability; so does systemd's own restart
    # after the daemon is killed (RestartSec=10).
    container.inside("systemctl", "restart", unit)
    pid = started(pid, ["-c"], "the restart")
    container.inside("sh", "-c", "kill -KILL %d" % pid)
    pid = started(pid, ["-c"], "systemd's restart after a kill")
    check(container.inside("systemctl", "show", "-P", "NRestarts", unit).stdout.strip() == "1", "NRestarts")

    # The socket unit: a scrape shows the line, labeled, beside the default
    # line (its settings file installed, its daemon not started).
    container.inside("systemctl", "start", "tolvinstat.socket")
    samples = sandbox.check_exposition(run("nsenter", "-t", str(container.leader), "-n", "curl", "-sSf",
                                           "http://127.0.0.1:8493/metrics", capture_output=True, text=True,
                                           timeout=30).stdout)
    check(samples.get(("tolvin_daemon_running", '{line="wan2"}')) == 1 and
          samples.get(("tolvin_daemon_running", "")) == 0 and
          samples.get(("tolvin_probes_total", '{line="wan2"}'), 0) >= 1, "the scrape's lines %r" % samples)
    # Availability went on from the first start through both restarts.
    began = samples[("tolvin_availability_start_timestamp_seconds", '{line="wan2"}')]
    check(samples[("tolvin_availability_update_timestamp_seconds", '{line="wan2"}')] - began >= 10,
          "availability began anew at a restart: %r" % samples)


if __name__ == "__main__":
    sandbox.main(globals())
