#!/usr/bin/python3
"""The page of `tessavirn view` in headless Chromium against the camsim program.

Run: view_browser_test.py --tessavirn BIN --camsim BIN --profiles DIR [--artifacts DIR]
(or TESSAVIRN_PROGRAM, CAMSIM_PROGRAM, CAMSIM_PROFILES, TEST_ARTIFACTS in the environment).
Each camera gets an address of its own; every process started here is stopped at the end.
"""
import argparse
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

CHROMEDRIVER = '/usr/bin/chromedriver'
PTZ_SET = '/params/set.cgi?Data-1.Ptz-1.'
# What the dome takes for a PTZ head: model, one PTZ channel, capability text.
PTZ_PARAMS = ['--param', "3=Dome HSD620", '--param', '8=1',
              '--param', '10=F:8; T:64; P:64; Z:8; I:8; Pr:1-255; AF:1; AI:1']
# Camera alarms 1 and 2 as inputs 0 and 1, auxiliary output 1 as output 0.
IO_PARAMS = ['--inputs', '2', '--outputs', '1', '--param', '12=2', '--param', '13=2']

PATHS = {}


def wait_for(condition, seconds, what):
    """Polls condition until it returns something true; fails with `what` after the deadline."""
    deadline = time.monotonic() + seconds
    last = None
    while True:
        try:
            last = condition()
        except (OSError, ValueError, WebDriverException) as error:
            last = error
        else:
            if last:
                return last
        if time.monotonic() >= deadline:
            raise AssertionError('%s: not within %.1f s (last seen: %r)' % (what, seconds, last))
        time.sleep(0.05)


def wait_equal(get, expected, seconds, what):
    """Polls get() until it returns expected; the failure shows what it returned last."""
    seen = []

    def same():
        seen[:] = [get()]
        return seen[0] == expected
    try:
        wait_for(same, seconds, what)
    except AssertionError as error:
        raise AssertionError('%s; expected %r, last got %r' % (error, expected, seen[0] if seen else None))


def http_text(url, timeout=5):
    with urllib.request.urlopen(url, timeout=timeout) as reply:
        return reply.read().decode('utf-8', 'replace')


def free_port(address):
    with socket.socket() as probe:
        probe.bind((address, 0))
        return probe.getsockname()[1]


def listening(address, port):
    with socket.socket() as probe:
        probe.settimeout(0.5)
        return probe.connect_ex((address, port)) == 0


class Process:
    """A child in a process group of its own, output to a file; stop() ends the whole group."""

    def __init__(self, argv, output_path):
        self.output_path = output_path
        self.argv = argv
        with open(output_path, 'wb') as out:
            self.popen = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT,
                                          stdin=subprocess.DEVNULL, start_new_session=True)

    def output(self):
        with open(self.output_path, 'r', errors='replace') as out:
            return out.read()

    def stop(self):
        if self.popen.poll() is None:
            try:
                os.killpg(self.popen.pid, signal.SIGTERM)
                self.popen.wait(timeout=5)
            except subprocess.TimeoutExpired:
                os.killpg(self.popen.pid, signal.SIGKILL)
                self.popen.wait(timeout=5)
            except ProcessLookupError:
                pass
        # Anything the child left in its group.
        try:
            os.killpg(self.popen.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass


class Camera:
    """The camsim program with the PTZ dome profile on address:80 (RTSP on 554)."""

    def __init__(self, address, folder):
        self.address = address
        self.base = 'http://%s' % address
        self.process = Process([PATHS['camsim'], '--profile', os.path.join(PATHS['profiles'], 'ptz_dome.params'),
                                '--addr', address, '--port', '80'], os.path.join(folder, 'camsim-%s.out' % address))
        wait_for(lambda: self.process.popen.poll() is None and listening(address, 80), 15,
                 'camsim listening on %s:80' % address)

    def admin(self, path):
        return http_text(self.base + '/camsim/' + path)

    def ptz_requests(self):
        """The PTZ parameter writes the camera received, in order, without the common head."""
        targets = []
        for line in self.admin('log').splitlines():
            fields = dict(item.split('=', 1) for item in line.split('\t') if '=' in item)
            target = fields.get('target', '')
            if target.startswith(PTZ_SET):
                targets.append(target[len(PTZ_SET):])
        return targets

    def output_writes(self):
        return [line.rsplit('\t', 1)[1].strip() for line in self.admin('io').splitlines()
                if line.startswith('write\t')]

    def rtsp(self):
        """The simulator's RTSP counters: sessions, sessions_torn_down, ..."""
        counters = {}
        for line in self.admin('rtsp').splitlines():
            name, _, value = line.partition('=')
            if value.strip().isdigit():
                counters[name] = int(value)
        return counters


class ViewServer:
    """`tessavirn view` against one camera, listening on the camera's address."""

    def __init__(self, camera, folder, extra):
        port = free_port(camera.address)
        self.process = Process([PATHS['tessavirn'], 'view', '--address', camera.address] + extra +
                               ['--listen', '%s:%d' % (camera.address, port)],
                               os.path.join(folder, 'view-%s.out' % camera.address))
        line = wait_for(lambda: self._url_line(), 20, 'the "view: http" line of tessavirn view')
        self.url = line.split()[1]  # "view: URL", maybe with words after it
        if not self.url.endswith('/'):
            self.url += '/'

    def _url_line(self):
        if self.process.popen.poll() is not None:
            raise AssertionError('tessavirn view exited with %s:\n%s' % (self.process.popen.returncode,
                                                                       self.process.output()))
        for line in self.process.output().splitlines():
            if line.startswith('view: http'):
                return line
        return None

    def status(self):
        return json.loads(http_text(self.url + 'api/status'))

    def wait_streaming(self, seconds=20):
        def all_streaming():
            channels = self.status()['channels']
            return channels if channels and all(c['state'] == 'streaming' and c['width'] > 0 for c in channels) \
                else None
        return wait_for(all_streaming, seconds, 'every channel streaming in /api/status')


def start_browser():
    options = webdriver.ChromeOptions()
    for argument in ('--headless=new', '--no-sandbox', '--disable-dev-shm-usage', '--window-size=1280,900'):
        options.add_argument(argument)
    options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
    return webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER), options=options)


