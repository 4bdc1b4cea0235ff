// Reader settings page against the simulated reader on a pty: what each
// group writes on the wire, how a value read sets the choices back, what a
// failed exchange leaves behind, and clicks made while a command waits.
#include <QAbstractItemView>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QCursor>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include <memory>
#include <thread>

#include "bytes.h"
#include "pty_port.h"
#include "qvmodbusrtu.h"
#include "readersim.h"
#include "ui_helpers.h"
#include "untFrmMain.h"

using readersim::Fault;
using testsupport::Bytes;
using testsupport::Hex;
using testsupport::ToHex;

namespace {

// The simulated reader served on a pty entered as COM1.
struct Sim {
    explicit Sim(const readersim::Options &o) : reader(o), server(reader) {}
    testsupport::PortsDir dir;
    readersim::Reader reader;
    readersim::Server server;
};

// A write request's PDU: function 6, address, value.
Bytes WritePdu(int address, int value) {
    return Bytes{0x06, static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address),
                 static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

}  // namespace

class SettingsPageTest : public uitest::WindowTest {
    Q_OBJECT

    std::unique_ptr<Sim> sim_;

    QString LastLog() {
        const QStringList l = Log();
        return l.isEmpty() ? QString() : l.last();
    }
    QString Box(const char *edit) { return Get<QLineEdit>(edit)->text(); }
    int Pos(const char *list) { return Get<QComboBox>(list)->currentIndex(); }
    bool Checked(const char *rb) { return Get<QRadioButton>(rb)->isChecked(); }
    std::vector<readersim::Request> Requests() { return sim_->server.Requests(); }
    void SetReg(int address, std::uint16_t v) {
        sim_->server.WithReader([&](readersim::Reader &r) { r.SetRegister(address, v); });
    }
    // Starts the reader and the window, and opens COM1 from the window.
    void Start(const readersim::Options &o = readersim::Options(), bool open = true) {
        sim_ = std::make_unique<Sim>(o);
        QVERIFY(!sim_->server.ServePty(sim_->dir.path(), 1).empty());
        win_ = std::make_unique<TFrmMain>();
        if (open) {
            Get<QComboBox>("cbPort")->setCurrentIndex(Get<QComboBox>("cbPort")->findText("COM1"));
            Click("btnOpen");
            QVERIFY(win_->LinkOpen());
            Get<QTabWidget>("pcMain")->setCurrentIndex(1);
        }
        Get<QPlainTextEdit>("edtMemo")->clear();
        sim_->server.ClearRequests();
    }
    // Clicks a radio button on its indicator (the middle of a wide button
    // lies beyond its caption and is no hit).
    void ClickRadio(const char *rb) {
        auto *b = Get<QRadioButton>(rb);
        QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(6, b->height() / 2));
    }
    void ShowWindow() {
        win_->show();
        QVERIFY(QTest::qWaitForWindowExposed(win_.get()));
    }
    // The user opens list with a click and clicks entry index in it.
    void PickWithMouse(const char *list, int index) {
        auto *c = Get<QComboBox>(list);
        QTest::mouseClick(c, Qt::LeftButton);
        QAbstractItemView *view = c->view();
        QTRY_VERIFY(view->isVisible());
        const QModelIndex entry = c->model()->index(index, 0);
        view->scrollTo(entry);
        const QPoint at = view->visualRect(entry).center();
        QTest::mouseMove(view->viewport(), at);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
        QTRY_VERIFY(!view->isVisible());
    }
    // The user picks entry index of list with the keyboard.
    void Pick(const char *list, int index) {
        auto *c = Get<QComboBox>(list);
        c->setFocus();
        while (c->currentIndex() < index) QTest::keyClick(c, Qt::Key_Down);
        while (c->currentIndex() > index) QTest::keyClick(c, Qt::Key_Up);
    }

private slots:
    void cleanup() {
        win_.reset();
        QV_ComFree();
        sim_.reset();
    }

    // ---- writes

