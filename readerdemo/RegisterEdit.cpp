#include "RegisterEdit.h"

#include "Convert.h"

#include <QFocusEvent>
#include <QKeyEvent>
#include <QMetaMethod>
#include <QPalette>

namespace {

// The typing rule: hexadecimal digits, a-f raised to A-F.
bool KeepHexDigit(QChar &c) {
    if (c >= QLatin1Char('a') && c <= QLatin1Char('f')) c = c.toUpper();
    return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
}

}  // namespace

TRegisterEdit::TRegisterEdit(QWidget *parent) : QLineEdit(parent) {
    // Typing is limited in keyPressEvent: setMaxLength would also cut text
    // that the program assigns.
    QPalette p = palette();
    p.setColor(QPalette::Text, QColor(0, 0, 255));
    setPalette(p);
    setFrame(true);
    connect(this, &QLineEdit::textChanged, this, &TRegisterEdit::TextChanged);
    // Pasted or dropped text, and an input method's, meet the typing rule
    // too; letters come as key presses rather than through the input method.
    setAttribute(Qt::WA_InputMethodEnabled, false);
    convert::FilterInsertedText(this, KeepHexDigit, kMaxTypedLength);
}

quint16 TRegisterEdit::RegisterValue() const {
    // Hexadecimal digits only: '$' makes the conversion read them as hex and
    // refuse blanks and signs. A text that does not convert keeps the last value.
    int v = 0;
    if (convert::StrToInt(QLatin1Char('$') + text(), v)) FRegisterValue = static_cast<quint16>(v & 0xFFFF);
    return FRegisterValue;
}

void TRegisterEdit::setRegisterValue(quint16 value) {
    if (FEditing && !isReadOnly()) return;
    FRegisterValue = value;
    setText(convert::IntToHex(value, 4));
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
    setText(convert::IntToHex(value, 4));
}

void TRegisterEdit::TextChanged(const QString &newText) {
    // A correction of pasted text is followed by a stale signal of the text
    // it replaced.
    if (newText != text()) return;
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
    const bool allowed = KeepHexDigit(c);
    const bool room = text().size() - selectedText().size() < kMaxTypedLength;
    if (!allowed || !room) {
        event->accept();
        return;
    }
    QKeyEvent upper(event->type(), key, event->modifiers(), QString(c), event->isAutoRepeat(), event->count());
    QLineEdit::keyPressEvent(&upper);
    event->setAccepted(upper.isAccepted());
}
