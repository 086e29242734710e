"""The scope page in headless Chromium against `zqlscope live` on the
virtual instrument: frames arrive and are drawn in both channels' colours,
the controls work, stop freezes the picture and run resumes it, and a
detached instrument shows "no instrument" until it is back. Prints the
frames drawn per second and the delay from a block's read to its drawing,
and saves screenshots under the build tree."""
import os
import re
import shutil
import statistics
import subprocess
import tempfile
import time
import unittest
import zipfile

import websocket

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.actions import interaction
from selenium.webdriver.common.actions.action_builder import ActionBuilder
from selenium.webdriver.common.actions.pointer_input import PointerInput
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select

from live_process import LiveProcess, wait_for

SCREENSHOTS = os.environ.get("ZQLSCOPE_SCREENSHOT_DIR", tempfile.gettempdir())

# Pixels of the canvas within this distance (sum over red, green, blue) of a
# channel's colour count as that channel's trace.
COLOUR_CHECK = """
const [r, g, b] = arguments[0], c = document.getElementById('scope');
const px = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
let n = 0;
for (let i = 0; i < px.length; i += 4)
  if (Math.abs(px[i] - r) + Math.abs(px[i + 1] - g) + Math.abs(px[i + 2] - b) < 60) n++;
return n;
"""
CHANNEL_A, CHANNEL_B = (0xF1, 0xC4, 0x0F), (0x1A, 0xBC, 0x9C)


def start_browser(width, height):
    options = webdriver.ChromeOptions()
    profile = tempfile.mkdtemp(prefix="zqlscope-chromium-")
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", f"--user-data-dir={profile}", f"--window-size={width},{height}"):
        options.add_argument(flag)
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"),
                              options=options)
    driver.zql_profile = profile
    set_viewport(driver, width, height, 1, False)
    return driver


def set_viewport(driver, width, height, scale, mobile):
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": width, "height": height, "deviceScaleFactor": scale, "mobile": mobile})


def close_browser(driver):
    driver.quit()
    shutil.rmtree(driver.zql_profile, ignore_errors=True)


def stat(driver, name):
    return driver.execute_script(f"return window.zqlLive.stats.{name};")


def text(driver, element_id):
    return driver.find_element(By.ID, element_id).text


class LivePageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.live = LiveProcess()
        cls.driver = start_browser(1280, 720)
        cls.driver.get(cls.live.url)
        wait_for(lambda: stat(cls.driver, "framesDrawn") > 20, 20, "frames drawn on the page")

    @classmethod
    def tearDownClass(cls):
        close_browser(cls.driver)
        assert cls.live.stop() == 0

    def colours(self):
        return (self.driver.execute_script(COLOUR_CHECK, CHANNEL_A),
                self.driver.execute_script(COLOUR_CHECK, CHANNEL_B))

    def test_1_frames_are_drawn_and_timed(self):
        d = self.driver
        drawn, received, delays = stat(d, "framesDrawn"), stat(d, "framesReceived"), len(stat(d, "delays"))
        time.sleep(5)
        drawn_after = stat(d, "framesDrawn")
        all_delays = stat(d, "delays")
        window = all_delays[-(drawn_after - drawn):]
        self.assertGreater(drawn_after, drawn)
        self.assertGreater(stat(d, "framesReceived"), received)
        self.assertGreater(len(all_delays), delays - 1)
        fps = (drawn_after - drawn) / 5
        window.sort()
        print(f"\nlive figures (headless Chromium, roll mode, 1280x720): {fps:.1f} frames/s drawn, "
              f"{stat(d, 'pointsPerSecond')} points/s received; delay from the block's read to its drawing: "
              f"median {statistics.median(window):.1f} ms, 95th percentile {window[int(len(window) * 0.95)]:.1f} ms, "
              f"max {window[-1]:.1f} ms over {len(window)} frames", flush=True)
        self.assertEqual(text(d, "link"), "ready")
        self.assertIn("frames/s", text(d, "status"))

    def test_2_both_channels_are_drawn_in_their_colours(self):
        a, b = self.colours()
        self.assertGreater(a, 200, "channel A's yellow on the canvas")
        self.assertGreater(b, 200, "channel B's green on the canvas")
        self.driver.find_element(By.ID, "onB").click()
        time.sleep(0.3)
        a_only, b_off = self.colours()
        self.assertGreater(a_only, 200)
        self.assertLess(b_off, 20, "channel B switched off")
        self.driver.find_element(By.ID, "onB").click()
        time.sleep(0.3)
        self.assertGreater(self.colours()[1], 200)

    def test_3_zoom_and_position_change_the_picture(self):
        d = self.driver
        self.assertEqual(text(d, "ppdText"), "100 pts/div")
        d.find_element(By.ID, "zoomOut").click()
        self.assertEqual(text(d, "ppdText"), "200 pts/div")
        d.find_element(By.ID, "zoomIn").click()
        d.find_element(By.ID, "zoomIn").click()
        self.assertEqual(text(d, "ppdText"), "50 pts/div")
        d.find_element(By.ID, "zoomOut").click()
        d.execute_script("const s = document.getElementById('posA'); s.value = '2'; s.dispatchEvent(new Event('input'));")
        self.assertEqual(text(d, "posAText"), "2.0 div")
        d.execute_script("const s = document.getElementById('posA'); s.value = '0'; s.dispatchEvent(new Event('input'));")

    def test_4_space_stops_and_run_resumes(self):
        d = self.driver
        ActionChains(d).send_keys(Keys.SPACE).perform()
        wait_for(lambda: text(d, "runstop") == "Run", 5, "the Run button")
        time.sleep(0.5)  # frames already on their way
        frozen = d.execute_script("return document.getElementById('scope').toDataURL();")
        received = stat(d, "framesReceived")
        time.sleep(1.5)
        self.assertEqual(stat(d, "framesReceived"), received, "no frames while stopped")
        self.assertEqual(d.execute_script("return document.getElementById('scope').toDataURL();"), frozen,
                         "the picture stays as it was")
        self.assertFalse(d.execute_script("return window.zqlLive.server.running;"))
        status = text(d, "status")
        self.assertIn("stopped", status)
        self.assertNotIn("frames/s", status, "no rate is shown while nothing arrives")
        self.assertNotIn("delay", status)
        d.find_element(By.ID, "runstop").click()
        wait_for(lambda: stat(d, "framesReceived") > received + 10, 5, "frames after run")
        self.assertNotEqual(d.execute_script("return document.getElementById('scope').toDataURL();"), frozen)
        self.assertEqual(text(d, "runstop"), "Stop")

    def test_5_reload_keeps_the_key(self):
        d = self.driver
        self.assertNotIn("token", d.current_url, "the key is kept out of the address bar and the history")
        d.refresh()
        wait_for(lambda: stat(d, "framesDrawn") > 20, 20, "frames drawn after a reload, by the page's cookie")
        self.assertEqual(text(d, "link"), "ready")

    def test_6_screenshots(self):
        d = self.driver
        time.sleep(1.2)  # a full second of figures in the status line
        d.save_screenshot(os.path.join(SCREENSHOTS, "live-screen.png"))
        set_viewport(d, 390, 844, 2, True)
        time.sleep(1.2)
        d.save_screenshot(os.path.join(SCREENSHOTS, "live-screen-phone.png"))
        canvas = d.find_element(By.ID, "scope").rect
        self.assertLessEqual(canvas["x"] + canvas["width"], 390, "the screen fits a phone's width")
        self.assertGreater(self.colours()[0], 100)
        set_viewport(d, 1280, 720, 1, False)


# The canvas's pixels kept under a name, and the share of them that differ
# (by more than a little in any colour) from those kept before.
SNAPSHOT = """
const c = document.getElementById('scope');
window.zqlSnapshots = window.zqlSnapshots || {};
window.zqlSnapshots[arguments[0]] = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
"""
DIFFERENCE = """
const [x, y] = [window.zqlSnapshots[arguments[0]], window.zqlSnapshots[arguments[1]]];
let n = 0;
for (let i = 0; i < x.length; i += 4)
  if (Math.abs(x[i] - y[i]) + Math.abs(x[i + 1] - y[i + 1]) + Math.abs(x[i + 2] - y[i + 2]) > 48) n++;
return n / (x.length / 4);
"""
UNITS = ("--sample-rate", "1M", "--volts-per-count", "A=0.01,B=0.01", "--zero-count", "A=128,B=128")
MEASURE_KEYS = ["min", "max", "pp", "mean", "rms", "period", "freq", "duty"]


def driver_colour(driver, colour):
    return driver.execute_script(COLOUR_CHECK, colour)