    void setWithStartupChoices() {
        Start();
        QCOMPARE(Box("edtR64"), QStringLiteral("0010"));
        QCOMPARE(Box("edtTagValue"), QStringLiteral("0000"));  // not composed at start-up
        for (const char *b : {"RzBitBtn7", "RzBitBtn10", "RzBitBtn22", "RzBitBtn16"}) Click(b);
        const auto req = Requests();
        QCOMPARE(req.size(), size_t(4));
        QCOMPARE(ToHex(req[0].pdu), ToHex(WritePdu(1, 0x0301)));
        QCOMPARE(ToHex(req[1].pdu), ToHex(WritePdu(2, 0x0005)));
        QCOMPARE(ToHex(req[2].pdu), ToHex(WritePdu(106, 0x0014)));
        QCOMPARE(ToHex(req[3].pdu), ToHex(WritePdu(100, 0x0010)));
        // Whole frame of the first: station 0, CRC low byte first.
        QCOMPARE(ToHex(req[0].frame), ToHex(testsupport::WithCrc(Hex("00 06 00 01 03 01"))));
        for (const auto &r : req) QCOMPARE(int(r.station), 0);
        QCOMPARE(Log(), QStringList({"设置寄存器40001=0x0301成功！", "设置寄存器40002=0x0005成功！",
                                     "设置寄存器40106=0x0014成功！", "设置寄存器40100=0x0010成功！"}));
        QCOMPARE(Box("edtTagValue"), QStringLiteral("0005"));
        QCOMPARE(sim_->reader.Register(106), std::uint16_t(0x0014));
    }

    void setRecomposesWhatTheUserTyped() {
        Start();
        // Typed values are never written: each set composes its box first.
        Get<QLineEdit>("edtValue")->setText("FFFF");
        Get<QLineEdit>("edtTagValue")->setText("zz");
        Get<QLineEdit>("edtR64")->setText("1234");
        Get<QLineEdit>("edtR6A")->setText("0000");
        Pick("cbBaud2", 6);  // 07---115200, composes at once
        QCOMPARE(Box("edtValue"), QStringLiteral("0701"));
        Get<QLineEdit>("edtValue")->setText("FFFF");
        for (const char *b : {"RzBitBtn7", "RzBitBtn10", "RzBitBtn22", "RzBitBtn16"}) Click(b);
        const auto req = Requests();
        QCOMPARE(req.size(), size_t(4));
        QCOMPARE(ToHex(req[0].pdu), ToHex(WritePdu(1, 0x0701)));
        QCOMPARE(ToHex(req[1].pdu), ToHex(WritePdu(2, 0x0005)));
        QCOMPARE(ToHex(req[2].pdu), ToHex(WritePdu(106, 0x0014)));
        QCOMPARE(ToHex(req[3].pdu), ToHex(WritePdu(100, 0x0010)));
    }

    void station2ComposesOnlyWhenTheListCloses() {
        Start();
        ShowWindow();
        Pick("cbID2", 1);  // keyboard, list closed: no recompose
        QCOMPARE(Box("edtValue"), QStringLiteral("0301"));
        // A pick with the mouse in the open list shows the station picked.
        PickWithMouse("cbID2", 5);
        QCOMPARE(Pos("cbID2"), 5);
        QTRY_COMPARE(Box("edtValue"), QStringLiteral("0306"));
        PickWithMouse("cbID2", 254);
        QTRY_COMPARE(Box("edtValue"), QStringLiteral("03FF"));
        // Hiding the list with the page, or the window, composes nothing.
        auto *tabs = Get<QTabWidget>("pcMain");
        for (const char *shown : {"读失败", "ABCD"}) {
            Get<QLineEdit>("edtValue")->setText(QString::fromUtf8(shown));
            QTest::mouseClick(tabs->tabBar(), Qt::LeftButton, {}, tabs->tabBar()->tabRect(0).center());
            QCOMPARE(tabs->currentIndex(), 0);
            QTest::mouseClick(tabs->tabBar(), Qt::LeftButton, {}, tabs->tabBar()->tabRect(1).center());
            win_->showMinimized();
            win_->showNormal();
            QCoreApplication::sendPostedEvents();  // a queued close-up would run now
            QCOMPARE(Box("edtValue"), QString::fromUtf8(shown));
        }
        Pick("cbID2", 254);
        Click("RzBitBtn7");  // set recomposes too
        QCOMPARE(ToHex(Requests().back().pdu), ToHex(WritePdu(1, 0x03FF)));
        QCOMPARE(LastLog(), QStringLiteral("设置寄存器40001=0x03FF成功！"));
        QCOMPARE(win_->StationID(), 0);
    }

