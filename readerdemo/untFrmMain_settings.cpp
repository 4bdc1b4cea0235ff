// Reader settings page of the main window: device information and the
// registers 40001, 40002, 40106 and 40100, composed from plain-language
// choices and read back into them.
#include <QRadioButton>

#include "Convert.h"
#include "LinkWorker.h"
#include "qvregisters.h"
#include "ui_untFrmMain.h"
#include "untFrmMain.h"

namespace {

const char *const kParamName = "40100";
const char *const kDelayName = "40106";

}  // namespace

void TFrmMain::ReadOneRegister(int address, std::function<void(bool ok, int value)> done) {
    FLink->QueueRead(FStationID, address, 1,
                     [done = std::move(done)](const TLinkResult &r) { done(r.ok(), r.words.front()); });
}

void TFrmMain::ReadForShow(int address, QLineEdit *failBox, const QString &failLine, const QString &okFormat,
                           std::function<QString(int value, quint64 asked)> show) {
    const quint64 asked = NextAction();
    const QString failed = Text(75);
    ReadOneRegister(address, [=](bool ok, int v) {
        if (!ok) {
            if (failBox && !ChangedSince(failBox, asked)) failBox->setText(failed);
            AddLog(failLine);
            return;
        }
        AddLog(FillPlaceholders(okFormat, {show(v, asked)}));
    });
}

void TFrmMain::WriteOneRegister(int address, int value, const QString &okLine, const QString &failLine) {
    FLink->QueueWrite(FStationID, address, value,
                      [this, okLine, failLine](const TLinkResult &r) { AddLog(r.ok() ? okLine : failLine); });
}

void TFrmMain::SetRadio(QRadioButton *button, bool checked) {
    // An auto-exclusive button refuses to be unchecked; a row may be left
    // without a choice here.
    // Choosing by program is no click.
    const QSignalBlocker quiet(button);
    const bool exclusive = button->autoExclusive();
    button->setAutoExclusive(false);
    button->setChecked(checked);
    button->setAutoExclusive(exclusive);
}

// ---- device information

void TFrmMain::RzBitBtn3Click() {
    // Whether the link is open counts where this click stands among the
    // requests: the link's thread tells.
    FLink->QueueDeviceInfo(FStationID, [this, closed = Text(86), failed = Text(87)](const TLinkResult &r) {
        if (!r.wasOpen) {
            AddLog(closed);
            return;
        }
        if (!r.ok()) {
            AddLog(failed);
            return;
        }
        const unsigned char *info = r.info.data();
        int len = 0;
        while (len < qvreg::kInfoModelSize && info[qvreg::kInfoModel + len] != 0) ++len;
        ui->edtModel->setText(QString::fromLatin1(reinterpret_cast<const char *>(info + qvreg::kInfoModel), len));
        const QString version =
            QStringLiteral("%1.%2").arg(info[qvreg::kInfoVersionMajor]).arg(info[qvreg::kInfoVersionMinor]);
        ui->edtVersion->setText(version);
        // The top panel's version box shows what the reader last reported.
        ui->edtFirmware->setText(version);
    });
}

// ---- 40001: baud-rate code and station id

void TFrmMain::cbBaud2Change() {
    MarkChanged({ui->edtValue});
    ui->edtValue->setText(convert::IntToHex(ui->cbBaud2->currentIndex() + 1, 2) +
                          convert::IntToHex(ui->cbID2->currentIndex() + 1, 2));
}

void TFrmMain::RzBitBtn8Click() {
    ReadForShow(qvreg::kBaudStation, ui->edtValue, Text(97), Text(96), [this](int v, quint64 asked) {
        const int high = qvreg::Field(v, qvreg::kBaudCodeMask), low = qvreg::Field(v, qvreg::kStationMask);
        if (!ChangedSince(ui->cbBaud2, asked)) SelectEntry(ui->cbBaud2, high - 1);
        // Moves the station selector only: FStationID follows the user's picks.
        if (!ChangedSince(ui->cbID, asked)) SelectEntry(ui->cbID, low);
        if (!ChangedSince(ui->cbID2, asked)) SelectEntry(ui->cbID2, low - 1);
        const QString value = convert::IntToHex(high, 2) + convert::IntToHex(low, 2);
        if (!ChangedSince(ui->edtValue, asked)) ui->edtValue->setText(value);
        return value;
    });
}

void TFrmMain::RzBitBtn7Click() {
    cbBaud2Change();
    const QString shown = ui->edtValue->text();
    int value = 0;
    if (!HexToInt(shown, value)) return;
    WriteOneRegister(qvreg::kBaudStation, value, Msg(98, shown), Msg(99, shown));
}

// ---- 40002: card-read parameters

void TFrmMain::cbLEDChange() {
    MarkChanged({ui->edtTagValue});
    // The card type is always EM4100 (code 5), whatever cbTag shows.
    const unsigned beep = static_cast<unsigned>(ui->cbBeep->currentIndex());
    const unsigned led = static_cast<unsigned>(ui->cbLED->currentIndex());
    const unsigned v = qvreg::kCardTypeEm4100 | beep << qvreg::kBeepBit | led << qvreg::kGreenLedBit;
    ui->edtTagValue->setText(convert::IntToHex(static_cast<int>(v), 4));
}

