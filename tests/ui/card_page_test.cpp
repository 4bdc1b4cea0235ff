// Card polling page against the simulated reader on a pty: auto read and its
// refusal, the polling sequence on the wire, the card number boxes, a reader
// that stops answering (and the window that keeps answering meanwhile), the
// 40003 value box and re-arming card reading.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "LinkWorker.h"
#include "RegisterEdit.h"
#include "bytes.h"
#include "pty_port.h"
#include "qvmodbusrtu.h"
#include "ui_helpers.h"
#include "untFrmMain.h"

#ifdef QV_HAVE_READERSIM
#    include "readersim.h"

using testsupport::Hex;
using testsupport::PortsDir;
using testsupport::ToHex;
using testsupport::WithCrc;

namespace {

// Requests as the demo sends them to station 0, CRC included.
std::string Frame(const char *pdu) {
    return ToHex(WithCrc(Hex(std::string("00 ") + pdu)));
}
const std::string kRead8 = Frame("03 00 08 00 01");
const std::string kRead9 = Frame("03 00 09 00 01");
const std::string kRead10 = Frame("03 00 0A 00 01");
const std::string kReadCard = Frame("03 00 04 00 04");

}  // namespace

class CardPageTest : public uitest::WindowTest {
    Q_OBJECT

    std::unique_ptr<PortsDir> dir_;
    std::unique_ptr<readersim::Reader> reader_;
    std::unique_ptr<readersim::Server> server_;

    QStringList Boxes() {
        QStringList out;
        for (const char *n : {"Re4", "Re5", "Re6", "Re7"}) out << Get<TRegisterEdit>(n)->text();
        return out;
    }
    std::vector<std::string> Frames() {
        std::vector<std::string> out;
        for (const readersim::Request &r : server_->Requests()) out.push_back(ToHex(r.frame));
        return out;
    }
    void SetCardWords(std::uint16_t a, std::uint16_t b, std::uint16_t c, std::uint16_t d) {
        server_->WithReader([&](readersim::Reader &r) {
            const std::uint16_t words[] = {a, b, c, d};
            for (int i = 0; i < 4; ++i) r.SetRegister(4 + i, words[i]);
        });
    }
    // Opens COM1 at 19200 with the window's own button; the log then holds
    // the open line only and the reader has seen nothing.
    void OpenLink() {
        Click("btnOpen");
        QVERIFY(win_->LinkOpen());
        QCOMPARE(Log().size(), 1);
        server_->ClearRequests();
    }
    // Steps the poll as tmrRead would, without waiting for the timer, and
    // waits for each step's result.
    void Tick(int n = 1) {
        for (int i = 0; i < n; ++i) {
            win_->tmrReadTimer();
            Settle();
        }
    }

private slots:
    void init() {
        dir_ = std::make_unique<PortsDir>();
        reader_ = std::make_unique<readersim::Reader>();
        server_ = std::make_unique<readersim::Server>(*reader_);
        QVERIFY(!server_->ServePty(dir_->path(), 1).empty());
        win_ = std::make_unique<TFrmMain>();
        win_->show();
    }
    void cleanup() {
        win_.reset();
        QV_ComFree();
        server_.reset();
        reader_.reset();
        dir_.reset();
    }

    void pageAtStart() {
        QCOMPARE(win_->PollStep(), 2);
        QCOMPARE(Boxes(), QStringList({"0000", "0000", "0000", "0000"}));
        QVERIFY(Get<QCheckBox>("rb6")->isChecked());
        QCOMPARE(Get<QPushButton>("btnScan")->text(), QStringLiteral("自动读"));
        const char *boxes[] = {"Re4", "Re5", "Re6", "Re7"};
        for (int i = 0; i < 4; ++i) {
            auto *re = Get<TRegisterEdit>(boxes[i]);
            QCOMPARE(int(re->RegisterAddr()), 4 + i);
            QVERIFY(re->isReadOnly());
        }
        QVERIFY(Get<QLineEdit>("edtValue5")->isReadOnly());
        QVERIFY(!win_->ReadTimer()->isActive());
    }

    void autoReadRefusedWhileLinkClosed() {
        Click("btnScan");
        QCOMPARE(Log(), QStringList({"请先打开端口"}));
        QVERIFY(!win_->ReadTimer()->isActive());
        QCOMPARE(Get<QPushButton>("btnScan")->text(), QStringLiteral("自动读"));
        QVERIFY(Get<QRadioButton>("rbChinese")->isEnabled());
        QVERIFY(Get<QRadioButton>("rbEnglish")->isEnabled());
        QCOMPARE(win_->PollStep(), 2);
        // In English the refusal is logged in English.
        Click("rbEnglish");
        Click("btnScan");
        QCOMPARE(Log().last(), QStringLiteral("Open Port First"));
        QVERIFY(server_->Requests().empty());
    }

