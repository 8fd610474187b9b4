#!/usr/bin/env python3
"""Times a group of commands against each other, interleaved.

    harness.py --out FILE --runs N --warmup W --prep CMD [--warm-mib M] TAG CMD [TAG CMD ...]

Every round runs each command once, the order turning by one place from round to round,
so that a change in the machine's load during the group falls on all commands alike
instead of on whichever ran last. Before each timed run: a wait until the machine is idle, the prep command (which removes
the outputs of the run before), a sync (so no write-back of an earlier run is still
pending), and with --warm-mib, touching and freeing that much memory; the command starts
right after them. The memory, because a virtual machine may hand memory that stays free
for a second or two back to its host (free page reporting), and the page cache then fills
memory that the host must first bring back: writing 1 GiB into it costs up to 3 s of
system time more, at random, to whichever command meets it. Freed just before the run,
the memory is there, as on a machine that keeps its memory, for every command alike.
On a shared 2-core machine another program's work would otherwise land in one command's
time: a run during which other programs used user CPU time is disturbed, and is tried
again (up to TRIES times in all, after which the last try is kept and counted).
Appends one line per command to FILE:
    tag, median wall s, min s, max s, median user s, median sys s, disturbed runs kept
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

IDLE_BELOW = 0.10    # busy share of all cores that counts as idle
IDLE_WINDOW = 0.3    # seconds sampled
IDLE_PATIENCE = float(os.environ.get("BENCH_PATIENCE", "20"))  # s to wait for idle, then time anyway
TRIES = 4
TICK = os.sysconf("SC_CLK_TCK")


def cpu_fields():
    with open("/proc/stat") as f:
        return [int(x) for x in f.readline().split()[1:]]


def cpu_times():
    fields = cpu_fields()
    idle = fields[3] + fields[4]  # idle + iowait
    return sum(fields[:8]), idle


def user_seconds():
    fields = cpu_fields()
    return (fields[0] + fields[1]) / TICK  # user + nice, all cores


def busy_share():
    total0, idle0 = cpu_times()
    time.sleep(IDLE_WINDOW)
    total1, idle1 = cpu_times()
    total = total1 - total0
    return 0.0 if total <= 0 else 1.0 - (idle1 - idle0) / total


def wait_idle():
    """True when the machine was idle before the patience ran out."""
    deadline = time.monotonic() + IDLE_PATIENCE
    while True:
        if busy_share() < IDLE_BELOW:
            return True
        if time.monotonic() > deadline:
            return False


def warm_memory(mib):
    """Touches mib MiB of memory page by page and frees it."""
    if mib <= 0:
        return
    size = mib << 20
    block = bytearray(size)
    block[::4096] = b"\1" * len(range(0, size, 4096))
    del block


def shell(cmd):
    r = subprocess.run(["/bin/sh", "-c", cmd], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if r.returncode != 0:
        sys.exit(f"failed ({r.returncode}): {cmd}\n{r.stderr.decode(errors='replace')}")


def timed(cmd):
    """wall, user and system seconds of cmd, and the user seconds that others used meanwhile."""
    user_before = user_seconds()
    start = time.perf_counter()
    proc = subprocess.Popen(["/bin/sh", "-c", cmd], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    others = user_seconds() - user_before - usage.ru_utime
    err = proc.stderr.read()
    proc.stderr.close()
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        sys.exit(f"failed ({proc.returncode}): {cmd}\n{err.decode(errors='replace')}")
    return wall, usage.ru_utime, usage.ru_stime, others


def disturbed(result):
    wall, _, _, others = result
    # Ticks are coarse (10 ms) and the accounting of the two sides differs a little.
    return others > 0.05 + 0.05 * wall


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", required=True)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--warmup", type=int, default=1)
    ap.add_argument("--prep", default=":")
    ap.add_argument("--warm-mib", type=int, default=0)
    ap.add_argument("pairs", nargs="+")
    a = ap.parse_args()
    if len(a.pairs) % 2:
        sys.exit("TAG CMD pairs expected")
    cmds = list(zip(a.pairs[0::2], a.pairs[1::2]))
    samples = {tag: [] for tag, _ in cmds}
    busy = {tag: 0 for tag, _ in cmds}
    for round_ in range(a.warmup + a.runs):
        turn = round_ % len(cmds)
        for tag, cmd in cmds[turn:] + cmds[:turn]:
            for _ in range(TRIES if round_ >= a.warmup else 1):
                wait_idle()
                shell(a.prep)
                shell("sync")
                warm_memory(a.warm_mib)
                result = timed(cmd)
                if not disturbed(result):
                    break
            if round_ >= a.warmup:
                samples[tag].append(result)
                busy[tag] += 1 if disturbed(result) else 0
    with open(a.out, "a") as out:
        for tag, _ in cmds:
            walls = [s[0] for s in samples[tag]]
            user = statistics.median(s[1] for s in samples[tag])
            sys_ = statistics.median(s[2] for s in samples[tag])
            out.write(f"{tag}\t{statistics.median(walls):.3f}\t{min(walls):.3f}\t"
                      f"{max(walls):.3f}\t{user:.3f}\t{sys_:.3f}\t{busy[tag]}\n")


if __name__ == "__main__":
    main()
