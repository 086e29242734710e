"""Starting and stopping `zqlscope scpi` for the tests: the program's path
comes from ZQLSCOPE (or is given), the VISA resource from the first line it
prints; the port is any free one."""
import os
import re
import signal
import subprocess

import time

import pyvisa


class ScpiProcess:
    def __init__(self, *args, env=None, prefix=(), program=None, cwd=None):
        program = program or os.environ["ZQLSCOPE"]
        self.proc = subprocess.Popen([*prefix, program, "scpi", "--port", "0", *args], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env={**os.environ, **(env or {})}, cwd=cwd)
        line = self.proc.stdout.readline().decode().strip()
        match = re.fullmatch(r"TCPIP::([0-9.]+)::(\d+)::SOCKET", line)
        if not match:
            self.proc.kill()
            raise AssertionError(f"no VISA resource on the first line: {line!r}; stderr: {self.proc.stderr.read()!r}")
        self.resource = line
        self.host, self.port = match.group(1), int(match.group(2))

    def alive(self):
        return self.proc.poll() is None

    def rss_kib(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        raise AssertionError("no VmRSS")

    def stop(self, timeout=20):
        """Ctrl-C, as a user ends it; returns the exit status and standard error."""
        if self.alive():
            self.proc.send_signal(signal.SIGINT)
        try:
            code = self.proc.wait(timeout)
        finally:
            if self.alive():
                self.proc.kill()
                self.proc.wait()
        err = self.proc.stderr.read().decode()
        self.proc.stdout.close()
        self.proc.stderr.close()
        return code, err


def open_instrument(resource, timeout_ms=20000):
    """The server as PyVISA's pure-Python backend opens a socket instrument."""
    rm = pyvisa.ResourceManager("@py")
    inst = rm.open_resource(resource, read_termination="\n", write_termination="\n", timeout=timeout_ms)
    return rm, inst


def reopen(resource, timeout=20):
    """Opens the server once the previous client's session has ended: until
    the server has seen that client go, a new one is refused."""
    end = time.monotonic() + timeout
    while True:
        rm, inst = open_instrument(resource)
        try:
            answer = inst.query("*OPC?")
        except Exception:  # refused and closed before the query went out
            answer = "ERROR: refused"
        if answer == "1":
            return rm, inst
        inst.close()
        rm.close()
        if time.monotonic() > end:
            raise AssertionError(f"the server still refuses a new client: {answer!r}")
        time.sleep(0.05)


def transcript(inst, commands, out):
    """Sends each command, prints it and what came back (queries only)."""
    for command in commands:
        if "?" in command:
            answer = inst.query(command)
            shown = answer if len(answer) <= 100 else answer[:100] + f"... ({len(answer)} characters)"
            print(f"> {command}\n< {shown}", file=out)
        else:
            inst.write(command)
            print(f"> {command}", file=out)