    void readParamsChoicesCompose() {
        Start();
        Pick("cbBeep", 1);
        QCOMPARE(Box("edtTagValue"), QStringLiteral("0015"));
        Pick("cbLED", 1);
        QCOMPARE(Box("edtTagValue"), QStringLiteral("0035"));
        Pick("cbBeep", 0);
        QCOMPARE(Box("edtTagValue"), QStringLiteral("0025"));
    }

    // ---- reads

    void read40001() {
        Start();
        SetReg(1, 0x0305);
        Click("RzBitBtn8");
        QCOMPARE(ToHex(Requests().back().pdu), std::string("03 00 01 00 01"));
        QCOMPARE(Box("edtValue"), QStringLiteral("0305"));
        QCOMPARE(Pos("cbBaud2"), 2);
        QCOMPARE(Pos("cbID2"), 4);
        QCOMPARE(Pos("cbID"), 5);
        QCOMPARE(LastLog(), QStringLiteral("读取寄存器40001=0305"));
        // The selector moved, the station in force did not.
        QCOMPARE(win_->StationID(), 0);
        Click("RzBitBtn8");
        QCOMPARE(int(Requests().back().station), 0);

        SetReg(1, 0x07FF);
        Click("RzBitBtn8");
        QCOMPARE(Pos("cbBaud2"), 6);
        QCOMPARE(Pos("cbID2"), 254);
        QCOMPARE(Pos("cbID"), 255);
        QCOMPARE(Box("edtValue"), QStringLiteral("07FF"));
    }

    void read40001OutsideTheLists() {
        Start();
        SetReg(1, 0x0803);  // baud code 8 has no entry
        Click("RzBitBtn8");
        QCOMPARE(Pos("cbBaud2"), -1);
        QCOMPARE(Pos("cbID2"), 2);
        QCOMPARE(Box("edtValue"), QStringLiteral("0803"));
        // Set now sends baud code 00 unless the user picks a rate first.
        Click("RzBitBtn7");
        QCOMPARE(ToHex(Requests().back().pdu), ToHex(WritePdu(1, 0x0003)));
        QCOMPARE(LastLog(), QStringLiteral("设置寄存器40001=0x0003成功！"));
        Pick("cbBaud2", 1);
        QCOMPARE(Box("edtValue"), QStringLiteral("0203"));
    }

    // A reader that answers 40001 = 0x0000, which the simulated one never
    // holds: a peer on the pty replies by hand.
    void read40001ZeroLeavesBothListsWithoutChoice() {
        testsupport::PortsDir dir;
        testsupport::PtyPort com1(dir, 1);
        win_ = std::make_unique<TFrmMain>();
        Pick("cbID", 7);
        Click("btnOpen");
        QVERIFY(win_->LinkOpen());
        Bytes request;
        std::thread peer([&] {
            request = com1.Read(8, 3000);
            com1.Write(testsupport::WithCrc(Hex("07 03 02 00 00")));
        });
        Click("RzBitBtn8");
        peer.join();
        QCOMPARE(ToHex(request), ToHex(testsupport::WithCrc(Hex("07 03 00 01 00 01"))));
        QCOMPARE(Pos("cbBaud2"), -1);
        QCOMPARE(Pos("cbID2"), -1);
        QCOMPARE(Get<QComboBox>("cbID")->currentText(), QStringLiteral("0"));
        QCOMPARE(win_->StationID(), 7);
        QCOMPARE(Box("edtValue"), QStringLiteral("0000"));
        QCOMPARE(LastLog(), QStringLiteral("读取寄存器40001=0000"));

        std::thread peer2([&] {
            request = com1.Read(8, 3000);
            com1.Write(request);  // a write is answered with its own echo
        });
        Click("RzBitBtn7");
        peer2.join();
        QCOMPARE(ToHex(request), ToHex(testsupport::WithCrc(Hex("07 06 00 01 00 00"))));
        QCOMPARE(LastLog(), QStringLiteral("设置寄存器40001=0x0000成功！"));
    }

