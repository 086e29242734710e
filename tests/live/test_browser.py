"""The scope page in headless Chromium against `zqlscope live` on the
virtual instrument: frames arrive and are drawn in both channels' colours,
the controls work, stop freezes the picture and run resumes it, persistence
keeps older frames, capture records are triggered and measured as the
command line does, and a detached instrument shows "no instrument" until it
is back. Prints the frames drawn per second and the delay from a block's
read to its drawing, and saves screenshots under the build tree."""
import os
import statistics
import time
import unittest

import websocket

from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select

from browser_support import (
    PageTestCase,
    CHANNEL_A, CHANNEL_B, COLOUR_CHECK, DIFFERENCE, SCREENSHOTS, SNAPSHOT, STILL, UNITS, click, close_browser,
    command_line_measurements, page_measurements, set_viewport, start_browser, stat, text, trigger_state)
from live_process import LiveProcess, wait_for


class LivePageTest(PageTestCase):
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
