#include "Convert.h"

namespace convert {

// Parses s as the framework's integer conversion does: leading blanks, an
// optional sign, decimal digits or a '$' / 0x hexadecimal prefix, nothing
// after the digits, within 32 bits.
bool StrToInt(const QString &s, int &value) {
    int i = 0;
    const int n = s.size();
    while (i < n && s[i] == QLatin1Char(' ')) ++i;
    bool negative = false;
    if (i < n && (s[i] == QLatin1Char('-') || s[i] == QLatin1Char('+'))) {
        negative = s[i] == QLatin1Char('-');
        ++i;
    }
    int base = 10;
    if (i < n && s[i] == QLatin1Char('$')) {
        base = 16;
        ++i;
    } else if (i + 1 < n && s[i] == QLatin1Char('0') &&
               (s[i + 1] == QLatin1Char('x') || s[i + 1] == QLatin1Char('X'))) {
        base = 16;
        i += 2;
    }
    if (i >= n) return false;
    qint64 v = 0;
    for (; i < n; ++i) {
        int d = -1;
        const QChar c = s[i];
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
            d = c.unicode() - '0';
        else if (base == 16 && c >= QLatin1Char('A') && c <= QLatin1Char('F'))
            d = c.unicode() - 'A' + 10;
        else if (base == 16 && c >= QLatin1Char('a') && c <= QLatin1Char('f'))
            d = c.unicode() - 'a' + 10;
        if (d < 0) return false;
        v = v * base + d;
        if (v > 0xFFFFFFFFLL) return false;
    }
    if (base == 10) {
        if (negative ? v > 0x80000000LL : v > 0x7FFFFFFFLL) return false;
        value = static_cast<int>(negative ? -v : v);
    } else {
        // Hexadecimal covers the whole 32-bit pattern.
        quint32 u = static_cast<quint32>(v);
        value = static_cast<int>(negative ? 0u - u : u);
    }
    return true;
}

QString IntToHex(int value, int digits) {
    return QString::number(static_cast<quint32>(value), 16).toUpper().rightJustified(digits, QLatin1Char('0'));
}

}  // namespace convert
