// The LED and buzzer dialog: composes the reader's LED and buzzer control
// word (register 40003) from four lists, or takes a value typed in
// hexadecimal. Created for one click of the card page's set button and
// freed afterwards.
#pragma once

#include <QDialog>
#include <QString>

#include <functional>

namespace Ui {
class TFrmBeepLED;
}

class TFrmBeepLED : public QDialog {
    Q_OBJECT
public:
    // Text n of the owner's text table in its current language.
    using TextSource = std::function<QString(int)>;

    // The mode list's second and third entries come from text (texts 110 and
    // 111); without a source they keep the designed Chinese wording.
    explicit TFrmBeepLED(QWidget *parent = nullptr, TextSource text = {});
    ~TFrmBeepLED() override;

    // The text of edtValue, as composed or typed.
    QString ValueText() const;

    // The control word of the lists' positions, as four upper-case hex digits.
    static QString ComposeValue(int cycle, int beepLed, int on, int off);

public slots:
    void FormCreate();
    void cbOffChange();

private:
    Ui::TFrmBeepLED *ui;
    TextSource FText;
};