    void read40002KeepsUnknownBitsInTheBox() {
        Start();
        SetReg(2, 0x0135);
        Click("RzBitBtn9");
        QCOMPARE(ToHex(Requests().back().pdu), std::string("03 00 02 00 01"));
        QCOMPARE(Get<QComboBox>("cbBeep")->currentText(), QStringLiteral("读到卡蜂鸣器响一声"));
        QCOMPARE(Get<QComboBox>("cbLED")->currentText(), QStringLiteral("读到卡绿色LED闪一下"));
        QCOMPARE(Pos("cbTag"), 0);
        QCOMPARE(Box("edtTagValue"), QStringLiteral("0135"));
        QCOMPARE(LastLog(), QStringLiteral("读取寄存器40002=0135"));
        Click("RzBitBtn10");
        QCOMPARE(ToHex(Requests().back().pdu), ToHex(WritePdu(2, 0x0035)));
        QCOMPARE(LastLog(), QStringLiteral("设置寄存器40002=0x0035成功！"));

        SetReg(2, 0x0005);
        Click("RzBitBtn9");
        QCOMPARE(Pos("cbBeep"), 0);
        QCOMPARE(Pos("cbLED"), 0);
    }

    void read40100ShowsTheComposedValue() {
        Start();
        SetReg(100, 0x0690);
        Click("RzBitBtn15");
        QCOMPARE(ToHex(Requests().back().pdu), std::string("03 00 64 00 01"));
        QVERIFY(Checked("rb64_4") && !Checked("rb64_N4"));
        QVERIFY(Checked("rb64_N7") && !Checked("rb64_7"));
        QVERIFY(Checked("rb64_N8") && !Checked("rb64_8"));
        QVERIFY(Checked("rb64_N9W") && !Checked("rb64_N9") && !Checked("rb64_9"));
        QCOMPARE(Box("edtR64"), QStringLiteral("0690"));
        QCOMPARE(LastLog(), QStringLiteral("读取寄存器40100=0x0690成功！"));

        SetReg(100, 0x0410);  // format 2 has no button
        Click("RzBitBtn15");
        QVERIFY(!Checked("rb64_9") && !Checked("rb64_N9") && !Checked("rb64_N9W"));
        QVERIFY(Checked("rb64_4") && Checked("rb64_7") && Checked("rb64_N8"));
        QCOMPARE(Box("edtR64"), QStringLiteral("0010"));
        QCOMPARE(LastLog(), QStringLiteral("读取寄存器40100=0x0010成功！"));
        Click("RzBitBtn16");
        QCOMPARE(ToHex(Requests().back().pdu), ToHex(WritePdu(100, 0x0010)));
        QCOMPARE(LastLog(), QStringLiteral("设置寄存器40100=0x0010成功！"));
        // The empty row takes a choice again with a click.
        ClickRadio("rb64_N9");
        QCOMPARE(Box("edtR64"), QStringLiteral("0210"));

        SetReg(100, 0xFFFF);
        Click("RzBitBtn15");
        QCOMPARE(Box("edtR64"), QStringLiteral("0790"));
        QVERIFY(Checked("rb64_8") && Checked("rb64_N9W") && !Checked("rb64_N8"));

        SetReg(100, 0x0000);
        Click("RzBitBtn15");
        QVERIFY(Checked("rb64_N4") && Checked("rb64_7") && Checked("rb64_N8") && Checked("rb64_9"));
        QCOMPARE(Box("edtR64"), QStringLiteral("0000"));
    }

