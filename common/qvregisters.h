// The reader's holding registers and device information block, by protocol
// address. The program names register N as 40000 + N.
#pragma once

namespace qvreg {

constexpr int kBaudStation = 1;  // 40001: baud-rate code (high byte), station id (low byte)
constexpr int kBaudCodeMask = 0xFF00;
constexpr int kBaudCodeShift = 8;
constexpr int kStationMask = 0x00FF;
constexpr int kReadParams = 2;  // 40002: card type code, beep, green LED
constexpr int kLedBeep = 3;     // 40003: off time, on time, output, cycles
constexpr int kCardNumber = 4;  // 40004-40007: card serial number, 8 bytes
constexpr int kCardNumberCount = 4;
constexpr int kUnused8 = 8;          // 40008
constexpr int kUnused9 = 9;          // 40009
constexpr int kUnused10 = 10;        // 40010
constexpr int kParameter = 100;      // 40100: byte order, clearing, manufacturer byte, format
constexpr int kSameCardDelay = 106;  // 40106: same-card delay in 100 ms units

constexpr int DisplayNumber(int address) {
    return 40000 + address;
}

// The registers that hold the reader's settings, in the order they are shown.
constexpr int kSettingRegisters[] = {kBaudStation, kReadParams, kParameter, kSameCardDelay};

// What every reader starts with, and what a client tries first.
constexpr int kDefaultBaud = 19200;
// Station 0 is answered by every reader, whatever its own id (1-255); on a
// bus station ids 1-247 are the ones Modbus gives to devices.
constexpr int kAnyStation = 0;
constexpr int kLastBusStation = 247;

// Modbus limits on the registers one request may carry.
constexpr int kMaxReadCount = 125;   // function 0x03
constexpr int kMaxWriteCount = 123;  // function 0x10

// Baud-rate codes of 40001's high byte: code c is kBaudRates[c - 1].
constexpr int kBaudRates[] = {9600, 14400, 19200, 28800, 38400, 57600, 115200};
constexpr int kBaudCodeCount = 7;

// The code of a bit rate, 0 for a rate without one; the rate of a code, 0 for
// a code outside 1-7.
constexpr int BaudCode(int rate) {
    for (int c = 1; c <= kBaudCodeCount; ++c)
        if (kBaudRates[c - 1] == rate) return c;
    return 0;
}
constexpr int BaudRate(int code) {
    return code >= 1 && code <= kBaudCodeCount ? kBaudRates[code - 1] : 0;
}

// 40002 bits.
constexpr int kCardTypeMask = 0x000F;
constexpr int kCardTypeEm4100 = 5;
constexpr int kBeepBit = 4;
constexpr int kGreenLedBit = 5;

// 40003 fields.
constexpr int kLedOffShift = 0;  // 0-15, 100 ms units
constexpr int kLedOffMask = 0x000F;
constexpr int kLedOnShift = 4;  // 0-15, 100 ms units
constexpr int kLedOnMask = 0x00F0;
constexpr int kLedOutputShift = 8;  // 1 LED, 2 buzzer, 3 both
constexpr int kLedOutputMask = 0x0300;
constexpr int kLedCycleShift = 10;  // 0-63
constexpr int kLedCycleMask = 0xFC00;
constexpr int kLedTimeUnitMs = 100;

// A field of a register word: (word & mask) >> shift, the shift being the
// mask's lowest bit.
constexpr int FieldShift(int mask) {
    int shift = 0;
    while (mask && !((mask >> shift) & 1)) ++shift;
    return shift;
}
constexpr int Field(int word, int mask) {
    return (word & mask) >> FieldShift(mask);
}
constexpr int WithField(int word, int mask, int value) {
    return (word & ~mask) | ((value << FieldShift(mask)) & mask);
}
constexpr int FieldTop(int mask) {  // the largest value the field holds
    return mask >> FieldShift(mask);
}

// 40106: the same-card delay's unit.
constexpr int kDelayUnitMs = 100;

// 40100 bits.
constexpr int kParamBigEndian = 0x0010;
constexpr int kParamAutoClear = 0x0080;
constexpr int kParamFactoryByte = 0x0100;
constexpr int kParamFormatShift = 9;  // 0 HEX, 1 ten-digit decimal, 3 Wiegand-26
constexpr int kParamFormatMask = 0x0600;
constexpr int kFormatHex = 0;
constexpr int kFormatDec10 = 1;
constexpr int kFormatWiegand26 = 3;

// Device information block (after the reply's first byte).
constexpr int kInfoModel = 0;  // 8 characters, zero-ended when shorter
constexpr int kInfoModelSize = 8;
constexpr int kInfoBaseAddr = 8;  // 2 bytes, high byte first
constexpr int kInfoVersionMajor = 10;
constexpr int kInfoVersionMinor = 11;
constexpr int kInfoUsed = 12;
constexpr int kInfoReserved = 51;  // what the program reserves for the block

static_assert(Field(0x0611, kLedOutputMask) == 2 && Field(0x0611, kLedCycleMask) == 1 && FieldTop(kLedCycleMask) == 63,
              "40003 fields");
static_assert(WithField(0x0301, kBaudCodeMask, 6) == 0x0601 && FieldShift(kBaudCodeMask) == kBaudCodeShift,
              "40001 fields");

}  // namespace qvreg
