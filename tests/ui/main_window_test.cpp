// Main window: start-up state, port list, link open and close (also while a
// command waits for a silent reader), the message log's limit and the
// language switch.
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <asm/termbits.h>  // termios2: the line's rate as a number; <termios.h> would clash
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "RegisterEdit.h"
#include "bytes.h"
#include "pty_port.h"
#include "qvmodbusrtu.h"
#include "serialports.h"
#include "ui_helpers.h"
#include "untFrmMain.h"

using testsupport::PortsDir;
using testsupport::PtyPort;

namespace {

struct Wording {
    const char *chinese;
    const char *english;
};

// The captions the window's tagged components must show, by Tag.
const std::map<int, Wording> kCaptions = {
    {104, {"125K低频RFID读写器Modbus-RTU演示程序 V1.0", "125K LF Modbus Reader PC Demo V1.0"}},
    {1, {"端口：", "Port:"}},
    {2, {"波特率：", "Baud:"}},
    {3, {"连接读卡器", "Connect Reader"}},
    {4, {"断开连接", "DisConnect"}},
    {5, {"当前站号", "Current Modbus ID"}},
    {36, {"硬件版本号：", "Firmware Version"}},
    {6, {"Modbus读写器演示", "Modbus RFID Reader Demo"}},
    {7, {"Modbus读写器基础设置", "Modbus RFID Reader base Config"}},
    {8, {"选择", "Select"}},
    {9, {"寄存器", "Register"}},
    {10, {"名称", "Name"}},
    {11, {"寄存器值", "Register Value"}},
    {12, {"LED灯和蜂鸣器控制", "LED and Beep"}},
    {13, {"卡片序列号", "Card No."}},
    {19, {"设置", "Set"}},
    {20, {"清空(重新读卡)", "Empty(Re-Request Card)"}},
    {28, {"自动读", "Auto Read"}},
    {29, {"系统", "System"}},
    {33, {"读写器型号：", "Reader Model:"}},
    {37, {"读取", "Read"}},
    {30, {"波特率和Modbus站号(寄存器40001)", "Baud and Modbus ID(Register:40001)"}},
    {38, {"Modbus站号(ID)：", "Modbus ID(ID)："}},
    {39, {"寄存器值(HEX)", "Register Value(HEX)"}},
    {32, {"读卡参数(寄存器40002)", "Read Card param(Register:40002)"}},
    {43, {"读到卡绿LED亮：", "Green LED:"}},
    {44, {"读到卡BEEP响：", "Beep:"}},
    {45, {"寻卡类型：", "Card Type:"}},
    {121, {"同卡延时寄存器(40106)", "Delay Time Register(40106)"}},
    {46, {"延时时间：", "Time:"}},
    {122, {"参数寄存器(40100)", "Parameter Register(40100)"}},
    {127, {"数据使用大端模式", "Data Mode:MSB "}},
    {128, {"数据使用小端模式", "Data Mode:LSB"}},
    {141, {"卡号寄存器不自动清除", "Do not Clear Card No. Automatically"}},
    {142, {"卡号寄存器自动清除", "Clear Card No. Automatically"}},
    {125, {"显示厂家字节", "Include factory byte in card No."}},
    {126, {"不显示厂家字节", "Ignore factory byte in card No."}},
    {123, {"卡号Hex格式", "Card No. format HEX"}},
    {124, {"卡号10DEC格式", "Card No. format 10DEC"}},
    {129, {"卡号weigand26格式", "Card No. format weigand26"}},
};

// Every tagged component the window's form must carry, with its Tag.
const std::map<QString, int> kTagged = {
    {"lbIP", 1},        {"lbBaud", 2},       {"btnOpen", 3},      {"btnClose", 4},    {"RzLabel11", 5},
    {"RzLabel74", 36},  {"TabSheet1", 6},    {"TabSheet2", 7},    {"RzLabel3", 8},    {"RzLabel4", 9},
    {"RzLabel5", 10},   {"RzLabel6", 11},    {"edtMemo5", 12},    {"edtMemo6", 13},   {"btnSet5", 19},
    {"btnSet6", 20},    {"btnScan", 28},     {"RzGroupBox1", 29}, {"RzLabel7", 33},   {"RzLabel12", 36},
    {"RzBitBtn3", 37},  {"RzGroupBox3", 30}, {"RzLabel13", 2},    {"RzLabel14", 38},  {"RzLabel15", 39},
    {"RzBitBtn8", 37},  {"RzBitBtn7", 19},   {"RzGroupBox4", 32}, {"RzLabel18", 43},  {"RzLabel19", 44},
    {"RzLabel20", 45},  {"RzLabel21", 39},   {"RzBitBtn9", 37},   {"RzBitBtn10", 19}, {"GroupBox3", 121},
    {"RzLabel29", 46},  {"RzLabel31", 39},   {"RzBitBtn21", 37},  {"RzBitBtn22", 19}, {"RzGroupBox5", 122},
    {"rb64_4", 127},    {"rb64_N4", 128},    {"rb64_7", 141},     {"rb64_N7", 142},   {"rb64_8", 125},
    {"rb64_N8", 126},   {"rb64_9", 123},     {"rb64_N9", 124},    {"rb64_N9W", 129},  {"RzLabel22", 39},
    {"RzBitBtn15", 37}, {"RzBitBtn16", 19},
};

QString Wanted(int tag, bool english) {
    const Wording &w = kCaptions.at(tag);
    return QString::fromUtf8(english ? w.english : w.chinese);
}

// What a component shows as its caption.
QString Caption(QWidget *w) {
    if (auto *l = qobject_cast<QLabel *>(w)) return l->text();
    if (auto *e = qobject_cast<QLineEdit *>(w)) return e->text();
    if (auto *b = qobject_cast<QAbstractButton *>(w)) return b->text();
    if (auto *g = qobject_cast<QGroupBox *>(w)) return g->title();
    if (auto *stack = qobject_cast<QStackedWidget *>(w->parentWidget()))
        if (auto *tabs = qobject_cast<QTabWidget *>(stack->parentWidget())) return tabs->tabText(tabs->indexOf(w));
    return QStringLiteral("<no caption>");
}

QStringList Items(const QComboBox *c) {
    QStringList l;
    for (int i = 0; i < c->count(); ++i) l << c->itemText(i);
    return l;
}

// The bit rate the program set on a pty's slave, read on the master: the
// slave itself is held exclusively, which only root could open past.
int LineSpeed(const PtyPort &pty) {
    termios2 t{};
    return ioctl(pty.master(), TCGETS2, &t) == 0 ? static_cast<int>(t.c_ospeed) : -1;
}

}  // namespace

