"""What the browser tests and the page's measurements share: skipping when
a tool is missing, a local server for the site, and headless Chromium."""
import functools
import http.server
import os
import shutil
import sys
import tempfile
import threading
import time

SKIP = 77
CHROMIUM = '/usr/bin/chromium'
CHROMEDRIVER = '/usr/bin/chromedriver'


def required():
    return os.environ.get('TOLVANE_REQUIRE_BROWSER', '') not in ('', '0')


def skip(why):
    """Skips, or fails where the browser tests must run (CI)."""
    if required():
        print(f'FAIL: {why} (TOLVANE_REQUIRE_BROWSER is set)')
        sys.exit(1)
    print(f'SKIP: {why}')
    sys.exit(SKIP)


def need_browser():
    for path, package in ((CHROMIUM, 'chromium'), (CHROMEDRIVER, 'chromium-driver')):
        if not os.access(path, os.X_OK):
            skip(f'{path} not found (Debian: {package})')
    try:
        import selenium  # noqa: F401  pylint: disable=import-outside-toplevel,unused-import
    except ImportError:
        skip(f'{sys.executable} has no selenium (Debian: python3-selenium, for /usr/bin/python3)')


class Server:
    """Serves a directory on a free local port, quietly, from a thread."""

    def __init__(self, directory):
        class Quiet(http.server.SimpleHTTPRequestHandler):
            def log_message(self, *args):
                pass

        handler = functools.partial(Quiet, directory=directory)
        self.httpd = http.server.ThreadingHTTPServer(('127.0.0.1', 0), handler)
        self.url = f'http://127.0.0.1:{self.httpd.server_address[1]}/'
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def launch(microphone=None, downloads=None, size=(1000, 1300)):
    """Headless Chromium with a fresh profile; `microphone` is a WAV file
    the fake capture device plays in a loop."""
    # pylint: disable=import-outside-toplevel
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    profile = tempfile.mkdtemp(prefix='tolvane-chromium-')
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    # Root in CI needs --no-sandbox; the machine's network is closed, so
    # nothing may reach out.
    for flag in ('--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
                 '--disable-component-update', '--disable-sync', '--no-first-run', '--disable-quic',
                 '--disable-dev-shm-usage', f'--user-data-dir={profile}',
                 f'--window-size={size[0]},{size[1]}'):
        options.add_argument(flag)
    if microphone:
        options.add_argument('--use-fake-ui-for-media-stream')
        options.add_argument('--use-fake-device-for-media-stream')
        options.add_argument(f'--use-file-for-fake-audio-capture={microphone}')
    if downloads:
        options.add_experimental_option('prefs', {'download.default_directory': downloads,
                                                  'download.prompt_for_download': False})
    options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    driver.profile_dir = profile
    if downloads:
        driver.execute_cdp_cmd('Page.setDownloadBehavior', {'behavior': 'allow', 'downloadPath': downloads})
    return driver


def quit_browser(driver):
    driver.quit()
    shutil.rmtree(driver.profile_dir, ignore_errors=True)


def console_errors(driver):
    """The console's errors since the last call; warnings are printed."""
    errors = []
    for entry in driver.get_log('browser'):
        if entry['level'] == 'SEVERE':
            errors.append(entry['message'])
        else:
            print(f"console {entry['level'].lower()}: {entry['message']}")
    return errors


def wait_for(what, condition, timeout):
    """Polls `condition` until it gives something true; fails after
    `timeout` seconds with `what` in the message."""
    end = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError(f'timed out after {timeout} s waiting for {what}')
        time.sleep(0.25)
