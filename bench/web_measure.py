#!/usr/bin/env python3
"""Measures the page in build-web/site:

  size     its WebAssembly and JavaScript, raw and gzip -9 (and the HTML,
           CSS and icon beside them)
  latency  how long after the end of each character's audio the character
           is on the page, listening to a keyed recording as the fake
           microphone; the first character and the rest
  cpu      the CPU time of Chromium's processes (and the page's threads)
           over SECONDS of listening to a 48 kHz recording as the fake
           microphone (which Chromium's fake device hands over at 44.1 kHz;
           --rate 48000 makes the page listen at 48 kHz), as a share of
           one core

usage: bench/web_measure.py [--web-build build-web] [--accuracy build/accuracy]
                            [--seconds 60] [--rate HZ] [size] [latency] [cpu]
"""
import argparse
import gzip
import os
import statistics
import sys
import tempfile
import time

# No __pycache__ left in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'web', 'tests'))
import browser_support as support  # noqa: E402  pylint: disable=wrong-import-position

TICKS = os.sysconf('SC_CLK_TCK')
TEXT = ('CQ CQ CQ DE TOLVANE TOLVANE K | TOLVANE DE W1AW GM UR RST 599 599 NAME JOHN QTH BOSTON HW? K | '
        'W1AW DE TOLVANE R TNX FER CALL UR RST 579 NAME ANNA QTH HELSINKI BK')


def size(site):
    rows = []
    for name in sorted(os.listdir(site)):
        with open(os.path.join(site, name), 'rb') as f:
            data = f.read()
        rows.append((name, len(data), len(gzip.compress(data, 9))))
    code = [r for r in rows if r[0].endswith(('.js', '.wasm'))]
    print('| file | bytes | gzip -9 |\n|---|---|---|')
    for name, raw, packed in rows:
        print(f'| {name} | {raw:,} | {packed:,} |')
    print(f'| **WebAssembly and JavaScript** | {sum(r[1] for r in code):,} | **{sum(r[2] for r in code):,}** '
          f'({sum(r[2] for r in code) / 1024:.1f} KiB) |')
    print(f'| the whole page | {sum(r[1] for r in rows):,} | {sum(r[2] for r in rows):,} |')


def recording(accuracy, rate, snr):
    import subprocess  # pylint: disable=import-outside-toplevel
    path = os.path.join(tempfile.mkdtemp(prefix='tolvane-measure-'), f'microphone-{rate}.wav')
    subprocess.run([accuracy, '--write', path, '--rate', str(rate), '--snr', str(snr), '--trail', '2', TEXT],
                   check=True)
    return path


def listen(site, microphone, rate=None):
    server = support.Server(site)
    driver = support.launch(microphone=microphone)
    driver.get(server.url + 'index.html' + (f'?rate={rate}' if rate else ''))
    support.wait_for('the page', lambda: driver.execute_script('return document.body.dataset.ready'), 20)
    driver.find_element('id', 'listen').click()
    support.wait_for('listening', lambda: driver.execute_script('return document.body.dataset.listening'), 20)
    return server, driver


def latency(site, accuracy, rate):
    server, driver = listen(site, recording(accuracy, 48000, 20), rate)
    try:
        # The first word twice and more: the engine's first characters wait
        # for it to judge the signal Morse.
        support.wait_for('thirty characters', lambda: len(driver.execute_script(
            'return window.tolvanePage.latencies')) >= 30, 90)
        values = driver.execute_script('return window.tolvanePage.latencies')
        held = driver.execute_script('return window.tolvanePage.held')[:len(values)]
        rate = driver.execute_script('return document.getElementById("receive-status").textContent')
        rest = values[1:]
        print(f'{rate.strip()} first character {values[0]:.2f} s after its audio ended; the next '
              f'{len(rest)}: median {statistics.median(rest):.2f} s, max {max(rest):.2f} s; '
              f'{sum(v <= 2 for v in values)} of {len(values)} within 2 s')
        print(f'of which the engine held each character back (input decided after its end): first '
              f'{held[0]:.2f} s, the rest median {statistics.median(held[1:]):.2f} s; worker to page a median '
              f'{1000 * statistics.median(v - h for v, h in zip(values, held)):.1f} ms (the capture before the '
              f'worklet is not seen)')
        print(f"text: {driver.find_element('id', 'decoded').text}")
    finally:
        support.quit_browser(driver)
        server.close()