class MainWindowTest : public uitest::WindowTest {
    Q_OBJECT

    std::unique_ptr<PortsDir> dir_;

    void MakeWindow() { win_ = std::make_unique<TFrmMain>(); }
    // Whether another program could take the port now.
    static bool PortFree(const PtyPort &port) {
        const int fd = ::open(port.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) return false;
        const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
        ::close(fd);
        return free;
    }
    // Every tagged component against the wording of one language.
    void CheckAllCaptions(bool english) {
        QCOMPARE(win_->windowTitle(), Wanted(104, english));
        for (const auto &[name, tag] : kTagged) {
            QWidget *w = win_->findChild<QWidget *>(name);
            QVERIFY2(w, qPrintable(name));
            QCOMPARE(w->property("Tag").toInt(), tag);
            QVERIFY2(Caption(w) == Wanted(tag, english),
                     qPrintable(name + ": " + Caption(w) + " != " + Wanted(tag, english)));
        }
    }

private slots:
    void init() { dir_ = std::make_unique<PortsDir>(); }
    void cleanup() {
        win_.reset();
        QV_ComFree();
        dir_.reset();
    }

    // ---- start-up

    void startupCaptionsAreChinese() {
        PtyPort com1(*dir_, 1);
        MakeWindow();
        QCOMPARE(win_->property("Tag").toInt(), 104);
        CheckAllCaptions(false);
        // Every component that carries a Tag is one the table covers.
        for (QWidget *w : win_->findChildren<QWidget *>()) {
            int tag = w->property("Tag").toInt();
            if (tag > 0) QVERIFY2(kTagged.count(w->objectName()), qPrintable(w->objectName()));
        }
    }

