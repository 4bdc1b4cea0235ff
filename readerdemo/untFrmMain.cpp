// Main window: start-up, the link controls and the message log.
#include "untFrmMain.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>

#include <limits>
#include <string>
#include <vector>

#include "Convert.h"
#include "LinkWorker.h"
#include "qvregisters.h"
#include "serialports.h"
#include "ui_untFrmMain.h"

// Resources of a static library must be registered by name, from the global
// namespace, before the first widget asks for its picture.
static void InitReaderDemoResources() {
    Q_INIT_RESOURCE(readerdemo);
}

namespace {

constexpr int kClientWidth = 1183;
constexpr int kClientHeight = 666;
constexpr int kLogLimit = 50;
constexpr int kBusyAfterMs = 200;

}  // namespace

TFrmMain::TFrmMain(QWidget *parent)
    : QWidget(parent),
      ui(new Ui::TFrmMain),
      tmrRead(new QTimer(this)),
      tmrUpdate(new QTimer(this)),
      tmrBusy(new QTimer(this)),
      FLink(std::make_unique<TLinkWorker>()) {
    InitReaderDemoResources();
    ui->setupUi(this);

    // Fixed single border, minimize box but no maximize box.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(kClientWidth, kClientHeight);

    tmrRead->setObjectName(QStringLiteral("tmrRead"));
    tmrRead->setInterval(500);
    tmrUpdate->setObjectName(QStringLiteral("tmrUpdate"));
    tmrUpdate->setInterval(800);
    tmrBusy->setSingleShot(true);
    tmrBusy->setInterval(kBusyAfterMs);

    // The value boxes of the settings page stand out like hints.
    for (QLineEdit *e : {ui->edtValue, ui->edtTagValue, ui->edtR6A, ui->edtR64}) {
        QPalette p = e->palette();
        p.setColor(QPalette::Base, p.color(QPalette::ToolTipBase));
        p.setColor(QPalette::Text, p.color(QPalette::ToolTipText));
        e->setPalette(p);
    }
    ui->edtTime6A->installEventFilter(this);
    // Digits come as key presses, not through a (Chinese) input method.
    ui->edtTime6A->setAttribute(Qt::WA_InputMethodEnabled, false);

    ConnectSignals();
    FormCreate();
}

TFrmMain::~TFrmMain() {
    // First, while every control still stands: pending requests are dropped,
    // the running one ends within the library's wait, and no reply comes.
    FLink.reset();
    SetBusyCursor(false);
    delete ui;
}

bool TFrmMain::LinkIdle() const {
    return FLink->Idle();
}

void TFrmMain::ConnectSignals() {
    connect(FLink.get(), &TLinkWorker::userWaitingChanged, this, &TFrmMain::UserWaitingChanged);
    connect(tmrBusy, &QTimer::timeout, this, [this] { SetBusyCursor(FLink->UserWaiting() > 0); });

    connect(ui->btnOpen, &QPushButton::clicked, this, &TFrmMain::btnOpenClick);
    connect(ui->btnClose, &QPushButton::clicked, this, &TFrmMain::btnCloseClick);
    // activated: only a pick by the user changes the station.
    connect(ui->cbID, qOverload<int>(&QComboBox::activated), this, &TFrmMain::cbIDChange);
    // A radio button's click counts only when it changes the choice: Qt
    // also reports a click on the button already chosen.
    for (QRadioButton *rb : {ui->rbChinese, ui->rbEnglish})
        connect(rb, &QRadioButton::toggled, this, [this](bool on) {
            if (on) rbEnglishClick();
        });
    // What the user changes by hand in the controls the settings page's
    // reads show into.
    for (QComboBox *list :
         {ui->cbID, ui->cbBaud2, static_cast<QComboBox *>(ui->cbID2), ui->cbLED, ui->cbBeep, ui->cbTag})
        connect(list, qOverload<int>(&QComboBox::activated), this, [this, list] { MarkChanged({list}); });
    for (QLineEdit *box : {ui->edtValue, ui->edtTagValue, ui->edtTime6A, ui->edtR6A, ui->edtR64})
        connect(box, &QLineEdit::textEdited, this, [this, box] { MarkChanged({box}); });

    connect(ui->btnScan, &QPushButton::clicked, this, &TFrmMain::btnScanClick);
    connect(tmrRead, &QTimer::timeout, this, &TFrmMain::tmrReadTimer);
    connect(tmrUpdate, &QTimer::timeout, this, &TFrmMain::tmrUpdateTimer);
    connect(ui->btnSet5, &QPushButton::clicked, this, &TFrmMain::btnSet5Click);
    connect(ui->btnSet6, &QPushButton::clicked, this, &TFrmMain::btnSet6Click);

    connect(ui->RzBitBtn3, &QPushButton::clicked, this, &TFrmMain::RzBitBtn3Click);
    connect(ui->cbBaud2, qOverload<int>(&QComboBox::activated), this, &TFrmMain::cbBaud2Change);
    connect(ui->cbID2, &TDropDownComboBox::closeUp, this, &TFrmMain::cbBaud2Change);
    connect(ui->RzBitBtn8, &QPushButton::clicked, this, &TFrmMain::RzBitBtn8Click);
    connect(ui->RzBitBtn7, &QPushButton::clicked, this, &TFrmMain::RzBitBtn7Click);
    for (QComboBox *list : {ui->cbLED, ui->cbBeep, ui->cbTag})
        connect(list, qOverload<int>(&QComboBox::activated), this, &TFrmMain::cbLEDChange);
    connect(ui->RzBitBtn9, &QPushButton::clicked, this, &TFrmMain::RzBitBtn9Click);
    connect(ui->RzBitBtn10, &QPushButton::clicked, this, &TFrmMain::RzBitBtn10Click);
    // textChanged: the program's own changes mirror the delay too.
    connect(ui->edtTime6A, &QLineEdit::textChanged, this, &TFrmMain::edtTime6AChange);
    // Text the user brings in without a key press (pasted, dropped, committed
    // by an input method) meets the key filter's rule all the same.
    convert::FilterInsertedText(ui->edtTime6A, [this](QChar &c) {
        edtTime6AKeyPress(c);
        return !c.isNull();
    });
    connect(ui->RzBitBtn21, &QPushButton::clicked, this, &TFrmMain::RzBitBtn21Click);
    connect(ui->RzBitBtn22, &QPushButton::clicked, this, &TFrmMain::RzBitBtn22Click);
    for (QRadioButton *rb : {ui->rb64_N4, ui->rb64_4, ui->rb64_7, ui->rb64_N7, ui->rb64_N8, ui->rb64_8, ui->rb64_9,
                             ui->rb64_N9, ui->rb64_N9W})
        connect(rb, &QRadioButton::toggled, this, [this, rb](bool on) {
            if (!on) return;
            MarkChanged({rb->parentWidget(), ui->edtR64});
            rb64_0Click();
        });
    connect(ui->RzBitBtn15, &QPushButton::clicked, this, &TFrmMain::RzBitBtn15Click);
    connect(ui->RzBitBtn16, &QPushButton::clicked, this, &TFrmMain::RzBitBtn16Click);
}

