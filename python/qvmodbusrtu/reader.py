"""Commands to one reader (a station) over the current link."""

import ctypes
import enum
from typing import Callable, List, NamedTuple, Sequence

from . import _native
from . import registers as reg
from .errors import ReaderError
from .link import Link, _check_int

__all__ = ["Reader", "DeviceInfo", "Output", "led_word"]


class DeviceInfo(NamedTuple):
    """The reader's device information.

    Attributes:
        model: the model name, e.g. "QV-LF125" (8 characters at most).
        version: the firmware version, e.g. "1.5".
        base_address: the register base address.
    """

    model: str
    version: str
    base_address: int


class Output(enum.IntEnum):
    """What led() drives."""

    LED = 1
    BUZZER = 2
    BOTH = 3


def _top(mask: int, shift: int) -> int:
    return mask >> shift


def _ms(name: str, ms: int) -> int:
    unit = reg.LED_TIME_UNIT_MS
    _check_int(name, ms, 0, _top(reg.LED_ON_MASK, reg.LED_ON_SHIFT) * unit)
    if ms % unit:
        raise ValueError(f"{name} must be a multiple of {unit} ms, got {ms}")
    return ms // unit


def led_word(output: int = Output.BUZZER, cycles: int = 1, on_ms: int = 100, off_ms: int = 100) -> int:
    """The 40003 word for an LED/buzzer signal (see Reader.led); the defaults give 0x0611."""
    _check_int("output", output, 1, _top(reg.LED_OUTPUT_MASK, reg.LED_OUTPUT_SHIFT))
    _check_int("cycles", cycles, 0, _top(reg.LED_CYCLE_MASK, reg.LED_CYCLE_SHIFT))
    return (cycles << reg.LED_CYCLE_SHIFT | output << reg.LED_OUTPUT_SHIFT | _ms("on_ms", on_ms) << reg.LED_ON_SHIFT
            | _ms("off_ms", off_ms) << reg.LED_OFF_SHIFT)


def _key(name: str, data: bytes, size: int) -> "ctypes.Array[ctypes.c_ubyte]":
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"{name} must be bytes, not {type(data).__name__}")
    data = bytes(data)
    if len(data) != size:
        raise ValueError(f"{name} must be {size} bytes, got {len(data)}")
    return _native.ubytes(data)


