// Number conversions shared by the windows: the framework's integer
// conversion and upper-case hexadecimal, as the reader's values are shown.
#pragma once

#include <QString>

namespace convert {

// Reads s as the framework's integer conversion does: leading blanks, an
// optional sign, decimal digits or a '$' / 0x hexadecimal prefix, nothing
// after the digits, within 32 bits. False when s is not such a number.
bool StrToInt(const QString &s, int &value);

// Upper-case hexadecimal of the 32-bit pattern of value, at least digits
// digits, zero-padded on the left.
QString IntToHex(int value, int digits);

}  // namespace convert
