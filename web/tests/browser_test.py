#!/usr/bin/env python3
"""The page in headless Chromium, one case per run:

  site       builds the WebAssembly page with Emscripten (the others need it)
  microphone a keyed recording as the fake microphone; its text appears,
             also after choosing the signal on the waterfall
  file       recordings through the file input decode to what the native
             `tolvane decode --robust` reads; a file that is no audio is
             named, not thrown
  key        a keyed text downloaded as WAV is the file `tolvane encode`
             writes with the same options, and decodes back natively
  accuracy   the accuracy harness's clean and -6 dB recordings decode in
             the page (OfflineAudioContext, worker) to the native text

Exit 77 skips (no Emscripten, Chromium or selenium) unless
TOLVANE_REQUIRE_BROWSER=1 makes that a failure."""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

# No __pycache__ left in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browser_support as support  # noqa: E402  pylint: disable=wrong-import-position

MIC_TEXT = 'CQ CQ DE TOLVANE K'
MIC_SECONDS = 12.3  # the recording's length, which the fake device loops


def run(command, **kwargs):
    print('+', ' '.join(command), flush=True)
    return subprocess.run(command, check=True, **kwargs)


def native(tool, *args):
    return run([tool, *args], capture_output=True, text=True).stdout.strip()


def page_text(driver):
    from selenium.webdriver.common.by import By  # pylint: disable=import-outside-toplevel
    return ' '.join(driver.find_element(By.ID, 'decoded').text.split())


def by_id(driver, name):
    from selenium.webdriver.common.by import By  # pylint: disable=import-outside-toplevel
    return driver.find_element(By.ID, name)


def screenshot(driver, args, name):
    os.makedirs(args.screens, exist_ok=True)
    path = os.path.join(args.screens, f'{name}.png')
    driver.save_screenshot(path)
    print(f'screenshot: {path}')


def check_console(driver):
    errors = support.console_errors(driver)
    assert not errors, f'console errors: {errors}'


def open_page(args, **launch):
    if not os.path.exists(os.path.join(args.site, 'tolvane-core.wasm')):
        support.skip(f'{args.site} holds no built page (the browser_site test builds it)')
    support.need_browser()
    server = support.Server(args.site)
    driver = support.launch(**launch)
    driver.get(server.url + 'index.html')
    support.wait_for('the page', lambda: driver.execute_script('return document.body.dataset.ready'), 20)
    return server, driver


def case_site(args):
    emcmake = shutil.which('emcmake')
    if not emcmake:
        support.skip('emcmake not found (Debian: emscripten)')
    if not os.path.exists(os.path.join(args.web_build, 'CMakeCache.txt')):
        run([emcmake, args.cmake, '-S', args.source, '-B', args.web_build,
             f'-DCMAKE_COMPILE_WARNING_AS_ERROR={args.warnings_as_errors}'])
    run([args.cmake, '--build', args.web_build, '-j', str(os.cpu_count() or 2)])


def case_microphone(args):
    recording = os.path.join(args.work, 'microphone.wav')
    # A station at 20 WPM with receiver noise, at the rate of a sound card.
    run([args.accuracy, '--write', recording, '--rate', '48000', '--snr', '20', '--trail', '2', MIC_TEXT])
    server, driver = open_page(args, microphone=recording)
    try:
        screenshot(driver, args, 'start')
        by_id(driver, 'listen').click()
        # The recording loops; its text appears, whatever came before it.
        support.wait_for(f'"{MIC_TEXT}" on the page', lambda: MIC_TEXT in page_text(driver), 60)
        assert 'Listening' in by_id(driver, 'receive-status').text
        assert re.search(r'\d+ WPM · \d+ Hz · SNR -?\d+ dB', by_id(driver, 'stats').text), by_id(driver, 'stats').text
        assert by_id(driver, 'tracked-mark').is_displayed(), 'no marker on the tracked signal'
        screenshot(driver, args, 'listening')

        # Choosing the signal on the waterfall: a click where there is only
        # noise, and the text stops for a whole pass of the recording;
        # a click on the signal, and it comes back.
        for pitch in (2400, 600):
            click_waterfall(driver, pitch)
            status = by_id(driver, 'receive-status').text
            chosen = int(re.search(r'near (\d+) Hz', status).group(1))
            assert abs(chosen - pitch) <= 10, status
            by_id(driver, 'clear').click()
            if pitch != 600:
                time.sleep(MIC_SECONDS + 2)
                assert 'TOLVANE' not in page_text(driver), f'decoded near {pitch} Hz: {page_text(driver)}'
        support.wait_for(f'"{MIC_TEXT}" again near 600 Hz', lambda: MIC_TEXT in page_text(driver), 60)

        by_id(driver, 'listen').click()
        support.wait_for('listening to stop', lambda: 'Stopped' in by_id(driver, 'receive-status').text, 10)
        check_console(driver)
    finally:
        support.quit_browser(driver)
        server.close()


def click_waterfall(driver, hz):
    from selenium.webdriver.common.action_chains import ActionChains  # pylint: disable=import-outside-toplevel
    canvas = by_id(driver, 'waterfall')
    width = canvas.size['width']
    ActionChains(driver).move_to_element_with_offset(canvas, int(width * hz / 3000 - width / 2), 0).click().perform()


def open_file(driver, path, timeout=60):
    driver.execute_script('delete document.body.dataset.file')
    by_id(driver, 'clear').click()
    by_id(driver, 'file-input').send_keys(path)
    support.wait_for(f'{path} decoded', lambda: driver.execute_script('return document.body.dataset.file'), timeout)
    return page_text(driver)


def compare_files(args, driver, files):
    for path in files:
        expected = native(args.tool, 'decode', '--robust', path)
        got = open_file(driver, path)
        print(f'{os.path.basename(path)}: native "{expected}", page "{got}"')
        assert got == expected, f'{path}: the page read "{got}", tolvane decode --robust "{expected}"'


