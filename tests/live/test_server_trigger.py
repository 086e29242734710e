"""The trigger of zqlscope live's server in roll and capture mode: the state
it reports, whole screens placed on the set crossing, single arming, and
page commands it refuses."""
import json
import struct
import time
import unittest

import websocket

from live_process import LiveProcess


def next_status(ws, timeout=10, where=lambda s: True):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        message = ws.recv()
        if isinstance(message, str):
            status = json.loads(message)
            if status["type"] == "status" and where(status):
                return status
    raise AssertionError("no such status")


def triggered_frames(ws, count, timeout=10):
    """The next `count` whole screens: (trigger state, trigger index, a, b)."""
    out = []
    end = time.monotonic() + timeout
    while len(out) < count and time.monotonic() < end:
        message = ws.recv()
        if isinstance(message, bytes):
            _, kind, _, state, _, _, n, index = struct.unpack("<BBBBIdIi", message[:24])
            if kind == 2:
                out.append((state, index, message[24:24 + n], message[24 + n:]))
    return out


TRIG_D, AUTO, WAITING, STOPPED = 1, 2, 3, 4

# (what, live's options, page command or None, state, whole screens arrive)
TRIGGER_CASES = [
    ("roll, auto, a level the sine crosses", ("--trigger", "a:rising:128"), None, "Trig'd", True),
    ("roll, auto, a level above the sine", ("--trigger", "a:rising:250"), None, "Auto", True),
    ("roll, normal, a level above the sine", ("--trigger", "a:rising:250", "--trigger-mode", "normal"), None,
     "Waiting", False),
    ("roll, the page sets normal on B falling", ("--trigger", "a:rising:250"), "trigger normal b falling 128 25 0",
     "Trig'd", True),
    ("capture, auto", ("--mode", "capture", "--count", "2000", "--trigger", "a:rising:128"), None, "Trig'd", True),
    ("capture, normal, no crossing", ("--mode", "capture", "--count", "2000", "--trigger", "a:falling:5",
                                      "--trigger-mode", "normal"), None, "Waiting", False),
    ("capture, the page sets the position to 10 %", ("--mode", "capture", "--count", "2000", "--trigger",
                                                      "a:rising:128"), "trigger auto a rising 128 10 0", "Trig'd", True),
]


class TriggerTest(unittest.TestCase):
    """The server's trigger in roll and capture mode: the state it reports,
    and whole screens whose trigger point sits at the set position on a
    crossing of the set level and slope."""

    def test_trigger_states_and_placement(self):
        for what, args, command, state, screens in TRIGGER_CASES:
            with self.subTest(what):
                live = LiveProcess("--port", "0", *args)
                try:
                    ws = websocket.create_connection(live.ws_url, timeout=10)
                    wanted = command.split()[1:] if command else None
                    if command:
                        ws.send(command)

                    def settled(s):
                        t = s["trigger"]
                        now = [t["mode"], t["source"], t["slope"], str(t["level"]), "%g" % t["position"],
                               str(t["holdoff"])]
                        return t["state"] == state and (wanted is None or now == wanted)

                    status = next_status(ws, where=settled)
                    t = status["trigger"]
                    triggered_frames(ws, 1000, timeout=0.3)  # screens sent before the change
                    got = triggered_frames(ws, 5, timeout=2)
                    if not screens:
                        self.assertEqual(got, [], "nothing new while waiting")
                        continue
                    self.assertEqual(len(got), 5)
                    for frame_state, index, a, b in got:
                        self.assertEqual(len(a), status["frameLength"])
                        if state == "Auto":
                            self.assertEqual((frame_state, index), (AUTO, -1))
                            continue
                        self.assertEqual(frame_state, TRIG_D)
                        self.assertEqual(index, round((len(a) - 1) * t["position"] / 100), "at the set position")
                        source = a if t["source"] == "a" else b
                        before, at = source[index - 1], source[index]
                        if t["slope"] == "rising":
                            self.assertTrue(before < t["level"] <= at, (before, at))
                        else:
                            self.assertTrue(before > t["level"] >= at, (before, at))
                    ws.close()
                finally:
                    self.assertEqual(live.stop(), 0)

    def test_single_sends_one_screen_per_arming(self):
        live = LiveProcess("--port", "0", "--trigger", "a:rising:128", "--trigger-mode", "single")
        try:
            ws = websocket.create_connection(live.ws_url, timeout=10)
            next_status(ws, where=lambda s: s["trigger"]["state"] == "Stopped")
            self.assertEqual(triggered_frames(ws, 1, timeout=1.5), [], "stopped after the first")
            for _ in range(2):
                ws.send("rearm")
                got = triggered_frames(ws, 2, timeout=1.5)
                self.assertEqual([f[0] for f in got], [STOPPED], "one screen, then Stopped")
            ws.close()
        finally:
            self.assertEqual(live.stop(), 0)

    def test_malformed_page_commands_change_nothing(self):
        live = LiveProcess("--port", "0", "--trigger", "a:rising:100")
        try:
            ws = websocket.create_connection(live.ws_url, timeout=10)
            before = next_status(ws)
            for command in ("trigger", "trigger normal c rising 128 50 0", "trigger normal a up 128 50 0",
                            "trigger normal a rising 256 50 0", "trigger normal a rising 128 101 0",
                            "trigger normal a rising 128 50 -1", "trigger normal a rising 128 50 0 extra",
                            "trigger sometimes a rising 128 50 0", "frame 1", "frame 20001", "frame x",
                            "frame 1000 2", "RUN", ""):
                ws.send(command)
            ws.send("frame 500")  # a good one last: once it shows, every one before was handled
            after = next_status(ws, where=lambda s: s["frameLength"] == 500)
            self.assertEqual(after["trigger"], {**before["trigger"], "state": after["trigger"]["state"]})
            self.assertTrue(after["running"])
            ws.close()
        finally:
            self.assertEqual(live.stop(), 0)


if __name__ == "__main__":
    unittest.main()
