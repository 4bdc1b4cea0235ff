"""Opening and closing the library's link: a serial port or a TCP connection.

The library holds ONE link per process. Opening a link closes the one opened
before it (serial or TCP alike); the older Link object then refuses every call
with LinkClosedError instead of talking over the new link.
"""

from __future__ import annotations

import ctypes
import errno
import os
import re
import shutil
import sys
import tempfile
from typing import Optional, Union

from . import _native, registers
from .errors import LinkClosedError, LinkError

__all__ = ["Link", "open_serial", "open_tcp"]

PortSpec = Union[int, str, "os.PathLike[str]"]

_current: Optional["Link"] = None


class Link:
    """The library's link to a reader, returned by open_serial() and open_tcp().

    Use it as a context manager, or call close(). Only the most recently
    opened link is usable: one link per process.

    Attributes:
        kind: "serial" or "tcp".
        name: what was opened, e.g. "COM3", "/dev/ttyUSB0" or "192.168.1.50:502".
    """

    def __init__(self, kind: str, name: str) -> None:
        self.kind = kind
        self.name = name
        self._closed = False

    @property
    def is_open(self) -> bool:
        """True while this link is open and has not been superseded by a newer one."""
        return not self._closed and _current is self

    def _check(self) -> None:
        """Raise LinkClosedError unless this link is open and current (call under the lock)."""
        if self._closed:
            raise LinkClosedError(f"{self.kind} link {self.name} is closed")
        if _current is not self:
            newer = f" by {_current.kind} link {_current.name}" if _current else ""
            raise LinkClosedError(
                f"{self.kind} link {self.name} was superseded{newer}: "
                "the library holds one link per process, opening another closes the first"
            )

    def close(self) -> None:
        """Free the link (QV_ComFree or QV_TCPFree). Closing twice, or a superseded link, does nothing."""
        global _current
        with _native.LOCK:
            if self._closed:
                return
            self._closed = True
            if _current is self:
                _current = None
                _free(self.kind)

    def __enter__(self) -> "Link":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "open" if self.is_open else ("closed" if self._closed else "superseded")
        return f"<qvmodbusrtu.Link {self.kind} {self.name} {state}>"


def _forget_in_child() -> None:
    # A forked child shares its parent's port and connection: it must neither
    # use nor free them (freeing would take the port from the parent).
    global _current
    if _current is not None:
        _current._closed = True
        _current = None


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_in_child)


def _free(kind: str) -> None:
    lib = _native.library()
    if kind == "serial":
        lib.QV_ComFree()
    else:
        lib.QV_TCPFree()


def _supersede() -> None:
    # The library's serial port and TCP connection do not close each other;
    # freeing the old link first keeps one link in force whatever the kinds.
    global _current
    if _current is not None:
        old, _current = _current, None
        _free(old.kind)