    void radioClicksCompose() {
        Start();
        const std::pair<const char *, const char *> steps[] = {
            {"rb64_N4", "0000"},  {"rb64_N7", "0080"}, {"rb64_8", "0180"}, {"rb64_N9", "0380"},
            {"rb64_N9W", "0780"}, {"rb64_9", "0180"},  {"rb64_4", "0190"}};
        for (auto &[rb, value] : steps) {
            ClickRadio(rb);
            QCOMPARE(Box("edtR64"), QString::fromLatin1(value));
        }
        QVERIFY(!Checked("rb64_N4"));  // rows stay exclusive
        QVERIFY(!Checked("rb64_N9W"));
        // A click on the button already chosen is no change: a failed read
        // stays on show.
        sim_->server.InjectFault(Fault::Exception, 1);
        Click("RzBitBtn15");
        QCOMPARE(Box("edtR64"), QStringLiteral("读失败"));
        for (const char *chosen : {"rb64_4", "rb64_N7", "rb64_8", "rb64_9"}) {
            ClickRadio(chosen);
            QCOMPARE(Box("edtR64"), QStringLiteral("读失败"));
        }
        ClickRadio("rb64_7");
        QCOMPARE(Box("edtR64"), QStringLiteral("0110"));
    }

    // ---- same-card delay

    void delayKeyFilterAndMirror() {
        Start();
        auto *t = Get<QLineEdit>("edtTime6A");
        t->clear();
        QCOMPARE(Box("edtR6A"), QStringLiteral("0000"));
        QTest::keyClicks(t, "1A");
        QCOMPARE(t->text(), QStringLiteral("1A"));  // accepted, but no decimal number
        QCOMPARE(Box("edtR6A"), QStringLiteral("0000"));
        Click("RzBitBtn22");
        QCOMPARE(ToHex(Requests().back().pdu), ToHex(WritePdu(106, 0)));
        QCOMPARE(LastLog(), QStringLiteral("设置寄存器40106=0x0000成功！"));

        t->clear();
        QTest::keyClicks(t, "3a0g-Z5");  // lower case, other letters and signs are refused
        QCOMPARE(t->text(), QStringLiteral("305"));
        QCOMPARE(Box("edtR6A"), QStringLiteral("0131"));
        QTest::keyClick(t, Qt::Key_Backspace);
        QCOMPARE(t->text(), QStringLiteral("30"));
        QCOMPARE(Box("edtR6A"), QStringLiteral("001E"));

        // The program's own changes mirror too; blanks around are ignored.
        t->setText(" 12 ");
        QCOMPARE(Box("edtR6A"), QStringLiteral("000C"));
        t->setText("-1");
        QCOMPARE(Box("edtR6A"), QStringLiteral("FFFFFFFF"));
        t->setText("2147483648");  // out of range: 0
        QCOMPARE(Box("edtR6A"), QStringLiteral("0000"));
        QCOMPARE(t->maxLength(), 12);

        // Pasted text and an input method's (full-width digits) meet the key
        // filter's rule; the input method is not asked for digits at all.
        QVERIFY(!t->testAttribute(Qt::WA_InputMethodEnabled));
        t->clear();
        QApplication::clipboard()->setText(QStringLiteral("１２x-3"));
        t->paste();
        QCOMPARE(t->text(), QStringLiteral("123"));
        QInputMethodEvent ime;
        ime.setCommitString(QStringLiteral("５秒"));
        QApplication::sendEvent(t, &ime);
        QCOMPARE(t->text(), QStringLiteral("1235"));
        QCOMPARE(Box("edtR6A"), QStringLiteral("04D3"));
        Click("RzBitBtn22");
        QCOMPARE(ToHex(Requests().back().pdu), ToHex(WritePdu(106, 1235)));
    }

    void delayAbove16BitsSendsTheLowBits() {
        Start();
        auto *t = Get<QLineEdit>("edtTime6A");
        t->clear();
        QTest::keyClicks(t, "65536");
        QCOMPARE(Box("edtR6A"), QStringLiteral("10000"));
        Click("RzBitBtn22");
        QCOMPARE(ToHex(Requests().back().pdu), ToHex(WritePdu(106, 0)));
        QCOMPARE(LastLog(), QStringLiteral("设置寄存器40106=0x10000成功！"));
        t->setText("65537");
        Click("RzBitBtn22");
        QCOMPARE(ToHex(Requests().back().pdu), ToHex(WritePdu(106, 1)));
    }

