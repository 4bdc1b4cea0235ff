"""The package against readersim (station 1, also answering station 0)."""

from __future__ import annotations

import errno
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import pytest

import qvmodbusrtu as qv
from conftest import BUILD, PACKAGE_ROOT, READERSIM, Sim


def test_every_command_over_serial(sim: Sim, com1: qv.Link) -> None:
    r = qv.Reader(com1, station=1)
    assert r.device_info() == qv.DeviceInfo("QV-LF125", "1.5", 0)
    assert r.read_registers(1, 2) == [0x0301, 0x0005]
    assert r.card_number() == "0000000000123456"

    r.write_register(106, 0xFFFF)
    assert r.read_registers(106, 1) == [0xFFFF]
    r.write_registers(106, [0x0014])
    assert r.read_registers(106, 1) + r.read_registers(100, 1) == [0x0014, 0x0010]

    r.clear_card()
    assert r.card_number() == "0" * 16
    time.sleep(0.3)  # readersim shows the card again 100 ms after the clear
    assert r.card_number() == "0000000000123456"

    start = sim.log_size()
    assert r.led() == 0x0611
    assert r.led(qv.Output.LED, cycles=63, on_ms=1500, off_ms=0) == 0xFDF0
    log = sim.log_since(start)
    assert "40003 = 0x0611: buzzer, on 100 ms, off 100 ms, 1 cycle" in log
    assert "40003 = 0xFDF0" in log

    r.set_base_register_addr(0x1234)
    assert r.device_info().base_address == 0x1234
    r.set_base_register_addr(0)
    start = sim.log_size()
    r.down_key(bytes(range(6)))
    r.down_key_ex(255, bytearray(16))
    r.set_permission(7, bytes(16))
    r.set_terminal_no(b"123456")
    log = sim.log_since(start)
    for note in ("key received (6 bytes)", "key received (selector and 16 bytes)",
                 "permission received", "terminal number received"):
        assert note in log


def test_tcp(sim: Sim) -> None:
    with qv.open_tcp("127.0.0.1", sim.tcp_port) as link:
        r = qv.Reader(link)
        assert r.device_info().model == "QV-LF125"
        assert r.card_number() == "0000000000123456"
        r.write_registers(106, [0x0015])
        assert r.read_registers(106, 1) == [0x0015]
        r.write_register(106, 0x0014)


def _holds(device: str) -> bool:
    """Whether this process has device open."""
    fds = Path("/proc/self/fd")
    return any(os.path.realpath(fds / fd) == device for fd in os.listdir(fds))


