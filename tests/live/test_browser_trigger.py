"""The page on the server's trigger: a still picture, single shots, cursors
by mouse and touch, the level marker dragged, measurements and units beside
the command line's, saving the frame, the display modes and their figures."""
import os
import shutil
import subprocess
import tempfile
import time
import unittest
import zipfile

from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.actions import interaction
from selenium.webdriver.common.actions.action_builder import ActionBuilder
from selenium.webdriver.common.actions.pointer_input import PointerInput
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

from browser_support import (
    CHANNEL_A, CHANNEL_B, COLOUR_CHECK, DIFFERENCE, SCREENSHOTS, SNAPSHOT, UNITS, click, close_browser,
    driver_colour, frame_figures, metadata_keys, page_measurements, set_viewport, start_browser, stat, text,
    trigger_state)
from live_process import LiveProcess, wait_for


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
        marker_y = d.execute_script("return window.zqlLive.yOf('a', arguments[0], document.getElementById('scope').clientHeight);",
                                    level)
        ActionChains(d).move_to_element_with_offset(canvas, size["width"] // 2 - 4, int(marker_y - size["height"] / 2)) \
            .click_and_hold().move_by_offset(0, -40).release().perform()
        wait_for(lambda: d.execute_script("return window.zqlLive.server.trigger.level;") > level + 10, 5,
                 "a higher trigger level")
        time.sleep(0.7)  # the server's status confirms it
        self.assertGreater(d.execute_script("return window.zqlLive.server.trigger.level;"), level + 10)
        d.execute_script("window.zqlLive.server.trigger.level = 128; window.zqlLive.sendTrigger();")

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
            const { server, sessionMetadata } = window.zqlLive, kept = server.units;
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
        n, peak = d.execute_script("const f = window.zqlLive.spectrum('a'); let k = 1;"
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


if __name__ == "__main__":
    unittest.main()
