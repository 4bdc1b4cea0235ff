#include "untFrmBeepLED.h"

#include <QComboBox>
#include <QPushButton>

#include "Convert.h"
#include "qvregisters.h"
#include "ui_untFrmBeepLED.h"

namespace {

constexpr int kCycleEntries = 64;  // 0..63 cycles: bits 10-15
constexpr int kTimeEntries = 16;   // 0..15 x 100 ms: four bits each
constexpr int kInitialEntry = 1;   // one cycle, buzzer, 100 ms on, 100 ms off
constexpr int kTextBeep = 110;
constexpr int kTextBoth = 111;

}  // namespace

TFrmBeepLED::TFrmBeepLED(QWidget *parent, TextSource text)
    : QDialog(parent), ui(new Ui::TFrmBeepLED), FText(std::move(text)) {
    ui->setupUi(this);
    setFixedSize(372, 188);
    ui->RzBitBtn1->setDefault(true);
    connect(ui->RzBitBtn1, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->RzBitBtn2, &QPushButton::clicked, this, &QDialog::reject);
    // Only a pick by the user composes the value: choosing entries in
    // FormCreate must leave edtValue as designed.
    for (QComboBox *list : {ui->cbCycle, ui->cbBeepLED, ui->cbOn, ui->cbOff})
        connect(list, &QComboBox::activated, this, &TFrmBeepLED::cbOffChange);
    FormCreate();
}

TFrmBeepLED::~TFrmBeepLED() {
    delete ui;
}

void TFrmBeepLED::FormCreate() {
    ui->cbCycle->clear();
    for (int i = 0; i < kCycleEntries; ++i) ui->cbCycle->addItem(QString::number(i));
    ui->cbCycle->setCurrentIndex(kInitialEntry);

    ui->cbBeepLED->clear();
    ui->cbBeepLED->addItem(QStringLiteral("01---LED"));
    ui->cbBeepLED->addItem(FText ? FText(kTextBeep) : QStringLiteral("02---BEEP蜂鸣器"));
    ui->cbBeepLED->addItem(FText ? FText(kTextBoth) : QStringLiteral("03---LED和BEEP蜂鸣器同时"));
    ui->cbBeepLED->setCurrentIndex(kInitialEntry);

    for (QComboBox *list : {ui->cbOn, ui->cbOff}) {
        list->clear();
        for (int i = 0; i < kTimeEntries; ++i) list->addItem(QString::number(i) + QStringLiteral("*100ms"));
        list->setCurrentIndex(kInitialEntry);
    }
}

QString TFrmBeepLED::ComposeValue(int cycle, int beepLed, int on, int off) {
    const unsigned value = (static_cast<unsigned>(off) << qvreg::kLedOffShift) |
                           (static_cast<unsigned>(on) << qvreg::kLedOnShift) |
                           (static_cast<unsigned>(beepLed + 1) << qvreg::kLedOutputShift) |
                           (static_cast<unsigned>(cycle) << qvreg::kLedCycleShift);
    return convert::IntToHex(static_cast<int>(value & 0xFFFFu), 4);
}

void TFrmBeepLED::cbOffChange() {
    ui->edtValue->setText(ComposeValue(ui->cbCycle->currentIndex(), ui->cbBeepLED->currentIndex(),
                                       ui->cbOn->currentIndex(), ui->cbOff->currentIndex()));
}

QString TFrmBeepLED::ValueText() const {
    return ui->edtValue->text();
}