def processes(profile):
    """The processes of the Chromium using `profile`: pid -> kind."""
    parent, argv = {}, {}
    for pid in filter(str.isdigit, os.listdir('/proc')):
        try:
            with open(f'/proc/{pid}/cmdline', 'rb') as f:
                # Chromium rewrites its children's command lines as one string.
                argv[int(pid)] = f.read().replace(b'\0', b' ').decode(errors='replace').split()
            with open(f'/proc/{pid}/stat', encoding='ascii') as f:
                parent[int(pid)] = int(f.read().rsplit(')', 1)[1].split()[1])
        except OSError:
            continue
    roots = [pid for pid, args in argv.items()
             if f'--user-data-dir={profile}' in args and not any(a.startswith('--type=') for a in args)]
    found = {}
    todo = list(roots)
    while todo:
        pid = todo.pop()
        kind = 'browser'
        for arg in argv.get(pid, []):
            if arg.startswith('--type='):
                kind = arg[7:]
            if arg.startswith('--utility-sub-type='):
                kind = arg[19:]
        found[pid] = kind
        todo += [child for child, up in parent.items() if up == pid]
    return found


def cpu_ticks(path):
    with open(path, encoding='ascii') as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime, stime


def thread_ticks(pid):
    threads = {}
    for tid in os.listdir(f'/proc/{pid}/task'):
        try:
            with open(f'/proc/{pid}/task/{tid}/comm', encoding='utf-8') as f:
                name = f.read().strip()
            threads[(int(tid), name)] = cpu_ticks(f'/proc/{pid}/task/{tid}/stat')
        except OSError:
            pass
    return threads


def cpu(site, accuracy, seconds, rate):
    server, driver = listen(site, recording(accuracy, 48000, 10), rate)
    try:
        time.sleep(5)  # past start-up and the first lock
        found = processes(driver.profile_dir)
        before = {pid: cpu_ticks(f'/proc/{pid}/stat') for pid in found}
        threads_before = {pid: thread_ticks(pid) for pid, kind in found.items() if kind == 'renderer'}
        time.sleep(seconds)
        after = {pid: cpu_ticks(f'/proc/{pid}/stat') for pid in found}
        threads_after = {pid: thread_ticks(pid) for pid in threads_before}
        rate = driver.execute_script('return document.getElementById("receive-status").textContent')
        characters = len(driver.execute_script('return window.tolvanePage.latencies'))
    finally:
        support.quit_browser(driver)
        server.close()
    share = lambda ticks: 100 * ticks / TICKS / seconds  # noqa: E731
    by_kind = {}
    for pid, kind in found.items():
        by_kind[kind] = by_kind.get(kind, 0) + after[pid] - before[pid]
    print(f'{rate.strip()} {characters} characters decoded; CPU over {seconds} s, % of one core:')
    for kind, ticks in sorted(by_kind.items(), key=lambda item: -item[1]):
        print(f'  {kind:32} {share(ticks):5.1f} %')
    for pid, start in threads_before.items():
        busy = sorted(((threads_after[pid].get(key, ticks) - ticks, key[1]) for key, ticks in start.items()),
                      reverse=True)
        print('  renderer threads: ' + ', '.join(f'{name} {share(t):.1f} %' for t, name in busy[:6] if t > 0))
    page = by_kind.get('renderer', 0)
    print(f'the page (renderer: main thread, worker, worklet) {share(page):.1f} % of one core; '
          f'with the audio service {share(page + by_kind.get("audio.mojom.AudioService", 0)):.1f} %')


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--web-build', default='build-web')
    parser.add_argument('--accuracy', default='build/accuracy')
    parser.add_argument('--seconds', type=int, default=60)
    parser.add_argument('--rate', type=int, help="listen at this rate (the page's ?rate=); by default the "
                        "microphone's own, 44.1 kHz for Chromium's fake device")
    parser.add_argument('measures', nargs='*', default=['size', 'latency', 'cpu'])
    args = parser.parse_args()
    site = os.path.join(args.web_build, 'site')
    if 'size' in args.measures:
        size(site)
    if {'latency', 'cpu'} & set(args.measures):
        support.need_browser()
    if 'latency' in args.measures:
        latency(site, args.accuracy, args.rate)
    if 'cpu' in args.measures:
        cpu(site, args.accuracy, args.seconds, args.rate)


if __name__ == '__main__':
    main()