void TFrmMain::RzBitBtn9Click() {
    ReadForShow(qvreg::kReadParams, ui->edtTagValue, Text(103), Text(102), [this](int v, quint64 asked) {
        if (!ChangedSince(ui->cbTag, asked)) SelectEntry(ui->cbTag, 0);
        if (!ChangedSince(ui->cbBeep, asked)) SelectEntry(ui->cbBeep, v >> qvreg::kBeepBit & 1);
        if (!ChangedSince(ui->cbLED, asked)) SelectEntry(ui->cbLED, v >> qvreg::kGreenLedBit & 1);
        const QString value = convert::IntToHex(v, 4);
        if (!ChangedSince(ui->edtTagValue, asked)) ui->edtTagValue->setText(value);
        return value;
    });
}

void TFrmMain::RzBitBtn10Click() {
    cbLEDChange();
    const QString shown = ui->edtTagValue->text();
    int value = 0;
    if (!HexToInt(shown, value)) return;
    WriteOneRegister(qvreg::kReadParams, value, Msg(100, shown), Msg(101, shown));
}

// ---- 40106: same-card delay

void TFrmMain::edtTime6AKeyPress(QChar &key) {
    const ushort c = key.unicode();
    const bool pass = c == 8 || c == 9 || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
    if (!pass) key = QChar();
}

void TFrmMain::edtTime6AChange() {
    int n = 0;
    if (!convert::StrToInt(ui->edtTime6A->text().trimmed(), n)) n = 0;
    ui->edtR6A->setText(convert::IntToHex(n, 4));
}

void TFrmMain::RzBitBtn21Click() {
    // A failed read leaves both boxes as they are.
    ReadForShow(qvreg::kSameCardDelay, nullptr, Msg(115, kDelayName), Msg(114, kDelayName),
                [this](int v, quint64 asked) {
                    if (!ChangedSince(ui->edtTime6A, asked) && !ChangedSince(ui->edtR6A, asked))
                        ui->edtTime6A->setText(QString::number(v));  // mirrors into edtR6A
                    return convert::IntToHex(v, 4);
                });
}

void TFrmMain::RzBitBtn22Click() {
    MarkChanged({ui->edtR6A});
    edtTime6AChange();
    const QString shown = ui->edtR6A->text();
    int value = 0;
    if (!HexToInt(shown, value)) return;
    WriteOneRegister(qvreg::kSameCardDelay, value, Msg(116, kDelayName, shown), Msg(117, kDelayName, shown));
}

// ---- 40100: parameter register

int TFrmMain::ComposeParamRegister() const {
    int v = 0;
    if (ui->rb64_4->isChecked()) v |= qvreg::kParamBigEndian;
    if (ui->rb64_N7->isChecked()) v |= qvreg::kParamAutoClear;
    if (ui->rb64_8->isChecked()) v |= qvreg::kParamFactoryByte;
    if (ui->rb64_N9->isChecked()) v |= qvreg::kFormatDec10 << qvreg::kParamFormatShift;
    if (ui->rb64_N9W->isChecked()) v |= qvreg::kFormatWiegand26 << qvreg::kParamFormatShift;
    return v;
}

void TFrmMain::ShowParamRegister(int value, quint64 since) {
    auto show = [this, since](QRadioButton *rowMember) { return !ChangedSince(rowMember->parentWidget(), since); };
    if (show(ui->rb64_4)) {
        const bool big = value & qvreg::kParamBigEndian;
        SetRadio(ui->rb64_4, big);
        SetRadio(ui->rb64_N4, !big);
    }
    if (show(ui->rb64_7)) {
        const bool clear = value & qvreg::kParamAutoClear;
        SetRadio(ui->rb64_N7, clear);
        SetRadio(ui->rb64_7, !clear);
    }
    if (show(ui->rb64_8)) {
        const bool factory = value & qvreg::kParamFactoryByte;
        SetRadio(ui->rb64_8, factory);
        SetRadio(ui->rb64_N8, !factory);
    }
    if (show(ui->rb64_9)) {
        // Format 2 has no button: the row is left without a choice.
        const int format = (value & qvreg::kParamFormatMask) >> qvreg::kParamFormatShift;
        SetRadio(ui->rb64_N9W, format == qvreg::kFormatWiegand26);
        SetRadio(ui->rb64_N9, format == qvreg::kFormatDec10);
        SetRadio(ui->rb64_9, format == qvreg::kFormatHex);
    }
    if (!ChangedSince(ui->edtR64, since)) rb64_0Click();
}

int TFrmMain::ParamShown(int value) {
    // Only the bits the buttons carry; format 2 has none.
    int shown = value & (qvreg::kParamBigEndian | qvreg::kParamAutoClear | qvreg::kParamFactoryByte);
    const int format = (value & qvreg::kParamFormatMask) >> qvreg::kParamFormatShift;
    if (format == qvreg::kFormatDec10 || format == qvreg::kFormatWiegand26) shown |= format << qvreg::kParamFormatShift;
    return shown;
}

void TFrmMain::rb64_0Click() {
    ui->edtR64->setText(convert::IntToHex(ComposeParamRegister(), 4));
}

void TFrmMain::RzBitBtn15Click() {
    ReadForShow(qvreg::kParameter, ui->edtR64, Msg(115, kParamName), Msg(114, kParamName),
                [this](int v, quint64 asked) {
                    ShowParamRegister(v, asked);
                    return convert::IntToHex(ParamShown(v), 4);
                });
}

void TFrmMain::RzBitBtn16Click() {
    MarkChanged({ui->edtR64});
    rb64_0Click();
    const QString shown = ui->edtR64->text();
    int value = 0;
    if (!HexToInt(shown, value)) return;
    WriteOneRegister(qvreg::kParameter, value, Msg(116, kParamName, shown), Msg(117, kParamName, shown));
}