    void read40106() {
        Start();
        SetReg(106, 0x0032);
        Click("RzBitBtn21");
        QCOMPARE(ToHex(Requests().back().pdu), std::string("03 00 6A 00 01"));
        QCOMPARE(Box("edtTime6A"), QStringLiteral("50"));
        QCOMPARE(Box("edtR6A"), QStringLiteral("0032"));
        QCOMPARE(LastLog(), QStringLiteral("读取寄存器40106=0x0032成功！"));
        SetReg(106, 0xFFFF);
        Click("RzBitBtn21");
        QCOMPARE(Box("edtTime6A"), QStringLiteral("65535"));
        QCOMPARE(Box("edtR6A"), QStringLiteral("FFFF"));
    }

    // ---- failures

    void failedReadsKeepTheChoices() {
        Start();
        Pick("cbBaud2", 4);
        Pick("cbID2", 9);
        Pick("cbBeep", 1);
        ClickRadio("rb64_N7");
        const int id = Pos("cbID");
        const QString time = Box("edtTime6A"), r6a = Box("edtR6A");

        sim_->server.InjectFault(Fault::Exception, 4);
        Click("RzBitBtn8");
        QCOMPARE(Box("edtValue"), QStringLiteral("读失败"));
        QCOMPARE(LastLog(), QStringLiteral("读取寄存器40001失败！"));
        Click("RzBitBtn9");
        QCOMPARE(Box("edtTagValue"), QStringLiteral("读失败"));
        QCOMPARE(LastLog(), QStringLiteral("读取寄存器40002失败！"));
        Click("RzBitBtn15");
        QCOMPARE(Box("edtR64"), QStringLiteral("读失败"));
        QCOMPARE(LastLog(), QStringLiteral("读取寄存器40100失败！"));
        Click("RzBitBtn21");
        QCOMPARE(Box("edtTime6A"), time);
        QCOMPARE(Box("edtR6A"), r6a);
        QCOMPARE(LastLog(), QStringLiteral("读取寄存器40106失败！"));
        QCOMPARE(Requests().size(), size_t(4));

        QCOMPARE(Pos("cbBaud2"), 4);
        QCOMPARE(Pos("cbID2"), 9);
        QCOMPARE(Pos("cbID"), id);
        QCOMPARE(Pos("cbBeep"), 1);
        QVERIFY(Checked("rb64_N7") && Checked("rb64_4") && Checked("rb64_9"));
        // The next set composes the box again from the choices.
        Click("RzBitBtn16");
        QCOMPARE(LastLog(), QStringLiteral("设置寄存器40100=0x0090成功！"));
    }

    void failedWritesLogTheValueSent() {
        Start();
        sim_->server.InjectFault(Fault::Exception, 4);
        for (const char *b : {"RzBitBtn7", "RzBitBtn10", "RzBitBtn22", "RzBitBtn16"}) Click(b);
        QCOMPARE(Log(), QStringList({"设置寄存器40001=0x0301失败！", "设置寄存器40002=0x0005失败！",
                                     "设置寄存器40106=0x0014失败！", "设置寄存器40100=0x0010失败！"}));
        QCOMPARE(Box("edtValue"), QStringLiteral("0301"));
        QCOMPARE(Box("edtTagValue"), QStringLiteral("0005"));
        QCOMPARE(Box("edtR6A"), QStringLiteral("0014"));
        QCOMPARE(Box("edtR64"), QStringLiteral("0010"));
    }