def case_file(args):
    files = []
    for rate, text in (('44100', 'THE QUICK BROWN FOX 73'), ('8000', 'PARIS PARIS <SK>')):
        path = os.path.join(args.work, f'keyed-{rate}.wav')
        run([args.tool, 'encode', '--rate', rate, '--wpm', '22', '--rise-ms', '4', text, path])
        files.append(path)
    server, driver = open_page(args)
    try:
        compare_files(args, driver, files)
        assert 'Decoded keyed-8000.wav' in by_id(driver, 'receive-status').text
        assert not by_id(driver, 'file-progress').is_displayed()
        screenshot(driver, args, 'file')
        # Not audio: the page says so, and nothing is thrown.
        junk = os.path.join(args.work, 'notes.txt')
        with open(junk, 'w', encoding='utf-8') as out:
            out.write('not a recording\n')
        by_id(driver, 'file-input').send_keys(junk)
        support.wait_for('the file refused', lambda: 'Cannot read notes.txt' in by_id(driver, 'receive-status').text, 20)
        check_console(driver)
    finally:
        support.quit_browser(driver)
        server.close()


def case_key(args):
    downloads = os.path.join(args.work, 'downloads')
    shutil.rmtree(downloads, ignore_errors=True)
    os.makedirs(downloads)
    text = 'TOLVANE 73 DE WEB'
    server, driver = open_page(args, downloads=downloads)
    try:
        for field, value in (('key-text', text), ('key-wpm', '25'), ('key-farnsworth', '15'),
                             ('key-pitch', '700'), ('key-rise', '5')):
            by_id(driver, field).clear()
            by_id(driver, field).send_keys(value)
        by_id(driver, 'key-download').click()
        wav = support.wait_for('the download', lambda: [f for f in os.listdir(downloads) if f.endswith('.wav')], 20)
        path = os.path.join(downloads, wav[0])
        print(f'downloaded {path}')
        # The tool with the same options writes the same file, byte for byte.
        reference = os.path.join(args.work, 'reference.wav')
        native(args.tool, 'encode', '--wpm', '25', '--farnsworth', '15', '--pitch', '700', '--rise-ms', '5', text,
               reference)
        with open(path, 'rb') as page_file, open(reference, 'rb') as tool_file:
            assert page_file.read() == tool_file.read(), f'{path} differs from what tolvane encode writes'
        # --robust: the plain recogniser reads Farnsworth's long letter gaps
        # as word gaps, as the README says.
        decoded = native(args.tool, 'decode', '--robust', path)
        assert decoded == text, f'tolvane decode --robust read "{decoded}", keyed "{text}"'

        by_id(driver, 'key-play').click()
        support.wait_for('playing', lambda: by_id(driver, 'key-play').text == 'Stop', 10)
        assert re.match(r'\d+\.\d s of Morse', by_id(driver, 'key-status').text), by_id(driver, 'key-status').text
        driver.execute_script("document.getElementById('key-heading').scrollIntoView()")
        screenshot(driver, args, 'key')
        by_id(driver, 'key-play').click()
        # An option out of range is named, not thrown.
        by_id(driver, 'key-rise').clear()
        by_id(driver, 'key-rise').send_keys('40')
        by_id(driver, 'key-play').click()
        support.wait_for('the refusal', lambda: 'does not fit' in by_id(driver, 'key-status').text, 10)

        # A phone's screen: nothing wider than it.
        driver.set_window_size(390, 844)
        time.sleep(0.5)
        overflow = driver.execute_script('return document.documentElement.scrollWidth - window.innerWidth')
        assert overflow <= 0, f'the page is {overflow} px wider than a phone screen'
        screenshot(driver, args, 'phone')
        check_console(driver)
    finally:
        support.quit_browser(driver)
        server.close()


def case_accuracy(args):
    files = []
    for snr, text, extra in ((None, 'CQ TEST DE W1AW', []), (None, 'HELLO WORLD 599', ['--wpm', '28', '--pitch', '750']),
                             ('-6', 'CQ TEST DE W1AW', []), ('-6', 'QRZ DE OH2XYZ', ['--wpm', '16', '--pitch', '520'])):
        path = os.path.join(args.work, f'accuracy-{"clean" if snr is None else snr}-{len(files)}.wav')
        run([args.accuracy, '--write', path, '--seed', str(len(files) + 1), *extra,
             *(['--snr', snr] if snr else []), text])
        files.append(path)
    server, driver = open_page(args)
    try:
        compare_files(args, driver, files)
        check_console(driver)
    finally:
        support.quit_browser(driver)
        server.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('case', choices=['site', 'microphone', 'file', 'key', 'accuracy'])
    parser.add_argument('--source', help='the source tree (site)')
    parser.add_argument('--web-build', required=True, help='the WebAssembly build directory')
    parser.add_argument('--cmake', default='cmake')
    parser.add_argument('--warnings-as-errors', default='OFF')
    parser.add_argument('--tool', help='the native tolvane')
    parser.add_argument('--accuracy', help='the native accuracy harness')
    parser.add_argument('--work', help='a scratch directory')
    args = parser.parse_args()
    args.site = os.path.join(args.web_build, 'site')
    args.screens = os.path.join(args.web_build, 'screens')
    if args.case == 'site':
        case_site(args)
        return
    if args.work is None:
        args.work = tempfile.mkdtemp(prefix='tolvane-browser-')
    os.makedirs(args.work, exist_ok=True)
    {'microphone': case_microphone, 'file': case_file, 'key': case_key, 'accuracy': case_accuracy}[args.case](args)
    print('passed')


if __name__ == '__main__':
    main()
