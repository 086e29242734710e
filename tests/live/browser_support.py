"""What the browser tests share: Chromium started headless at a window size,
the page's figures and texts read back, snapshots of the canvas and their
differences, and the command line's measurements to compare the page's with."""
import os
import re
import shutil
import statistics
import subprocess
import tempfile
import time
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

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



class PageTestCase(unittest.TestCase):
    """One `zqlscope live` (with LIVE_ARGS) and one 1280x720 page on it for
    the whole class, started once frames are being drawn."""
    LIVE_ARGS = ()

    @classmethod
    def setUpClass(cls):
        cls.live = LiveProcess(*cls.LIVE_ARGS)
        cls.driver = start_browser(1280, 720)
        cls.driver.get(cls.live.url)
        wait_for(lambda: stat(cls.driver, "framesDrawn") > 20, 20, "frames drawn on the page")

    @classmethod
    def tearDownClass(cls):
        close_browser(cls.driver)
        assert cls.live.stop() == 0