# Records every request the page makes through fetch, so a test can count PTZ commands.
FETCH_RECORDER = """
window.__sent = [];
if (!window.__realFetch) window.__realFetch = window.fetch;
window.fetch = function (path, init) {
  if (init && init.method === 'POST') window.__sent.push([String(path), init.body]);
  return window.__realFetch.apply(this, arguments);
};
"""

PICTURES = """
return [...document.querySelectorAll('img[id^="picture-"]')].map(
    (img) => [img.id, img.complete, img.naturalWidth, img.naturalHeight, img.getAttribute('src')]);
"""


class PageChecks(unittest.TestCase):
    """Helpers shared by the runs below."""

    def pictures_match(self, browser, channels, seconds):
        wanted = sorted(('picture-%d' % c['channel'], True, c['width'], c['height'],
                         '/api/channels/%d/live' % c['channel']) for c in channels)
        wait_equal(lambda: sorted(tuple(p) for p in browser.execute_script(PICTURES)), wanted, seconds,
                   'every picture loaded at the camera size')

    def no_script_errors(self, browser):
        errors = [entry['message'] for entry in browser.get_log('browser') if entry.get('source') == 'javascript']
        self.assertEqual(errors, [], 'the page raised script errors')


class H264View(PageChecks):
    """One PTZ dome with H.264: pictures, PTZ, presets, I/O, log, then Ctrl-C."""

    ADDRESS = '127.0.0.215'

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix='view_browser_')
        cls.preset_file = os.path.join(os.path.dirname(PATHS['tessavirn']),
                                       'view_browser_test_%d.xml' % os.getpid())
        cls.camera = cls.server = cls.browser = None
        try:
            cls.camera = Camera(cls.ADDRESS, cls.folder)
            cls.server = ViewServer(cls.camera, cls.folder,
                                    ['--stream', 'h264', '--param', '9=' + os.path.basename(cls.preset_file)] +
                                    PTZ_PARAMS + IO_PARAMS)
            cls.channels = cls.server.wait_streaming()
            cls.browser = start_browser()
            cls.browser.get(cls.server.url)
            cls.loaded_at = time.monotonic()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            if cls.browser:
                cls.browser.quit()
        finally:
            for part in (cls.server, cls.camera):
                if part:
                    part.process.stop()
            for path in (cls.preset_file, cls.preset_file + '.bad'):
                if os.path.exists(path):
                    os.remove(path)

    def element(self, css):
        return self.browser.find_element(By.CSS_SELECTOR, css)

    def text_of(self, css):
        return self.browser.execute_script('const e = document.querySelector(arguments[0]); '
                                           'return e ? e.textContent.trim() : null;', css)

    def preset_names(self):
        return self.browser.execute_script(
            "return [...document.querySelectorAll('#presets li .preset-name')].map((e) => e.textContent);")

    def sent(self):
        return [(path, json.loads(body)) for path, body in self.browser.execute_script('return window.__sent;')]

    def test_1_pictures_and_states(self):
        self.assertEqual([(c['width'], c['height']) for c in self.channels], [(640, 480)],
                         'the simulator clip is one 640x480 channel')
        self.pictures_match(self.browser, self.channels, 5 - (time.monotonic() - self.loaded_at))
        for c in self.channels:
            self.assertEqual(self.text_of('#state-%d' % c['channel']), 'streaming')
        self.assertEqual(self.text_of('#camera-address'), self.ADDRESS)
        self.assertEqual(self.text_of('#camera-stream'), 'h264')
        wait_for(lambda: self.text_of('#connection') == 'connected', 5, 'the header showing the event stream')

    def test_2_ptz_press_and_key_send_one_start_and_one_stop(self):
        self.assertTrue(self.element('#ptz-panel').is_displayed(), 'a PTZ camera shows the PTZ panel')
        self.assertEqual(self.element('#speed').get_attribute('value'), '8')
        self.camera.admin('log?clear')
        self.browser.execute_script(FETCH_RECORDER)
        left = self.element('button[data-motion="left"]')
        right = self.element('button[data-motion="right"]')
        # Leaving the button after the release fires pointerleave, which must not stop again.
        ActionChains(self.browser).click_and_hold(left).pause(0.4).release() \
            .move_to_element(right).move_by_offset(0, 120).perform()
        # Speed 8 of pan 64 is 30; a stop zeroes pan and tilt.
        stop = 'Pan=0&Data-1.Ptz-1.Tilt=0'
        wait_equal(self.camera.ptz_requests, ['Pan=-30', stop], 5, 'camera receiving left then stop')
        self.assertEqual(self.sent(), [('/api/ptz/0/start', {'motion': 'left', 'speed': 8}),
                                       ('/api/ptz/0/stop', {})])

        # Space held on a focused button, with the repeats a held key sends, at speed 16.
        self.browser.execute_script(
            "const s = document.getElementById('speed'); s.value = 16; s.dispatchEvent(new Event('input'));")
        self.assertEqual(self.text_of('#speed-value'), '16')
        self.camera.admin('log?clear')
        self.browser.execute_script(FETCH_RECORDER)
        self.browser.execute_script('arguments[0].focus();', right)
        ActionChains(self.browser).key_down(Keys.SPACE).perform()
        self.browser.execute_script(
            "for (let i = 0; i < 3; i++) arguments[0].dispatchEvent(new KeyboardEvent('keydown', "
            "{key: ' ', code: 'Space', repeat: true, bubbles: true, cancelable: true}));", right)
        ActionChains(self.browser).key_up(Keys.SPACE).perform()
        wait_equal(self.camera.ptz_requests, ['Pan=64', stop], 5, 'camera receiving right then stop')
        self.assertEqual(self.sent(), [('/api/ptz/0/start', {'motion': 'right', 'speed': 16}),
                                       ('/api/ptz/0/stop', {})])
        self.browser.execute_script(
            "const s = document.getElementById('speed'); s.value = 8; s.dispatchEvent(new Event('input'));")

    def nudge_left(self):
        """Moves the head a little through the page, as a user does between two presets."""
        ActionChains(self.browser).click_and_hold(self.element('button[data-motion="left"]')).pause(0.2) \
            .release().perform()

    def message(self):
        return self.text_of('#message-text') if self.element('#message').is_displayed() else None

    def test_3_presets_add_rename_go_delete_and_refusals(self):
        self.camera.admin('log?clear')
        field = self.element('#preset-name')
        field.send_keys('Gate')
        self.element('#preset-add').click()
        wait_equal(self.preset_names, ['Gate'], 5, 'Gate in the list')
        self.nudge_left()
        field.send_keys('Door' + Keys.ENTER)
        wait_equal(self.preset_names, ['Gate', 'Door'], 5, 'Gate and Door in the list')
        self.assertEqual(field.get_attribute('value'), '', 'the name field empties after an add')

        gate = self.element('#presets li:nth-child(1)')
        gate.find_element(By.CSS_SELECTOR, '.preset-rename').click()
        new_name = gate.find_element(By.CSS_SELECTOR, 'input')
        new_name.clear()
        new_name.send_keys('Porch' + Keys.ENTER)
        wait_equal(self.preset_names, ['Porch', 'Door'], 5, 'Gate renamed Porch')

        self.element('#presets li:nth-child(2) .preset-go').click()
        # Slots 1 and 2 stored; the rename recalls slot 1 to store it under its new name.
        wait_equal(self.camera.ptz_requests, ['SetPreset=1', 'Pan=-30', 'Pan=0&Data-1.Ptz-1.Tilt=0', 'SetPreset=2',
                                              'GoPreset=1', 'GoPreset=2'], 5, 'preset requests at the camera')

        # Still at Door: an add stores Door's position under the new name, and the page says so.
        field.send_keys('Yard' + Keys.ENTER)
        wait_equal(self.preset_names, ['Porch', 'Yard'], 5, 'Door taken over by Yard')
        wait_for(lambda: '"Door" is now "Yard"' in (self.message() or ''), 5, 'the page telling Door became Yard')

        self.element('#presets li:nth-child(1) .preset-delete').click()
        wait_equal(self.preset_names, ['Yard'], 5, 'Porch deleted')
        listed = json.loads(http_text(self.server.url + 'api/ptz/0/presets'))['presets']
        self.assertEqual(listed, ['Yard'], 'the server keeps what the page shows')

        # A camera that refuses the store: the page shows the server's error and no new preset.
        self.nudge_left()
        self.camera.admin('faults?add=status:params/set.cgi*:404')
        try:
            field.send_keys('Zed' + Keys.ENTER)
            wait_for(lambda: 'AddPreset' in (self.message() or ''), 5, 'the refusal shown in #message')
        finally:
            self.camera.admin('faults?clear')
        self.assertIn('error', self.element('#message').get_attribute('class').split())
        self.assertEqual(self.preset_names(), ['Yard'])
        self.element('#message-close').click()
        self.assertIsNone(self.message())

    def test_4_input_lamp_follows_the_camera(self):
        # The simulator numbers alarms from 1: its input1 is the driver's input 0.
        def lamps():
            return [self.element('#input-%d' % n).get_attribute('class').split() for n in (0, 1)]
        wait_for(lambda: all('inactive' in lamp for lamp in lamps()), 10, 'both inputs read as inactive first')
        self.camera.admin('io?input1=active')
        wait_for(lambda: 'active' in lamps()[0], 2.5, 'input 0 lamp lit')
        self.assertIn('inactive', lamps()[1], 'input 1 stays out')
        self.camera.admin('io?input1=inactive')
        wait_for(lambda: 'inactive' in lamps()[0], 2.5, 'input 0 lamp out again')

    def test_5_output_switch_reaches_the_camera(self):
        switch = self.element('#output-0')
        self.assertFalse(switch.is_selected(), 'the relay starts off')
        self.camera.admin('io?clear')
        switch.click()
        wait_equal(self.camera.output_writes, ['Data-1.Status.AuxOut1=On'], 5, 'the camera switching its relay on')
        wait_for(lambda: switch.is_selected() and switch.is_enabled(), 5, 'the switch showing on')
        switch.click()
        wait_equal(self.camera.output_writes, ['Data-1.Status.AuxOut1=On', 'Data-1.Status.AuxOut1=Off'], 5,
                   'the camera switching its relay off')
        wait_for(lambda: not switch.is_selected() and switch.is_enabled(), 5, 'the switch showing off')
        self.assertEqual(self.server.status()['outputs'], [{'output': 0, 'on': False}])

    def test_6_log_layout_and_screenshot(self):
        log = wait_for(lambda: self.browser.execute_script("""
            const log = document.getElementById('log');
            const items = [...log.children].filter((li) => li.dataset.seq !== undefined);
            if (items.length === 0) return null;
            return {count: log.children.length, seqs: items.map((li) => Number(li.dataset.seq)),
                    levels: items.map((li) => li.className),
                    bottom: log.scrollHeight - log.scrollTop - log.clientHeight};"""), 5, 'driver log lines')
        self.assertLessEqual(log['count'], 500)
        self.assertEqual(log['seqs'], sorted(set(log['seqs'])), 'log lines in order, none twice')
        self.assertTrue(all(level.startswith('level-') for level in log['levels']), log['levels'])
        self.assertLess(log['bottom'], 30, 'the log is scrolled to its newest line')

        folder = PATHS['artifacts']
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, 'view.png')
        self.assertTrue(self.browser.save_screenshot(path))
        print('\nscreenshot: %s' % path)

        # A narrow window: one column, nothing wider than the window.
        self.browser.set_window_size(420, 900)
        try:
            wait_for(lambda: self.browser.execute_script(
                'return document.documentElement.scrollWidth <= document.documentElement.clientWidth;'), 3,
                'no sideways scrolling at 420 px')
            self.assertLessEqual(self.element('#ptz-panel').rect['width'], 420)
            narrow = os.path.join(folder, 'view-narrow.png')
            self.browser.save_screenshot(narrow)
            print('screenshot: %s' % narrow)
        finally:
            self.browser.set_window_size(1280, 900)
        self.no_script_errors(self.browser)

    def test_9_ctrl_c_with_the_page_attached(self):
        before = self.camera.rtsp()
        self.assertGreaterEqual(before['sessions'], 1, 'the driver has an RTSP session before')
        self.pictures_match(self.browser, self.channels, 5)
        process = self.server.process.popen
        os.kill(process.pid, signal.SIGINT)
        started = time.monotonic()
        try:
            code = process.wait(timeout=2.5)
        except subprocess.TimeoutExpired:
            self.fail('tessavirn view still running 2.5 s after SIGINT:\n' + self.server.process.output())
        print('\nview stopped %.2f s after SIGINT' % (time.monotonic() - started))
        self.assertEqual(code, 0, self.server.process.output())
        # Torn down by the driver, not left to expire.
        after = self.camera.rtsp()
        self.assertEqual(after['sessions'], 0, after)
        self.assertEqual(after['sessions_torn_down'] - before['sessions_torn_down'], before['sessions'], after)
        wait_for(lambda: self.text_of('#connection') == 'disconnected', 5, 'the header showing disconnected')