    void silentReaderFailsAfterTheLibraryWait() {
        Start();
        sim_->server.InjectFault(Fault::NoReply, 1);
        QElapsedTimer t;
        t.start();
        Click("RzBitBtn9");
        QVERIFY2(t.elapsed() >= 1500 && t.elapsed() < 5000, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(Box("edtTagValue"), QStringLiteral("读失败"));
        QCOMPARE(LastLog(), QStringLiteral("读取寄存器40002失败！"));
        // The reader is back: the next read succeeds.
        Click("RzBitBtn9");
        QCOMPARE(Box("edtTagValue"), QStringLiteral("0005"));
    }

    void registersWithoutLinkFailAtOnce() {
        Start(readersim::Options(), false);
        QElapsedTimer t;
        t.start();
        Click("RzBitBtn8");
        Click("RzBitBtn10");
        Click("RzBitBtn21");
        QVERIFY(t.elapsed() < 1000);
        QCOMPARE(Log(),
                 QStringList({"读取寄存器40001失败！", "设置寄存器40002=0x0005失败！", "读取寄存器40106失败！"}));
        QVERIFY(Requests().empty());
    }

    // Clicks while a command waits queue behind it in order, each sent once
    // with the value and in the language of its click, while the window
    // takes other input; the busy cursor shows only while they wait. An
    // answer leaves alone what a later click put in a box.
    void clicksWhileACommandWaitsQueueInOrder() {
        Start();
        SetReg(2, 0x0035);
        SetReg(1, 0x0305);
        sim_->server.UpdateFaultSettings([](readersim::FaultSettings &f) { f.delayMs = 800; });
        sim_->server.InjectFault(Fault::Delay, 1);
        QElapsedTimer t;
        t.start();
        Press("RzBitBtn9");   // read 40002: answered after 800 ms
        Press("RzBitBtn10");  // set 40002 with the 0005 composed now
        Press("RzBitBtn16");  // set 40100 with the 0010 composed now
        ClickRadio("rb64_N7");
        QCOMPARE(Box("edtR64"), QStringLiteral("0090"));
        Press("RzBitBtn16");
        QTest::mouseClick(Get<QRadioButton>("rbEnglish"), Qt::LeftButton);
        Press("RzBitBtn8");
        QVERIFY2(t.elapsed() < 400, qPrintable(QString::number(t.elapsed())));
        QTRY_COMPARE(Requests().size(), size_t(1));
        QVERIFY(Log().isEmpty());
        QTRY_VERIFY(QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::BusyCursor);
        QVERIFY(!win_->LinkIdle());

        QTRY_VERIFY(win_->LinkIdle());
        QVERIFY(!QApplication::overrideCursor());
        const auto req = Requests();
        QCOMPARE(req.size(), size_t(5));
        QCOMPARE(ToHex(req[0].pdu), std::string("03 00 02 00 01"));
        QCOMPARE(ToHex(req[1].pdu), ToHex(WritePdu(2, 0x0005)));
        QCOMPARE(ToHex(req[2].pdu), ToHex(WritePdu(100, 0x0010)));
        QCOMPARE(ToHex(req[3].pdu), ToHex(WritePdu(100, 0x0090)));
        QCOMPARE(ToHex(req[4].pdu), std::string("03 00 01 00 01"));
        QCOMPARE(Log(),
                 QStringList({"读取寄存器40002=0035", "设置寄存器40002=0x0005成功！", "设置寄存器40100=0x0010成功！",
                              "设置寄存器40100=0x0090成功！", "Read Register 40001=0305"}));
        QCOMPARE(Box("edtTagValue"), QStringLiteral("0005"));  // what the set sent, not the answer before it
        // The language switch after the read chose the lists' first entries.
        QCOMPARE(Pos("cbBeep"), 0);
        QCOMPARE(Pos("cbLED"), 0);
        QCOMPARE(Box("edtValue"), QStringLiteral("0305"));
    }

    // ---- device information

    void deviceInfoNeedsTheLink() {
        Start(readersim::Options(), false);
        Click("RzBitBtn3");
        QCOMPARE(Log(), QStringList({"请先打开端口"}));
        QVERIFY(Requests().empty());
        QVERIFY(Box("edtModel").isEmpty());
        QCOMPARE(Box("edtFirmware"), QStringLiteral("0000"));
    }

    void deviceInfoFromTheReader() {
        Start();
        Click("RzBitBtn3");
        QCOMPARE(ToHex(Requests().back().pdu).substr(0, 5), std::string("46 00"));
        QCOMPARE(Box("edtModel"), QStringLiteral("QV-LF125"));
        QCOMPARE(Box("edtVersion"), QStringLiteral("1.5"));
        QVERIFY(Log().isEmpty());  // success logs nothing

        sim_->server.InjectFault(Fault::Exception, 1);
        Click("RzBitBtn3");
        QCOMPARE(Log(), QStringList({"读取设备信息失败"}));
        QCOMPARE(Box("edtModel"), QStringLiteral("QV-LF125"));
        QCOMPARE(Box("edtVersion"), QStringLiteral("1.5"));
    }

    // The top panel's version box shows the version the 系统 group's 读取
    // reads; a failed read leaves it as it was.
    void firmwareBoxFollowsTheDeviceInformation() {
        Start();
        ShowWindow();
        auto *system = Get<QGroupBox>("RzGroupBox1");
        QCOMPARE(system->title(), QStringLiteral("系统"));
        QPushButton *read = nullptr;
        for (QPushButton *b : system->findChildren<QPushButton *>())
            if (b->text() == QStringLiteral("读取")) read = b;
        QVERIFY(read);
        const auto clickRead = [&] {
            QTest::mouseClick(read, Qt::LeftButton);
            Settle();
        };

        sim_->server.InjectFault(Fault::Exception, 1);
        clickRead();
        QCOMPARE(Log(), QStringList({"读取设备信息失败"}));
        QCOMPARE(Box("edtFirmware"), QStringLiteral("0000"));

        clickRead();
        QCOMPARE(Box("edtFirmware"), QStringLiteral("1.5"));
        QCOMPARE(Box("edtVersion"), QStringLiteral("1.5"));

        sim_->server.InjectFault(Fault::BadCrc, 1);
        clickRead();
        QCOMPARE(LastLog(), QStringLiteral("读取设备信息失败"));
        QCOMPARE(Box("edtFirmware"), QStringLiteral("1.5"));
        QCOMPARE(Requests().size(), size_t(3));
    }

    void deviceInfoModelLengths() {
        readersim::Options o;
        o.model = "ABCDEFGH";  // exactly 8: no zero byte
        o.versionMajor = 12;
        o.versionMinor = 0;
        Start(o);
        Click("RzBitBtn3");
        QCOMPARE(Box("edtModel"), QStringLiteral("ABCDEFGH"));
        QCOMPARE(Box("edtVersion"), QStringLiteral("12.0"));
        QCOMPARE(Box("edtFirmware"), QStringLiteral("12.0"));
        cleanup();
        o.model = "R1";
        Start(o);
        Click("RzBitBtn3");
        QCOMPARE(Box("edtModel"), QStringLiteral("R1"));
    }

    // ---- language

    void languageSwitchResetsTheReadParamLists() {
        Start();
        Pick("cbBeep", 1);
        Pick("cbLED", 1);
        QCOMPARE(Box("edtTagValue"), QStringLiteral("0035"));
        QTest::mouseClick(Get<QRadioButton>("rbEnglish"), Qt::LeftButton);
        QCOMPARE(Pos("cbBeep"), 0);
        QCOMPARE(Pos("cbLED"), 0);
        QCOMPARE(Box("edtTagValue"), QStringLiteral("0035"));
        Click("RzBitBtn10");
        QCOMPARE(ToHex(Requests().back().pdu), ToHex(WritePdu(2, 0x0005)));
        QCOMPARE(LastLog(), QStringLiteral("Set Register 40002=0x0005 ok"));
        SetReg(100, 0x0690);
        Click("RzBitBtn15");
        QCOMPARE(LastLog(), QStringLiteral("Read Register 40100=0x0690 OK！"));
        Click("RzBitBtn3");  // device information: nothing logged in English either
        QCOMPARE(LastLog(), QStringLiteral("Read Register 40100=0x0690 OK！"));
        // Other choices keep their state across a switch.
        QTest::mouseClick(Get<QRadioButton>("rbChinese"), Qt::LeftButton);
        QVERIFY(Checked("rb64_N9W") && Checked("rb64_N7"));
        QCOMPARE(Box("edtR64"), QStringLiteral("0690"));
    }

    // A station picked in the window reaches the reader as that station.
    void station255ReachesTheReader() {
        readersim::Options o;
        o.station = 255;
        Start(o);
        auto *id = Get<QComboBox>("cbID");
        id->setFocus();
        QTest::keyClick(id, Qt::Key_End);
        QCOMPARE(win_->StationID(), 255);
        Click("RzBitBtn9");
        QCOMPARE(int(Requests().back().station), 255);
        QCOMPARE(int(Requests().back().frame.at(0)), 0xFF);
        QCOMPARE(LastLog(), QStringLiteral("读取寄存器40002=0005"));
    }
};

QTEST_MAIN(SettingsPageTest)
#include "settings_page_test.moc"
