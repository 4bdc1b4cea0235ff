#include "Convert.h"

#include <QLineEdit>

#include <memory>

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

void FilterInsertedText(QLineEdit *edit, std::function<bool(QChar &)> keep, int maxLength) {
    // The text before the edit; read from the edit itself, since a stale
    // textChanged follows a correction made in textEdited.
    auto before = std::make_shared<QString>(edit->text());
    QObject::connect(edit, &QLineEdit::textChanged, edit, [edit, before] { *before = edit->text(); });
    QObject::connect(edit, &QLineEdit::textEdited, edit, [edit, before, keep = std::move(keep), maxLength] {
        const QString now = edit->text();
        const QString &old = *before;
        // The inserted run lies between what the edit left alone at both ends.
        int head = 0;
        while (head < now.size() && head < old.size() && now[head] == old[head]) ++head;
        int tail = 0;
        while (tail < now.size() - head && tail < old.size() - head &&
               now[now.size() - 1 - tail] == old[old.size() - 1 - tail])
            ++tail;
        const QString inserted = now.mid(head, now.size() - head - tail);
        const int untouched = now.size() - inserted.size();
        QString kept;
        for (QChar c : inserted) {
            // An input method in full-width mode gives U+FF10 for '0' and so on.
            if (c.unicode() >= 0xFF01 && c.unicode() <= 0xFF5E) c = QChar(c.unicode() - 0xFEE0);
            if (!keep(c)) continue;
            if (maxLength >= 0 && untouched + kept.size() >= maxLength) break;
            kept += c;
        }
        if (kept == inserted) return;
        // Nothing usable brought in: the edit is undone as a whole, so a
        // selection it would have replaced stays.
        if (kept.isEmpty() && !inserted.isEmpty()) {
            const QString restore = old;
            edit->setText(restore);
            edit->setCursorPosition(head);
            return;
        }
        edit->setText(now.left(head) + kept + now.right(tail));
        edit->setCursorPosition(head + static_cast<int>(kept.size()));
    });
}

}  // namespace convert
