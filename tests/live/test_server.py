"""zqlscope live's server without a browser: who may use it (host names,
origins and the start's key, on each kind of listener), malformed and
unwanted requests, several pages at once, oversized WebSocket messages, and
a page that stops reading while the server keeps its memory bounded."""
import json
import os
import re
import socket
import struct
import subprocess
import time
import unittest
import urllib.error

import websocket

from live_process import LiveProcess, wait_for

# Under the sanitizers the allocator keeps freed memory in quarantine: the
# resident size says nothing about the server's own growth there.
SANITIZED = os.environ.get("ZQLSCOPE_SANITIZED") == "1"


def exchange(port, request, read_limit=1 << 16, address="127.0.0.1"):
    """Sends raw bytes, returns everything the server answers until it closes."""
    with socket.create_connection((address, port), timeout=10) as s:
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
            fmt, kind, flags, _, seq, read_ms, n, _ = struct.unpack("<BBBBIdIi", message[:24])
            assert fmt == 2 and len(message) == 24 + 2 * n, (fmt, len(message), n)
            out.append((kind, flags & 1, seq, read_ms, message[24:24 + n], message[24 + n:]))
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


def head_of(address, port, request):
    """The status and headers of the answer (a WebSocket upgrade stays open)."""
    with socket.create_connection((address, port), timeout=10) as s:
        s.sendall(request)
        answer = b""
        while b"\r\n\r\n" not in answer:
            chunk = s.recv(4096)
            if not chunk:
                break
            answer += chunk
    head = answer.split(b"\r\n\r\n", 1)[0].decode("latin-1").split("\r\n")
    headers = {}
    for line in head[1:]:
        name, _, value = line.partition(":")
        headers.setdefault(name.strip().lower(), []).append(value.strip())
    return status_of(answer), headers


