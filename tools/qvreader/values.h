// What the reader's registers mean, as the command line reads and writes
// them: numbers typed by the user, the LED and buzzer word, and the named
// settings of 40001, 40002, 40100 and 40106.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "qvregisters.h"

namespace qvreader {

// Decimal, or hexadecimal after 0x; nothing else (no sign, no blanks).
// False when text is not such a number or exceeds max.
bool ParseNumber(const std::string &text, unsigned long max, unsigned long &out);
// Whether text starts with 0x (and has digits after it).
bool HasHexPrefix(const std::string &text);
// Hexadecimal digits with or without 0x.
bool ParseHex(const std::string &text, unsigned long max, unsigned long &out);

// A typed bit rate that the reader has a code for, or 0.
int ParseBaud(const std::string &text);
using qvreg::BaudCode;   // the code (1-7) of a rate, or 0
using qvreg::BaudRate;   // the rate of a code, or 0
std::string RateList();  // "9600, 14400, ... or 115200"

// 40003: off time bits 0-3 and on time bits 4-7 in 100 ms units, output bits
// 8-9 (1 LED, 2 buzzer, 3 both), cycles bits 10-15.
struct LedWord {
    int output = 2;
    int cycles = 1;
    int onMs = 100;
    int offMs = 100;
};
std::uint16_t ComposeLed(const LedWord &w);
LedWord DecodeLed(std::uint16_t word);
const char *OutputName(int output);  // "none", "led", "beep", "both"
// "buzzer, on 100 ms, off 100 ms, 1 cycle"
std::string LedWords(const LedWord &w);

// One named field of a register.
struct Setting {
    enum Kind { kBaud, kStation, kChoice, kDelayMs };
    const char *key;
    int address;  // protocol address
    int mask;     // the field's bits in the register
    Kind kind;
    std::vector<std::pair<int, const char *>> names;  // kChoice: field value and its name
    bool rawNumbers;                                  // kChoice: the field's number is accepted too
    const char *meaning;                              // one line for people
    // kChoice: further words set takes, each with its field value.
    std::vector<std::pair<int, const char *>> aliases = {};
};

// In the order config shows them: register by register, as
// qvreg::kSettingRegisters orders the registers.
const std::vector<Setting> &Settings();
// nullptr for an unknown key.
const Setting *FindSetting(const std::string &key);
std::string SettingKeys();  // "baud, station, ..."

int FieldOf(const Setting &s, std::uint16_t reg);
std::uint16_t WithField(const Setting &s, std::uint16_t reg, int field);
// The field value for a typed value; throws UsageError naming what is allowed.
int ParseSetting(const Setting &s, const std::string &value);
// The value as set takes it: "19200", "on", "em4100", "2000".
std::string SettingText(const Setting &s, int field);
// JSON value: a number for baud, station and same-card-delay (null for an
// unknown baud code), a quoted string for the others.
std::string SettingJson(const Setting &s, int field);

// "40004" for the reader's own registers, "0xFFF0" past them.
std::string RegisterName(int address);
// Decimal 40000-49999 names register 40000 + N; anything else, and every
// hexadecimal number, is the protocol address itself. Throws UsageError.
int ParseAddress(const std::string &command, const std::string &text);
// The card number registers as 16 hex digits; the words of no card.
std::string CardHex(const std::vector<std::uint16_t> &words);
const std::vector<std::uint16_t> &ZeroCard();
// "3,17,200": station ids 0-255, each once. Throws UsageError.
std::vector<int> ParseStations(const std::string &text);

}  // namespace qvreader
