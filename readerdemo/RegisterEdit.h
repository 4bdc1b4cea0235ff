// TRegisterEdit: a single-line edit that stands for one 16-bit holding
// register and shows its value as four upper-case hexadecimal digits.
//
// The user may type hexadecimal digits only (lower case is raised), at most
// four; text assigned by the program or pasted is taken as it is and read by
// the parsing rule of RegisterValue(). Every value the user edited is
// reported through OnDataEdited: when the fourth digit is typed, when Enter
// is pressed, or when the focus leaves with the text changed.
#pragma once

#include <QLineEdit>
#include <QString>

class TRegisterEdit : public QLineEdit {
    Q_OBJECT
    Q_PROPERTY(quint16 RegisterAddr READ RegisterAddr WRITE setRegisterAddr)
    Q_PROPERTY(quint16 RegisterValue READ RegisterValue WRITE setRegisterValue STORED false)
    Q_PROPERTY(QString ValueText READ ValueText STORED false)

public:
    static constexpr int kMaxTypedLength = 4;

    explicit TRegisterEdit(QWidget *parent = nullptr);

    quint16 RegisterAddr() const { return FRegisterAddr; }
    void setRegisterAddr(quint16 addr) { FRegisterAddr = addr; }

    // The text read as a hexadecimal number, low 16 bits kept; a text that
    // does not convert gives the last value set or parsed.
    quint16 RegisterValue() const;
    // Ignored while the user edits a writable control, so a value arriving
    // from the reader never overwrites what is being typed.
    void setRegisterValue(quint16 value);

    QString ValueText() const { return text(); }

    // True from focus entry to focus exit of a writable control.
    bool Editing() const { return FEditing; }

signals:
    void OnDataEdited(TRegisterEdit *Sender, quint16 Addr, quint16 Value);

protected:
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void TextChanged(const QString &text);
    bool HandlerAssigned() const;
    void RaiseDataEdited();

    quint16 FRegisterAddr = 0;
    mutable quint16 FRegisterValue = 0;  // parsing from a const reader updates it
    bool FEditing = false;
    QString FEnterText;
};
