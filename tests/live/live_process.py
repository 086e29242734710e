"""Starting and stopping `zqlscope live` for the tests: the program's path
comes from ZQLSCOPE, its URL (with the start's key) from the first line it
prints."""
import os
import signal
import subprocess
import time
import urllib.request


class LiveProcess:
    def __init__(self, *args, env=None, prefix=()):
        program = os.environ["ZQLSCOPE"]
        self.proc = subprocess.Popen([*prefix, program, "live", *args], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env={**os.environ, **(env or {})})
        line = self.proc.stdout.readline().decode().strip()
        if not line.startswith("http://"):
            self.proc.kill()
            raise AssertionError(f"no URL on the first line: {line!r}; stderr: {self.proc.stderr.read()!r}")
        self.url = line
        base, self.token = line.split("/?token=")
        self.host, port = base[len("http://"):].rsplit(":", 1)
        self.port = int(port)
        self.base = base + "/"
        self.ws_url = "ws://" + base[len("http://"):] + "/ws?token=" + self.token

    def rss_kib(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        raise AssertionError("no VmRSS")

    def alive(self):
        return self.proc.poll() is None

    def page_status(self):
        with urllib.request.urlopen(self.url, timeout=5) as r:
            return r.status

    def stop(self, timeout=10):
        """Ctrl-C, as a user ends it; returns the exit status."""
        if self.alive():
            self.proc.send_signal(signal.SIGINT)
        try:
            return self.proc.wait(timeout)
        finally:
            if self.alive():
                self.proc.kill()
            self.proc.stdout.close()
            self.proc.stderr.close()


def wait_for(predicate, timeout, what):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"timed out after {timeout} s waiting for {what}")
