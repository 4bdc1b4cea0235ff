"""readersim as a subprocess: a pty entered as COM1 in a private ports directory, and TCP."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import time
from pathlib import Path
from typing import Iterator, NamedTuple

import pytest

PACKAGE_ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(PACKAGE_ROOT))
BUILD = Path(os.environ.get("QV_BUILD_DIR", PACKAGE_ROOT.parent / "build"))
os.environ.setdefault("QVMODBUSRTU_LIBRARY", str(BUILD / "qvmodbusrtu" / "libqvmodbusrtu.so.1"))
READERSIM = os.environ.get("READERSIM", str(BUILD / "readersim" / "readersim"))


class Sim(NamedTuple):
    ports_dir: str
    pty: str
    tcp_port: int
    log: Path  # readersim --verbose: one line per request and reply

    def log_size(self) -> int:
        return self.log.stat().st_size

    def log_since(self, offset: int) -> str:
        time.sleep(0.1)  # readersim logs after it replies
        return self.log.read_text()[offset:]


@pytest.fixture(scope="session")
def sim(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Sim]:
    if not os.access(READERSIM, os.X_OK):
        pytest.skip(f"readersim not built ({READERSIM}); set READERSIM")
    tmp = tmp_path_factory.mktemp("sim")
    ports, log = tmp / "ports", tmp / "readersim.log"
    cmd = [READERSIM, "--pty", "COM1", "--ports-dir", str(ports), "--tcp", "0", "--verbose"]
    with open(log, "w") as err:
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=err, text=True)
    try:
        assert proc.stdout is not None
        serving, tcp = proc.stdout.readline(), proc.stdout.readline()
        m_pty = re.search(r"serving COM1 \((\S+)\)", serving)
        m_tcp = re.search(r"tcp 127\.0\.0\.1:(\d+)", tcp)
        assert m_pty and m_tcp, f"readersim did not start: {serving!r} {tcp!r}"
        yield Sim(str(ports), m_pty.group(1), int(m_tcp.group(1)), log)
    finally:
        proc.terminate()
        proc.wait(10)


@pytest.fixture
def com1(sim: Sim, monkeypatch: pytest.MonkeyPatch) -> Iterator["object"]:
    import qvmodbusrtu

    monkeypatch.setenv("QV_PORTS_DIR", sim.ports_dir)
    with qvmodbusrtu.open_serial("COM1") as link:
        yield link