def click(driver, element_id):
    driver.find_element(By.ID, element_id).click()


def trigger_state(driver):
    """The status line's trigger state (the line is rewritten every second)."""
    return driver.execute_script("return document.getElementById('trigger-state').dataset.triggerState;")


def page_measurements(driver):
    """{"a-pp": "200 counts", ...} as the page shows them: number and unit."""
    return driver.execute_script("""
        const out = {};
        document.querySelectorAll('[data-measure]').forEach((e) => {
          out[e.dataset.measure] = (e.textContent + ' ' + e.nextElementSibling.textContent).trim();
        });
        return out;""")


# The virtual instrument answers the same record to every read: the page's
# record and the command line's are one.
STILL = {"ZQLUSB_VIRTUAL_SCRIPT": "capture still"}


def command_line_measurements(*args):
    """The same keys from `zqlscope capture --measure`'s table."""
    proc = subprocess.run([os.environ["ZQLSCOPE"], "capture", "--measure", *args], capture_output=True, text=True,
                          timeout=60, check=True, env={**os.environ, **STILL})
    lines = proc.stdout.splitlines()
    top = next(i for i, line in enumerate(lines) if line.strip().startswith("channel A"))
    out = {}
    for key, line in zip(MEASURE_KEYS, lines[top + 1:top + 1 + len(MEASURE_KEYS)]):
        _, a, b = re.split(r"\s{2,}", line.strip())
        out["a-" + key], out["b-" + key] = a, b
    return out


def frame_figures(driver, seconds):
    drawn = stat(driver, "framesDrawn")
    time.sleep(seconds)
    count = stat(driver, "framesDrawn") - drawn
    window = sorted(stat(driver, "delays")[-count:])
    return (f"{count / seconds:.1f} frames/s drawn; delay from the read to the drawing: median "
            f"{statistics.median(window):.1f} ms, 95th percentile {window[int(len(window) * 0.95)]:.1f} ms "
            f"over {len(window)} frames")


def metadata_keys(text):
    return [line.split("=")[0] for line in text.splitlines() if "=" in line and not line.startswith("#")]