void TFrmMain::FormCreate() {
    FLanguage = 1;
    BuildTexts();

    FLinkOpen = false;

    ui->cbPort->setEditable(false);
    ui->cbBaud->setEditable(false);
    QStringList ports;
    EnumComPorts(ports);
    ui->cbPort->clear();
    ui->cbPort->addItems(ports);
    if (ui->cbPort->count() == 0)
        AddLog(Text(62));
    else
        ui->cbPort->setCurrentIndex(0);
    ui->cbBaud->clear();
    for (int rate : qvreg::kBaudRates) ui->cbBaud->addItem(QString::number(rate));
    ui->cbBaud->setCurrentIndex(2);

    ui->cbID->clear();
    for (int i = 0; i <= 255; ++i) ui->cbID->addItem(QString::number(i));
    ui->cbID->setCurrentIndex(0);

    FPollStep = 2;
    FStationID = 0;
    tmrUpdate->start();

    ui->cbBaud2->clear();
    for (int code = 1; code <= qvreg::kBaudCodeCount; ++code)
        ui->cbBaud2->addItem(
            QStringLiteral("%1---%2").arg(code, 2, 10, QLatin1Char('0')).arg(qvreg::kBaudRates[code - 1]));
    ui->cbBaud2->setCurrentIndex(2);
    ui->cbID2->clear();
    for (int id = 1; id <= 255; ++id) ui->cbID2->addItem(QString::number(id));
    ui->cbID2->setCurrentIndex(0);

    ApplyLanguage();
    rb64_0Click();
}

