"""Loading libqvmodbusrtu and declaring its thirteen functions.

Every call into the library goes through ``LOCK``: the library keeps one link
and no locks of its own, so two threads must never be inside it at once.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from typing import List, Optional, Tuple

from .errors import LibraryNotFoundError

__all__ = ["LOCK", "ENV_LIBRARY", "library", "load_library", "ubytes", "last_code"]

LOCK = threading.RLock()
ENV_LIBRARY = "QVMODBUSRTU_LIBRARY"

_u8p = ctypes.POINTER(ctypes.c_ubyte)
_int, _u8 = ctypes.c_int, ctypes.c_ubyte
_PROTOTYPES = {
    "QV_ComInitial": (_int, _int),
    "QV_ComFree": (),
    "QV_TCPConnect": (ctypes.c_char_p, _int),
    "QV_TCPFree": (),
    "QV_ReadRegister": (_int, _int, _int, _u8p),
    "QV_WriteRegister": (_int, _int, _int),
    "QV_WriteMultiRegister": (_int, _int, _int, _u8p),
    "QV_GetDeviceInfo": (_int, _u8p),
    "QV_DownKey": (_int, _u8p),
    "QV_DownKeyEx": (_int, _u8, _u8p),
    "QV_SetBaseRegisterAddr": (_int, _int),
    "QV_SetPermission": (_int, _u8, _u8p),
    "QV_SetDeviceTermNO": (_int, _u8p),
}

_lib: Optional[ctypes.CDLL] = None
_lib_path = ""


def _candidates() -> List[Tuple[str, str]]:
    """(path or name, where it comes from), in search order."""
    env = os.environ.get(ENV_LIBRARY)
    if env:
        return [(env, ENV_LIBRARY)]  # an explicit choice is never silently replaced by another library
    found: List[Tuple[str, str]] = []
    try:  # written by `cmake --install`: the library installed with this package
        from . import _installed  # type: ignore[attr-defined]

        here = os.path.dirname(os.path.abspath(__file__))
        found.append((os.path.normpath(os.path.join(here, _installed.LIBRARY)), "installed with the package"))
    except ImportError:
        pass
    if sys.platform == "win32":
        found.append((ctypes.util.find_library("qvmodbusrtu") or "qvmodbusrtu.dll", "PATH"))
    else:
        found.append(("libqvmodbusrtu.so.1", "system library search"))
    return found


def load_library() -> str:
    """Load the shared library now and return the path or name it was loaded from.

    Search order: the environment variable QVMODBUSRTU_LIBRARY (a full path;
    when set, nothing else is tried), then the library installed next to this
    package by ``cmake --install``, then the system's search for
    libqvmodbusrtu.so.1 (LD_LIBRARY_PATH, the ld.so cache, /lib, /usr/lib) or,
    on Windows, qvmodbusrtu.dll on PATH.

    The package calls this itself on the first open; calling it early makes a
    missing library show at start-up.

    Raises:
        LibraryNotFoundError: (an ImportError) nothing loadable was found; the
            message names every place tried and why each failed.
    """
    global _lib, _lib_path
    with LOCK:
        if _lib is not None:
            return _lib_path
        tried = []
        for path, source in _candidates():
            try:
                # The library leaves a failure's code in errno (Windows: the
                # last error); ctypes keeps a private copy per call. 32-bit
                # Windows exports are stdcall: WinDLL.
                if sys.platform == "win32":
                    lib = ctypes.WinDLL(path, use_last_error=True)  # type: ignore[attr-defined]
                else:
                    lib = ctypes.CDLL(path, use_errno=True)
            except OSError as e:
                tried.append(f"{path} ({source}): {str(e).replace(path + ': ', '')}")
                continue
            missing = [name for name in _PROTOTYPES if not hasattr(lib, name)]
            if missing:
                tried.append(f"{path} ({source}): not the qvmodbusrtu library (no {', '.join(missing)})")
                continue
            for name, argtypes in _PROTOTYPES.items():
                fn = getattr(lib, name)
                fn.argtypes = list(argtypes)
                fn.restype = ctypes.c_int
            _lib, _lib_path = lib, path
            return path
        how = "" if os.environ.get(ENV_LIBRARY) else f"; set {ENV_LIBRARY} to the library's full path"
        raise LibraryNotFoundError("cannot load the qvmodbusrtu library: " + "; ".join(tried) + how)


def library() -> ctypes.CDLL:
    """The loaded library (loading it on first use)."""
    load_library()
    assert _lib is not None
    return _lib


def last_code() -> int:
    """The code the library left for the call just made on this thread (errno, GetLastError)."""
    if sys.platform == "win32":
        return ctypes.get_last_error()  # type: ignore[attr-defined]
    return ctypes.get_errno()


def ubytes(data: bytes) -> "ctypes.Array[ctypes.c_ubyte]":
    """A C unsigned char array holding a copy of data."""
    return (ctypes.c_ubyte * len(data)).from_buffer_copy(data)
