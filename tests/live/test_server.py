"""zqlscope live's server without a browser: malformed and unwanted
requests, several pages at once, oversized WebSocket messages, and a page
that stops reading while the server keeps its memory bounded."""
import json
import os
import socket
import struct
import subprocess
import time
import unittest

import websocket

from live_process import LiveProcess, wait_for

# Under the sanitizers the allocator keeps freed memory in quarantine: the
# resident size says nothing about the server's own growth there.
SANITIZED = os.environ.get("ZQLSCOPE_SANITIZED") == "1"


def exchange(port, request, read_limit=1 << 16):
    """Sends raw bytes, returns everything the server answers until it closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        try:
            s.sendall(request)
            s.shutdown(socket.SHUT_WR)
        except OSError:  # the server answered and closed before taking it all
            pass
        answer = b""
        while len(answer) < read_limit:
            chunk = s.recv(65536)
            if not chunk:
                break
            answer += chunk
        return answer


def status_of(answer):
    line = answer.split(b"\r\n", 1)[0]
    return int(line.split()[1]) if line.startswith(b"HTTP/1.") else None


def frames(ws, count, timeout=10):
    """The next `count` binary frames, decoded: (mode, invalid, sequence, read time, a, b)."""
    out = []
    end = time.monotonic() + timeout
    while len(out) < count and time.monotonic() < end:
        message = ws.recv()
        if isinstance(message, bytes):
            fmt, mode, flags, _, seq, read_ms, n = struct.unpack("<BBBBIdI", message[:20])
            assert fmt == 1 and len(message) == 20 + 2 * n, (fmt, len(message), n)
            out.append((mode, flags & 1, seq, read_ms, message[20:20 + n], message[20 + n:]))
    return out


HOST = b"Host: 127.0.0.1\r\n"
WS_HEADERS = (b"Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
              b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n")

# (what, request, expected status); each is answered and the connection closed
# or kept, and the server goes on serving.
MALFORMED = [
    ("not HTTP at all", b"HELLO THERE\r\n\r\n", 400),
    ("binary garbage", bytes(range(256)) + b"\r\n\r\n", 400),
    ("unknown version", b"GET / HTTP/7.3\r\n" + HOST + b"\r\n", 400),
    ("header line without a colon", b"GET / HTTP/1.1\r\n" + HOST + b"Broken header\r\n\r\n", 400),
    ("bad content length", b"GET / HTTP/1.1\r\n" + HOST + b"Content-Length: lots\r\n\r\n", 400),
    ("oversized header", b"GET / HTTP/1.1\r\n" + HOST + b"X-Big: " + b"x" * 20000 + b"\r\n\r\n", 431),
    ("many headers", b"GET / HTTP/1.1\r\n" + HOST + b"".join(b"X-%d: 1234567890\r\n" % i for i in range(2000)) + b"\r\n", 431),
    ("oversized body", b"POST / HTTP/1.1\r\n" + HOST + b"Content-Length: 100000\r\n\r\n" + b"x" * 100000, 413),
    ("unknown path", b"GET /etc/passwd HTTP/1.1\r\n" + HOST + b"Connection: close\r\n\r\n", 404),
    ("path with dots", b"GET /../../ HTTP/1.1\r\n" + HOST + b"Connection: close\r\n\r\n", 404),
    ("method other than GET", b"DELETE / HTTP/1.1\r\n" + HOST + b"Connection: close\r\n\r\n", 405),
    ("foreign host name", b"GET / HTTP/1.1\r\nHost: attacker.example:80\r\nConnection: close\r\n\r\n", 403),
    ("no host name", b"GET / HTTP/1.0\r\n\r\n", 403),
    ("/ws without the upgrade", b"GET /ws HTTP/1.1\r\n" + HOST + b"Connection: close\r\n\r\n", 426),
    ("WebSocket from a foreign page", b"GET /ws HTTP/1.1\r\n" + HOST + WS_HEADERS + b"Origin: http://attacker.example\r\n\r\n", 403),
    ("WebSocket upgrade without a key", b"GET /ws HTTP/1.1\r\n" + HOST + b"Upgrade: websocket\r\nConnection: Upgrade\r\n\r\n", 400),
]


class LiveServerTest(unittest.TestCase):
    def setUp(self):
        self.live = LiveProcess("--port", "0")

    def tearDown(self):
        self.assertEqual(self.live.stop(), 0, "Ctrl-C ends zqlscope live with status 0")

    def test_page_is_served_whole_and_head_matches(self):
        answer = exchange(self.live.port, b"GET / HTTP/1.1\r\n" + HOST + b"Connection: close\r\n\r\n", 1 << 20)
        self.assertEqual(status_of(answer), 200)
        head, body = answer.split(b"\r\n\r\n", 1)
        self.assertIn(b"Content-Type: text/html; charset=utf-8", head)
        self.assertIn(b"Content-Length: %d" % len(body), head)
        self.assertTrue(body.rstrip().endswith(b"</html>"))
        self.assertNotIn(b"http://", body.replace(b"http://www.w3.org", b""), "the page fetches nothing")
        head_only = exchange(self.live.port, b"HEAD / HTTP/1.1\r\n" + HOST + b"Connection: close\r\n\r\n")
        self.assertTrue(head_only.endswith(b"\r\n\r\n"), "HEAD has no body")
        self.assertIn(b"Content-Length: %d" % len(body), head_only)

    def test_malformed_and_unwanted_requests_get_clear_errors(self):
        for what, request, expected in MALFORMED:
            with self.subTest(what):
                answer = exchange(self.live.port, request)
                self.assertEqual(status_of(answer), expected, answer[:200])
                self.assertTrue(answer.split(b"\r\n\r\n", 1)[1], "the error is explained")
        self.assertTrue(self.live.alive())
        self.assertEqual(self.live.page_status(), 200)

    def test_keep_alive_serves_several_requests_on_one_connection(self):
        one = b"GET /nothing HTTP/1.1\r\n" + HOST + b"\r\n"
        answer = exchange(self.live.port, one * 3 + b"GET / HTTP/1.1\r\n" + HOST + b"Connection: close\r\n\r\n",
                          1 << 20)
        self.assertEqual(answer.count(b"HTTP/1.1 404"), 3)
        self.assertEqual(answer.count(b"HTTP/1.1 200"), 1)

    def test_several_pages_each_get_the_stream_and_the_status(self):
        time.sleep(0.5)  # the loop has opened the instrument and told the server
        pages = [websocket.create_connection(self.live.ws_url, timeout=10) for _ in range(5)]
        first = pages[0].recv()
        self.assertIsInstance(first, str, "a new page hears the status first")
        status = json.loads(first)
        self.assertEqual((status["link"], status["running"], status["mode"]), ("ready", True, "roll"))
        got = [frames(ws, 20) for ws in pages]
        for received in got:
            self.assertEqual(len(received), 20)
            sequences = [f[2] for f in received]
            self.assertEqual(sequences, sorted(sequences))
            self.assertTrue(all(f[0] == 0 and len(f[4]) == 300 for f in received), "roll blocks of 300 points")
        shared = set.intersection(*(set(f[2] for f in r) for r in got))
        self.assertTrue(shared, "the pages see the same blocks")
        for ws in pages[:4]:
            ws.close()
        self.assertEqual(len(frames(pages[4], 10)), 10, "a page left alone goes on receiving")
        pages[4].close()

    def test_stop_and_run_from_a_page_pause_the_acquisition(self):
        ws = websocket.create_connection(self.live.ws_url, timeout=10)
        frames(ws, 3)
        ws.send("stop")
        ws.settimeout(0.3)
        wait_for(lambda: self._drained(ws), 5, "the stream to stop")
        ws.settimeout(10)
        ws.send("run")
        self.assertEqual(len(frames(ws, 5)), 5)
        ws.close()

    @staticmethod
    def _drained(ws):
        try:
            while True:
                message = ws.recv()
                if isinstance(message, bytes):
                    return False
        except websocket.WebSocketTimeoutException:
            return True

    def test_an_oversized_websocket_message_closes_that_page_only(self):
        other = websocket.create_connection(self.live.ws_url, timeout=10)
        ws = websocket.create_connection(self.live.ws_url, timeout=10)
        ws.send("x" * 100000)
        with self.assertRaises((websocket.WebSocketConnectionClosedException, ConnectionError)):
            for _ in range(1000):
                ws.recv()
        self.assertEqual(len(frames(other, 10)), 10)
        other.close()

    def test_connections_beyond_the_limit_are_refused_with_503(self):
        held = [socket.create_connection(("127.0.0.1", self.live.port)) for _ in range(40)]
        time.sleep(0.5)
        refused = 0
        for s in held:
            s.settimeout(0.2)
            try:
                refused += s.recv(100).startswith(b"HTTP/1.1 503")
            except socket.timeout:
                pass
        self.assertEqual(refused, 40 - 32)
        for s in held:
            s.close()
        wait_for(lambda: self.live.page_status() == 200, 5, "the page once the connections are gone")


class PortInUseTest(unittest.TestCase):
    def test_a_port_in_use_is_a_clear_failure(self):
        first = LiveProcess()
        try:
            proc = subprocess.run([os.environ["ZQLSCOPE"], "live", "--port", str(first.port)],
                                  capture_output=True, timeout=30)
            self.assertEqual(proc.returncode, 1)
            self.assertEqual(proc.stdout, b"")
            self.assertIn(f"zqlscope live: cannot listen on 127.0.0.1 port {first.port}".encode(), proc.stderr)
        finally:
            self.assertEqual(first.stop(), 0)


class StalledPageTest(unittest.TestCase):
    """A page that stops reading: whole capture records of 32,768 points
    (64 KiB each, 100 a second) would pile up in the server without the
    per-page bound."""

    def test_memory_stays_bounded_and_other_pages_keep_up(self):
        live = LiveProcess("--mode", "capture", "--count", "32768")
        try:
            stalled = socket.socket()
            stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            stalled.connect(("127.0.0.1", live.port))
            stalled.sendall(b"GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\n" + WS_HEADERS + b"\r\n")
            time.sleep(1.0)
            before = live.rss_kib()
            reader = websocket.create_connection(live.ws_url, timeout=10)
            start = time.monotonic()
            received = frames(reader, 200, timeout=30)
            elapsed = time.monotonic() - start
            after = live.rss_kib()
            print(f"stalled page: RSS {before} KiB before, {after} KiB after {elapsed:.1f} s; "
                  f"{len(received)} frames to the reading page, {len(received) * 65556 / elapsed / 1e6:.1f} MB/s")
            self.assertEqual(len(received), 200, "the reading page is not held up by the stalled one")
            self.assertTrue(all(len(f[4]) == 32768 for f in received))
            if not SANITIZED:
                self.assertLess(after - before, 16 * 1024, "unbounded growth would be about 6 MiB a second")
            reader.close()
            stalled.close()
        finally:
            self.assertEqual(live.stop(), 0)


if __name__ == "__main__":
    unittest.main()
