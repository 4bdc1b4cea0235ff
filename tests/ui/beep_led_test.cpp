// The LED and buzzer dialog on its own (lists, composing, keys) and through
// the card page's set button against the simulated reader: what reaches
// register 40003 and what the log says.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bytes.h"
#include "pty_port.h"
#include "qvmodbusrtu.h"
#include "ui_helpers.h"
#include "untFrmBeepLED.h"
#include "untFrmMain.h"

#ifdef QV_HAVE_READERSIM
#    include "readersim.h"
#endif

using testsupport::Hex;
using testsupport::PortsDir;
using testsupport::ToHex;
using testsupport::WithCrc;

namespace {

QStringList Items(const QComboBox *list) {
    QStringList out;
    for (int i = 0; i < list->count(); ++i) out << list->itemText(i);
    return out;
}

template <class T>
T *Part(QWidget *dialog, const char *name) {
    return uitest::Child<T>(dialog, name);
}

// Runs act on the LED and buzzer dialog once it is shown modally; act must
// close it. A dialog still open after a few seconds is cancelled so that a
// failing test cannot hang.
struct DialogSession {
    bool seen = false;
};
void OnDialog(std::shared_ptr<DialogSession> session, std::function<void(TFrmBeepLED *)> act, int triesLeft = 500) {
    QTimer::singleShot(10, [session, act, triesLeft]() {
        auto *dialog = qobject_cast<TFrmBeepLED *>(QApplication::activeModalWidget());
        if (!dialog) {
            if (triesLeft > 0) OnDialog(session, act, triesLeft - 1);
            return;
        }
        session->seen = true;
        QPointer<TFrmBeepLED> guard(dialog);
        act(dialog);
        QTimer::singleShot(3000, [guard]() {
            if (guard && guard->isVisible()) guard->reject();
        });
    });
}

}  // namespace

class BeepLedTest : public uitest::WindowTest {
    Q_OBJECT

    std::unique_ptr<TFrmBeepLED> dialog_;

    QComboBox *List(const char *name) { return Part<QComboBox>(dialog_.get(), name); }
    QString Value() { return Part<QLineEdit>(dialog_.get(), "edtValue")->text(); }
    // Picks with the keyboard, as a user would: only such picks compose.
    void Pick(const char *list, Qt::Key key, int times = 1) {
        for (int i = 0; i < times; ++i) QTest::keyClick(List(list), key);
    }

#ifdef QV_HAVE_READERSIM
    std::unique_ptr<PortsDir> dir_;
    std::unique_ptr<readersim::Reader> reader_;
    std::unique_ptr<readersim::Server> server_;

    std::vector<std::string> Frames() {
        std::vector<std::string> out;
        for (const readersim::Request &r : server_->Requests()) out.push_back(ToHex(r.frame));
        return out;
    }
    static std::string WriteFrame(const char *value) {
        return ToHex(WithCrc(Hex(std::string("00 06 00 03 ") + value)));
    }
    void MakeWindow(bool open) {
        dir_ = std::make_unique<PortsDir>();
        reader_ = std::make_unique<readersim::Reader>();
        server_ = std::make_unique<readersim::Server>(*reader_);
        QVERIFY(!server_->ServePty(dir_->path(), 1).empty());
        win_ = std::make_unique<TFrmMain>();
        win_->show();
        if (open) {
            Click("btnOpen");
            QVERIFY(win_->LinkOpen());
            server_->ClearRequests();
        }
    }
    // Clicks the 40003 set button, lets act work the dialog and waits for
    // the reader's answer to the write.
    void SetLedBeep(std::function<void(TFrmBeepLED *)> act) {
        auto session = std::make_shared<DialogSession>();
        OnDialog(session, std::move(act));
        Press("btnSet5");
        QVERIFY(session->seen);
        // Created for the one click and gone afterwards.
        QTRY_VERIFY(win_->findChildren<TFrmBeepLED *>().isEmpty());
        Settle();
    }
    static void Write(TFrmBeepLED *d) {
        QTest::mouseClick(Part<QPushButton>(d, "RzBitBtn1"), Qt::LeftButton);
    }
    static void TypeValue(TFrmBeepLED *d, const QString &text) {
        auto *edit = Part<QLineEdit>(d, "edtValue");
        edit->setFocus();
        edit->selectAll();
        QTest::keyClicks(edit, text);
    }
#endif

private slots:
    void init() {
        dialog_ = std::make_unique<TFrmBeepLED>();
    }
    void cleanup() {
        dialog_.reset();
#ifdef QV_HAVE_READERSIM
        win_.reset();
        QV_ComFree();
        server_.reset();
        reader_.reset();
        dir_.reset();
#endif
    }