class Reader:
    """One reader, addressed by its station id, over a Link.

    Every method is one request and one reply, and blocks until the reply
    (at most about 2 s when the reader does not answer). Register addresses
    are protocol addresses: register 40001 is address 1. Register values are
    16-bit unsigned ints.

    Raises (every command):
        ReaderError: the command failed; its reason (NO_REPLY, LINK_LOST,
            EXCEPTION with exception_code, CRC, ...) says why.
        LinkClosedError: the link was closed or superseded by a newer one.
        ValueError, TypeError: an argument is out of range or of the wrong
            type; nothing is sent then.
    """

    def __init__(self, link: Link, station: int = 0) -> None:
        """Address station (0..255; the reader answers its own id and 0) over link."""
        if not isinstance(link, Link):
            raise TypeError(f"link must be a qvmodbusrtu.Link, not {type(link).__name__}")
        self.link = link
        self.station = _check_int("station", station, 0, 255)

    def __repr__(self) -> str:
        return f"<qvmodbusrtu.Reader station {self.station} on {self.link!r}>"

    def _call(self, name: str, *args: object, detail: str = "") -> int:
        with _native.LOCK:
            self.link._check()
            fn: Callable[..., int] = getattr(_native.library(), name)
            result = fn(self.station, *args)
            code = _native.last_code() if result < 0 else 0
        if result < 0:
            raise ReaderError(name, self.station, result, detail, code)
        if result == 0:
            raise ReaderError(name, self.station, result, detail, words="the reply carries no data")
        return result

    @staticmethod
    def _range(address: int, count: int, most: int) -> None:
        _check_int("address", address, 0, 65535)
        _check_int("count", count, 1, most)
        if address + count > 65536:
            raise ValueError(f"registers {address}..{address + count - 1} run past address 65535")

    def read_registers(self, address: int, count: int) -> List[int]:
        """Read count (1..125) holding registers from address; returns their values."""
        self._range(address, count, reg.MAX_READ_COUNT)
        buf = (ctypes.c_ubyte * (2 * count))()
        detail = f"address {address}, count {count}"
        got = self._call("QV_ReadRegister", address, count, buf, detail=detail)
        if got != 2 * count:
            raise ReaderError("QV_ReadRegister", self.station, got, detail,
                              words=f"the reply holds {got} bytes instead of {2 * count}")
        return [buf[i] << 8 | buf[i + 1] for i in range(0, 2 * count, 2)]

    def write_register(self, address: int, value: int) -> None:
        """Write one holding register (function 0x06)."""
        _check_int("address", address, 0, 65535)
        _check_int("value", value, 0, 65535)
        self._call("QV_WriteRegister", address, value, detail=f"address {address}, value 0x{value:04X}")

    def write_registers(self, address: int, values: Sequence[int]) -> None:
        """Write 1..123 consecutive holding registers from address (function 0x10)."""
        values = list(values)
        self._range(address, len(values), reg.MAX_WRITE_COUNT)
        for v in values:
            _check_int("value", v, 0, 65535)
        data = b"".join(v.to_bytes(2, "big") for v in values)
        detail = f"address {address}, count {len(values)}"
        self._call("QV_WriteMultiRegister", address, len(values), _native.ubytes(data), detail=detail)

    def device_info(self) -> DeviceInfo:
        """Read the model, firmware version and register base address."""
        buf = (ctypes.c_ubyte * reg.INFO_RESERVED)()
        got = self._call("QV_GetDeviceInfo", buf)
        if got < reg.INFO_USED:
            raise ReaderError("QV_GetDeviceInfo", self.station, got, words=f"the reply holds {got} bytes, too short")
        b = bytes(buf[:got])
        model = b[reg.INFO_MODEL:reg.INFO_MODEL + reg.INFO_MODEL_SIZE].split(b"\0", 1)[0].decode("ascii", "replace")
        version = f"{b[reg.INFO_VERSION_MAJOR]}.{b[reg.INFO_VERSION_MINOR]}"
        return DeviceInfo(model, version, int.from_bytes(b[reg.INFO_BASE_ADDR:reg.INFO_BASE_ADDR + 2], "big"))

    def card_number(self) -> str:
        """The card number in 40004-40007 as 16 upper-case hex digits ("0000000000123456").

        All zeros means no card (or not read yet). Its layout depends on the
        reader's parameter register 40100.
        """
        return "".join(f"{v:04X}" for v in self.read_registers(reg.CARD_NUMBER, reg.CARD_NUMBER_COUNT))

    def clear_card(self) -> None:
        """Zero 40004-40007, so the reader reads the card in front of it again."""
        self.write_registers(reg.CARD_NUMBER, [0] * reg.CARD_NUMBER_COUNT)

    def led(self, output: int = Output.BUZZER, cycles: int = 1, on_ms: int = 100, off_ms: int = 100) -> int:
        """Signal with the LED and/or buzzer by writing register 40003; returns the word written.

        Args:
            output: Output.LED (1), Output.BUZZER (2) or Output.BOTH (3).
            cycles: on/off cycles, 0..63.
            on_ms, off_ms: on and off time, 0..1500 ms in steps of 100 ms.

        The defaults (buzzer, 1 cycle, 100 ms on, 100 ms off) write 0x0611.
        """
        word = led_word(output, cycles, on_ms, off_ms)
        self.write_register(reg.LED_BEEP, word)
        return word

    def down_key(self, key: bytes) -> None:
        """Download a 6-byte key to the reader."""
        self._call("QV_DownKey", _key("key", key, 6))

    def down_key_ex(self, selector: int, key: bytes) -> None:
        """Download a 16-byte key; selector (0..255) chooses which key."""
        _check_int("selector", selector, 0, 255)
        self._call("QV_DownKeyEx", selector, _key("key", key, 16))

    def set_base_register_addr(self, address: int) -> None:
        """Set the register base address the reader reports in its device information."""
        _check_int("address", address, 0, 65535)
        self._call("QV_SetBaseRegisterAddr", address)

    def set_permission(self, permission: int, data: bytes) -> None:
        """Send a permission byte (0..255) with its 16 bytes of data."""
        _check_int("permission", permission, 0, 255)
        self._call("QV_SetPermission", permission, _key("data", data, 16))

    def set_terminal_no(self, term_no: bytes) -> None:
        """Set the reader's 6-byte terminal number."""
        self._call("QV_SetDeviceTermNO", _key("term_no", term_no, 6))