    void startupState() {
        PtyPort com1(*dir_, 1);
        MakeWindow();
        QCOMPARE(Get<QTabWidget>("pcMain")->currentWidget(), Get<QWidget>("TabSheet2"));
        auto *baud = Get<QComboBox>("cbBaud");
        QCOMPARE(Items(baud), QStringList({"9600", "14400", "19200", "28800", "38400", "57600", "115200"}));
        QCOMPARE(baud->currentText(), QStringLiteral("19200"));
        auto *id = Get<QComboBox>("cbID");
        QCOMPARE(id->count(), 256);
        for (int i = 0; i < 256; ++i) QCOMPARE(id->itemText(i), QString::number(i));
        QCOMPARE(id->currentIndex(), 0);
        QVERIFY(!baud->isEditable() && !id->isEditable() && !Get<QComboBox>("cbPort")->isEditable());

        auto *baud2 = Get<QComboBox>("cbBaud2");
        QCOMPARE(Items(baud2), QStringList({"01---9600", "02---14400", "03---19200", "04---28800", "05---38400",
                                            "06---57600", "07---115200"}));
        QCOMPARE(baud2->currentIndex(), 2);
        auto *id2 = Get<QComboBox>("cbID2");
        QCOMPARE(id2->count(), 255);
        QCOMPARE(id2->itemText(0), QStringLiteral("1"));
        QCOMPARE(id2->itemText(254), QStringLiteral("255"));
        QCOMPARE(id2->currentIndex(), 0);

        QCOMPARE(win_->StationID(), 0);
        QVERIFY(!win_->LinkOpen());
        QCOMPARE(win_->PollStep(), 2);
        QCOMPARE(win_->LedBeepText(), QStringLiteral("不可读"));
        QCOMPARE(win_->Language(), 1);
        QVERIFY(Get<QRadioButton>("rbChinese")->isChecked());
        QVERIFY(!Get<QRadioButton>("rbEnglish")->isChecked());

        QTimer *update = win_->UpdateTimer();
        QTimer *read = win_->ReadTimer();
        QCOMPARE(update, Get<QTimer>("tmrUpdate"));
        QCOMPARE(read, Get<QTimer>("tmrRead"));
        QVERIFY(update->isActive());
        QCOMPARE(update->interval(), 800);
        QVERIFY(!read->isActive());
        QCOMPARE(read->interval(), 500);

        // Boxes the settings page starts with.
        QCOMPARE(Get<QLineEdit>("edtValue")->text(), QStringLiteral("0301"));
        QCOMPARE(Get<QLineEdit>("edtTagValue")->text(), QStringLiteral("0000"));
        QCOMPARE(Get<QLineEdit>("edtTime6A")->text(), QStringLiteral("20"));
        QCOMPARE(Get<QLineEdit>("edtR6A")->text(), QStringLiteral("0014"));
        QVERIFY(Get<QLineEdit>("edtModel")->text().isEmpty());
        QVERIFY(Get<QLineEdit>("edtVersion")->text().isEmpty());
        QCOMPARE(Get<QLineEdit>("edtFirmware")->text(), QStringLiteral("0000"));
        QVERIFY(Get<QLineEdit>("edtFirmware")->isReadOnly());
        QVERIFY(Get<QCheckBox>("rb6")->isChecked());
        for (const char *re : {"Re4", "Re5", "Re6", "Re7"}) QVERIFY(Get<TRegisterEdit>(re)->isReadOnly());
        QCOMPARE(Get<TRegisterEdit>("Re6")->RegisterAddr(), quint16(6));

        // The window: fixed client area, no maximize box, a logo and an icon.
        QCOMPARE(win_->size(), QSize(1183, 666));
        QCOMPARE(win_->minimumSize(), win_->maximumSize());
        QVERIFY(!(win_->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(win_->windowFlags() & Qt::WindowMinimizeButtonHint);
        auto *logo = Get<QLabel>("Image1");
        QCOMPARE(logo->size(), QSize(121, 81));
        QVERIFY(!logo->pixmap().isNull());
        QCOMPARE(logo->geometry().right(), 1182);
        QVERIFY(!win_->windowIcon().isNull());
        QCOMPARE(Get<QWidget>("RzPanel1")->height(), 81);
        QCOMPARE(Get<QWidget>("RzPanel3")->height(), 99);
        QCOMPARE(Get<QGroupBox>("RzGroupBox5")->geometry(), QRect(24, 216, 761, 233));
        QCOMPARE(Get<QGroupBox>("GroupBox3")->geometry(), QRect(800, 216, 321, 233));
        QCOMPARE(Get<QLineEdit>("edtTime6A")->maxLength(), 12);
    }

    void portListIsSortedCaseInsensitively() {
        PtyPort com1(*dir_, 1), com3(*dir_, 3), com10(*dir_, 10);
        MakeWindow();
        auto *ports = Get<QComboBox>("cbPort");
        QStringList ours;
        for (const QString &p : Items(ports))
            if (p == "COM1" || p == "COM3" || p == "COM10") ours << p;
        QCOMPARE(ours, QStringList({"COM1", "COM10", "COM3"}));
        // Devices of the machine itself may join the list, in the same order.
        std::vector<std::string> all;
        QVERIFY(serialports::ListPorts(all));
        QStringList expected;
        for (const auto &p : all) expected << QString::fromStdString(p);
        QCOMPARE(Items(ports), expected);
        QCOMPARE(ports->currentIndex(), 0);
        QCOMPARE(ports->currentText(), expected.first());
        QVERIFY(!Log().contains(QStringLiteral("没有找到任何可用的串口")));
        QVERIFY(Log().isEmpty());
    }

    void noPortLogsOnceAndOpenDoesNothing() {
        std::vector<std::string> machine;
        serialports::ListPorts(machine);
        if (!machine.empty()) QSKIP("this machine has serial ports of its own");
        MakeWindow();
        QCOMPARE(Get<QComboBox>("cbPort")->count(), 0);
        QCOMPARE(Log(), QStringList({"没有找到任何可用的串口"}));
        Click("btnOpen");
        QCOMPARE(Log(), QStringList({"没有找到任何可用的串口"}));
        QCOMPARE(Get<QTabWidget>("pcMain")->currentWidget(), Get<QWidget>("TabSheet2"));
        QVERIFY(Get<QPushButton>("btnOpen")->isEnabled());
    }

    // ---- opening and closing the link

    void openLogsAndShowsCardPage() {
        PtyPort com1(*dir_, 1);
        MakeWindow();
        Click("btnOpen");
        QVERIFY(win_->LinkOpen());
        QCOMPARE(Log(), QStringList({"串口打开 端口：COM1,波特率：19200"}));
        QCOMPARE(Get<QTabWidget>("pcMain")->currentWidget(), Get<QWidget>("TabSheet1"));
        QVERIFY(!Get<QPushButton>("btnOpen")->isEnabled());
        QVERIFY(Get<QPushButton>("btnClose")->isEnabled());
        QCOMPARE(LineSpeed(com1), 19200);
        // The link is really there: a command reaches the line.
        QVERIFY(QV_WriteRegister(0, 3, 0x0611) <= 0);  // nobody answers
        QVERIFY(!com1.Drain().empty());
    }

    void openUsesChosenPortAndRate() {
        PtyPort com3(*dir_, 3), com10(*dir_, 10);
        MakeWindow();
        auto *ports = Get<QComboBox>("cbPort");
        ports->setCurrentIndex(ports->findText("COM10"));
        auto *baud = Get<QComboBox>("cbBaud");
        baud->setCurrentIndex(baud->findText("115200"));
        Click("btnOpen");
        QVERIFY(win_->LinkOpen());
        QCOMPARE(Log(), QStringList({"串口打开 端口：COM10,波特率：115200"}));
        QCOMPARE(LineSpeed(com10), 115200);
        QV_WriteRegister(0, 3, 1);
        QVERIFY(!com10.Drain().empty());
        QVERIFY(com3.Drain().empty());
    }

    void failedOpenLogsNothing() {
        PtyPort com1(*dir_, 1);
        MakeWindow();
        // Another program holds the port.
        int fd = ::open(com1.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(fd >= 0);
        QCOMPARE(flock(fd, LOCK_EX | LOCK_NB), 0);
        Click("btnOpen");
        ::close(fd);
        QVERIFY(!win_->LinkOpen());
        QVERIFY(Log().isEmpty());
        QVERIFY(Get<QPushButton>("btnOpen")->isEnabled());
        QCOMPARE(Get<QTabWidget>("pcMain")->currentWidget(), Get<QWidget>("TabSheet1"));
        // Once the port is free the same click opens it.
        Click("btnOpen");
        QVERIFY(win_->LinkOpen());
    }

    void openWithEmptyListDoesNothing() {
        PtyPort com1(*dir_, 1);
        MakeWindow();
        Get<QComboBox>("cbPort")->clear();
        Click("btnOpen");
        QVERIFY(!win_->LinkOpen());
        QVERIFY(Log().isEmpty());
        QVERIFY(Get<QPushButton>("btnOpen")->isEnabled());
        QCOMPARE(Get<QTabWidget>("pcMain")->currentWidget(), Get<QWidget>("TabSheet2"));
        QVERIFY(com1.Drain().empty());
    }

    void portNameWithoutNumberShowsConversionError() {
        PtyPort com1(*dir_, 1);
        MakeWindow();
        // A link the window knows nothing of: an open call would replace it.
        QVERIFY(QV_ComInitial(1, 19200) > 0);
        auto *ports = Get<QComboBox>("cbPort");
        ports->addItem("COMX1");
        ports->setCurrentIndex(ports->count() - 1);

        uitest::ModalCloser closer;
        Click("btnOpen");
        QVERIFY(closer.seen());
        QCOMPARE(closer.text(), QStringLiteral("'X1' is not a valid integer value"));
        QVERIFY(!win_->LinkOpen());
        QVERIFY(Log().isEmpty());
        QCOMPARE(Get<QTabWidget>("pcMain")->currentWidget(), Get<QWidget>("TabSheet2"));
        QVERIFY(Get<QPushButton>("btnOpen")->isEnabled());
        // The library was not called: the earlier link still carries a command.
        QV_WriteRegister(0, 3, 1);
        QVERIFY(!com1.Drain().empty());

        // At most three characters after "COM" make the number.
        ports->addItem("COM");
        ports->setCurrentIndex(ports->count() - 1);
        uitest::ModalCloser closer2;
        Click("btnOpen");
        QCOMPARE(closer2.text(), QStringLiteral("'' is not a valid integer value"));
    }

    void closeBeforeOpenDoesNothing() {
        PtyPort com1(*dir_, 1);
        MakeWindow();
        Click("btnClose");
        QVERIFY(Log().isEmpty());
        QVERIFY(!win_->LinkOpen());
        QVERIFY(Get<QPushButton>("btnOpen")->isEnabled());
        QCOMPARE(Get<QTabWidget>("pcMain")->currentWidget(), Get<QWidget>("TabSheet2"));
    }

    void closeLogsAndReleasesPort() {
        PtyPort com1(*dir_, 1);
        MakeWindow();
        Click("btnOpen");
        QVERIFY(win_->LinkOpen());
        Click("btnClose");
        QVERIFY(!win_->LinkOpen());
        QVERIFY(Get<QPushButton>("btnOpen")->isEnabled());
        QCOMPARE(Log().last(), QStringLiteral("串口关闭"));
        QCOMPARE(Log().size(), 2);
        // Closed for real: another program can take the port now.
        int fd = ::open(com1.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(fd >= 0);
        QCOMPARE(flock(fd, LOCK_EX | LOCK_NB), 0);
        ::close(fd);
        // A second close does nothing.
        Click("btnClose");
        QCOMPARE(Log().size(), 2);
    }

    void closeStopsAutoReadFirst() {
        PtyPort com1(*dir_, 1);
        MakeWindow();
        Click("btnOpen");
        Click("btnScan");
        QVERIFY(win_->ReadTimer()->isActive());
        QVERIFY(!Get<QRadioButton>("rbEnglish")->isEnabled());
        Click("btnClose");
        QVERIFY(!win_->ReadTimer()->isActive());
        QCOMPARE(Get<QPushButton>("btnScan")->text(), QStringLiteral("自动读"));
        QVERIFY(Get<QRadioButton>("rbEnglish")->isEnabled());
        QVERIFY(Get<QRadioButton>("rbChinese")->isEnabled());
        QCOMPARE(Log().last(), QStringLiteral("串口关闭"));
        QVERIFY(!win_->LinkOpen());
    }

    // 断开连接 while a command waits for a reader that does not answer: auto
    // read stops at once; the port is freed once the command has ended, and
    // then the close is logged, after the command's own line.
    void closeWhileACommandWaits() {
        PtyPort com1(*dir_, 1);  // nobody answers
        MakeWindow();
        Click("btnOpen");
        Click("btnScan");
        QElapsedTimer t;
        t.start();
        Press("RzBitBtn9");
        Press("btnClose");
        Press("btnClose");  // a second click while the first waits does nothing more
        QVERIFY2(t.elapsed() < 200, qPrintable(QString::number(t.elapsed())));
        QVERIFY(!win_->ReadTimer()->isActive());
        QCOMPARE(Get<QPushButton>("btnScan")->text(), QStringLiteral("自动读"));
        QVERIFY(Get<QRadioButton>("rbEnglish")->isEnabled());
        QVERIFY(win_->LinkOpen());
        QVERIFY(!PortFree(com1));
        QCOMPARE(Log().size(), 1);

        Settle();
        QVERIFY2(t.elapsed() >= 1500, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(Log().mid(1), QStringList({"读取寄存器40002失败！", "串口关闭"}));
        QVERIFY(!win_->LinkOpen());
        QVERIFY(Get<QPushButton>("btnOpen")->isEnabled());
        QVERIFY(PortFree(com1));
        // Only the read reached the line: no poll, and a close sends nothing.
        QCOMPARE(testsupport::ToHex(com1.Drain()),
                 testsupport::ToHex(testsupport::WithCrc(testsupport::Hex("00 03 00 02 00 01"))));
    }

    // Closing the window while a command waits hides it at once; destroying
    // it waits only for the command that runs and drops those behind it.
    void closeWindowWhileACommandWaits() {
        PtyPort com1(*dir_, 1);
        MakeWindow();
        win_->show();
        QVERIFY(QTest::qWaitForWindowExposed(win_.get()));
        Click("btnOpen");
        QElapsedTimer t;
        t.start();
        Press("RzBitBtn9");
        // On the wire, so it runs.
        QCOMPARE(testsupport::ToHex(com1.Read(8, 1000)),
                 testsupport::ToHex(testsupport::WithCrc(testsupport::Hex("00 03 00 02 00 01"))));
        Press("RzBitBtn8");
        Press("RzBitBtn3");
        QVERIFY(win_->close());
        QVERIFY(!win_->isVisible());
        QVERIFY2(t.elapsed() < 200, qPrintable(QString::number(t.elapsed())));
        win_.reset();
        QVERIFY2(t.elapsed() >= 1500 && t.elapsed() < 2500, qPrintable(QString::number(t.elapsed())));
        QCoreApplication::sendPostedEvents();  // anything still posted for the window lands now
        QVERIFY(com1.Drain().empty());
    }

    void stationFollowsOnlyTheUsersPick() {
        PtyPort com1(*dir_, 1);
        MakeWindow();
        auto *id = Get<QComboBox>("cbID");
        id->setCurrentIndex(9);  // by program: no change handler
        QCOMPARE(win_->StationID(), 0);
        id->setFocus();
        QTest::keyClick(id, Qt::Key_End);  // the user picks the last entry
        QCOMPARE(id->currentText(), QStringLiteral("255"));
        QCOMPARE(win_->StationID(), 255);
        QTest::keyClick(id, Qt::Key_Home);
        QCOMPARE(win_->StationID(), 0);
    }

    // ---- message log

    void logKeepsAtMost51Lines() {
        PtyPort com1(*dir_, 1);
        MakeWindow();
        for (int i = 1; i <= 50; ++i) win_->AddLog(QStringLiteral("line %1").arg(i));
        QCOMPARE(Log().size(), 50);
        win_->AddLog(QStringLiteral("line 51"));  // finds 50: becomes the 51st
        QCOMPARE(Log().size(), 51);
        QCOMPARE(Log().first(), QStringLiteral("line 1"));
        QCOMPARE(Log().last(), QStringLiteral("line 51"));
        win_->AddLog(QStringLiteral("line 52"));  // finds 51: stands alone
        QCOMPARE(Log(), QStringList({"line 52"}));
        win_->AddLog(QStringLiteral("line 53"));
        QCOMPARE(Log(), QStringList({"line 52", "line 53"}));
    }

    void typedLinesCountTowardsTheLimit() {
        PtyPort com1(*dir_, 1);
        MakeWindow();
        auto *log = Get<QPlainTextEdit>("edtMemo");
        QVERIFY(!log->isReadOnly());
        QStringList typed;
        for (int i = 0; i < 51; ++i) typed << QStringLiteral("typed %1").arg(i);
        log->setPlainText(typed.join('\n'));
        win_->AddLog(QStringLiteral("fresh"));
        QCOMPARE(Log(), QStringList({"fresh"}));

        // A final line break ends a line; it starts no empty one.
        log->setPlainText(QStringLiteral("one\ntwo\n"));
        win_->AddLog(QStringLiteral("three"));
        QCOMPARE(Log(), QStringList({"one", "two", "three"}));
        // 50 typed lines with a final break are 50 lines, not 51.
        log->setPlainText(typed.mid(0, 50).join('\n') + '\n');
        win_->AddLog(QStringLiteral("kept"));
        QCOMPARE(Log().size(), 51);
        QCOMPARE(Log().last(), QStringLiteral("kept"));
    }

    // ---- language

    void englishAndBackRestoreEveryCaption() {
        PtyPort com1(*dir_, 1);
        MakeWindow();
        Click("btnOpen");  // a Chinese log line
        auto *baud = Get<QComboBox>("cbBaud");
        baud->setCurrentIndex(5);
        auto *id = Get<QComboBox>("cbID");
        id->setFocus();
        QTest::keyClick(id, Qt::Key_Down);
        QCOMPARE(win_->StationID(), 1);
        // Choices on the lists that the switch refills.
        auto *led = Get<QComboBox>("cbLED");
        auto *beep = Get<QComboBox>("cbBeep");
        led->setCurrentIndex(1);
        beep->setCurrentIndex(1);
        Get<QLineEdit>("edtTagValue")->setText(QStringLiteral("0035"));

        QTest::mouseClick(Get<QRadioButton>("rbEnglish"), Qt::LeftButton);
        QVERIFY(Get<QRadioButton>("rbEnglish")->isChecked());
        QCOMPARE(win_->Language(), 0);
        CheckAllCaptions(true);
        QCOMPARE(win_->LedBeepText(), QStringLiteral("Unreadable"));
        QCOMPARE(Items(led), QStringList({"LED OFF when Request OK", "Green LED On when Request OK"}));
        QCOMPARE(led->currentIndex(), 0);
        QCOMPARE(Items(beep), QStringList({"Beep OFF when Request OK", "Beep ON when Request OK"}));
        QCOMPARE(beep->currentIndex(), 0);
        QCOMPARE(Items(Get<QComboBox>("cbTag")), QStringList({"EM4001,TK4100 and Compatible"}));
        QCOMPARE(Get<QComboBox>("cbTag")->currentIndex(), 0);
        // The refill composes nothing, and other choices stay.
        QCOMPARE(Get<QLineEdit>("edtTagValue")->text(), QStringLiteral("0035"));
        QCOMPARE(baud->currentIndex(), 5);
        QCOMPARE(id->currentIndex(), 1);
        QCOMPARE(win_->StationID(), 1);
        QCOMPARE(Get<QComboBox>("cbPort")->currentText(), QStringLiteral("COM1"));
        QVERIFY(win_->LinkOpen());

        Click("btnClose");  // an English line
        QCOMPARE(Log(), QStringList({"串口打开 端口：COM1,波特率：19200", "Close Port"}));
        Click("btnOpen");
        QCOMPARE(Log().last(), QStringLiteral("Open Port Port: COM1,Baud: 57600"));

        QTest::mouseClick(Get<QRadioButton>("rbChinese"), Qt::LeftButton);
        QCOMPARE(win_->Language(), 1);
        CheckAllCaptions(false);
        QCOMPARE(win_->LedBeepText(), QStringLiteral("不可读"));
        QCOMPARE(Items(led), QStringList({"读到卡LED不闪", "读到卡绿色LED闪一下"}));
        QCOMPARE(Items(beep), QStringList({"读到卡蜂鸣器不响", "读到卡蜂鸣器响一声"}));
        QCOMPARE(Items(Get<QComboBox>("cbTag")), QStringList({"EM4001,TK4100及其兼容卡"}));
        // Lines already written keep their language.
        QCOMPARE(Log(),
                 QStringList({"串口打开 端口：COM1,波特率：19200", "Close Port", "Open Port Port: COM1,Baud: 57600"}));
    }

    void clickOnTheChosenLanguageChangesNothing() {
        PtyPort com1(*dir_, 1);
        MakeWindow();
        auto *led = Get<QComboBox>("cbLED");
        auto *beep = Get<QComboBox>("cbBeep");
        for (const char *rb : {"rbChinese", "rbEnglish"}) {
            QTest::mouseClick(Get<QRadioButton>(rb), Qt::LeftButton);
            led->setCurrentIndex(1);
            beep->setCurrentIndex(1);
            Get<QLineEdit>("edtTagValue")->setText(QStringLiteral("0035"));
            // The choice stays as it is, so the lists keep the entries shown.
            QTest::mouseClick(Get<QRadioButton>(rb), Qt::LeftButton);
            QVERIFY(Get<QRadioButton>(rb)->isChecked());
            QCOMPARE(led->currentIndex(), 1);
            QCOMPARE(beep->currentIndex(), 1);
            QCOMPARE(Get<QLineEdit>("edtTagValue")->text(), QStringLiteral("0035"));
        }
        QCOMPARE(win_->Language(), 0);
    }

    void untaggedTextsAndListsKeepTheirText() {
        PtyPort com1(*dir_, 1);
        MakeWindow();
        // A list that carries a Tag is not relabelled.
        auto *baud = Get<QComboBox>("cbBaud");
        baud->setProperty("Tag", 3);
        const QStringList rates = Items(baud);
        const char *fixed[][2] = {{"rbChinese", "中文"}, {"rbEnglish", "English"},    {"edtFirmware", "0000"},
                                  {"edtAddr5", "40003"}, {"edtAddr6", "40004-40007"}, {"lbReg4", "40004"},
                                  {"lbReg7", "40007"},   {"RzLabel30", "*100ms"}};
        for (int round = 0; round < 2; ++round) {
            QTest::mouseClick(Get<QRadioButton>(round == 0 ? "rbEnglish" : "rbChinese"), Qt::LeftButton);
            QCOMPARE(Items(baud), rates);
            QCOMPARE(baud->currentText(), QStringLiteral("19200"));
            for (auto &f : fixed) {
                QWidget *w = Get<QWidget>(f[0]);
                QCOMPARE(w->property("Tag").toInt(), 0);
                QCOMPARE(Caption(w), QString::fromUtf8(f[1]));
            }
        }
    }

    void translateFormCoversEachClass() {
        PtyPort com1(*dir_, 1);
        MakeWindow();
        QWidget form;
        form.setProperty("Tag", 105);
        auto tagged = [](QWidget *w, int tag) {
            w->setProperty("Tag", tag);
            return w;
        };
        auto *label = new QLabel("x", &form);
        auto *edit = new QLineEdit("x", &form);
        auto *button = new QPushButton("x", &form);
        auto *tabs = new QTabWidget(&form);
        auto *sheet = new QWidget;
        tabs->addTab(sheet, "x");
        auto *group = new QGroupBox("x", &form);
        auto *radio = new QRadioButton("x", group);  // nested
        auto *check = new QCheckBox("x", &form);
        auto *list = new QComboBox(&form);
        list->addItem("x");
        auto *memo = new QPlainTextEdit("x", &form);
        auto *reg = new TRegisterEdit(&form);
        reg->setText("00A1");
        auto *zero = new QLabel("designed", &form);
        for (auto [w, tag] : std::vector<std::pair<QWidget *, int>>{{label, 106},
                                                                    {edit, 107},
                                                                    {button, 48},
                                                                    {sheet, 6},
                                                                    {group, 29},
                                                                    {radio, 127},
                                                                    {check, 13},
                                                                    {list, 49},
                                                                    {memo, 49},
                                                                    {reg, 49},
                                                                    {zero, 0}})
            tagged(w, tag);
        QTest::mouseClick(Get<QRadioButton>("rbEnglish"), Qt::LeftButton);
        win_->TranslateForm(&form);
        QCOMPARE(form.windowTitle(), QStringLiteral("Beep and LED"));
        QCOMPARE(label->text(), QStringLiteral("Cycle:"));
        QCOMPARE(edit->text(), QStringLiteral("Beep or LED:"));
        QCOMPARE(button->text(), QStringLiteral("Write"));
        QCOMPARE(tabs->tabText(0), QStringLiteral("Modbus RFID Reader Demo"));
        QCOMPARE(group->title(), QStringLiteral("System"));
        QCOMPARE(radio->text(), QStringLiteral("Data Mode:MSB "));
        QCOMPARE(check->text(), QStringLiteral("Card No."));
        QCOMPARE(list->itemText(0), QStringLiteral("x"));
        QCOMPARE(memo->toPlainText(), QStringLiteral("x"));
        QCOMPARE(reg->text(), QStringLiteral("00A1"));
        QCOMPARE(zero->text(), QStringLiteral("designed"));
        // Tags outside the table change nothing.
        label->setProperty("Tag", 145);
        win_->TranslateForm(&form);
        QCOMPARE(label->text(), QStringLiteral("Cycle:"));
        QVERIFY(win_->Text(0).isNull() && win_->Text(145).isNull());
    }

    void messagesOfBothLanguages() {
        PtyPort com1(*dir_, 1);
        MakeWindow();
        const std::pair<int, const char *> zh[] = {{62, "没有找到任何可用的串口"},
                                                   {63, "不可读"},
                                                   {74, "串口关闭"},
                                                   {75, "读失败"},
                                                   {76, "设置寄存器40003=0x%s成功！"},
                                                   {84, "40004-40007寄存器清零，设置重新读卡成功"},
                                                   {110, "02---BEEP蜂鸣器"},
                                                   {111, "03---LED和BEEP蜂鸣器同时"},
                                                   {114, "读取寄存器%s=0x%s成功！"}};
        for (auto &[n, t] : zh) QCOMPARE(win_->Text(n), QString::fromUtf8(t));
        QTest::mouseClick(Get<QRadioButton>("rbEnglish"), Qt::LeftButton);
        const std::pair<int, const char *> en[] = {{62, "No any Com Port Found"},
                                                   {63, "Unreadable"},
                                                   {74, "Close Port"},
                                                   {75, "Read Fail"},
                                                   {76, "Set Register 40003=0x%s ok！"},
                                                   {84, "Empty Register 40004-40007 ok，Start Request Card"},
                                                   {110, "02---BEEP"},
                                                   {111, "03---LED and BEEP"},
                                                   {87, "Read Device infomation fail"},
                                                   {114, "Read Register %s=0x%s OK！"}};
        for (auto &[n, t] : en) QCOMPARE(win_->Text(n), QString::fromUtf8(t));
        // Numbers the table does not use hold no text.
        QVERIFY(win_->Text(50).isEmpty());
        QVERIFY(win_->Text(144).isEmpty());
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