void TFrmMain::EnumComPorts(QStringList &list) {
    std::vector<std::string> names;
    if (!serialports::ListPorts(names)) return;
    QStringList found;
    for (const std::string &n : names) found << QString::fromLocal8Bit(n.c_str());
    // Case-insensitive text order: COM1, COM10, COM2.
    std::stable_sort(found.begin(), found.end(),
                     [](const QString &a, const QString &b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
    list = found;
}

void TFrmMain::btnOpenClick() {
    if (ui->cbPort->currentIndex() < 0) return;
    ui->btnOpen->setEnabled(false);

    const QString portName = ui->cbPort->currentText();
    int port = 0;
    if (!StrToInt(portName.mid(3, 3), port)) {
        ui->btnOpen->setEnabled(!FLinkOpen);
        return;
    }
    int rate = 0;
    if (!StrToInt(ui->cbBaud->currentText(), rate)) {
        ui->btnOpen->setEnabled(!FLinkOpen);
        return;
    }

    FLink->QueueOpen(port, rate, [this, opened = Msg(73, portName, rate)](const TLinkResult &r) {
        FLinkOpen = r.ok();
        ui->btnOpen->setEnabled(!FLinkOpen);
        if (FLinkOpen) AddLog(opened);
        ui->pcMain->setCurrentWidget(ui->TabSheet1);
    });
}

void TFrmMain::btnCloseClick() {
    // Auto read stops at once (it runs only while the link is open). The
    // port is freed after the requests made before this click, if it is
    // still open then: a second click while the first waits does nothing.
    if (tmrRead->isActive()) btnScanClick();
    FLink->QueueClose([this, closed = Text(74)](const TLinkResult &r) {
        if (!r.wasOpen) return;
        // Auto read started by a click made before this one, once the
        // requests ahead of it were through.
        if (tmrRead->isActive()) SetAutoRead(false);
        FLinkOpen = false;
        ui->btnOpen->setEnabled(true);
        AddLog(closed);
    });
}

void TFrmMain::cbIDChange(int index) {
    FStationID = index;
}

void TFrmMain::AddLog(const QString &text) {
    QPlainTextEdit *log = ui->edtMemo;
    QTextDocument *doc = log->document();
    // An empty document still has one block, and a final line break leaves
    // an empty last block that is no line of its own.
    int lines = doc->isEmpty() ? 0 : doc->blockCount();
    if (lines > 0 && doc->lastBlock().text().isEmpty()) --lines;
    if (lines > kLogLimit) {
        log->clear();
        lines = 0;
    }
    if (lines == 0 || doc->lastBlock().text().isEmpty()) {
        QTextCursor c(doc->lastBlock());
        c.movePosition(QTextCursor::EndOfBlock);
        c.insertText(text);
        log->setTextCursor(c);
        log->ensureCursorVisible();
    } else {
        log->appendPlainText(text);
    }
}

QString TFrmMain::FillPlaceholders(const QString &format, std::initializer_list<QString> args) {
    QString out;
    auto next = args.begin();
    for (int i = 0; i < format.size(); ++i) {
        if (format[i] == QLatin1Char('%') && i + 1 < format.size() &&
            (format[i + 1] == QLatin1Char('s') || format[i + 1] == QLatin1Char('d')) && next != args.end()) {
            out += *next++;
            ++i;
        } else {
            out += format[i];
        }
    }
    return out;
}

bool TFrmMain::StrToInt(const QString &text, int &value) {
    if (convert::StrToInt(text, value)) return true;
    ShowConversionError(text);
    return false;
}

bool TFrmMain::HexToInt(const QString &text, int &value) {
    if (convert::StrToInt(QLatin1Char('$') + text, value)) return true;
    ShowConversionError(text);
    return false;
}

void TFrmMain::ShowConversionError(const QString &text) {
    QMessageBox::critical(this, QCoreApplication::applicationName(),
                          QStringLiteral("'%1' is not a valid integer value").arg(text));
}

void TFrmMain::UserWaitingChanged() {
    // The busy cursor shows once a command the user started has waited
    // about 200 ms (shorter waits would only flicker) and goes with the last
    // one. Polls do not count: with auto read on, a silent reader keeps a
    // poll waiting nearly all the time, and a cursor that is always busy
    // makes a window that still answers every click look hung.
    if (FLink->UserWaiting() > 0) {
        if (!FBusyShown && !tmrBusy->isActive()) tmrBusy->start();
        return;
    }
    tmrBusy->stop();
    SetBusyCursor(false);
}

void TFrmMain::MarkChanged(std::initializer_list<const QObject *> controls) {
    const quint64 action = NextAction();
    for (const QObject *c : controls) FChangedAt[c] = action;
}

bool TFrmMain::ChangedSince(const QObject *control, quint64 action) const {
    return FChangedAt.value(control, 0) > action;
}

void TFrmMain::SetBusyCursor(bool busy) {
    if (busy == FBusyShown) return;
    FBusyShown = busy;
    // The arrow with a busy sign: the window still takes clicks meanwhile.
    if (busy)
        QApplication::setOverrideCursor(Qt::BusyCursor);
    else
        QApplication::restoreOverrideCursor();
}

void TFrmMain::SelectEntry(QComboBox *list, int index) {
    list->setCurrentIndex(index >= 0 && index < list->count() ? index : -1);
}

bool TFrmMain::eventFilter(QObject *watched, QEvent *event) {
    if (watched == ui->edtTime6A && event->type() == QEvent::KeyPress) {
        auto *keyEvent = static_cast<QKeyEvent *>(event);
        // Navigation and Delete type no character and always pass.
        if (keyEvent->key() == Qt::Key_Delete) return QWidget::eventFilter(watched, event);
        const QString typed = keyEvent->text();
        for (QChar c : typed) {
            QChar key = c;
            edtTime6AKeyPress(key);
            if (key.isNull()) return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TFrmMain::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    if (FCentred) return;
    FCentred = true;
    if (QScreen *s = screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(s->availableGeometry().center());
        move(frame.topLeft());
    }
}
