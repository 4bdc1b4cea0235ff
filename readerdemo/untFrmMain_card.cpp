// Card polling page of the main window: auto read of the card number, the
// LED and buzzer control word, and re-arming card reading.
#include <QTimer>

#include "Convert.h"
#include "RegisterEdit.h"
#include "qvmodbusrtu.h"
#include "qvregisters.h"
#include "ui_untFrmMain.h"
#include "untFrmBeepLED.h"
#include "untFrmMain.h"

namespace {

// Steps of the polling cycle, one per row of the page's register list; step 5
// is the write-only LED and buzzer row and is never polled.
constexpr int kStepUnused8 = 3;
constexpr int kStepUnused9 = 4;
constexpr int kStepLedBeep = 5;
constexpr int kStepCardNumber = 6;
constexpr int kStepUnused10 = 7;

constexpr int kTextOpenPortFirst = 60;
constexpr int kTextStopRead = 61;
constexpr int kTextAutoRead = 28;
constexpr int kTextReadFail = 75;
constexpr int kTextLedBeepOk = 76;
constexpr int kTextLedBeepFail = 77;
constexpr int kTextEmptyOk = 84;
constexpr int kTextEmptyFail = 85;

}  // namespace

void TFrmMain::btnScanClick() {
    if (!tmrRead->isActive() && !FLinkOpen) {
        AddLog(Text(kTextOpenPortFirst));
        return;
    }
    if (tmrRead->isActive())
        tmrRead->stop();
    else
        tmrRead->start();
    const bool reading = tmrRead->isActive();
    ui->btnScan->setText(Text(reading ? kTextStopRead : kTextAutoRead));
    // The text table must not change under a running poll.
    ui->rbChinese->setEnabled(!reading);
    ui->rbEnglish->setEnabled(!reading);
}

void TFrmMain::tmrReadTimer() {
    ++FPollStep;
    if (FPollStep > kStepCardNumber) FPollStep = kStepLedBeep;
    if (FPollStep == kStepLedBeep) FPollStep = kStepCardNumber;
    if (FPollStep == kStepCardNumber && !ui->rb6->isChecked()) FPollStep = kStepUnused10;
    ReadPollStep(FPollStep);
}

void TFrmMain::ReadPollStep(int step) {
    unsigned char data[2 * qvreg::kCardNumberCount] = {};
    switch (step) {
        case kStepUnused8:
            QV_ReadRegister(FStationID, qvreg::kUnused8, 1, data);
            break;
        case kStepUnused9:
            QV_ReadRegister(FStationID, qvreg::kUnused9, 1, data);
            break;
        case kStepCardNumber: {
            QLineEdit *const boxes[qvreg::kCardNumberCount] = {ui->Re4, ui->Re5, ui->Re6, ui->Re7};
            const bool ok = QV_ReadRegister(FStationID, qvreg::kCardNumber, qvreg::kCardNumberCount, data) > 0;
            for (int i = 0; i < qvreg::kCardNumberCount; ++i)
                boxes[i]->setText(ok ? convert::IntToHex(data[2 * i] << 8 | data[2 * i + 1], 4) : Text(kTextReadFail));
            break;
        }
        case kStepUnused10:
            QV_ReadRegister(FStationID, qvreg::kUnused10, 1, data);
            break;
        default:
            break;
    }
}

void TFrmMain::tmrUpdateTimer() {
    if (ui->edtValue5->text() != FLedBeepText) ui->edtValue5->setText(FLedBeepText);
}

void TFrmMain::btnSet5Click() {
    TFrmBeepLED dialog(this, [this](int n) { return Text(n); });
    TranslateForm(&dialog);
    if (dialog.exec() != QDialog::Accepted) return;
    const QString valueText = dialog.ValueText();
    int value = 0;
    if (!HexToInt(valueText, value)) return;  // the error dialog has been shown
    const int result = QV_WriteRegister(FStationID, qvreg::kLedBeep, value);
    AddLog(Msg(result > 0 ? kTextLedBeepOk : kTextLedBeepFail, valueText));
}

void TFrmMain::btnSet6Click() {
    // Zeros in the card number registers make the reader read the next card afresh.
    const unsigned char zeros[2 * qvreg::kCardNumberCount] = {};
    const int result = QV_WriteMultiRegister(FStationID, qvreg::kCardNumber, qvreg::kCardNumberCount, zeros);
    AddLog(Text(result > 0 ? kTextEmptyOk : kTextEmptyFail));
}