    void autoReadSwitchesCaptionTimerAndLanguageButtons() {
        OpenLink();
        Click("btnScan");
        QVERIFY(win_->ReadTimer()->isActive());
        QCOMPARE(win_->ReadTimer()->interval(), 500);
        QCOMPARE(Get<QPushButton>("btnScan")->text(), QStringLiteral("停止自动读"));
        QVERIFY(!Get<QRadioButton>("rbChinese")->isEnabled());
        QVERIFY(!Get<QRadioButton>("rbEnglish")->isEnabled());
        Click("btnScan");
        QVERIFY(!win_->ReadTimer()->isActive());
        QCOMPARE(Get<QPushButton>("btnScan")->text(), QStringLiteral("自动读"));
        QVERIFY(Get<QRadioButton>("rbChinese")->isEnabled());
        QVERIFY(Get<QRadioButton>("rbEnglish")->isEnabled());
        // Starting and stopping logs nothing and leaves the step alone.
        QCOMPARE(Log().size(), 1);
        QCOMPARE(win_->PollStep(), 2);

        Click("rbEnglish");
        Click("btnScan");
        QCOMPARE(Get<QPushButton>("btnScan")->text(), QStringLiteral("Stop Read"));
        Click("btnScan");
        QCOMPARE(Get<QPushButton>("btnScan")->text(), QStringLiteral("Auto Read"));
    }

    void closingTheLinkStopsAutoReadFirst() {
        OpenLink();
        Click("btnScan");
        QVERIFY(win_->ReadTimer()->isActive());
        Click("btnClose");
        QVERIFY(!win_->LinkOpen());
        QVERIFY(!win_->ReadTimer()->isActive());
        QCOMPARE(Get<QPushButton>("btnScan")->text(), QStringLiteral("自动读"));
        QVERIFY(Get<QRadioButton>("rbEnglish")->isEnabled());
        QCOMPARE(Log().last(), QStringLiteral("串口关闭"));
        // With the link closed auto read is refused again.
        Click("btnScan");
        QCOMPARE(Log().last(), QStringLiteral("请先打开端口"));
        QVERIFY(!win_->ReadTimer()->isActive());
    }

    void pollSequenceOnTheWire() {
        OpenLink();
        Tick();
        QCOMPARE(win_->PollStep(), 3);
        Tick();
        QCOMPARE(win_->PollStep(), 4);
        QCOMPARE(Boxes(), QStringList({"0000", "0000", "0000", "0000"}));  // 40008/40009 are never shown
        SetCardWords(0x0000, 0x0012, 0x3456, 0x789A);
        Tick();
        QCOMPARE(win_->PollStep(), 6);
        QCOMPARE(Boxes(), QStringList({"0000", "0012", "3456", "789A"}));
        Tick();
        QCOMPARE(win_->PollStep(), 6);
        QCOMPARE(Frames(), std::vector<std::string>({kRead8, kRead9, kReadCard, kReadCard}));
        // Stopping and restarting goes on with the card number: 8 and 9 are
        // read only in the first two ticks of the window's life.
        Click("btnScan");
        Click("btnScan");
        Click("btnScan");
        QVERIFY(win_->ReadTimer()->isActive());
        Click("btnScan");  // the steps below are the test's, not the timer's
        QCOMPARE(win_->PollStep(), 6);
        server_->ClearRequests();
        Tick(2);
        QCOMPARE(Frames(), std::vector<std::string>({kReadCard, kReadCard}));
        QCOMPARE(Log().size(), 1);  // polling logs nothing
    }

    void cardWordsShownAsUpperCaseHex() {
        OpenLink();
        Tick(3);
        // The simulated card, as the reader lays it out by default.
        QCOMPARE(Boxes(), QStringList({"0000", "0000", "0012", "3456"}));
        SetCardWords(0xABCD, 0xEF01, 0x00A1, 0xFFFF);
        Tick();
        QCOMPARE(Boxes(), QStringList({"ABCD", "EF01", "00A1", "FFFF"}));
        // Another station id goes on the wire.
        server_->WithReader([](readersim::Reader &r) { r.SetRegister(1, 0x0305); });
        auto *id = Get<QComboBox>("cbID");
        id->setCurrentIndex(5);
        emit id->activated(5);
        QCOMPARE(win_->StationID(), 5);
        server_->ClearRequests();
        Tick();
        QCOMPARE(Frames(), std::vector<std::string>({ToHex(WithCrc(Hex("05 03 00 04 00 04")))}));
        QCOMPARE(Boxes(), QStringList({"ABCD", "EF01", "00A1", "FFFF"}));
    }

