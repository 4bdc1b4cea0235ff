#include "RegisterEdit.h"

#include <QFocusEvent>
#include <QKeyEvent>
#include <QMetaMethod>
#include <QPalette>

TRegisterEdit::TRegisterEdit(QWidget *parent) : QLineEdit(parent) {
    // Typing is limited in keyPressEvent: setMaxLength would also cut text
    // that the program assigns.
    QPalette p = palette();
    p.setColor(QPalette::Text, QColor(0, 0, 255));
    setPalette(p);
    setFrame(true);
    connect(this, &QLineEdit::textChanged, this, &TRegisterEdit::TextChanged);
}

QString TRegisterEdit::FormatValue(quint16 value) {
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0')).toUpper();
}

bool TRegisterEdit::ParseHex(const QString &text, quint32 *value) {
    if (text.isEmpty()) return false;
    int significant = -1;  // index of the first non-zero digit
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        const bool hex = (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
                         (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
                         (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
        if (!hex) return false;
        if (significant < 0 && c != QLatin1Char('0')) significant = i;
    }
    if (significant < 0) {
        *value = 0;
        return true;
    }
    // The conversion is that of a 32-bit integer: more than eight significant
    // digits are out of range.
    if (text.size() - significant > 8) return false;
    bool ok = false;
    const uint v = text.mid(significant).toUInt(&ok, 16);
    if (!ok) return false;
    *value = v;
    return true;
}

quint16 TRegisterEdit::RegisterValue() const {
    quint32 v = 0;
    if (ParseHex(text(), &v)) FRegisterValue = static_cast<quint16>(v & 0xFFFFu);
    return FRegisterValue;
}

void TRegisterEdit::setRegisterValue(quint16 value) {
    if (FEditing && !isReadOnly()) return;
    FRegisterValue = value;
    setText(FormatValue(value));
}

bool TRegisterEdit::HandlerAssigned() const {
    static const QMetaMethod signal = QMetaMethod::fromSignal(&TRegisterEdit::OnDataEdited);
    return isSignalConnected(signal);
}

void TRegisterEdit::RaiseDataEdited() {
    const quint16 value = RegisterValue();
    emit OnDataEdited(this, FRegisterAddr, value);
}

void TRegisterEdit::focusInEvent(QFocusEvent *event) {
    QLineEdit::focusInEvent(event);
    if (isReadOnly()) return;
    // Returning from another window or a context menu goes on with the edit
    // that was under way; its snapshot stays.
    const Qt::FocusReason reason = event->reason();
    if (FEditing && (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason)) return;
    FEnterText = text();
    FEditing = true;
}

void TRegisterEdit::focusOutEvent(QFocusEvent *event) {
    QLineEdit::focusOutEvent(event);
    if (isReadOnly()) return;
    // Another window or a context menu taking the focus for a while does not
    // end the edit: the focus comes back to this control.
    const Qt::FocusReason reason = event->reason();
    if (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason) return;
    FEditing = false;
    if (text() == FEnterText) return;
    const quint16 value = RegisterValue();
    if (HandlerAssigned()) emit OnDataEdited(this, FRegisterAddr, value);
    setText(FormatValue(value));
}

void TRegisterEdit::TextChanged(const QString &newText) {
    if (newText.size() != kMaxTypedLength || !FEditing) return;
    if (newText != FEnterText) {
        const quint16 value = RegisterValue();
        if (HandlerAssigned()) emit OnDataEdited(this, FRegisterAddr, value);
    }
    FEnterText = newText;
}

void TRegisterEdit::keyPressEvent(QKeyEvent *event) {
    const int key = event->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        if (FEditing) {
            if (text() != FEnterText && HandlerAssigned()) RaiseDataEdited();
            FEnterText = text();
        }
        // The base inserts nothing for Enter; it reports it and lets a
        // dialog's default button see it.
        QLineEdit::keyPressEvent(event);
        return;
    }
    switch (key) {
        case Qt::Key_Escape:  // not inserted; a dialog still sees it
        case Qt::Key_Backspace:
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
        case Qt::Key_Delete:
        case Qt::Key_Insert:
        case Qt::Key_Left:
        case Qt::Key_Right:
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_Home:
        case Qt::Key_End:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
            QLineEdit::keyPressEvent(event);
            return;
        default:
            break;
    }
    // Ctrl+letter makes a control character: never typed into the register,
    // and no keyboard shortcut pastes text past the filter.
    if (event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier)) {
        event->accept();
        return;
    }
    const QString typed = event->text();
    if (typed.isEmpty()) {  // modifiers alone, function keys: nothing to insert
        QLineEdit::keyPressEvent(event);
        return;
    }
    QChar c = typed.size() == 1 ? typed.at(0) : QChar();
    if (c >= QLatin1Char('a') && c <= QLatin1Char('f')) c = c.toUpper();
    const bool allowed =
        (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
    const bool room = text().size() - selectedText().size() < kMaxTypedLength;
    if (!allowed || !room) {
        event->accept();
        return;
    }
    QKeyEvent upper(event->type(), key, event->modifiers(), QString(c), event->isAutoRepeat(), event->count());
    QLineEdit::keyPressEvent(&upper);
    event->setAccepted(upper.isAccepted());
}