def test_device_path_leaves_no_trace(sim: Sim, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    monkeypatch.setenv("QV_PORTS_DIR", "/nonexistent")
    with qv.open_serial(sim.pty) as link:
        assert os.environ["QV_PORTS_DIR"] == "/nonexistent"
        assert list(tmp_path.iterdir()) == []  # the private ports directory is gone
        assert qv.Reader(link, 1).card_number() == "0000000000123456"
    monkeypatch.delenv("QV_PORTS_DIR")
    with qv.open_serial(Path(sim.pty)) as link:
        assert "QV_PORTS_DIR" not in os.environ
        assert qv.Reader(link).read_registers(1, 1) == [0x0301]
    assert not _holds(sim.pty)


def test_failures(sim: Sim, com1: qv.Link, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.delenv("QV_TRACE", raising=False)
    r = qv.Reader(com1, station=1)
    start = time.monotonic()
    with pytest.raises(qv.ReaderError, match=r"QV_ReadRegister to station 1 \(address 50, count 1\): "
                       r"the reader refused the request: exception 02, illegal data address$") as e:
        r.read_registers(50, 1)
    assert time.monotonic() - start < 1  # an exception reply ends the wait at once
    assert (e.value.call, e.value.station, e.value.result) == ("QV_ReadRegister", 1, -1)
    assert (e.value.reason, e.value.exception_code) == (qv.Reason.EXCEPTION, 2)
    with pytest.raises(qv.ReaderError, match="no reply within the wait") as e:
        qv.Reader(com1, station=99).card_number()
    assert (e.value.reason, e.value.exception_code) == (qv.Reason.NO_REPLY, None)
    # The largest counts are passed on: readersim answers them with an exception.
    monkeypatch.setenv("QV_TRACE", "stderr")
    with pytest.raises(qv.ReaderError, match="trace on standard error has the frames"):
        r.read_registers(1, 125)
    with pytest.raises(qv.ReaderError, match="QV_WriteMultiRegister"):
        r.write_registers(65535 - 122, [0] * 123)
    with pytest.raises(qv.LinkError, match="COM99.*No such file or directory") as le:
        qv.open_serial("com99")
    assert le.value.errno == errno.ENOENT
    with pytest.raises(qv.LinkError, match="127.0.0.1:1: Connection refused") as le:
        qv.open_tcp("127.0.0.1", 1)
    assert le.value.errno == errno.ECONNREFUSED
    with pytest.raises(qv.LinkError, match="no such device"):
        qv.open_serial("/dev/nonexistent-tty")


def test_reasons_are_the_headers_codes() -> None:
    header = (PACKAGE_ROOT.parent / "qvmodbusrtu" / "include" / "qvmodbusrtu.h").read_text()
    codes = {m[1]: int(m[2], 16) for m in re.finditer(r"#define QV_E_(\w+) (0x[0-9A-F]+)", header)}
    assert len(codes) == 10
    names = {"NOLINK": "NO_LINK", "NOREPLY": "NO_REPLY", "LINKLOST": "LINK_LOST", "NODATA": "NO_DATA",
             "EXCEPTION_BASE": "EXCEPTION"}
    assert {names.get(k, k): v for k, v in codes.items()} == {m.name: m.value for m in qv.Reason if m.value}


def test_register_map_is_the_headers() -> None:
    from qvmodbusrtu import registers

    root = PACKAGE_ROOT.parent
    header = (root / "common" / "qvregisters.h").read_text()
    cpp = {re.sub(r"(?<!^)(?=[A-Z])", "_", m[1]).upper(): int(m[2], 0)
           for m in re.finditer(r"constexpr int k(\w+) = (0x[0-9A-Fa-f]+|\d+);", header)}
    rates = re.search(r"constexpr int kBaudRates\[\] = \{([^}]*)\}", header)
    assert rates
    cpp["BAUD_RATES"] = tuple(int(r) for r in rates[1].split(","))
    ours = {k: v for k, v in vars(registers).items() if k.isupper()}
    assert len(ours) >= 25
    assert {k: cpp.get(k) for k in ours} == ours
    public = (root / "qvmodbusrtu" / "include" / "qvmodbusrtu.h").read_text()
    assert f"#define QV_DEVICE_INFO_SIZE {registers.INFO_RESERVED}\n" in public


def _replug_sim(tmp_path: Path) -> "tuple[subprocess.Popen, str]":
    ports = tmp_path / "ports"
    proc = subprocess.Popen([READERSIM, "--pty", "COM3", "--ports-dir", str(ports)], stdout=subprocess.PIPE, text=True)
    assert proc.stdout is not None and "serving COM3" in proc.stdout.readline()
    return proc, str(ports)


def test_lost_line_then_back(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    """The README's watch loop: a reader unplugged mid-watch is named, and found again once back."""
    proc, ports = _replug_sim(tmp_path)
    monkeypatch.setenv("QV_PORTS_DIR", ports)
    link = qv.open_serial("COM3")
    assert qv.Reader(link).card_number() == "0000000000123456"
    proc.terminate()
    proc.wait(10)
    start = time.monotonic()
    for _ in range(2):  # the call that meets it, and the ones after, at once
        with pytest.raises(qv.ReaderError, match="the line went away") as e:
            qv.Reader(link).card_number()
        assert e.value.reason == qv.Reason.LINK_LOST
    assert time.monotonic() - start < 1
    proc, ports = _replug_sim(tmp_path)
    try:
        link = qv.open_serial("COM3")
        assert qv.Reader(link).card_number() == "0000000000123456"
        link.close()
    finally:
        proc.terminate()
        proc.wait(10)


def test_forked_child_leaves_the_link_to_its_parent(sim: Sim, com1: qv.Link) -> None:
    pid = os.fork()
    if pid == 0:  # the child may not use the link, and its exit must not free it
        try:
            qv.Reader(com1).card_number()
            os._exit(3)
        except qv.LinkClosedError:
            os._exit(0)
        except BaseException:
            os._exit(4)
    _, status = os.waitpid(pid, 0)
    assert os.WEXITSTATUS(status) == 0
    assert com1.is_open
    assert qv.Reader(com1).card_number() == "0000000000123456"


BAD_CALLS = [  # each would reach the reader, or fail there, if the package let it through
    (ValueError, lambda r: r.read_registers(4, 0)),
    (ValueError, lambda r: r.read_registers(1, 126)),
    (ValueError, lambda r: r.read_registers(65535, 2)),
    (ValueError, lambda r: r.write_registers(4, [0] * 124)),
    (ValueError, lambda r: r.write_registers(4, [])),
    (ValueError, lambda r: r.write_register(106, 65536)),
    (ValueError, lambda r: r.write_registers(106, [1, -1])),
    (ValueError, lambda r: r.write_register(65536, 0)),
    (ValueError, lambda r: r.set_base_register_addr(-1)),
    (TypeError, lambda r: r.write_register(106, 1.0)),
    (ValueError, lambda r: r.down_key(b"12345")),
    (ValueError, lambda r: r.down_key_ex(1, bytes(15))),
    (ValueError, lambda r: r.down_key_ex(256, bytes(16))),
    (TypeError, lambda r: r.down_key("123456")),
    (TypeError, lambda r: r.set_terminal_no(6)),
    (ValueError, lambda r: r.set_terminal_no(bytes(7))),
    (ValueError, lambda r: r.set_permission(-1, bytes(16))),
    (ValueError, lambda r: r.set_permission(1, bytes(17))),
    (ValueError, lambda r: r.led(on_ms=150)),
    (ValueError, lambda r: r.led(off_ms=1600)),
    (ValueError, lambda r: r.led(cycles=64)),
    (ValueError, lambda r: r.led(output=4)),
    (ValueError, lambda r: qv.Reader(r.link, 256)),
    (ValueError, lambda r: qv.Reader(r.link, -1)),
]


def test_bad_arguments_send_nothing(sim: Sim, com1: qv.Link) -> None:
    r = qv.Reader(com1, station=1)
    start = sim.log_size()
    for error, call in BAD_CALLS:
        with pytest.raises(error):
            call(r)
    r.read_registers(2, 1)  # the only request readersim should have seen
    requests = [line for line in sim.log_since(start).splitlines() if line.startswith("COM1 <")]
    assert requests == ["COM1 <01><03><00><02><00><01><25><CA>"]


def test_one_link_per_process(sim: Sim, com1: qv.Link) -> None:
    old = qv.Reader(com1, 1)
    with qv.open_tcp("127.0.0.1", sim.tcp_port) as tcp:
        assert not com1.is_open and tcp.is_open
        assert not _holds(sim.pty)  # the library itself would keep the port open
        with pytest.raises(qv.LinkClosedError, match="superseded by tcp link"):
            old.card_number()
        com1.close()  # must not free the newer link
        assert qv.Reader(tcp).card_number() == "0000000000123456"
        with pytest.raises(qv.LinkClosedError, match="closed"):
            old.card_number()
    with pytest.raises(qv.LinkClosedError, match="closed"):
        qv.Reader(tcp).card_number()
    # A newer serial open ends a TCP link too.
    tcp2 = qv.open_tcp("127.0.0.1", sim.tcp_port)
    with qv.open_serial(sim.pty) as serial:
        with pytest.raises(qv.LinkClosedError):
            qv.Reader(tcp2).device_info()
        assert qv.Reader(serial).card_number() == "0000000000123456"


def _python(code: str, cwd: Path, **env: str) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter; cwd keeps the source tree off its path."""
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, cwd=cwd,
                          env={**os.environ, "PYTHONDONTWRITEBYTECODE": "1", **env})


def test_missing_library_raises_import_error(tmp_path: Path) -> None:
    missing = str(tmp_path / "libqvmodbusrtu.so.1")
    code = ("import qvmodbusrtu as q\n"
            "try:\n    q.open_tcp('127.0.0.1', 1)\n"
            "except ImportError as e:\n    print(type(e).__name__, e)\n")
    out = _python(code, tmp_path, PYTHONPATH=str(PACKAGE_ROOT), QVMODBUSRTU_LIBRARY=missing)
    assert out.stdout.startswith("LibraryNotFoundError cannot load the qvmodbusrtu library: " + missing), out


def test_trace_set_before_the_first_call_explains_a_failure(sim: Sim, tmp_path: Path) -> None:
    trace = tmp_path / "qv.log"
    code = ("import qvmodbusrtu as q\n"
            f"link = q.open_tcp('127.0.0.1', {sim.tcp_port})\n"
            "try:\n    q.Reader(link, 1).read_registers(50, 1)\n"
            "except q.ReaderError as e:\n    print(e)\n")
    out = _python(code, tmp_path, PYTHONPATH=str(PACKAGE_ROOT), QV_TRACE=str(trace))
    assert f"trace in {trace} has the frames" in out.stdout, out
    assert "QV_ReadRegister(station 1, address 50, count 1) gives -1: exception reply, code 02" in trace.read_text()


def test_installs_offline(tmp_path: Path) -> None:
    src = tmp_path / "src"
    shutil.copytree(PACKAGE_ROOT, src, ignore=shutil.ignore_patterns("tests", "build", "*.egg-info", "__pycache__"))
    pip = [sys.executable, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-index", "--no-cache-dir",
           "--root-user-action=ignore", "--target", str(tmp_path / "site"), str(src)]
    subprocess.run(pip, check=True, timeout=120, cwd=tmp_path)
    check = "import qvmodbusrtu as q, pydoc; print(q.__file__); print(pydoc.render_doc(q, renderer=pydoc.plaintext))"
    out = _python(check, tmp_path, PYTHONPATH=str(tmp_path / "site"))
    assert out.stdout.startswith(str(tmp_path / "site" / "qvmodbusrtu" / "__init__.py")), out
    assert "class Reader" in out.stdout and "open_serial(port" in out.stdout
    assert (tmp_path / "site" / "qvmodbusrtu" / "py.typed").exists()


def test_cmake_install_finds_its_library(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    if not (BUILD / "python" / "cmake_install.cmake").exists():
        pytest.skip(f"no CMake build at {BUILD}; set QV_BUILD_DIR")
    prefix = tmp_path / "prefix"
    for part in ("qvmodbusrtu", "python"):  # what cmake --install runs, minus the manifest in the build tree
        subprocess.run(["cmake", f"-DCMAKE_INSTALL_PREFIX={prefix}", "-P", str(BUILD / part / "cmake_install.cmake")],
                       check=True, capture_output=True, timeout=120)
    monkeypatch.delenv("QVMODBUSRTU_LIBRARY")
    out = _python("import qvmodbusrtu as q; print(q.load_library())", tmp_path, LD_LIBRARY_PATH="",
                  PYTHONPATH=str(prefix / "share/qvmodbusrtu/python"))
    assert prefix.resolve() in Path(out.stdout.strip()).resolve().parents, out


def test_threads_do_not_interleave(sim: Sim) -> None:
    with qv.open_tcp("127.0.0.1", sim.tcp_port) as link:
        readers = [(qv.Reader(link, 1), 1, 0x0301), (qv.Reader(link, 0), 2, 0x0005)]
        wrong: list = []  # replies that crossed over, or failures

        def poll(reader: qv.Reader, address: int, want: int) -> None:
            for _ in range(200):
                try:
                    got = reader.read_registers(address, 1)
                except qv.ReaderError as e:
                    got = [str(e)]
                if got != [want]:
                    wrong.append(got)

        threads = [threading.Thread(target=poll, args=args) for args in readers]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        assert wrong == []