    void clearingTheBoxReadsAddress10AndFreezes() {
        OpenLink();
        Tick(3);
        QCOMPARE(Boxes(), QStringList({"0000", "0000", "0012", "3456"}));
        SetCardWords(0x1111, 0x2222, 0x3333, 0x4444);
        Click("rb6");
        QVERIFY(!Get<QCheckBox>("rb6")->isChecked());
        server_->ClearRequests();
        Tick();
        QCOMPARE(win_->PollStep(), 7);
        Tick();
        QCOMPARE(win_->PollStep(), 7);
        QCOMPARE(Frames(), std::vector<std::string>({kRead10, kRead10}));
        QCOMPARE(Boxes(), QStringList({"0000", "0000", "0012", "3456"}));
        // A failed read of address 10 shows nothing either.
        server_->InjectFault(readersim::Fault::Exception, 1);
        Tick();
        QCOMPARE(Boxes(), QStringList({"0000", "0000", "0012", "3456"}));
        // Ticked again: the next step reads the card number.
        Click("rb6");
        server_->ClearRequests();
        Tick();
        QCOMPARE(win_->PollStep(), 6);
        QCOMPARE(Frames(), std::vector<std::string>({kReadCard}));
        QCOMPARE(Boxes(), QStringList({"1111", "2222", "3333", "4444"}));
        QCOMPARE(Log().size(), 1);
    }

    void silentReaderShowsReadFailAndRecovers() {
        OpenLink();
        Click("btnScan");
        QTRY_COMPARE_WITH_TIMEOUT(Boxes(), QStringList({"0000", "0000", "0012", "3456"}), 5000);
        // What the four boxes show after each poll: the next tick may come
        // right after the failure, too soon for a look in between.
        QList<QStringList> shown;
        QObject watching;  // ends the watch with this function
        connect(Get<TRegisterEdit>("Re7"), &QLineEdit::textChanged, &watching, [&] { shown << Boxes(); });
        server_->InjectFault(readersim::Fault::NoReply, 1);
        const QStringList failed(4, QStringLiteral("读失败"));
        QTRY_VERIFY_WITH_TIMEOUT(shown.contains(failed), 6000);
        QVERIFY(win_->ReadTimer()->isActive());  // a failure does not stop auto read
        QTRY_COMPARE_WITH_TIMEOUT(Boxes(), QStringList({"0000", "0000", "0012", "3456"}), 5000);
        QCOMPARE(Log().size(), 1);  // nothing logged
        Click("btnScan");
    }

    void unansweredReadWaitsOutTheReplyTime() {
        OpenLink();
        Tick(3);
        server_->InjectFault(readersim::Fault::NoReply, 1);
        QElapsedTimer t;
        t.start();
        Tick();
        const qint64 waited = t.elapsed();
        QCOMPARE(Boxes(), QStringList(4, QStringLiteral("读失败")));
        QVERIFY2(waited >= 1500 && waited < 5000, qPrintable(QString::number(waited)));
        // The reader gone altogether: the same status, no message.
        Tick();
        QCOMPARE(Boxes(), QStringList({"0000", "0000", "0012", "3456"}));
        server_->Stop();
        Tick();
        QCOMPARE(Boxes(), QStringList(4, QStringLiteral("读失败")));
        QCOMPARE(Log().size(), 1);
        QCOMPARE(win_->PollStep(), 6);
    }

    // A tick while the last poll still waits sends nothing and leaves the
    // cycle where it is: polls never pile up behind a silent reader.
    void ticksWhileAPollWaitsSendNothing() {
        OpenLink();
        server_->InjectFault(readersim::Fault::NoReply, 1);
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < 5; ++i) win_->tmrReadTimer();
        QVERIFY2(t.elapsed() < 200, qPrintable(QString::number(t.elapsed())));  // no tick waits for the reader
        QCOMPARE(win_->PollStep(), 3);
        QVERIFY(!win_->LinkIdle());
        Settle();
        QVERIFY2(t.elapsed() >= 1500, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(Frames(), std::vector<std::string>({kRead8}));
        // Answered: the next tick takes the next step.
        Tick();
        QCOMPARE(win_->PollStep(), 4);
        QCOMPARE(Frames(), std::vector<std::string>({kRead8, kRead9}));
        QCOMPARE(Boxes(), QStringList({"0000", "0000", "0000", "0000"}));
    }