    void listsAndInitialChoices() {
        QCOMPARE(dialog_->size(), QSize(372, 188));
        QCOMPARE(dialog_->minimumSize(), dialog_->maximumSize());
        QCOMPARE(dialog_->windowTitle(), QStringLiteral("蜂鸣器和LED"));
        QCOMPARE(dialog_->property("Tag").toInt(), 105);
        QCOMPARE(List("cbCycle")->count(), 64);
        QCOMPARE(List("cbCycle")->itemText(0), QStringLiteral("0"));
        QCOMPARE(List("cbCycle")->itemText(63), QStringLiteral("63"));
        QCOMPARE(Items(List("cbBeepLED")), QStringList({"01---LED", "02---BEEP蜂鸣器", "03---LED和BEEP蜂鸣器同时"}));
        for (const char *name : {"cbOn", "cbOff"}) {
            QCOMPARE(List(name)->count(), 16);
            QCOMPARE(List(name)->itemText(0), QStringLiteral("0*100ms"));
            QCOMPARE(List(name)->itemText(15), QStringLiteral("15*100ms"));
        }
        for (const char *name : {"cbCycle", "cbBeepLED", "cbOn", "cbOff"}) {
            QCOMPARE(List(name)->currentIndex(), 1);
            QVERIFY(!List(name)->isEditable());
        }
        QCOMPARE(Value(), QStringLiteral("0611"));
        QVERIFY(!Part<QLineEdit>(dialog_.get(), "edtValue")->isReadOnly());
        QVERIFY(Part<QPushButton>(dialog_.get(), "RzBitBtn1")->isDefault());
        QVERIFY(!Part<QPushButton>(dialog_.get(), "RzBitBtn2")->isDefault());
        const std::pair<const char *, int> tags[] = {{"RzLabel5", 106}, {"RzLabel4", 107}, {"RzLabel1", 108},
                                                     {"RzLabel2", 109}, {"RzLabel3", 39},  {"RzBitBtn1", 48},
                                                     {"RzBitBtn2", 49}};
        for (const auto &[name, tag] : tags) QCOMPARE(Part<QWidget>(dialog_.get(), name)->property("Tag").toInt(), tag);
    }

    void everyPickComposesTheWord() {
        dialog_->show();
        // All fields at their top: 63 cycles, both, 15 and 15.
        Pick("cbCycle", Qt::Key_End);
        QCOMPARE(Value(), QStringLiteral("FE11"));
        Pick("cbBeepLED", Qt::Key_End);
        QCOMPARE(Value(), QStringLiteral("FF11"));
        Pick("cbOn", Qt::Key_End);
        QCOMPARE(Value(), QStringLiteral("FFF1"));
        Pick("cbOff", Qt::Key_End);
        QCOMPARE(Value(), QStringLiteral("FFFF"));
        // All at their bottom: 0 cycles, LED, 0 and 0.
        for (const char *name : {"cbCycle", "cbBeepLED", "cbOn", "cbOff"}) Pick(name, Qt::Key_Home);
        QCOMPARE(Value(), QStringLiteral("0100"));
        // Each field in its own bits.
        Pick("cbCycle", Qt::Key_Down, 32);
        QCOMPARE(Value(), QStringLiteral("8100"));
        Pick("cbBeepLED", Qt::Key_Down);
        Pick("cbOn", Qt::Key_Down, 8);
        Pick("cbOff", Qt::Key_Down, 5);
        QCOMPARE(Value(), QStringLiteral("8285"));
        // A typed value is overwritten by the next pick.
        Part<QLineEdit>(dialog_.get(), "edtValue")->setText("zz");
        Pick("cbOff", Qt::Key_Up);
        QCOMPARE(Value(), QStringLiteral("8284"));
    }

    void choicesByProgramComposeNothing() {
        for (const char *name : {"cbCycle", "cbBeepLED", "cbOn", "cbOff"}) List(name)->setCurrentIndex(0);
        QCOMPARE(Value(), QStringLiteral("0611"));
        dialog_->FormCreate();  // refilling neither
        QCOMPARE(Value(), QStringLiteral("0611"));
        QCOMPARE(List("cbCycle")->count(), 64);
        QCOMPARE(List("cbBeepLED")->count(), 3);
    }

