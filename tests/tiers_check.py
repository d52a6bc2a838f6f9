#!/usr/bin/python3
"""The test tiers cover what the README says they do.

--quick is ctest in build/: it must hold every scenario of every scenario file
and the try-it run. The full run must take every musl target and the two glibc
router targets through their tests, x86-64 musl through every scenario and
big-endian MIPS through the core."""

import os
import re
import subprocess
import sys

source, build = sys.argv[1], sys.argv[2]
problems = []

listed = subprocess.run(["ctest", "-N"], cwd=build, capture_output=True, text=True, check=True).stdout
tests = set(re.findall(r"Test +#\d+: (\S+)", listed))
e2e = os.path.join(source, "tests", "e2e")
for name in sorted(os.listdir(e2e)):
    if name.startswith("test_") and name.endswith(".py"):
        out = subprocess.run([sys.executable, os.path.join(e2e, name), "--list"], capture_output=True,
                             text=True, check=True).stdout.strip()
        for scenario in out.split(";"):
            if "e2e.%s.%s" % (name[5:-3], scenario) not in tests:
                problems.append("--quick misses e2e.%s.%s" % (name[5:-3], scenario))
if "e2e.try_it" not in tests:
    problems.append("--quick misses e2e.try_it")

cross = open(os.path.join(source, "scripts", "cross-build")).read()
musl = re.search(r"^    (x86_64-linux-musl\|[^)]*)\)", cross, re.M).group(1).split("|")
wanted = {target: "unit" for target in musl + ["arm-linux-gnueabihf", "mips-linux-gnu"]}
wanted.update({"glibc": "all", "sanitized": "all", "fuzz": "fuzz",
               "x86_64-linux-musl": "all", "mips-linux-musl": "core"})
plan = subprocess.run(["sh", os.path.join(source, "scripts", "test"), "--list"], capture_output=True,
                      text=True, check=True).stdout.split()
runs = dict(line.split(":") for line in plan)
if len(runs) != len(plan):
    problems.append("scripts/test builds a tree twice: %r" % plan)
for tree, tests in sorted(wanted.items()):
    if runs.get(tree) != tests:
        problems.append("scripts/test runs %s: %s, not %s" % (tree, runs.get(tree), tests))

print("\n".join(problems) or "%d tests in --quick; %d targets in the full run" % (len(tests), len(runs)))
sys.exit(1 if problems else 0)
