#!/usr/bin/python3
"""The Grafana dashboard without Grafana (not packaged in Debian): its JSON
structure as Grafana reads it, and every panel's expression through
promtool, as recording rules of a rules file made for the check.

  dashboard_check.py DASHBOARD.json

The fleet scenario imports expressions() to run each one against a real
Prometheus server."""

import json
import os
import re
import subprocess
import sys
import tempfile

DATASOURCE = {"type": "prometheus", "uid": "${datasource}"}


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def expressions(dashboard, instance=".*", rate_interval="1m", time_range="1h", line=".*"):
    """(panel title, expression) for every target, with Grafana's variables
    put in as a server would get them."""
    found = []
    for panel in dashboard["panels"]:
        for target in panel.get("targets", []):
            expr = (target["expr"].replace("$instance", instance).replace("$line", line)
                    .replace("$__rate_interval", rate_interval).replace("$__range", time_range))
            found.append((panel["title"], expr))
    return found


def check_structure(dashboard):
    for key in ("title", "uid", "schemaVersion", "panels", "templating", "time"):
        if key not in dashboard:
            fail("no %s" % key)
    variables = {v["name"]: v for v in dashboard["templating"]["list"]}
    if variables.get("datasource", {}).get("type") != "datasource" \
            or variables["datasource"].get("query") != "prometheus":
        fail("no Prometheus data source variable: %r" % variables.get("datasource"))
    instance = variables.get("instance")
    if instance is None or instance.get("type") != "query" \
            or "label_values(tolvin_" not in instance["query"]["query"] or instance["datasource"] != DATASOURCE:
        fail("no instance variable from the tolvin series: %r" % instance)
    line = variables.get("line")
    if line is None or "label_values(tolvin_" not in line["query"]["query"] or line.get("allValue") != ".*":
        fail("no line variable matching the default line too: %r" % line)

    rows = [p for p in dashboard["panels"] if p["type"] == "row"]
    if not rows or any(r.get("repeat") != "instance" for r in rows):
        fail("not one row a router: %r" % rows)
    ids = [p["id"] for p in dashboard["panels"]]
    if len(set(ids)) != len(ids):
        fail("panel ids repeat: %r" % ids)
    cells = set()
    for panel in dashboard["panels"]:
        grid = panel["gridPos"]
        if grid["x"] < 0 or grid["w"] <= 0 or grid["x"] + grid["w"] > 24 or grid["h"] <= 0:
            fail("panel %r outside the 24 columns: %r" % (panel["title"], grid))
        for x in range(grid["x"], grid["x"] + grid["w"]):
            for y in range(grid["y"], grid["y"] + grid["h"]):
                if (x, y) in cells:
                    fail("panel %r overlaps another at %d,%d" % (panel["title"], x, y))
                cells.add((x, y))
        if panel["type"] == "row":
            continue
        if panel["type"] not in ("stat", "timeseries") or panel.get("datasource") != DATASOURCE:
            fail("panel %r: type %r, data source %r" % (panel["title"], panel["type"], panel.get("datasource")))
        targets = panel.get("targets", [])
        refs = [t["refId"] for t in targets]
        if not targets or len(set(refs)) != len(refs):
            fail("panel %r: targets %r" % (panel["title"], targets))
        for target in targets:
            if target.get("datasource") != DATASOURCE or not target.get("expr"):
                fail("panel %r: target %r" % (panel["title"], target))
            if not re.search(r'instance=~"\$instance",line=~"\$line"', target["expr"]):
                fail("panel %r: %r does not follow the row's router and the lines chosen" % (
                    panel["title"], target["expr"]))
            if not target.get("legendFormat", "").startswith("{{line}} "):
                fail("panel %r: %r does not name the line" % (panel["title"], target.get("legendFormat")))
            for name in re.findall(r"\b(tolvin_[a-z_]+)", target["expr"]):
                if name.endswith("_total") and "rate(" not in target["expr"] and "increase(" not in target["expr"] \
                        and "/" not in target["expr"]:
                    fail("panel %r shows the counter %s raw" % (panel["title"], name))


def check_expressions(dashboard):
    rules = {"groups": [{"name": "dashboard", "rules": [
        {"record": "dashboard:panel_%d" % i, "expr": expr}
        for i, (_, expr) in enumerate(expressions(dashboard))]}]}
    with tempfile.NamedTemporaryFile("w", suffix=".yml", delete=False) as f:
        json.dump(rules, f)      # JSON is YAML
        path = f.name
    try:
        result = subprocess.run(["promtool", "check", "rules", path], capture_output=True, text=True)
    finally:
        os.unlink(path)
    if result.returncode != 0:
        fail("promtool check rules on the panels' expressions:\n%s%s" % (result.stdout, result.stderr))


def main():
    with open(sys.argv[1]) as f:
        dashboard = json.load(f)
    check_structure(dashboard)
    check_expressions(dashboard)
    print("dashboard as expected: %d panels, %d expressions" % (
        len(dashboard["panels"]), len(expressions(dashboard))))


if __name__ == "__main__":
    main()
