"""zqlscope.exe scpi under Wine beside the virtual-instrument DLL, served to
PyVISA on Linux: it prints its VISA resource first, answers *IDN?, gives the
same waveform as zqlscope.exe capture (both channels of a 1,000-point record
and the measurements), queues the error of a bad line, refuses a second
client while the first keeps its session, and ends on Ctrl-C with 0. Prints
the session's transcript.
Usage: check_exe.py WINE-RUNNER ZQLSCOPE.EXE ZQLUSB.DLL"""
import csv
import io
import os
import shutil
import socket
import subprocess
import sys
import tempfile

from scpi_process import ScpiProcess, open_instrument, transcript

SCRIPT = "a sine period=300 amplitude=90 offset=120; b triangle period=200 amplitude=50 offset=100"


def capture(runner, folder, exe):
    done = subprocess.run([runner, "./" + exe, "capture", "--count", "1000", "--csv", "-"], cwd=folder,
                          env={**os.environ, "ZQLUSB_VIRTUAL_SCRIPT": SCRIPT}, capture_output=True, timeout=120,
                          check=True)
    rows = [r for r in csv.reader(io.StringIO(done.stdout.decode())) if r and r[0].isdigit()]
    return bytes(int(r[1]) for r in rows), bytes(int(r[2]) for r in rows)


def fail(text):
    print("FAIL: " + text)
    return 1


def check(server, expected):
    rm, inst = open_instrument(server.resource, timeout_ms=60000)
    try:
        print("transcript (zqlscope.exe scpi under Wine, virtual-instrument DLL):")
        transcript(inst, ["*IDN?", ":ACQ:POIN 1000;:TRIG:MODE OFF;:WAV:FORM BYTE", ":SINGle", ":WAV:PRE?",
                          ":MEAS:VPP? CHAN1;:MEAS:PER? CHAN1;:MEAS:FREQ? CHAN2", ":NOT:A:COMMAND", ":SYST:ERR?",
                          ":SYST:ERR?", "*OPC?"], sys.stdout)
        if not inst.query("*IDN?").startswith("ZELQA,USB oscilloscope,"):
            return fail("*IDN? names no Zelqa")
        got = []
        for source in ("CHAN1", "CHAN2"):
            inst.write(":WAV:SOUR " + source)
            got.append(bytes(inst.query_binary_values(":WAV:DATA?", datatype="B", container=bytearray)))
        print(f"> :WAV:DATA? (both channels)\n< {len(got[0])} + {len(got[1])} bytes")
        if tuple(got) != expected:
            return fail(f"the waveform differs from capture's: {got[0][:8]!r}... against {expected[0][:8]!r}...")
        if inst.query(":MEAS:VPP? CHAN1;:MEAS:PER? CHAN1") != "180;300":
            return fail("channel A's sine (amplitude 90, period 300) measures otherwise")
        with socket.create_connection((server.host, server.port), timeout=30) as second:
            with second.makefile("rb") as f:
                refusal = f.readline().decode()
        if not refusal.startswith("ERROR: refused: another client is connected"):
            return fail(f"a second client got {refusal!r}")
        if inst.query("*OPC?") != "1":
            return fail("the first client lost its session")
        print(f"second client: {refusal.strip()}")
    finally:
        inst.close()
        rm.close()
    return 0


def main(runner, exe, dll):
    runner = os.path.abspath(runner) if os.sep in runner else runner
    with tempfile.TemporaryDirectory(prefix="zqlscope-scpi-") as folder:
        for f in (exe, dll):
            shutil.copy(f, folder)
        name = os.path.basename(exe)
        expected = capture(runner, folder, name)
        server = ScpiProcess(env={"ZQLUSB_VIRTUAL_SCRIPT": SCRIPT}, prefix=(runner,), program="./" + name,
                             cwd=folder)
        try:
            result = check(server, expected)
        finally:
            code, err = server.stop(timeout=30)
        if result == 0 and code != 0:
            return fail(f"Ctrl-C ended zqlscope.exe scpi with {code}: {err}")
        print(f"zqlscope.exe scpi: Ctrl-C exit {code}")
        return result


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
