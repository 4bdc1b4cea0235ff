"""Exceptions raised by the qvmodbusrtu package, and why a command failed."""

from __future__ import annotations

import enum
import os
from typing import Optional

__all__ = ["QvError", "LibraryNotFoundError", "LinkError", "LinkClosedError", "ReaderError", "Reason"]


class QvError(Exception):
    """Base class of every error this package raises (bad arguments raise ValueError or TypeError)."""


class LibraryNotFoundError(QvError, ImportError):
    """The shared library libqvmodbusrtu.so.1 (qvmodbusrtu.dll) could not be loaded.

    A subclass of ImportError. The message lists every place that was tried.
    """


class LinkError(QvError):
    """A serial port could not be opened or a TCP connection could not be made.

    Attributes:
        errno: the system's code for it (errno; on Windows the system error
            code), e.g. errno.EACCES; 0 when the package refused on its own.
    """

    def __init__(self, message: str, errno: int = 0) -> None:
        super().__init__(message)
        self.errno = errno


class LinkClosedError(LinkError):
    """A call on a link that was closed, or superseded by a newer open (one link per process)."""


class Reason(enum.IntEnum):
    """Why a command failed; the values are the library's QV_E_ codes.

    An exception reply is EXCEPTION, whatever its Modbus exception code
    (ReaderError.exception_code holds that).
    """

    NO_LINK = 0x20000101  #: no link open (or its open failed)
    ARGUMENT = 0x20000102  #: an argument was refused; nothing sent
    SEND = 0x20000103  #: the request could not be sent
    NO_REPLY = 0x20000104  #: nothing came back within the reply wait
    LINK_LOST = 0x20000105  #: the line or connection went away: open it again
    INCOMPLETE = 0x20000106  #: the reply stopped short
    CRC = 0x20000107  #: the reply failed its CRC (TCP: its length field)
    FUNCTION = 0x20000108  #: a reply of another function code
    NO_DATA = 0x20000109  #: the reply carries no data
    EXCEPTION = 0x20000200  #: the reader refused the request (QV_E_EXCEPTION_BASE + its code)
    SHORT = 0  #: the reply held fewer bytes than asked for (found by the package)


EXCEPTION_NAMES = {
    1: "illegal function",
    2: "illegal data address",
    3: "illegal data value",
    4: "server device failure",
    5: "acknowledge",
    6: "server device busy",
    8: "memory parity error",
    10: "gateway path unavailable",
    11: "gateway target device failed to respond",
}

_WORDS = {
    Reason.NO_LINK: "no link is open",
    Reason.ARGUMENT: "an argument was refused; nothing was sent",
    Reason.SEND: "the request could not be sent",
    Reason.NO_REPLY: "no reply within the wait (reader off, another station id or bit rate?)",
    Reason.LINK_LOST: "the line went away (adapter unplugged, or the connection closed): open the link again",
    Reason.INCOMPLETE: "the reply stopped short",
    Reason.CRC: "the reply failed its check (noise or a wrong bit rate?)",
    Reason.FUNCTION: "a reply of another function came back",
    Reason.NO_DATA: "the reply carries no data",
}


def reason_of(code: int) -> "tuple[Reason, Optional[int]]":
    """The Reason and the exception code (or None) that a library code stands for."""
    if Reason.EXCEPTION <= code <= Reason.EXCEPTION + 0xFF:
        return Reason.EXCEPTION, code - Reason.EXCEPTION
    try:
        return Reason(code), None
    except ValueError:
        return Reason.SHORT, None


class ReaderError(QvError):
    """A command failed; reason says why.

    Attributes:
        call: the library function, e.g. "QV_ReadRegister".
        station: the station addressed.
        result: what the library function returned.
        reason: a Reason: NO_REPLY, LINK_LOST, EXCEPTION, CRC, ...
        exception_code: the Modbus exception code of an exception reply
            (2: illegal data address), else None.
    """

    def __init__(self, call: str, station: int, result: int, detail: str = "", code: int = 0,
                 words: str = "") -> None:
        self.call = call
        self.station = station
        self.result = result
        self.reason, self.exception_code = reason_of(code)
        if not words:
            if self.exception_code is not None:
                name = EXCEPTION_NAMES.get(self.exception_code, "")
                words = f"the reader refused the request: exception {self.exception_code:02X}"
                words += f", {name}" if name else ""
            else:
                words = _WORDS.get(self.reason, f"failed (code 0x{code:08X})")
        what = f"{call} to station {station}"
        if detail:
            what += f" ({detail})"
        trace = trace_place()
        super().__init__(f"{what}: {words}" + (f"; {trace} has the frames" if trace else ""))


def trace_place() -> str:
    """Where the library's trace is being written, or "" when it is off."""
    trace = os.environ.get("QV_TRACE", "")
    if trace.lower() in ("stderr", "1"):
        return "the library's trace on standard error"
    if trace and trace != "0":
        return f"the library's trace in {trace}"
    return ""
