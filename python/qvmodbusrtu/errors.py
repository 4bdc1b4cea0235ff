"""Exceptions raised by the qvmodbusrtu package."""

from __future__ import annotations

import os

__all__ = ["QvError", "LibraryNotFoundError", "LinkError", "LinkClosedError", "ReaderError"]


class QvError(Exception):
    """Base class of every error this package raises (bad arguments raise ValueError or TypeError)."""


class LibraryNotFoundError(QvError, ImportError):
    """The shared library libqvmodbusrtu.so.1 (qvmodbusrtu.dll) could not be loaded.

    A subclass of ImportError. The message lists every place that was tried.
    """


class LinkError(QvError):
    """A serial port could not be opened or a TCP connection could not be made."""


class LinkClosedError(LinkError):
    """A call on a link that was closed, or superseded by a newer open (one link per process)."""


class ReaderError(QvError):
    """A command failed: no reply, a bad or exception reply, or the link broke.

    The library reports no reason; the message names the call and the station
    and says where the library's trace (QV_TRACE) shows why.

    Attributes:
        call: the library function, e.g. "QV_ReadRegister".
        station: the station addressed.
        result: what the library function returned.
    """

    def __init__(self, call: str, station: int, result: int, detail: str = "") -> None:
        self.call = call
        self.station = station
        self.result = result
        what = f"{call} to station {station} failed"
        if detail:
            what += f" ({detail})"
        super().__init__(f"{what}; {trace_hint()}")


def trace_hint() -> str:
    """Where the library's trace of the failure is, or how to get one."""
    trace = os.environ.get("QV_TRACE", "")
    if trace == "stderr":
        return "the library's trace on standard error says why"
    if trace:
        return f"the library's trace in {trace} says why"
    return "run with QV_TRACE=stderr (or QV_TRACE=<file>) set to see why"