def _check_int(name: str, value: int, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not low <= value <= high:
        raise ValueError(f"{name} must be {low}..{high}, got {value}")
    return value


def _system_words(code: int) -> str:
    """The system's words for an errno (Windows: system error code)."""
    if sys.platform == "win32":
        return ctypes.FormatError(code).strip().rstrip(".")  # type: ignore[attr-defined]
    return os.strerror(code)


def _open_com(number: int, baud: int, name: str, hint: str) -> "Link":
    global _current
    _supersede()
    lib = _native.library()
    if lib.QV_ComInitial(number, baud) != 1:
        code = _native.last_code()
        lib.QV_ComFree()
        why = _system_words(code)
        if code == errno.ENOENT and hint:
            why += f" ({hint})"
        elif code == errno.EBUSY:
            why += " (another program holds the port)"
        elif code in (errno.EACCES, errno.EPERM):
            why += " (the user must be in the device's group, e.g. dialout)"
        raise LinkError(f"cannot open serial port {name} at {baud} baud: {why}", code)
    _current = Link("serial", name)
    return _current


def open_serial(port: PortSpec, baud: int = registers.DEFAULT_BAUD) -> Link:
    """Open a serial port (Modbus RTU) and return the Link; any link opened before is closed.

    Args:
        port: the port number (3), its name ("COM3"), or on Linux a device
            path ("/dev/ttyUSB0", a pty). COM<n> is looked up in the ports
            directory $QV_PORTS_DIR (default /etc/qvmodbusrtu/ports); a device
            path is entered as COM1 in a private temporary ports directory for
            the moment of the open, so QV_PORTS_DIR is left as it was.
        baud: the bit rate (default 19200), 8 data bits, no parity, 1 stop bit.

    Raises:
        LinkError: the port could not be opened (missing, busy, no access).
        ValueError, TypeError: port or baud is malformed.
        LibraryNotFoundError: the library could not be loaded.
    """
    _check_int("baud", baud, 1, 2**31 - 1)
    device: Optional[str] = None
    if isinstance(port, int) and not isinstance(port, bool):
        number, name = _check_int("port", port, 1, 2**31 - 1), f"COM{port}"
    elif isinstance(port, (str, os.PathLike)):
        text = os.fspath(port)
        m = re.fullmatch(r"(?i)com([0-9]{1,9})", text)
        if m and int(m.group(1)) >= 1:
            number, name = int(m.group(1)), f"COM{int(m.group(1))}"
        elif sys.platform != "win32" and text and ("/" in text or os.path.exists(text)):
            number, name, device = 1, text, os.path.abspath(text)
        else:
            raise ValueError(f"port must be a number, 'COM<n>' or a device path, got {text!r}")
    else:
        raise TypeError(f"port must be an int, a str or a path, not {type(port).__name__}")

    with _native.LOCK:
        if device is None:
            where = os.environ.get("QV_PORTS_DIR") or "/etc/qvmodbusrtu/ports"
            hint = ""
            if sys.platform != "win32":
                hint = f"COM<n> is an entry of the ports directory {where} or a serial device found"
            return _open_com(number, baud, name, hint)
        if not os.path.exists(device):
            raise LinkError(f"cannot open serial port {name}: no such device")
        ports = tempfile.mkdtemp(prefix="qvmodbusrtu-ports-")
        saved = os.environ.get("QV_PORTS_DIR")
        try:
            os.symlink(device, os.path.join(ports, "COM1"))
            os.environ["QV_PORTS_DIR"] = ports  # putenv: the library's getenv sees it
            return _open_com(1, baud, name, "")
        finally:
            if saved is None:
                os.environ.pop("QV_PORTS_DIR", None)
            else:
                os.environ["QV_PORTS_DIR"] = saved
            # The library holds the opened descriptor, not the name: the directory can go now.
            shutil.rmtree(ports, ignore_errors=True)


def open_tcp(host: str, port: int = 502) -> Link:
    """Connect to a reader over Modbus TCP and return the Link; any link opened before is closed.

    Args:
        host: a host name or IPv4 address.
        port: the TCP port (default 502).

    Raises:
        LinkError: the connection could not be made (refused, unreachable, unknown host).
        ValueError, TypeError: host or port is malformed.
        LibraryNotFoundError: the library could not be loaded.
    """
    global _current
    if not isinstance(host, str):
        raise TypeError(f"host must be a str, not {type(host).__name__}")
    try:
        raw = host.encode("idna")
    except UnicodeError:
        raw = b""
    if not raw or b"\0" in raw:
        raise ValueError(f"host must be a host name or address, got {host!r}")
    _check_int("port", port, 1, 65535)
    name = f"{host}:{port}"
    with _native.LOCK:
        _supersede()
        lib = _native.library()
        result = lib.QV_TCPConnect(raw, port)
        if result != 1:
            code = _native.last_code()
            lib.QV_TCPFree()
            raise LinkError(f"cannot connect to {name}: {_system_words(code)}", code)
        _current = Link("tcp", name)
        return _current
