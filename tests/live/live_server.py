"""Talking to a running zqlscope live server without a browser: raw HTTP
exchanges and their status, the page's WebSocket frames decoded, and the
request lines the server tests share."""
import socket
import struct
import time


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