class MjpegView(PageChecks):
    """Motion-JPEG over RTSP and over HTTP: the pictures show, the PTZ panel hides without PTZ."""

    def run_stream(self, address, transport):
        folder = tempfile.mkdtemp(prefix='view_browser_mjpeg_')
        camera = server = browser = None
        try:
            camera = Camera(address, folder)
            server = ViewServer(camera, folder, ['--stream', 'mjpeg', '--param', '6=%d' % transport])
            channels = server.wait_streaming()
            self.assertTrue(all(c['width'] > 0 and c['height'] > 0 for c in channels), channels)
            browser = start_browser()
            browser.get(server.url)
            self.pictures_match(browser, channels, 5)
            self.assertEqual(browser.find_element(By.ID, 'camera-stream').text, 'mjpeg')
            ptz = server.status()['ptz']['channels']
            self.assertEqual(browser.find_element(By.ID, 'ptz-panel').is_displayed(), ptz > 0)
            self.no_script_errors(browser)
        finally:
            if browser:
                browser.quit()
            for part in (server, camera):
                if part:
                    part.process.stop()

    def test_mjpeg_over_rtsp(self):
        self.run_stream('127.0.0.216', 0)

    def test_mjpeg_over_http(self):
        self.run_stream('127.0.0.217', 1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--tessavirn', default=os.environ.get('TESSAVIRN_PROGRAM'))
    parser.add_argument('--camsim', default=os.environ.get('CAMSIM_PROGRAM'))
    parser.add_argument('--profiles', default=os.environ.get('CAMSIM_PROFILES'))
    parser.add_argument('--artifacts', default=os.environ.get('TEST_ARTIFACTS'))
    args, rest = parser.parse_known_args()
    for name in ('tessavirn', 'camsim', 'profiles'):
        if not getattr(args, name):
            parser.error('--%s is required' % name)
    PATHS.update(tessavirn=os.path.abspath(args.tessavirn), camsim=os.path.abspath(args.camsim),
                 profiles=os.path.abspath(args.profiles),
                 artifacts=os.path.abspath(args.artifacts or os.path.join(
                     os.path.dirname(os.path.dirname(os.path.abspath(args.tessavirn))), 'test-artifacts')))
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == '__main__':
    main()
