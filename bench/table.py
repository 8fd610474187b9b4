#!/usr/bin/env python3
"""Turns the harness's times and the row list into the Markdown tables of PERFORMANCE.md.

    table.py TIMES ROWS

TIMES: the harness's lines. ROWS: one row a line, tab-separated:
    task, our tag, the standard tool's tag, its tag when followed by sync (or -), goal (or -)
A goal is "<= X" or "< X" and applies to the ratio against the standard tool alone.
"""
import sys


def escape(text):
    return text.replace("|", "\\|")


def main():
    times = {}
    for line in open(sys.argv[1]):
        tag, median, low, high, user, sys_, busy = line.rstrip("\n").split("\t")
        times[tag] = dict(median=float(median), low=float(low), high=float(high),
                          user=float(user), sys=float(sys_), busy=int(busy))
    print("| task | morvane-cli (s) | standard tool (s) | ratio | standard tool, then sync (s) "
          "| ratio to that | goal |")
    print("|---|---:|---:|---:|---:|---:|---|")
    for line in open(sys.argv[2]):
        task, ours, theirs, synced, goal = line.rstrip("\n").split("\t")
        o, t = times[ours]["median"], times[theirs]["median"]
        ratio = o / t
        cells = [escape(task), f"{o:.3f}", f"{t:.3f}", f"{ratio:.2f}"]
        if synced != "-":
            s = times[synced]["median"]
            cells += [f"{s:.3f}", f"{o / s:.2f}"]
        else:
            cells += ["–", "–"]
        if goal != "-":
            op, limit = goal.split()
            met = ratio <= float(limit) if op == "<=" else ratio < float(limit)
            cells.append(f"{'≤' if op == '<=' else '<'} {limit}: {'met' if met else 'missed'}")
        else:
            cells.append("–")
        print("| " + " | ".join(cells) + " |")
    print()
    print("Every command, for the record (seconds; CPU time is the median user and system "
          "time of the command and all its threads and children):")
    print()
    print("| command | median | min | max | user | system | disturbed runs kept |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for tag, t in times.items():
        print(f"| {escape(tag)} | {t['median']:.3f} | {t['low']:.3f} | {t['high']:.3f} | "
              f"{t['user']:.3f} | {t['sys']:.3f} | {t['busy']} |")


if __name__ == "__main__":
    main()
