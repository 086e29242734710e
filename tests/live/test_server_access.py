"""Who may use zqlscope live: host names, origins and the start's key on
each kind of listener (loopback, mapped loopback, every address, one
network address), names allowed with --allow-host, and a port already in
use."""
import os
import socket
import subprocess
import unittest

from live_process import LiveProcess
from live_server import WS_HEADERS, exchange, status_of


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


if __name__ == "__main__":
    unittest.main()