    void enterWritesEscapeCancels() {
        dialog_->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog_.get()));
        QTest::keyClick(Part<QLineEdit>(dialog_.get(), "edtValue"), Qt::Key_Return);
        QCOMPARE(dialog_->result(), int(QDialog::Accepted));
        QVERIFY(!dialog_->isVisible());

        dialog_ = std::make_unique<TFrmBeepLED>();
        dialog_->show();
        QTest::keyClick(List("cbOn"), Qt::Key_Escape);
        QCOMPARE(dialog_->result(), int(QDialog::Rejected));
        QVERIFY(!dialog_->isVisible());

        dialog_ = std::make_unique<TFrmBeepLED>();
        dialog_->show();
        QTest::mouseClick(Part<QPushButton>(dialog_.get(), "RzBitBtn2"), Qt::LeftButton);
        QCOMPARE(dialog_->result(), int(QDialog::Rejected));
    }

    void modeEntriesFromTheTextSource() {
        std::vector<int> asked;
        TFrmBeepLED d(nullptr, [&asked](int n) {
            asked.push_back(n);
            return QStringLiteral("text %1").arg(n);
        });
        QCOMPARE(Items(Part<QComboBox>(&d, "cbBeepLED")), QStringList({"01---LED", "text 110", "text 111"}));
        QCOMPARE(asked, std::vector<int>({110, 111}));
    }

