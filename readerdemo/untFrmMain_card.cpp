// Card polling page of the main window: auto read of the card number, the
// LED and buzzer control word, and re-arming card reading.
#include <QTimer>

#include <cstdint>
#include <vector>

#include "Convert.h"
#include "LinkWorker.h"
#include "RegisterEdit.h"
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
    // Stopping never waits.
    if (tmrRead->isActive()) {
        SetAutoRead(false);
        return;
    }
    // Starting needs the link open as it will be once the requests made
    // before this click are through; only the link's thread knows that
    // while some still wait.
    const QString refused = Text(kTextOpenPortFirst);
    auto start = [this, refused](bool linkOpen) {
        if (!linkOpen)
            AddLog(refused);
        else
            SetAutoRead(true);
    };
    if (FLink->Idle()) {
        start(FLinkOpen);
        return;
    }
    FLink->QueueLinkState([this, start](const TLinkResult &r) {
        // A start decided before this one: this click stops it again.
        if (tmrRead->isActive())
            SetAutoRead(false);
        else
            start(r.wasOpen);
    });
}

void TFrmMain::SetAutoRead(bool on) {
    if (on)
        tmrRead->start();
    else
        tmrRead->stop();
    ui->btnScan->setText(Text(on ? kTextStopRead : kTextAutoRead));
    // The text table must not change under a running poll.
    ui->rbChinese->setEnabled(!on);
    ui->rbEnglish->setEnabled(!on);
}

void TFrmMain::tmrReadTimer() {
    // A tick while the last poll still waits sends nothing, so polls never
    // pile up behind a reader that does not answer.
    if (FLink->PollWaiting()) return;
    ++FPollStep;
    if (FPollStep > kStepCardNumber) FPollStep = kStepLedBeep;
    if (FPollStep == kStepLedBeep) FPollStep = kStepCardNumber;
    if (FPollStep == kStepCardNumber && !ui->rb6->isChecked()) FPollStep = kStepUnused10;
    ReadPollStep(FPollStep);
}

void TFrmMain::ReadPollStep(int step) {
    int address = 0, count = 1;
    switch (step) {
        case kStepUnused8:
            address = qvreg::kUnused8;
            break;
        case kStepUnused9:
            address = qvreg::kUnused9;
            break;
        case kStepCardNumber:
            address = qvreg::kCardNumber;
            count = qvreg::kCardNumberCount;
            break;
        case kStepUnused10:
            address = qvreg::kUnused10;
            break;
        default:
            return;
    }
    const QString failed = Text(kTextReadFail);
    FLink->QueueRead(
        FStationID, address, count,
        [this, step, failed](const TLinkResult &r) {
            if (step != kStepCardNumber) return;  // the other steps show nothing
            QLineEdit *const boxes[qvreg::kCardNumberCount] = {ui->Re4, ui->Re5, ui->Re6, ui->Re7};
            for (int i = 0; i < qvreg::kCardNumberCount; ++i)
                boxes[i]->setText(r.ok() ? convert::IntToHex(r.words[i], 4) : failed);
        },
        TLinkWorker::Asker::Poll);
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
    WriteOneRegister(qvreg::kLedBeep, value, Msg(kTextLedBeepOk, valueText), Msg(kTextLedBeepFail, valueText));
}

void TFrmMain::btnSet6Click() {
    // Zeros in the card number registers make the reader read the next card afresh.
    FLink->QueueWriteWords(FStationID, qvreg::kCardNumber, std::vector<std::uint16_t>(qvreg::kCardNumberCount, 0),
                           [this, ok = Text(kTextEmptyOk), fail = Text(kTextEmptyFail)](const TLinkResult &r) {
                               AddLog(r.ok() ? ok : fail);
                           });
}
