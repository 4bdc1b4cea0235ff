"""Read a 125 kHz RFID card reader over Modbus RTU or TCP through libqvmodbusrtu.

Reading a card is three lines::

    import qvmodbusrtu
    with qvmodbusrtu.open_serial("/dev/ttyUSB0") as link:
        print(qvmodbusrtu.Reader(link).card_number())  # e.g. 0000000000123456

open_serial() also takes a port number (3) or name ("COM3"), looked up in the
ports directory $QV_PORTS_DIR (default /etc/qvmodbusrtu/ports);
open_tcp("192.168.1.50") connects over Modbus TCP instead.

The library
    This package is a thin ctypes binding, standard library only. It loads
    libqvmodbusrtu.so.1 (qvmodbusrtu.dll) on the first open, from
    $QVMODBUSRTU_LIBRARY (a full path) when set, else where ``cmake --install``
    put it, else by the system's library search. A missing library raises
    LibraryNotFoundError, a subclass of ImportError; load_library() loads it
    early.

One link per process
    The library holds a single link. Opening a link (serial or TCP) closes the
    one opened before, and the older Link object refuses every call with
    LinkClosedError. A closed link does the same.

Errors
    A failed command raises ReaderError, naming the call, the station and the
    reason: its ``reason`` is a Reason (NO_REPLY, LINK_LOST, EXCEPTION with
    ``exception_code``, CRC, ...), as the library reports it. After LINK_LOST
    (an unplugged adapter, a closed connection) open the link again. A link
    that cannot be opened raises LinkError with the system's ``errno``. For
    the frames themselves, set QV_TRACE=stderr (or QV_TRACE=<file>) before the
    first call. Out-of-range or malformed arguments raise ValueError or
    TypeError before anything is sent. All the package's own exceptions
    derive from QvError.

Threads
    The library is not thread-safe. Every call into it is made under one
    module-level lock, so threads sharing a link cannot interleave one's
    request with another's reply; they queue instead, each call taking up to
    about 2 s when a reader does not answer. Keep a link's use to one thread
    where you can.
"""

from ._native import load_library
from .errors import LibraryNotFoundError, LinkClosedError, LinkError, QvError, ReaderError, Reason
from .link import Link, open_serial, open_tcp
from .reader import DeviceInfo, Output, Reader, led_word

__version__ = "1.0.0"

__all__ = [
    "open_serial",
    "open_tcp",
    "Link",
    "Reader",
    "DeviceInfo",
    "Output",
    "led_word",
    "load_library",
    "QvError",
    "LibraryNotFoundError",
    "LinkError",
    "LinkClosedError",
    "ReaderError",
    "Reason",
]
