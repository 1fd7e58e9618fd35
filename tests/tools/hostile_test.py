"""Replays tests/data/hostile/expected.tsv against `tolvane decode`: each
hostile input, arriving as the table says, must end with its exit code and
message, within its peak memory.

usage: hostile_test.py TOLVANE_TOOL HOSTILE_DIR [--sanitized]

With --sanitized (a build under AddressSanitizer), the memory bounds allow
for the sanitizer's own: its shadow memory and quarantine, not ours. A
sanitizer report must not pass for the tool's own exit code 1, so the
environment gives reports codes of their own.
"""
import os
import subprocess
import sys
import tempfile

ASAN_EXIT = 86
UBSAN_EXIT = 87


def run(tool, path, arrival, options, work):
    """Runs one row; returns (exit code, stdout, stderr, peak RSS in MB)."""
    command = [tool, "decode"] + options
    stdin = subprocess.DEVNULL
    writer = None
    if arrival == "path":
        command.append(path)
    elif arrival == "stdin":
        command.append("-")
        stdin = open(path, "rb")
    elif arrival == "pipe":
        command.append("-")
        writer = subprocess.Popen(["cat", path], stdout=subprocess.PIPE)
        stdin = writer.stdout
    elif arrival == "fifo":
        fifo = os.path.join(work, "fifo")
        if os.path.exists(fifo):
            os.remove(fifo)
        os.mkfifo(fifo)
        writer = subprocess.Popen(["sh", "-c", 'cat "$0" > "$1"', path, fifo])
        command.append(fifo)
    else:
        raise ValueError("unknown arrival " + arrival)
    out_path = os.path.join(work, "out")
    err_path = os.path.join(work, "err")
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        child = subprocess.Popen(command, stdin=stdin, stdout=out, stderr=err)
        # wait4 gives this child's own peak memory, not the largest so far.
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
    if stdin not in (subprocess.DEVNULL, None):
        stdin.close()
    if writer is not None:
        if arrival == "fifo" and writer.poll() is None:
            # The reader gave up before opening the FIFO: let the writer go.
            fd = os.open(os.path.join(work, "fifo"), os.O_RDONLY | os.O_NONBLOCK)
            os.close(fd)
        writer.wait(timeout=60)
    with open(out_path, "rb") as f:
        stdout = f.read().decode(errors="replace")
    with open(err_path, "rb") as f:
        stderr = f.read().decode(errors="replace")
    return child.returncode, stdout, stderr, usage.ru_maxrss / 1024.0


def main():
    tool, data = sys.argv[1], sys.argv[2]
    sanitized = "--sanitized" in sys.argv
    # Later options win: whatever the caller set, reports exit with these.
    # A smaller quarantine keeps ASan's own memory near the tool's.
    os.environ["ASAN_OPTIONS"] = "%s:exitcode=%d:abort_on_error=0:quarantine_size_mb=32" % (
        os.environ.get("ASAN_OPTIONS", ""), ASAN_EXIT)
    os.environ["UBSAN_OPTIONS"] = "exitcode=%d:halt_on_error=1:print_stacktrace=1" % UBSAN_EXIT
    failures = []
    rows = 0
    with open(os.path.join(data, "expected.tsv")) as table, tempfile.TemporaryDirectory() as work:
        for line in table:
            if line.startswith("#") or line.startswith("file\t") or not line.strip():
                continue
            name, arrival, options, code, expect, peak = line.rstrip("\n").split("\t")
            path = name if os.path.isabs(name) else os.path.join(data, name)
            args = [] if options == "-" else options.split()
            got, stdout, stderr, peak_mb = run(tool, path, arrival, args, work)
            rows += 1
            what = "%s (%s%s)" % (name, arrival, "" if options == "-" else ", " + options)
            # Under ASan the shadow memory and the quarantine come on top.
            limit = float(peak) * 4 + 256 if sanitized else float(peak)
            if got in (ASAN_EXIT, UBSAN_EXIT):
                failures.append("%s: a sanitizer report (exit %d):\n%s" % (what, got, stderr))
                continue
            if got != int(code):
                failures.append("%s: exit %d, expected %s; stderr: %s" % (what, got, code, stderr.strip()))
            shown = stdout if int(code) == 0 else stderr
            if expect not in shown:
                failures.append("%s: %r not in %r" % (what, expect, shown))
            if int(code) != 0 and stderr.count("\n") != 1:
                failures.append("%s: the failure takes %d lines, not one" % (what, stderr.count("\n")))
            if peak_mb > limit:
                failures.append("%s: peak memory %.1f MB, more than %.0f MB" % (what, peak_mb, limit))
    for failure in failures:
        print("FAIL " + failure)
    print("%d rows, %d failures" % (rows, len(failures)))
    return 1 if failures or rows == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
