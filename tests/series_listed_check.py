#!/usr/bin/python3
"""Every series tolvinstat exports is listed in the README and in
tolvinstat(1): the names are an interface.
  series_listed_check.py SOURCE_DIR"""

import re
import sys

source = sys.argv[1]
code = open(source + "/tolvinstat/format/prometheus.cpp").read()
names = set(re.findall(r'"(tolvin_[a-z_]+)', code))
missing = []
for document in ("README.md", "man/tolvinstat.1"):
    text = open(source + "/" + document).read().replace("\\-", "-").replace("\\_", "_")
    for name in sorted(names):
        # A summary is listed by its _sum and _count; a family of gauges may
        # be listed as one name and its suffixes.
        stem = re.sub(r"_(sum|count)$", "", name)
        if name not in text and stem + "_sum" not in text and "`" + name.rsplit("_", 2)[0] not in text:
            missing.append("%s: %s" % (document, name))
if missing or not names:
    print("FAIL: not listed:\n  " + "\n  ".join(missing))
    sys.exit(1)
print("%d series listed in both" % len(names))