#ifdef QV_HAVE_READERSIM
    void writeWithoutChangesWrites0611() {
        MakeWindow(true);
        SetLedBeep([this](TFrmBeepLED *d) {
            QCOMPARE(d->windowTitle(), QStringLiteral("蜂鸣器和LED"));
            QCOMPARE(d->parentWidget(), static_cast<QWidget *>(win_.get()));  // centred over the window
            Write(d);
        });
        QCOMPARE(Frames(), std::vector<std::string>({WriteFrame("06 11")}));
        QCOMPARE(int(server_->WithReader([](readersim::Reader &r) { return r.Register(3); })), 0x0611);
        QCOMPARE(Log().last(), QStringLiteral("设置寄存器40003=0x0611成功！"));
        QCOMPARE(Log().size(), 2);
    }

    void composedWordsReachTheReader() {
        MakeWindow(true);
        SetLedBeep([](TFrmBeepLED *d) {
            for (const char *name : {"cbCycle", "cbBeepLED", "cbOn", "cbOff"})
                QTest::keyClick(Part<QComboBox>(d, name), Qt::Key_End);
            Write(d);
        });
        SetLedBeep([](TFrmBeepLED *d) {
            // A fresh dialog: the last value is not remembered.
            QCOMPARE(d->ValueText(), QStringLiteral("0611"));
            for (const char *name : {"cbCycle", "cbBeepLED", "cbOn", "cbOff"})
                QTest::keyClick(Part<QComboBox>(d, name), Qt::Key_Home);
            QTest::keyClick(Part<QLineEdit>(d, "edtValue"), Qt::Key_Enter, Qt::KeypadModifier);
        });
        QCOMPARE(Frames(), std::vector<std::string>({WriteFrame("FF FF"), WriteFrame("01 00")}));
        QCOMPARE(Log().mid(1), QStringList({"设置寄存器40003=0xFFFF成功！", "设置寄存器40003=0x0100成功！"}));
        QCOMPARE(int(server_->WithReader([](readersim::Reader &r) { return r.Register(3); })), 0x0100);
    }

    void typedValueKeepsLow16BitsAndLogsAsTyped() {
        MakeWindow(true);
        SetLedBeep([](TFrmBeepLED *d) {
            TypeValue(d, "12345");
            Write(d);
        });
        SetLedBeep([](TFrmBeepLED *d) {
            TypeValue(d, "abc");
            Write(d);
        });
        QCOMPARE(Frames(), std::vector<std::string>({WriteFrame("23 45"), WriteFrame("0A BC")}));
        QCOMPARE(Log().mid(1), QStringList({"设置寄存器40003=0x12345成功！", "设置寄存器40003=0xabc成功！"}));
    }

    void badValueShowsConversionErrorOnly() {
        MakeWindow(true);
        auto closer = std::make_shared<std::unique_ptr<uitest::ModalCloser>>();
        SetLedBeep([closer](TFrmBeepLED *d) {
            TypeValue(d, "12G4");
            // The error box comes up after the dialog has closed.
            *closer = std::make_unique<uitest::ModalCloser>();
            Write(d);
        });
        QVERIFY(*closer);
        QVERIFY((*closer)->seen());
        QCOMPARE((*closer)->text(), QStringLiteral("'12G4' is not a valid integer value"));
        QVERIFY(server_->Requests().empty());
        QCOMPARE(Log().size(), 1);
        // An empty value is no number either.
        *closer = nullptr;
        SetLedBeep([closer](TFrmBeepLED *d) {
            Part<QLineEdit>(d, "edtValue")->clear();
            *closer = std::make_unique<uitest::ModalCloser>();
            Write(d);
        });
        QVERIFY((*closer)->seen());
        QVERIFY(server_->Requests().empty());
        QCOMPARE(Log().size(), 1);
    }

    void cancelWritesNothing() {
        MakeWindow(true);
        SetLedBeep([](TFrmBeepLED *d) {
            QTest::keyClick(Part<QComboBox>(d, "cbCycle"), Qt::Key_End);
            QTest::mouseClick(Part<QPushButton>(d, "RzBitBtn2"), Qt::LeftButton);
        });
        SetLedBeep([](TFrmBeepLED *d) { QTest::keyClick(d, Qt::Key_Escape); });
        SetLedBeep([](TFrmBeepLED *d) { d->close(); });
        QVERIFY(server_->Requests().empty());
        QCOMPARE(Log().size(), 1);
    }

    void failedWriteLogsFailure() {
        MakeWindow(false);  // the button does not look at the link
        SetLedBeep(Write);
        QCOMPARE(Log(), QStringList({"设置寄存器40003=0x0611失败！"}));
        QVERIFY(server_->Requests().empty());
        QTest::mouseClick(win_->findChild<QPushButton *>("btnOpen"), Qt::LeftButton);
        QTRY_VERIFY(win_->LinkOpen());
        server_->InjectFault(readersim::Fault::Exception, 1);
        SetLedBeep(Write);
        QCOMPARE(Log().last(), QStringLiteral("设置寄存器40003=0x0611失败！"));
    }

    void dialogInEnglish() {
        MakeWindow(true);
        QTest::mouseClick(win_->findChild<QRadioButton *>("rbEnglish"), Qt::LeftButton);
        QStringList entries, labels;
        QString title;
        SetLedBeep([&](TFrmBeepLED *d) {
            title = d->windowTitle();
            entries = Items(Part<QComboBox>(d, "cbBeepLED"));
            for (const char *name : {"RzLabel5", "RzLabel4", "RzLabel1", "RzLabel2", "RzLabel3"})
                labels << Part<QLabel>(d, name)->text();
            labels << Part<QPushButton>(d, "RzBitBtn1")->text() << Part<QPushButton>(d, "RzBitBtn2")->text();
            QCOMPARE(Part<QComboBox>(d, "cbBeepLED")->currentIndex(), 1);
            Write(d);
        });
        QCOMPARE(title, QStringLiteral("Beep and LED"));
        QCOMPARE(entries, QStringList({"01---LED", "02---BEEP", "03---LED and BEEP"}));
        QCOMPARE(labels, QStringList({"Cycle:", "Beep or LED:", "Time On:", "Time Off:", "Register Value(HEX)", "Write",
                                      "Cancel"}));
        QCOMPARE(Log().last(), QStringLiteral("Set Register 40003=0x0611 ok！"));
        // Back in Chinese, a new dialog is Chinese again.
        QTest::mouseClick(win_->findChild<QRadioButton *>("rbChinese"), Qt::LeftButton);
        SetLedBeep([&](TFrmBeepLED *d) {
            title = d->windowTitle();
            entries = Items(Part<QComboBox>(d, "cbBeepLED"));
            d->reject();
        });
        QCOMPARE(title, QStringLiteral("蜂鸣器和LED"));
        QCOMPARE(entries, QStringList({"01---LED", "02---BEEP蜂鸣器", "03---LED和BEEP蜂鸣器同时"}));
    }

    void pollingGoesOnWhileTheDialogIsOpen() {
        MakeWindow(true);
        QTest::mouseClick(win_->findChild<QPushButton *>("btnScan"), Qt::LeftButton);
        QVERIFY(win_->ReadTimer()->isActive());
        int during = 0;
        SetLedBeep([this, &during](TFrmBeepLED *d) {
            const size_t before = server_->Requests().size();
            QTest::qWait(1300);  // two ticks or more of tmrRead
            during = static_cast<int>(server_->Requests().size() - before);
            d->reject();
        });
        QVERIFY2(during >= 2, qPrintable(QString::number(during)));
        QTest::mouseClick(win_->findChild<QPushButton *>("btnScan"), Qt::LeftButton);
    }
#endif
};

QTEST_MAIN(BeepLedTest)
#include "beep_led_test.moc"