    // Polls and the user's commands share one queue: a tick while only a
    // command waits puts a poll behind it, and each answer reaches the
    // controls of its own request, in the order asked.
    void pollsAndCommandsAnswerInTheOrderAsked() {
        OpenLink();
        Tick(2);  // from here every poll reads the card number
        server_->WithReader([](readersim::Reader &r) {
            r.SetRegister(2, 0x0035);
            r.SetRegister(100, 0x0690);
        });
        SetCardWords(0x1111, 0x2222, 0x3333, 0x4444);
        server_->ClearRequests();
        QStringList shown;
        QObject watching;  // ends the watch with this function
        for (const char *box : {"edtTagValue", "Re4", "Re7", "edtR64"})
            connect(Get<QLineEdit>(box), &QLineEdit::textChanged, &watching, [&shown, box] { shown << box; });
        auto *tabs = Get<QTabWidget>("pcMain");
        QTest::mouseClick(tabs->tabBar(), Qt::LeftButton, {}, tabs->tabBar()->tabRect(1).center());
        server_->UpdateFaultSettings([](readersim::FaultSettings &f) { f.delayMs = 600; });
        server_->InjectFault(readersim::Fault::Delay, 1);
        Press("RzBitBtn9");    // read 40002, answered late
        win_->tmrReadTimer();  // a poll behind it
        win_->tmrReadTimer();  // that poll waits: nothing more
        Press("RzBitBtn15");   // read 40100
        QVERIFY(!win_->LinkIdle());
        Settle();
        QCOMPARE(Frames(), std::vector<std::string>({Frame("03 00 02 00 01"), kReadCard, Frame("03 00 64 00 01")}));
        QCOMPARE(shown, QStringList({"edtTagValue", "Re4", "Re7", "edtR64"}));
        QCOMPARE(Get<QLineEdit>("edtTagValue")->text(), QStringLiteral("0035"));
        QCOMPARE(Boxes(), QStringList({"1111", "2222", "3333", "4444"}));
        QCOMPARE(Get<QLineEdit>("edtR64")->text(), QStringLiteral("0690"));
        QCOMPARE(Log().mid(1), QStringList({"读取寄存器40002=0035", "读取寄存器40100=0x0690成功！"}));
    }

    // The link worker deals in 16-bit words both ways, high byte first on
    // the wire; a failed read still holds as many words as asked (zeros).
    void linkWorkerSpeaksInWords() {
        TLinkWorker link;
        std::vector<TLinkResult> results;
        const auto keep = [&results](const TLinkResult &r) { results.push_back(r); };
        link.QueueRead(0, 4, 4, keep);  // before the link is open
        link.QueueOpen(1, 19200, keep);
        link.QueueWriteWords(0, 4, {0x1234, 0x80FF, 0x00A1, 0xFFFF}, keep);
        link.QueueRead(0, 4, 4, keep);
        QTRY_VERIFY_WITH_TIMEOUT(link.Idle(), 5000);
        QCOMPARE(results.size(), size_t(4));
        QVERIFY(!results[0].ok());
        QCOMPARE(results[0].words, std::vector<std::uint16_t>(4, 0));
        QVERIFY(results[1].ok() && results[2].ok() && results[3].ok());
        QCOMPARE(Frames(), std::vector<std::string>({Frame("10 00 04 00 04 08 12 34 80 FF 00 A1 FF FF"), kReadCard}));
        QCOMPARE(results[3].words, std::vector<std::uint16_t>({0x1234, 0x80FF, 0x00A1, 0xFFFF}));
    }

    // Auto read against a reader that never answers: the window's event loop
    // keeps running (a 10 ms probe is never 500 ms late), polls alone do not
    // turn the cursor busy, and stopping acts at once although a poll waits.
    void silentReaderNeverStallsTheWindow() {
        OpenLink();
        Tick(2);  // past 40008 and 40009: every poll reads the card number
        server_->SetFaultChance(readersim::Fault::NoReply, 1.0);
        server_->ClearRequests();
        Click("btnScan");
        QElapsedTimer clock;
        qint64 last = 0, worst = 0;
        bool busy = false;
        QTimer probe;
        probe.setTimerType(Qt::PreciseTimer);
        connect(&probe, &QTimer::timeout, [&] {
            const qint64 now = clock.elapsed();
            worst = std::max(worst, now - last - 10);
            last = now;
            busy = busy || QApplication::overrideCursor();
        });
        clock.start();
        probe.start(10);
        QTest::qWait(3000);  // the span measured, no wait for a result
        probe.stop();
        QVERIFY2(worst < 500, qPrintable(QStringLiteral("worst stall %1 ms").arg(worst)));
        QVERIFY(!busy);
        QCOMPARE(Boxes(), QStringList(4, QStringLiteral("读失败")));
        // A poll every 2 s wait at most: 0.5 s, then after each failure.
        const size_t sent = server_->Requests().size();
        QVERIFY2(sent >= 1 && sent <= 2, qPrintable(QString::number(sent)));

        QTRY_VERIFY(!win_->LinkIdle());
        Press("btnScan");
        QVERIFY(!win_->ReadTimer()->isActive());
        QCOMPARE(Get<QPushButton>("btnScan")->text(), QStringLiteral("自动读"));
        QVERIFY(Get<QRadioButton>("rbEnglish")->isEnabled());
        const size_t waiting = server_->Requests().size();
        Settle();
        QCOMPARE(server_->Requests().size(), waiting);
        QCOMPARE(Log().size(), 1);
    }

