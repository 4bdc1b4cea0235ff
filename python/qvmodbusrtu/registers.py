"""The reader's register map, as the C++ side keeps it in common/qvregisters.h.

A copy for Python; the package's tests compare every constant here with the
header, so the two cannot drift apart.
"""

BAUD_STATION = 1  #: 40001: baud-rate code (high byte), station id (low byte)
READ_PARAMS = 2  #: 40002: card type code, beep, green LED
LED_BEEP = 3  #: 40003: off time, on time, output, cycles
CARD_NUMBER = 4  #: 40004-40007: the card number, 8 bytes
CARD_NUMBER_COUNT = 4
PARAMETER = 100  #: 40100: byte order, clearing, manufacturer byte, format
SAME_CARD_DELAY = 106  #: 40106: same-card delay in 100 ms units

BAUD_RATES = (9600, 14400, 19200, 28800, 38400, 57600, 115200)  #: code c is BAUD_RATES[c - 1]
DEFAULT_BAUD = 19200
ANY_STATION = 0  #: answered by every reader, whatever its own id
MAX_READ_COUNT = 125  #: Modbus limit of function 0x03
MAX_WRITE_COUNT = 123  #: Modbus limit of function 0x10

# 40003 fields
LED_OFF_SHIFT = 0
LED_ON_SHIFT = 4
LED_OUTPUT_SHIFT = 8
LED_CYCLE_SHIFT = 10
LED_OFF_MASK = 0x000F
LED_ON_MASK = 0x00F0
LED_OUTPUT_MASK = 0x0300
LED_CYCLE_MASK = 0xFC00
LED_TIME_UNIT_MS = 100

# The device information block (after the reply's first byte)
INFO_MODEL = 0
INFO_MODEL_SIZE = 8
INFO_BASE_ADDR = 8
INFO_VERSION_MAJOR = 10
INFO_VERSION_MINOR = 11
INFO_USED = 12
INFO_RESERVED = 51  #: what a caller reserves for QV_GetDeviceInfo (QV_DEVICE_INFO_SIZE)
