"""zqlscope live's server answering requests: malformed and unwanted
requests, keep-alive, connections without the key, several pages at once,
stop and run from a page, oversized WebSocket messages, the connection
limit, and a page that stops reading while the server keeps its memory
bounded."""
import json
import os
import re
import socket
import time
import unittest
import urllib.error

import websocket

from live_process import LiveProcess, wait_for
from live_server import HOST, WS_HEADERS, exchange, frames, status_of

# Under the sanitizers the allocator keeps freed memory in quarantine: the
# resident size says nothing about the server's own growth there.
SANITIZED = os.environ.get("ZQLSCOPE_SANITIZED") == "1"

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
    ("WebSocket upgrade without a key", b"GET /ws?token=%(token)s HTTP/1.1\r\n" + HOST + b"Upgrade: websocket\r\nConnection: Upgrade\r\n\r\n", 400),
]


def read_until_closed(s):
    """What the server sends until it closes its end (a timeout fails the test)."""
    answer = b""
    while True:
        chunk = s.recv(65536)
        if not chunk:
            return answer
        answer += chunk


# Requests without the key, each asking to keep the connection: (what, request, status).
KEYLESS = [
    ("an unknown path", b"GET /nothing HTTP/1.1\r\n" + HOST + b"\r\n", 404),
    ("a method other than GET", b"DELETE / HTTP/1.1\r\n" + HOST + b"\r\n", 405),
    ("the page without the key", b"GET / HTTP/1.1\r\n" + HOST + b"\r\n", 403),
    ("the page with a wrong key", b"GET /?token=00000000000000000000000000000000 HTTP/1.1\r\n" + HOST + b"\r\n", 403),
]


class LiveServerTest(unittest.TestCase):
    def setUp(self):
        self.live = LiveProcess("--port", "0")

    def tearDown(self):
        self.assertEqual(self.live.stop(), 0, "Ctrl-C ends zqlscope live with status 0")

    def test_page_is_served_whole_and_head_matches(self):
        page = b"/?token=" + self.live.token.encode()
        answer = exchange(self.live.port, b"GET " + page + b" HTTP/1.1\r\n" + HOST + b"Connection: close\r\n\r\n",
                          1 << 20)
        self.assertEqual(status_of(answer), 200)
        head, body = answer.split(b"\r\n\r\n", 1)
        self.assertIn(b"Content-Type: text/html; charset=utf-8", head)
        self.assertIn(b"Content-Length: %d" % len(body), head)
        self.assertTrue(body.rstrip().endswith(b"</html>"))
        self.assertNotIn(b"http://", body.replace(b"http://www.w3.org", b""), "the page fetches nothing")
        head_only = exchange(self.live.port, b"HEAD " + page + b" HTTP/1.1\r\n" + HOST + b"Connection: close\r\n\r\n")
        self.assertTrue(head_only.endswith(b"\r\n\r\n"), "HEAD has no body")
        self.assertIn(b"Content-Length: %d" % len(body), head_only)

    def test_each_module_of_the_script_is_served_with_its_type(self):
        # The entry and every module it imports, directly or not, are served
        # as JavaScript; a path that is no part of the page is not found.
        cookie = b"Cookie: zqlscope-live-%d=%s\r\n" % (self.live.port, self.live.token.encode())

        def get(path):
            answer = exchange(self.live.port, b"GET " + path.encode() + b" HTTP/1.1\r\n" + HOST + cookie +
                              b"Connection: close\r\n\r\n", 1 << 20)
            head, _, body = answer.partition(b"\r\n\r\n")
            return status_of(answer), head, body.decode()

        seen, waiting = set(), ["/page.js"]
        while waiting:
            path = waiting.pop()
            with self.subTest(path):
                status, head, body = get(path)
                self.assertEqual(status, 200)
                self.assertIn(b"Content-Type: text/javascript; charset=utf-8", head)
                seen.add(path)
                for name in re.findall(r'^import (?:.* from )?"\./([\w.]+)";$', body, re.M):
                    if "/" + name not in seen:
                        waiting.append("/" + name)
        self.assertGreater(len(seen), 5, "the script is split into modules")
        for path in ("/nothing.js", "/page.js/", "/../page.js"):
            with self.subTest(path):
                self.assertIn(get(path)[0], (400, 404))

    def test_malformed_and_unwanted_requests_get_clear_errors(self):
        for what, request, expected in MALFORMED:
            with self.subTest(what):
                answer = exchange(self.live.port, request.replace(b"%(token)s", self.live.token.encode()))
                self.assertEqual(status_of(answer), expected, answer[:200])
                self.assertTrue(answer.split(b"\r\n\r\n", 1)[1], "the error is explained")
        self.assertTrue(self.live.alive())
        self.assertEqual(self.live.page_status(), 200)

    def test_keep_alive_serves_several_requests_on_one_connection(self):
        cookie = b"Cookie: zqlscope-live-%d=%s\r\n" % (self.live.port, self.live.token.encode())
        one = b"GET /nothing HTTP/1.1\r\n" + HOST + cookie + b"\r\n"
        page = b"GET /?token=" + self.live.token.encode() + b" HTTP/1.1\r\n"
        answer = exchange(self.live.port, one * 3 + page + HOST + b"Connection: close\r\n\r\n",
                          1 << 20)
        self.assertEqual(answer.count(b"HTTP/1.1 404"), 3)
        self.assertEqual(answer.count(b"HTTP/1.1 200"), 1)

    def test_a_request_without_the_key_is_answered_and_its_connection_closed(self):
        # Keep-alive asked for, and a second request already sent: only the
        # first is answered before the server closes.
        for what, first, expected in KEYLESS:
            with self.subTest(what):
                with socket.create_connection(("127.0.0.1", self.live.port), timeout=5) as s:
                    s.sendall(first + b"GET /nothing HTTP/1.1\r\n" + HOST + b"\r\n")
                    answer = read_until_closed(s)
                self.assertEqual(status_of(answer), expected, answer[:200])
                self.assertEqual(answer.count(b"HTTP/1.1 "), 1, answer)
                self.assertIn(b"Connection: close", answer)

    def test_keyless_clients_that_keep_their_connections_leave_the_owner_room(self):
        held = []
        try:
            for _ in range(40):
                s = socket.create_connection(("127.0.0.1", self.live.port), timeout=5)
                held.append(s)
                s.sendall(b"GET /nothing HTTP/1.1\r\n" + HOST + b"\r\n")
                self.assertEqual(status_of(read_until_closed(s)), 404, "answered, then closed by the server")
            # The clients still hold their ends; the server lets go of its own.
            wait_for(lambda: self.page_answers() == 200, 5, "the owner's page beside 40 keyless clients")
        finally:
            for s in held:
                s.close()

    def page_answers(self):
        try:
            return self.live.page_status()
        except urllib.error.HTTPError as e:
            return e.code

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
            stalled.sendall(b"GET /ws?token=" + live.token.encode() + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n" + WS_HEADERS +
                            b"\r\n")
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