    void readFailFollowsLanguage() {
        Click("rbEnglish");
        OpenLink();
        Tick(2);
        server_->InjectFault(readersim::Fault::Exception, 1);
        Tick();
        QCOMPARE(Boxes(), QStringList(4, QStringLiteral("Read Fail")));
        Tick();
        QCOMPARE(Boxes(), QStringList({"0000", "0000", "0012", "3456"}));
    }

    void ledBeepBoxFollowsTheDisplayTimer() {
        auto *box = Get<QLineEdit>("edtValue5");
        QVERIFY(win_->UpdateTimer()->isActive());
        QCOMPARE(win_->UpdateTimer()->interval(), 800);
        QCOMPARE(box->text(), QStringLiteral("0x000 "));  // until the first tick
        QTRY_COMPARE_WITH_TIMEOUT(box->text(), QStringLiteral("不可读"), 2500);
        Click("rbEnglish");
        QCOMPARE(win_->LedBeepText(), QStringLiteral("Unreadable"));
        QCOMPARE(box->text(), QStringLiteral("不可读"));  // the timer brings it over
        QTRY_COMPARE_WITH_TIMEOUT(box->text(), QStringLiteral("Unreadable"), 2000);
        // A text put there by anything else is replaced on the next tick.
        box->setText("0611");
        win_->tmrUpdateTimer();
        QCOMPARE(box->text(), QStringLiteral("Unreadable"));
    }

    void emptyingRearmsCardReading() {
        server_->WithReader([](readersim::Reader &r) { r.SetRearmMs(60000); });
        OpenLink();
        Tick(3);
        QCOMPARE(Boxes(), QStringList({"0000", "0000", "0012", "3456"}));
        server_->ClearRequests();
        Click("btnSet6");
        QCOMPARE(Frames(), std::vector<std::string>({Frame("10 00 04 00 04 08 00 00 00 00 00 00 00 00")}));
        QCOMPARE(Log().last(), QStringLiteral("40004-40007寄存器清零，设置重新读卡成功"));
        QCOMPARE(Log().size(), 2);
        QCOMPARE(Boxes(), QStringList({"0000", "0000", "0012", "3456"}));  // not touched by the button
        Tick();
        QCOMPARE(Boxes(), QStringList({"0000", "0000", "0000", "0000"}));
        // The card shows again once the reader has re-read it.
        server_->WithReader([](readersim::Reader &r) { r.SetCard(0x0A00ABCDEFull); });
        Tick();
        QCOMPARE(Boxes(), QStringList({"0000", "0000", "00AB", "CDEF"}));

        server_->InjectFault(readersim::Fault::Exception, 1);
        Click("btnSet6");
        QCOMPARE(Log().last(), QStringLiteral("40004-40007寄存器清零失败"));
        Click("rbEnglish");
        Click("btnSet6");
        QCOMPARE(Log().last(), QStringLiteral("Empty Register 40004-40007 ok，Start Request Card"));
        QCOMPARE(Log().size(), 4);
    }

    void emptyingWithoutLinkFails() {
        Click("btnSet6");
        QCOMPARE(Log(), QStringList({"40004-40007寄存器清零失败"}));
        Click("rbEnglish");
        Click("btnSet6");
        QCOMPARE(Log().last(), QStringLiteral("Empty Register 40004-40007 fail"));
        QVERIFY(server_->Requests().empty());
    }
};

#else

class CardPageTest : public QObject {
    Q_OBJECT
private slots:
    void needsSimulatedReader() { QSKIP("built without the simulated reader"); }
};

#endif

QTEST_MAIN(CardPageTest)
#include "card_page_test.moc"
