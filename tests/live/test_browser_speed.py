"""What a frame costs the page: frames drawn per second and the time from a
frame's arrival on the socket to the end of its drawing (median and 95th
percentile), on the plain roll screen and with everything on, in a desktop
window and in a phone's. Printed, not asserted: the machine is shared."""
import statistics
import time
import unittest

from selenium.webdriver.support.ui import Select

from browser_support import UNITS, PageTestCase, click, set_viewport, stat, trigger_state
from live_process import wait_for

WINDOWS = [("1280x720", 1280, 720, 1, False), ("phone 390x844 at 3x", 390, 844, 3, True)]
SECONDS = 4


def choose(driver, element_id, value):
    Select(driver.find_element("id", element_id)).select_by_value(value)


def set_check(driver, element_id, on):
    box = driver.find_element("id", element_id)
    if box.is_selected() != on:
        box.click()


def plain(driver):
    click(driver, "trigOff")
    wait_for(lambda: trigger_state(driver) == "Off", 10, "the trigger off")
    choose(driver, "view", "yt")
    choose(driver, "persistence", "off")
    set_check(driver, "timeCursors", False)
    set_check(driver, "levelCursors", False)


def everything_on(driver, view):
    click(driver, "trigAuto")
    choose(driver, "view", view)
    choose(driver, "persistence", "infinite")
    set_check(driver, "timeCursors", True)
    set_check(driver, "levelCursors", True)


def figures(driver):
    """Frames received and drawn a second, and the median and 95th
    percentile of the frame costs of the frames drawn over SECONDS."""
    received, drawn = stat(driver, "framesReceived"), stat(driver, "framesDrawn")
    time.sleep(SECONDS)
    count = stat(driver, "framesDrawn") - drawn
    arrived = stat(driver, "framesReceived") - received
    costs = sorted(stat(driver, "frameCosts")[-count:]) if count else [float("nan")]
    drawing = stat(driver, "drawCosts")[-count:] if count else [float("nan")]
    return (arrived / SECONDS, count / SECONDS, statistics.median(costs), costs[int(len(costs) * 0.95)],
            statistics.median(drawing))


class FrameCostTest(PageTestCase):
    LIVE_ARGS = ("--trigger", "a:rising:128", *UNITS)

    def test_frame_cost_plain_and_everything_on(self):
        d = self.driver
        screens = [("plain roll", plain),
                   ("trigger+infinite persistence+measurements+cursors", lambda d: everything_on(d, "yt")),
                   ("the same in the FFT view", lambda d: everything_on(d, "fft"))]
        lines = []
        for window, width, height, scale, mobile in WINDOWS:
            set_viewport(d, width, height, scale, mobile)
            for name, setup in screens:
                setup(d)
                time.sleep(1)
                arrived, fps, median, p95, drawing = figures(d)
                lines.append(f"  {window:20} {name:52} {arrived:5.1f} frames/s arrived, {fps:5.1f} drawn, "
                             f"frame cost median {median:5.2f} ms, "
                             f"95th percentile {p95:5.2f} ms; drawing alone median {drawing:5.2f} ms")
                self.assertGreater(fps, 0, f"frames drawn on the {name} screen in {window}")
        set_viewport(d, 1280, 720, 1, False)
        plain(d)
        print("\nframe cost (arrival to end of drawing, headless Chromium):\n" + "\n".join(lines), flush=True)


if __name__ == "__main__":
    unittest.main()
