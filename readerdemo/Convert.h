// Number conversions shared by the windows: the framework's integer
// conversion and upper-case hexadecimal, as the reader's values are shown;
// and the filter that keeps non-typed text to what a key filter allows.
#pragma once

#include <QString>

#include <functional>

class QLineEdit;

namespace convert {

// Reads s as the framework's integer conversion does: leading blanks, an
// optional sign, decimal digits or a '$' / 0x hexadecimal prefix, nothing
// after the digits, within 32 bits. False when s is not such a number.
bool StrToInt(const QString &s, int &value);

// Holds text that reaches edit without a key press (pasted, dropped,
// committed by an input method) to the rule of its key filter: in each
// user edit, the inserted characters are read as ASCII where they are
// full-width forms, passed through keep (which may change them) and dropped
// when keep refuses them, and no more are kept than maxLength (when >= 0)
// allows; an edit that brings in nothing usable is undone as a whole.
// Deletions and text the program sets (setText) are left alone.
void FilterInsertedText(QLineEdit *edit, std::function<bool(QChar &)> keep, int maxLength = -1);

// Upper-case hexadecimal of the 32-bit pattern of value, at least digits
// digits, zero-padded on the left.
QString IntToHex(int value, int digits);

}  // namespace convert