class TriggeredScreenTest(unittest.TestCase):
    """The server's trigger on the roll-mode stream (a sine of period 500 on
    A, a square on B), the measurements, cursors, display modes and saving."""

    @classmethod
    def setUpClass(cls):
        cls.live = LiveProcess("--trigger", "a:rising:128", *UNITS)
        cls.driver = start_browser(1280, 720)
        cls.downloads = tempfile.mkdtemp(prefix="zqlscope-downloads-")
        cls.driver.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": cls.downloads})
        cls.driver.get(cls.live.url)
        wait_for(lambda: stat(cls.driver, "framesDrawn") > 20, 20, "frames drawn on the page")

    @classmethod
    def tearDownClass(cls):
        close_browser(cls.driver)
        shutil.rmtree(cls.downloads, ignore_errors=True)
        assert cls.live.stop() == 0

    def difference_over_a_second(self):
        # The most that the screen changed between a first snapshot and four
        # taken 1.0 to 1.4 s later. A roll block holds 300 points and A's
        # sine has 500, so every fifth block brings the same phase back: one
        # pair alone may by chance be a whole number of periods apart even
        # when nothing is triggered, while the later snapshots are some
        # 13 blocks apart from each other and cannot all be.
        d = self.driver
        d.execute_script(SNAPSHOT, "first")
        time.sleep(1)
        changes = []
        for i in range(4):
            d.execute_script(SNAPSHOT, f"later{i}")
            changes.append(d.execute_script(DIFFERENCE, "first", f"later{i}"))
            time.sleep(0.13)
        return max(changes)

    def test_1_trigger_holds_the_picture_still(self):
        d = self.driver
        # B's square has another period: it lands anywhere on A's trigger. Ten
        # of A's periods on screen (500 points a division).
        click(d, "onB")
        click(d, "zoomOut")
        click(d, "zoomOut")
        self.assertEqual(text(d, "ppdText"), "500 pts/div")
        time.sleep(0.5)
        wait_for(lambda: trigger_state(d) == "Trig'd", 10, "Trig'd in the status line")
        triggered = self.difference_over_a_second()
        click(d, "trigOff")
        wait_for(lambda: trigger_state(d) == "Off", 10, "the trigger off")
        # Untriggered, B is shown again. A alone was seen to look the same
        # over the whole measurement while frames kept arriving and scrolling
        # (its 500-point period against 300-point blocks: five blocks are
        # three whole periods); B's square, 128 points, does not line up so.
        click(d, "onB")
        time.sleep(0.5)
        free = self.difference_over_a_second()
        click(d, "trigAuto")
        wait_for(lambda: trigger_state(d) == "Trig'd", 10, "Trig'd again")
        click(d, "zoomIn")
        click(d, "zoomIn")
        print(f"\nscreen pixels that changed in one second: {triggered:.2%} triggered, {free:.2%} untriggered",
              flush=True)
        self.assertLess(triggered, 0.01)
        self.assertGreater(free, 0.05)

    def test_2_single_freezes_after_one_trigger_until_rearmed(self):
        d = self.driver
        click(d, "trigSingle")
        wait_for(lambda: trigger_state(d) == "Stopped", 10, "Stopped after the single trigger")
        time.sleep(0.3)
        received = stat(d, "framesReceived")
        d.execute_script(SNAPSHOT, "single")
        time.sleep(1)
        d.execute_script(SNAPSHOT, "single later")
        self.assertEqual(stat(d, "framesReceived"), received, "no frame after the one trigger")
        self.assertEqual(d.execute_script(DIFFERENCE, "single", "single later"), 0)
        click(d, "trigSingle")  # pressed again: re-arm
        wait_for(lambda: stat(d, "framesReceived") > received, 10, "the frame of the next trigger")
        time.sleep(0.5)
        self.assertEqual(stat(d, "framesReceived"), received + 1, "one frame per arming")
        self.assertEqual(trigger_state(d), "Stopped")
        click(d, "trigAuto")
        wait_for(lambda: trigger_state(d) == "Trig'd", 10, "Trig'd in auto mode")

    def test_3_cursors_follow_mouse_and_touch(self):
        d = self.driver
        click(d, "timeCursors")
        click(d, "levelCursors")
        canvas = d.find_element(By.ID, "scope")
        size = canvas.size
        before = text(d, "cursorReadout")
        self.assertIn("Δt 399.6 µs", before, "cursors at 30 % and 70 % of 1000 points at 1 MHz")
        # Offsets are from the canvas's centre: t1 sits at 30 % of its width.
        ActionChains(d).move_to_element_with_offset(canvas, int(-0.2 * size["width"]), 0).click_and_hold() \
            .move_by_offset(-60, 0).release().perform()
        after_mouse = text(d, "cursorReadout")
        self.assertNotEqual(after_mouse, before)
        touch = ActionBuilder(d, mouse=PointerInput(interaction.POINTER_TOUCH, "finger"))
        finger = touch.pointer_action
        finger.move_to(canvas, int(0.2 * size["width"]), 0).pointer_down().move_by(40, 0).pointer_up()
        touch.perform()
        after_touch = text(d, "cursorReadout")
        self.assertNotEqual(after_touch, after_mouse)
        ActionChains(d).move_to_element_with_offset(canvas, 0, int(-0.15 * size["height"])).click_and_hold() \
            .move_by_offset(0, -30).release().perform()
        self.assertNotEqual(text(d, "cursorReadout").split("\n")[2:], after_touch.split("\n")[2:],
                            "the level readouts follow y1")

    def test_4_level_marker_drag_sets_the_trigger_level(self):
        d = self.driver
        canvas = d.find_element(By.ID, "scope")
        size = canvas.size
        level = d.execute_script("return window.zqlLive.server.trigger.level;")
        marker_y = d.execute_script("return yOf('a', arguments[0], document.getElementById('scope').clientHeight);",
                                    level)
        ActionChains(d).move_to_element_with_offset(canvas, size["width"] // 2 - 4, int(marker_y - size["height"] / 2)) \
            .click_and_hold().move_by_offset(0, -40).release().perform()
        wait_for(lambda: d.execute_script("return window.zqlLive.server.trigger.level;") > level + 10, 5,
                 "a higher trigger level")
        time.sleep(0.7)  # the server's status confirms it
        self.assertGreater(d.execute_script("return window.zqlLive.server.trigger.level;"), level + 10)
        d.execute_script("window.zqlLive.server.trigger.level = 128; sendTrigger();")

    def test_5_measurements_and_units(self):
        d = self.driver
        wait_for(lambda: page_measurements(d).get("a-pp"), 10, "measurements on the page")
        m = page_measurements(d)
        self.assertEqual(m["a-pp"], "2.000 V")
        self.assertEqual(m["a-period"], "500.0 µs")
        self.assertEqual(m["a-freq"], "2.000 kHz")
        self.assertEqual(text(d, "unitsNote"), "")
        click(d, "onB")
        time.sleep(0.3)
        self.assertNotIn("b-pp", page_measurements(d), "only shown channels are measured on the page")
        click(d, "onB")

    def test_6_save_csv_and_png(self):
        d = self.driver
        click(d, "saveCsv")
        click(d, "savePng")
        files = wait_for(lambda: sorted(f for f in os.listdir(self.downloads) if not f.endswith(".crdownload"))
                         if len(os.listdir(self.downloads)) >= 2 else None, 10, "two downloads")
        for name in files:
            self.assertRegex(name, r"^zqlscope-live-\d{8}-\d{6}\.(csv|png)$")
        csv = open(os.path.join(self.downloads, next(f for f in files if f.endswith(".csv")))).read().splitlines()
        self.assertEqual(csv[0], "index,time_s,channel_a,channel_b,channel_a_V,channel_b_V")
        self.assertEqual(len(csv), 1 + 1000, "the 1000 points on screen")
        with open(os.path.join(self.downloads, next(f for f in files if f.endswith(".png"))), "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")

    def test_6b_save_sigrok_session_of_the_csv_frame(self):
        if shutil.which("sigrok-cli") is None:
            self.skipTest("sigrok-cli is not installed (tools/install-deps installs it)")
        d = self.driver
        folder = tempfile.mkdtemp(prefix="zqlscope-sr-")
        self.addCleanup(shutil.rmtree, folder, True)
        d.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": folder})
        self.addCleanup(d.execute_cdp_cmd, "Browser.setDownloadBehavior",
                        {"behavior": "allow", "downloadPath": self.downloads})
        click(d, "runstop")  # one frame for both saves
        self.addCleanup(click, d, "runstop")
        time.sleep(0.5)
        click(d, "saveCsv")
        click(d, "saveSr")
        files = wait_for(lambda: sorted(os.listdir(folder)) if len(os.listdir(folder)) == 2 and
                         not any(f.endswith(".crdownload") for f in os.listdir(folder)) else None, 10, "two downloads")
        csv_name, sr_name = files
        self.assertRegex(sr_name, r"^zqlscope-live-\d{8}-\d{6}\.sr$")
        session = os.path.join(folder, sr_name)
        with open(os.path.join(folder, csv_name)) as f:
            rows = [line.split(",") for line in f.read().splitlines()]
        self.assertEqual(rows[0][4:], ["channel_a_V", "channel_b_V"])
        volts = [(float(r[4]), float(r[5])) for r in rows[1:]]
        shown = subprocess.run(["sigrok-cli", "-i", session, "--show"], capture_output=True, text=True,
                               timeout=60, check=True).stdout
        facts = dict(line.split(":", 1) for line in shown.splitlines() if ":" in line)
        facts = {k.strip(): v.strip() for k, v in facts.items()}
        self.assertEqual((facts.get("Channels"), facts.get("- A"), facts.get("- B")), ("2", "analog", "analog"), shown)
        self.assertEqual(facts.get("Analog sample count"), str(len(volts)), shown)
        self.assertEqual(facts.get("Samplerate"), "1000000", shown)
        out = subprocess.run(["sigrok-cli", "-i", session, "-O", "csv"], capture_output=True, text=True,
                             timeout=60, check=True).stdout.splitlines()
        # After the line of units, one "a,b" line per sample.
        got = [tuple(float(v) for v in line.split(",")) for line in out[out.index("V DC,V DC") + 1:] if line]
        self.assertEqual(len(got), len(volts))
        for i, (g, w) in enumerate(zip(got, volts)):
            self.assertTrue(all(abs(x - y) <= 1e-5 * max(1.0, abs(y)) for x, y in zip(g, w)),
                            f"sample {i}: sigrok-cli {g}, the page's CSV {w}")
        self.assertGreater(len({a for a, _ in volts}), 100, "a sine on A, not a flat line")
        with zipfile.ZipFile(session) as z:
            self.assertIsNone(z.testzip(), "every entry's CRC-32 holds")
            self.assertEqual(z.namelist(), ["version", "metadata", "analog-1-1-1", "analog-1-2-1"])
            self.assertEqual(z.read("version"), b"2")
            self.assertEqual(metadata_keys(z.read("metadata").decode()),
                             ["samplerate", "total analog", "analog1", "analog2"])
        # Without a sample rate the file has none and says what its time axis is.
        unscaled = d.execute_script("""
            const kept = server.units;
            server.units = { sampleRate: null, a: { voltsPerCount: null, zeroCount: 0 },
                             b: { voltsPerCount: null, zeroCount: 0 } };
            try { return sessionMetadata(); } finally { server.units = kept; }""")
        self.assertEqual(metadata_keys(unscaled), ["total analog", "analog1", "analog2"])
        self.assertIn("Without a samplerate the time axis counts samples", unscaled)

    def test_7_views_figures_and_screenshots(self):
        d = self.driver
        time.sleep(1.2)
        d.save_screenshot(os.path.join(SCREENSHOTS, "live-triggered.png"))
        Select(d.find_element(By.ID, "view")).select_by_value("xy")
        time.sleep(0.8)
        self.assertGreater(self.colours_drawn(), 100, "the XY figure")
        d.save_screenshot(os.path.join(SCREENSHOTS, "live-xy.png"))
        # The FFT over 10,000 points on screen (8,192 of them): A's sine of
        # period 500 peaks at 8192 / 500 = 16.4 bins.
        Select(d.find_element(By.ID, "view")).select_by_value("fft")
        click(d, "zoomOut")
        click(d, "zoomOut")
        click(d, "zoomOut")
        self.assertEqual(text(d, "ppdText"), "1000 pts/div")
        time.sleep(1)
        n, peak = d.execute_script("const f = spectrum('a'); let k = 1;"
                                   "for (let i = 1; i < f.db.length; i++) if (f.db[i] > f.db[k]) k = i;"
                                   "return [f.n, k];")
        self.assertEqual(n, 8192)
        self.assertIn(peak, (16, 17))
        Select(d.find_element(By.ID, "fftChannel")).select_by_value("b")
        time.sleep(0.8)
        self.assertGreater(driver_colour(d, CHANNEL_B), 100, "B's spectrum")
        d.save_screenshot(os.path.join(SCREENSHOTS, "live-fft.png"))
        for _ in range(3):
            click(d, "zoomIn")
        Select(d.find_element(By.ID, "view")).select_by_value("yt")
        Select(d.find_element(By.ID, "persistence")).select_by_value("long")
        print(f"\ntrigger, persistence and measurements on, 1280x720: {frame_figures(d, 5)}", flush=True)
        set_viewport(d, 390, 844, 2, True)
        time.sleep(1)
        print(f"the same on a phone-sized window (390x844, 2x): {frame_figures(d, 5)}", flush=True)
        d.save_screenshot(os.path.join(SCREENSHOTS, "live-phone-triggered.png"))
        set_viewport(d, 1280, 720, 1, False)
        Select(d.find_element(By.ID, "persistence")).select_by_value("off")

    def colours_drawn(self):
        return sum(self.driver.execute_script(COLOUR_CHECK, colour) for colour in (CHANNEL_A, (0xF5, 0xE6, 0xA3)))


class PersistenceScreenshotTest(unittest.TestCase):
    """Triggered on B's square, A's sine of another period lands at another
    phase on every screen: persistence shows the older ones fading."""

    def test_persistence_keeps_older_frames(self):
        live = LiveProcess("--trigger", "b:rising:128")
        driver = start_browser(1280, 720)
        try:
            driver.get(live.url)
            wait_for(lambda: stat(driver, "framesDrawn") > 20, 20, "frames drawn")
            plain = driver.execute_script(COLOUR_CHECK, CHANNEL_A)
            Select(driver.find_element(By.ID, "persistence")).select_by_value("long")
            time.sleep(1.5)
            kept = driver.execute_script(COLOUR_CHECK, (0x8F, 0x77, 0x17))  # A's yellow faded on the dark screen
            driver.save_screenshot(os.path.join(SCREENSHOTS, "live-persistence.png"))
            print(f"\npersistence: {plain} pixels of A's trace without, {kept} of its faded copies with", flush=True)
            self.assertGreater(kept, plain // 4, "older traces stay on screen")
        finally:
            close_browser(driver)
            self.assertEqual(live.stop(), 0)


class CaptureTriggerTest(unittest.TestCase):
    """The virtual instrument free-runs in capture mode: each record starts
    later in the signal. Untriggered the records wander over the screen;
    placed by the trigger they stand still."""

    def test_trigger_holds_free_running_records_still(self):
        # Records of 6,000 points, screens of 5,000 (500 a division): room
        # for the frame around a crossing in the record's first period.
        live = LiveProcess("--mode", "capture", "--count", "6000", "--trigger", "a:rising:128")
        driver = start_browser(1280, 720)
        try:
            driver.get(live.url)
            wait_for(lambda: stat(driver, "framesDrawn") > 20, 20, "frames drawn")
            click(driver, "onB")  # B's square has another period than A's sine
            click(driver, "zoomOut")
            click(driver, "zoomOut")
            figures = {}
            for mode, state in (("trigAuto", "Trig'd"), ("trigOff", "Off")):
                click(driver, mode)
                wait_for(lambda: trigger_state(driver) == state, 10, state)
                time.sleep(0.5)
                driver.execute_script(SNAPSHOT, "first")
                drawn = stat(driver, "framesDrawn")
                time.sleep(1)
                driver.execute_script(SNAPSHOT, "second")
                self.assertGreater(stat(driver, "framesDrawn"), drawn + 10, "records keep coming")
                figures[state] = driver.execute_script(DIFFERENCE, "first", "second")
            triggered = figures["Trig'd"]
            print(f"\ncapture mode, screen pixels that changed in one second: {triggered:.2%} triggered, "
                  f"{figures['Off']:.2%} untriggered", flush=True)
            self.assertLess(triggered, 0.01)
            self.assertGreater(figures["Off"], 0.05)
        finally:
            close_browser(driver)
            self.assertEqual(live.stop(), 0)


class CaptureMeasurementsTest(unittest.TestCase):
    """The page's measurements of a capture record equal those that
    `zqlscope capture --measure` prints for the same record."""

    def test_page_equals_command_line(self):
        for units in ((), UNITS):
            with self.subTest(units=units):
                expected = command_line_measurements("--count", "1000", *units)
                live = LiveProcess("--mode", "capture", "--count", "1000", *units, env=STILL)
                driver = start_browser(1280, 720)
                try:
                    driver.get(live.url)
                    wait_for(lambda: len(page_measurements(driver)) == 16, 20, "both channels' measurements")
                    self.assertEqual(page_measurements(driver), expected)
                    if not units:
                        self.assertIn("no --sample-rate", text(driver, "unitsNote"), "the page says it reads in counts")
                finally:
                    close_browser(driver)
                    self.assertEqual(live.stop(), 0)


class LivePageWithoutInstrumentTest(unittest.TestCase):
    """The instrument goes away after some transfers and comes back after a
    few more driver calls (the virtual instrument's script)."""

    def test_detach_shows_no_instrument_and_reattach_recovers(self):
        live = LiveProcess(env={"ZQLUSB_VIRTUAL_SCRIPT": "unplug after=900; replug after=4"})
        # Stopped at once, the loop makes no transfers until the page runs it.
        control = websocket.create_connection(live.ws_url, timeout=10)
        control.send("stop")
        control.close()
        driver = start_browser(1280, 720)
        try:
            driver.get(live.url)
            wait_for(lambda: text(driver, "runstop") == "Run", 20, "the page to show the stopped acquisition")
            driver.find_element(By.ID, "runstop").click()
            wait_for(lambda: stat(driver, "framesDrawn") > 10, 20, "frames drawn")
            wait_for(lambda: text(driver, "link") == "no instrument", 30, "'no instrument' on the page")
            received = stat(driver, "framesReceived")
            self.assertIn("link no instrument", text(driver, "status"))
            driver.save_screenshot(os.path.join(SCREENSHOTS, "live-screen-detached.png"))
            time.sleep(0.5)
            self.assertEqual(stat(driver, "framesReceived"), received, "no frames without the instrument")
            driver.find_element(By.ID, "reconnect").click()  # one more open attempt; the others come by themselves
            wait_for(lambda: text(driver, "link") == "ready", 30, "the link ready again")
            wait_for(lambda: stat(driver, "framesReceived") > received + 10, 10, "frames after the re-attach")
            self.assertTrue(live.alive(), "the server kept running")
        finally:
            close_browser(driver)
            self.assertEqual(live.stop(), 0)


if __name__ == "__main__":
    unittest.main()
