#!/usr/bin/env python3
"""Runs a command and reports its peak memory: the largest anonymous
resident memory (RssAnon, sampled every millisecond from /proc) and the
peak resident set (VmHWM, which counts mapped files and libraries too) of
any one process it runs (so `bash -c 'cat f | tolvane decode -'` reports
the largest of bash, cat and tolvane), with the wall time.

usage: peak.py COMMAND [ARGS...]
Prints one line: "rss_anon_kb=N vm_hwm_kb=N seconds=S exit=C".
"""
import os
import subprocess
import sys
import time


def sample(pid):
    fields = {}
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                key, _, value = line.partition(":")
                if key in ("RssAnon", "VmHWM"):
                    fields[key] = int(value.split()[0])
    except (OSError, ValueError):
        pass
    return fields


def descendants(root):
    """`root` and every process below it."""
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    # The command may hold spaces and parentheses: the
                    # parent is the second field after the last ')'.
                    parents[int(entry)] = int(f.read().rsplit(")", 1)[1].split()[1])
            except (OSError, ValueError, IndexError):
                pass
    tree = {root}
    grew = True
    while grew:
        grew = False
        for pid, parent in parents.items():
            if parent in tree and pid not in tree:
                tree.add(pid)
                grew = True
    return tree


def main():
    start = time.monotonic()
    child = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL)
    anon = hwm = 0
    while child.poll() is None:
        for pid in descendants(child.pid):
            fields = sample(pid)
            anon = max(anon, fields.get("RssAnon", 0))
            hwm = max(hwm, fields.get("VmHWM", 0))
        time.sleep(0.001)
    print("rss_anon_kb=%d vm_hwm_kb=%d seconds=%.2f exit=%d" % (anon, hwm, time.monotonic() - start, child.returncode))


if __name__ == "__main__":
    main()