def own_address():
    """This machine's address on its network, or None: the one a packet to a
    documentation address would leave from (nothing is sent)."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        try:
            s.connect(("192.0.2.1", 9))
            address = s.getsockname()[0]
        except OSError:
            return None
    return None if address.startswith("127.") else address


# The listeners under test: what `live` is started with.
LISTENERS = {
    "loopback": (),
    "mapped": ("--listen", "::ffff:127.0.0.1"),
    "any": ("--listen", "0.0.0.0", "--allow-host", "scope.lan,bench-2.example"),
    "own": ("--listen", "{own}"),
}

# (what, listener, address connected to, Host, path, key given as, Origin or
# None, WebSocket upgrade or not, status). {port} and {own} are filled in;
# the key kinds are those of `key_headers`.
ACCESS = [
    # A loopback listener answers to the literal loopback names only.
    ("page by 127.0.0.1", "loopback", "lo", "127.0.0.1:{port}", "/", "query", None, False, 200),
    ("page by localhost", "loopback", "lo", "localhost:{port}", "/", "query", None, False, 200),
    ("page by LOCALHOST without a port", "loopback", "lo", "LOCALHOST", "/", "query", None, False, 200),
    ("page by [::1]", "loopback", "lo", "[::1]:{port}", "/", "query", None, False, 200),
    ("page by the mapped literal", "loopback", "lo", "[::ffff:127.0.0.1]:{port}", "/", "query", None, False, 200),
    ("a name that begins with 127.", "loopback", "lo", "127.evil.example:{port}", "/", "query", None, False, 403),
    ("a name that ends in a loopback literal", "loopback", "lo", "127.0.0.1.nip.io:{port}", "/", "query", None,
     False, 403),
    ("a name that begins with localhost.", "loopback", "lo", "localhost.evil.example", "/", "query", None, False,
     403),
    ("another loopback literal", "loopback", "lo", "127.0.0.2:{port}", "/", "query", None, False, 403),
    ("a short loopback literal", "loopback", "lo", "127.1:{port}", "/", "query", None, False, 403),
    ("a port that is not a number", "loopback", "lo", "127.0.0.1:80x", "/", "query", None, False, 403),
    ("an empty port", "loopback", "lo", "127.0.0.1:", "/", "query", None, False, 403),
    ("user info before the name", "loopback", "lo", "evil@127.0.0.1", "/", "query", None, False, 403),
    ("an empty Host", "loopback", "lo", "", "/", "query", None, False, 403),
    ("rebinding WebSocket with the key", "loopback", "lo", "127.evil.example:{port}", "/ws", "query",
     "http://127.evil.example:{port}", True, 403),
    # The key: in the query or in the page's cookie, nothing else.
    ("page without the key", "loopback", "lo", "127.0.0.1:{port}", "/", "none", None, False, 403),
    ("page with a wrong key", "loopback", "lo", "127.0.0.1:{port}", "/", "wrong", None, False, 403),
    ("page with the key one digit off", "loopback", "lo", "127.0.0.1:{port}", "/", "one off", None, False, 403),
    ("page with the key and more", "loopback", "lo", "127.0.0.1:{port}", "/", "longer", None, False, 403),
    ("page with the key's cookie", "loopback", "lo", "127.0.0.1:{port}", "/", "cookie", None, False, 200),
    ("page with the key in another port's cookie", "loopback", "lo", "127.0.0.1:{port}", "/", "other cookie", None,
     False, 403),
    ("script with the cookie", "loopback", "lo", "127.0.0.1:{port}", "/page.js", "cookie", None, False, 200),
    ("script without the key", "loopback", "lo", "127.0.0.1:{port}", "/page.js", "none", None, False, 403),
    ("unknown path without the key", "loopback", "lo", "127.0.0.1:{port}", "/secret", "none", None, False, 404),
    ("WebSocket with the key", "loopback", "lo", "127.0.0.1:{port}", "/ws", "query", None, True, 101),
    ("WebSocket of the page, by cookie", "loopback", "lo", "localhost:{port}", "/ws", "cookie",
     "http://localhost:{port}", True, 101),
    ("WebSocket without the key", "loopback", "lo", "127.0.0.1:{port}", "/ws", "none", "http://127.0.0.1:{port}",
     True, 403),
    ("WebSocket with a wrong key", "loopback", "lo", "127.0.0.1:{port}", "/ws", "wrong", None, True, 403),
    ("WebSocket of a foreign page with the key", "loopback", "lo", "127.0.0.1:{port}", "/ws", "query",
     "http://attacker.example", True, 403),
    ("WebSocket of an opaque origin", "loopback", "lo", "127.0.0.1:{port}", "/ws", "query", "null", True, 403),
    ("WebSocket whose origin is another loopback name", "loopback", "lo", "127.0.0.1:{port}", "/ws", "query",
     "http://localhost:{port}", True, 403),
    # A mapped IPv4 loopback listener is a loopback listener.
    ("mapped: page by 127.0.0.1", "mapped", "lo", "127.0.0.1:{port}", "/", "query", None, False, 200),
    ("mapped: page by localhost", "mapped", "lo", "localhost:{port}", "/", "query", None, False, 200),
    ("mapped: a name that begins with 127.", "mapped", "lo", "127.evil.example:{port}", "/", "query", None, False,
     403),
    ("mapped: WebSocket without the key", "mapped", "lo", "127.0.0.1:{port}", "/ws", "none", None, True, 403),
    # Every address: the address reached, loopback names over loopback, and --allow-host.
    ("any: page by 127.0.0.1", "any", "lo", "127.0.0.1:{port}", "/", "query", None, False, 200),
    ("any: page by localhost over loopback", "any", "lo", "localhost:{port}", "/", "query", None, False, 200),
    ("any: a foreign name", "any", "lo", "evil.example:{port}", "/", "query", None, False, 403),
    ("any: a name that begins with 127.", "any", "lo", "127.evil.example:{port}", "/", "query", None, False, 403),
    ("any: an allowed name", "any", "lo", "scope.lan:{port}", "/", "query", None, False, 200),
    ("any: the other allowed name in capitals", "any", "lo", "BENCH-2.EXAMPLE", "/", "query", None, False, 200),
    ("any: a name not allowed", "any", "lo", "other.lan:{port}", "/", "query", None, False, 403),
    ("any: an allowed name without the key", "any", "lo", "scope.lan:{port}", "/", "none", None, False, 403),
    ("any: WebSocket by an allowed name", "any", "lo", "scope.lan:{port}", "/ws", "query", "http://scope.lan:{port}",
     True, 101),
    ("any: the network address", "any", "own", "{own}:{port}", "/", "query", None, False, 200),
    ("any: localhost from the network", "any", "own", "localhost:{port}", "/", "query", None, False, 403),
    ("any: 127.0.0.1 from the network", "any", "own", "127.0.0.1:{port}", "/", "query", None, False, 403),
    # One network address: that literal and the allowed names only.
    ("own: page by its address", "own", "own", "{own}:{port}", "/", "query", None, False, 200),
    ("own: localhost", "own", "own", "localhost:{port}", "/", "query", None, False, 403),
    ("own: a foreign name", "own", "own", "evil.example", "/", "query", None, False, 403),
    ("own: WebSocket without the key", "own", "own", "{own}:{port}", "/ws", "none", None, True, 403),
]


def key_headers(kind, token, port):
    """The query and extra header lines that carry (or fake) the key."""
    one_off = token[:-1] + ("0" if token[-1] != "0" else "1")
    query = {"query": token, "wrong": "0" * len(token), "one off": one_off, "longer": token + "0"}
    cookies = {"cookie": f"zqlscope-live-{port}={token}", "other cookie": f"zqlscope-live-{port + 1}={token}"}
    return ("?token=" + query[kind] if kind in query else "",
            f"Cookie: theme=dark; {cookies[kind]}\r\n" if kind in cookies else "")


class AccessTest(unittest.TestCase):
    """Only this machine's own names and the allowed ones are served, and the
    page and its WebSocket need the start's key: a page of another site gets
    nowhere, even by a name of its own that resolves here."""

    @classmethod
    def setUpClass(cls):
        cls.own = own_address()
        cls.servers = {}
        for name, args in LISTENERS.items():
            if "{own}" in "".join(args) and not cls.own:
                continue
            cls.servers[name] = LiveProcess("--port", "0", *(a.format(own=cls.own) for a in args))

    @classmethod
    def tearDownClass(cls):
        for live in cls.servers.values():
            assert live.stop() == 0

    def test_host_origin_and_key_table(self):
        for what, listener, via, host, path, key, origin, upgrade, expected in ACCESS:
            with self.subTest(what):
                if listener not in self.servers or (via == "own" and not self.own):
                    self.skipTest("this machine has no network address")
                live = self.servers[listener]
                fill = {"port": live.port, "own": self.own}
                query, cookie = key_headers(key, live.token, live.port)
                request = f"GET {path}{query} HTTP/1.1\r\nHost: {host.format(**fill)}\r\n{cookie}"
                if origin:
                    request += f"Origin: {origin.format(**fill)}\r\n"
                request += WS_HEADERS.decode() if upgrade else "Connection: close\r\n"
                status, headers = head_of("127.0.0.1" if via == "lo" else self.own, live.port,
                                          (request + "\r\n").encode())
                self.assertEqual(status, expected, request)
                self.assertEqual(headers.get("x-frame-options"), ["DENY"])
                self.assertIn("frame-ancestors 'none'", headers["content-security-policy"][0])
                self.assertIn("default-src 'none'", headers["content-security-policy"][0])
                if status == 200 and key == "query":
                    self.assertEqual(headers["set-cookie"],
                                     [f"zqlscope-live-{live.port}={live.token}; Path=/; HttpOnly; SameSite=Strict"])
                elif status != 101:
                    self.assertNotIn("set-cookie", headers, "the key is given only to who has it")

    def test_each_start_has_a_new_key(self):
        other = LiveProcess("--port", "0")
        try:
            self.assertRegex(other.token, "^[0-9a-f]{32}$")
            self.assertNotEqual(other.token, self.servers["loopback"].token)
            # A key is for one run: another run's key, in the query or in the
            # cookie a browser sends to every port of the host, opens nothing.
            earlier = self.servers["loopback"].token
            for query, cookie in ((f"?token={earlier}", ""), ("", f"Cookie: zqlscope-live-{other.port}={earlier}\r\n")):
                with self.subTest(query=query, cookie=cookie):
                    request = f"GET /{query} HTTP/1.1\r\nHost: 127.0.0.1\r\n{cookie}Connection: close\r\n\r\n"
                    self.assertEqual(status_of(exchange(other.port, request.encode())), 403)
        finally:
            self.assertEqual(other.stop(), 0)

    def test_bad_allowed_names_are_usage_errors(self):
        for name in ("", "a b", "scope.lan,", "-x", "evil.example/path", "x" * 254):
            with self.subTest(name):
                proc = subprocess.run([os.environ["ZQLSCOPE"], "live", "--allow-host", name], capture_output=True,
                                      timeout=30)
                self.assertEqual(proc.returncode, 2, proc.stderr)
                self.assertIn(b"--allow-host", proc.stderr)


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
