"""zqlscope.exe live under Wine beside the virtual-instrument DLL: it prints
its URL (with a key of 32 hexadecimal digits) first, serves the page with
the key and refuses it without, streams a few frames and the status to a
WebSocket client, answers an unknown path with 404, and ends on Ctrl-C.
Usage: check_exe.py WINE-RUNNER ZQLSCOPE.EXE ZQLUSB.DLL"""
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import urllib.error
import urllib.request

import websocket


def main(runner, exe, dll):
    with tempfile.TemporaryDirectory(prefix="zqlscope-live-") as folder:
        for f in (exe, dll):
            shutil.copy(f, folder)
        proc = subprocess.Popen([runner, "./" + os.path.basename(exe), "live", "--port", "0"], cwd=folder,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            return check(proc)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()


def check(proc):
    url = proc.stdout.readline().decode().strip()
    if not url.startswith("http://127.0.0.1:"):
        print(f"FAIL: first line is not the URL: {url!r}\n{proc.stderr.read().decode()}")
        return 1
    base, _, token = url.partition("/?token=")
    if not re.fullmatch("[0-9a-f]{32}", token):
        print(f"FAIL: the URL carries no key: {url!r}")
        return 1
    with urllib.request.urlopen(url, timeout=30) as r:
        page = r.read()
    if b"<canvas" not in page or r.headers["Content-Type"] != "text/html; charset=utf-8":
        print("FAIL: no page")
        return 1
    for path, expected in (("/missing", 404), ("/", 403)):
        try:
            urllib.request.urlopen(base + path, timeout=30)
            print(f"FAIL: {path} was served without the key")
            return 1
        except urllib.error.HTTPError as e:
            if e.code != expected:
                print(f"FAIL: {path} got {e.code}, not {expected}")
                return 1
    ws = websocket.create_connection(base.replace("http://", "ws://") + "/ws?token=" + token, timeout=30)
    frames, status = [], None
    while len(frames) < 5 or status is None:
        message = ws.recv()
        if isinstance(message, str):
            text = json.loads(message)
            status = text if text["type"] == "status" else status
        else:
            fmt, mode, _, _, seq, _, n, _ = struct.unpack("<BBBBIdIi", message[:24])
            if fmt != 2 or mode != 0 or n == 0 or len(message) != 24 + 2 * n:
                print(f"FAIL: a malformed frame: format {fmt}, mode {mode}, {n} points, {len(message)} bytes")
                return 1
            frames.append(seq)
    ws.close()
    if status["link"] != "ready" or frames != sorted(frames):
        print(f"FAIL: status {status}, sequence {frames}")
        return 1
    proc.send_signal(signal.SIGINT)
    try:
        code = proc.wait(20)
    except subprocess.TimeoutExpired:
        print("FAIL: Ctrl-C did not end zqlscope.exe live")
        return 1
    print(f"zqlscope.exe live: page with the key, 403 without, 404, {len(frames)} frames (sequence {frames[0]}..{frames[-1]}), "
          f"status {status['link']}; Ctrl-C exit {code}")
    return 0 if code == 0 else 1


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
