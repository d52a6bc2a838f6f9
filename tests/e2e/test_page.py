#!/usr/bin/python3
"""The status page as a person sees it: the daemon through a clean run, an
outage and a recovery, then Debian's headless Chromium loading the page from
tolvinstat --http (socket-activated) and from BusyBox httpd with --cgi: the
figures in its DOM, the lost probes on the chart's pixels, a phone's width."""

import os
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sandbox
from sandbox import check, run

SCENARIO_SECONDS = 180
HTTP, CGI = "http://127.0.0.1:8493/", "http://127.0.0.1:8080/cgi-bin/tolvinstat"
# The chart's plot (tolvinstat/format/chart.cpp): its first column, columns, top and bottom.
LEFT, COLUMNS, TOP, BOTTOM = 64, 640, 20, 220
PHONE_CHECK = """<!DOCTYPE html><html><head><title>-</title></head><body>
<iframe id="page" src="/cgi-bin/tolvinstat" style="width:360px;height:3000px;border:0"></iframe>
<script>document.getElementById("page").onload = function () {
  var root = this.contentDocument.documentElement;
  document.title = "width " + root.scrollWidth + " of " + root.clientWidth; };</script></body></html>
"""


def chromium(sb, *args):
    profile = os.path.join(sb.root, "chromium")
    result = subprocess.run(["chromium", "--headless=new", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                             "--user-data-dir=" + profile, "--virtual-time-budget=5000"] + list(args),
                            capture_output=True, text=True, timeout=90)
    check(result.returncode == 0, "chromium %r: %s" % (args, result.stderr[-2000:]))
    return result.stdout


def figures(dom):
    return dict(re.findall(r'data-figure="(\w+)">([^<]*)<', dom))


def scenario_the_page_in_a_browser(sb):
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, LOGALL=1, EXPOSEAVAIL=1, SHORTTERM=10)
    daemon = sb.start()
    success = r"Ping to 127\.0\.0\.1: successful with response in .*"
    index = -1
    for _ in range(6):
        index, _ = sb.log.wait_for(success, start=index + 1)
    sb.icmp_echo(False)
    index, _ = sb.log.wait_for(r"Ping to 127\.0\.0\.1: failed with no response \(occurrence 4 in a series\)",
                               start=index + 1, timeout=20)
    sb.icmp_echo(True)
    for _ in range(6):
        index, _ = sb.log.wait_for(success, start=index + 1)
    daemon.wait_asleep()
    daemon.freeze()
    block = sandbox.read_stats()

    sb.daemons.append(sandbox.Daemon(subprocess.Popen(
        ["systemd-socket-activate", "--accept", "--inetd", "--listen=127.0.0.1:8493"] +
        sb.tolvinstat_command("--http"), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL)))
    web = os.path.join(sb.root, "www")
    os.makedirs(os.path.join(web, "cgi-bin"))
    shutil.copy(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging", "tolvinstat.cgi"),
                os.path.join(web, "cgi-bin", "tolvinstat"))
    sb.write(os.path.join(web, "phone.html"), PHONE_CHECK)
    sb.daemons.append(sandbox.Daemon(subprocess.Popen(
        ["busybox", "httpd", "-f", "-p", "127.0.0.1:8080", "-h", web], stdin=subprocess.DEVNULL)))
    for port in (8493, 8080):
        sandbox.wait_for_port("127.0.0.1", port)

    # The DOM holds the block's figures, from either front end.
    lost = block["probes"] - block["replies"]
    for url in (HTTP, CGI):
        seen = figures(chromium(sb, "--dump-dom", url))
        check(seen.get("probes") == str(block["probes"]) and seen.get("replies") == str(block["replies"]) and
              seen.get("window_probes") == str(sandbox.ring_window(block, 10)["probes"]) and
              seen.get("loss") == "%.2f %%" % (100.0 * lost / block["probes"]) and
              seen.get("rtt_max") == "%d.%03d ms" % divmod(block["rtt_max"], 1000) and
              seen.get("availability", "").endswith(" %"), "%s: %r against %r" % (
                  url, seen, {k: v for k, v in block.items() if k not in ("raw", "samples")}))
    check(lost >= 4, "%d probes lost" % lost)

    # The chart's red marks are where the lost probes are in time, and
    # nowhere else.
    from PIL import Image
    shot = os.path.join(sb.root, "chart.png")
    chromium(sb, "--window-size=720,256", "--screenshot=" + shot, HTTP + "rtt.svg")
    image = Image.open(shot).convert("RGB")
    red = {x - LEFT for x in range(LEFT, LEFT + COLUMNS) if any(
        r > 180 and g < 140 and b < 140 for r, g, b in (image.getpixel((x, y)) for y in range(TOP + 2, BOTTOM - 2)))}
    first, span = block["samples"][0][0], max(block["samples"][-1][0] - block["samples"][0][0], 1)
    expected = {(t - first) * (COLUMNS - 1) // span for t, rtt, _ in block["samples"] if rtt == -1}
    check(expected and all(any(abs(c - e) <= 1 for e in expected) for c in red) and
          all(any(abs(c - e) <= 1 for c in red) for e in expected), "red columns %r, lost at %r" % (
              sorted(red), sorted(expected)))

    # At a phone's width nothing is wider than the screen; the page as an
    # operator sees it, kept beside the build.
    title = re.search(r"<title>([^<]*)</title>", chromium(sb, "--dump-dom", "http://127.0.0.1:8080/phone.html"))
    widths = re.fullmatch(r"width (\d+) of (\d+)", title.group(1) if title else "")
    check(widths is not None and int(widths.group(1)) <= int(widths.group(2)) <= 360, "phone: %r" % (
        title and title.group(1)))
    for name, size in (("status-page.png", "800,1000"), ("status-page-phone.png", "360,1000")):
        chromium(sb, "--window-size=" + size, "--screenshot=" + os.path.join(sb.root, name), HTTP)
        shutil.copy(os.path.join(sb.root, name), os.path.join(sb.build_dir, name))
    daemon.thaw()


if __name__ == "__main__":
    sandbox.main(globals())
