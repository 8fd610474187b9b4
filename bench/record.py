#!/usr/bin/env python3
"""Replaces one block of results in docs/PERFORMANCE.md with a new table.

    record.py PATH MARKER TABLE WORKDIR RUNS

MARKER names the block, between "<!-- MARKER -->" and "<!-- /MARKER -->". RUNS says how
the medians were taken ("5 interleaved runs"); WORKDIR is where the benchmark's files were,
whose file system the line names.
"""
import datetime
import os
import re
import subprocess
import sys


def main():
    path, marker, table, workdir, runs = sys.argv[1:]
    mem_kib = int(next(line.split()[1] for line in open("/proc/meminfo")
                       if line.startswith("MemTotal:")))
    fstype = subprocess.run(["df", "-T", workdir], capture_output=True, text=True,
                            check=True).stdout.splitlines()[1].split()[1]
    block = (f"<!-- {marker} -->\nMeasured {datetime.date.today()} on {os.cpu_count()} cores, "
             f"{mem_kib // (1 << 20)} GiB, {fstype} on Linux {os.uname().release}; medians of "
             f"{runs}, warm page cache. Ratio = morvane-cli / the other command (below 1 is "
             f"faster).\n\n{table}\n<!-- /{marker} -->")
    text = open(path).read()
    text = re.sub(rf"<!-- {marker} -->.*<!-- /{marker} -->", lambda _: block, text, flags=re.S)
    open(path, "w").write(text)


main()
