// The window's text table in Chinese and English, and relabelling a form by
// the Tag of each component.
#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QTabWidget>

#include "ui_untFrmMain.h"
#include "untFrmMain.h"

namespace {

struct TextEntry {
    int n;
    const char *chinese;
    const char *english;
};

// clang-format off
const TextEntry kTexts[] = {
    // Window and dialog captions.
    {104, "125K低频RFID读写器Modbus-RTU演示程序 V1.0", "125K LF Modbus Reader PC Demo V1.0"},
    {105, "蜂鸣器和LED", "Beep and LED"},
    // Top panel.
    {1, "端口：", "Port:"},
    {2, "波特率：", "Baud:"},
    {3, "连接读卡器", "Connect Reader"},
    {4, "断开连接", "DisConnect"},
    {5, "当前站号", "Current Modbus ID"},
    {36, "硬件版本号：", "Firmware Version"},
    // Pages.
    {6, "Modbus读写器演示", "Modbus RFID Reader Demo"},
    {7, "Modbus读写器基础设置", "Modbus RFID Reader base Config"},
    // Card page.
    {8, "选择", "Select"},
    {9, "寄存器", "Register"},
    {10, "名称", "Name"},
    {11, "寄存器值", "Register Value"},
    {12, "LED灯和蜂鸣器控制", "LED and Beep"},
    {13, "卡片序列号", "Card No."},
    {19, "设置", "Set"},
    {20, "清空(重新读卡)", "Empty(Re-Request Card)"},
    {28, "自动读", "Auto Read"},
    // Settings page.
    {29, "系统", "System"},
    {33, "读写器型号：", "Reader Model:"},
    {37, "读取", "Read"},
    {30, "波特率和Modbus站号(寄存器40001)", "Baud and Modbus ID(Register:40001)"},
    {38, "Modbus站号(ID)：", "Modbus ID(ID)："},
    {39, "寄存器值(HEX)", "Register Value(HEX)"},
    {32, "读卡参数(寄存器40002)", "Read Card param(Register:40002)"},
    {43, "读到卡绿LED亮：", "Green LED:"},
    {44, "读到卡BEEP响：", "Beep:"},
    {45, "寻卡类型：", "Card Type:"},
    {121, "同卡延时寄存器(40106)", "Delay Time Register(40106)"},
    {46, "延时时间：", "Time:"},
    {122, "参数寄存器(40100)", "Parameter Register(40100)"},
    {127, "数据使用大端模式", "Data Mode:MSB "},
    {128, "数据使用小端模式", "Data Mode:LSB"},
    {141, "卡号寄存器不自动清除", "Do not Clear Card No. Automatically"},
    {142, "卡号寄存器自动清除", "Clear Card No. Automatically"},
    {125, "显示厂家字节", "Include factory byte in card No."},
    {126, "不显示厂家字节", "Ignore factory byte in card No."},
    {123, "卡号Hex格式", "Card No. format HEX"},
    {124, "卡号10DEC格式", "Card No. format 10DEC"},
    {129, "卡号weigand26格式", "Card No. format weigand26"},
    // LED and buzzer dialog.
    {106, "循环次数：", "Cycle:"},
    {107, "蜂鸣器或者LED：", "Beep or LED:"},
    {108, "通电时间：", "Time On:"},
    {109, "断电时间：", "Time Off:"},
    {48, "写入", "Write"},
    {49, "取消", "Cancel"},
    // List entries.
    {68, "读到卡LED不闪", "LED OFF when Request OK"},
    {69, "读到卡绿色LED闪一下", "Green LED On when Request OK"},
    {70, "读到卡蜂鸣器不响", "Beep OFF when Request OK"},
    {71, "读到卡蜂鸣器响一声", "Beep ON when Request OK"},
    {72, "EM4001,TK4100及其兼容卡", "EM4001,TK4100 and Compatible"},
    {110, "02---BEEP蜂鸣器", "02---BEEP"},
    {111, "03---LED和BEEP蜂鸣器同时", "03---LED and BEEP"},
    // Status texts.
    {61, "停止自动读", "Stop Read"},
    {63, "不可读", "Unreadable"},
    {75, "读失败", "Read Fail"},
    // Log messages.
    {60, "请先打开端口", "Open Port First"},
    {62, "没有找到任何可用的串口", "No any Com Port Found"},
    {73, "串口打开 端口：%s,波特率：%d", "Open Port Port: %s,Baud: %d"},
    {74, "串口关闭", "Close Port"},
    {76, "设置寄存器40003=0x%s成功！", "Set Register 40003=0x%s ok！"},
    {77, "设置寄存器40003=0x%s失败！", "Set Register 40003=0x%s Fail！"},
    {84, "40004-40007寄存器清零，设置重新读卡成功", "Empty Register 40004-40007 ok，Start Request Card"},
    {85, "40004-40007寄存器清零失败", "Empty Register 40004-40007 fail"},
    {86, "请先打开端口", "Open Port First"},
    {87, "读取设备信息失败", "Read Device infomation fail"},
    {96, "读取寄存器40001=%s", "Read Register 40001=%s"},
    {97, "读取寄存器40001失败！", "Read Register 40001 fail"},
    {98, "设置寄存器40001=0x%s成功！", "Set Register 40001=0x%s ok"},
    {99, "设置寄存器40001=0x%s失败！", "Set Register 40001=0x%s fail"},
    {100, "设置寄存器40002=0x%s成功！", "Set Register 40002=0x%s ok"},
    {101, "设置寄存器40002=0x%s失败！", "Set Register 40002=0x%s fail"},
    {102, "读取寄存器40002=%s", "Read Register 40002=%s"},
    {103, "读取寄存器40002失败！", "Read Register 40002 fail"},
    {114, "读取寄存器%s=0x%s成功！", "Read Register %s=0x%s OK！"},
    {115, "读取寄存器%s失败！", "Read Register %s Fail！"},
    {116, "设置寄存器%s=0x%s成功！", "Set Register %s=0x%s OK！"},
    {117, "设置寄存器%s=0x%s失败！", "Set Register %s=0x%s Fail！"},
};
// clang-format on

// The page of a tab widget, or null for any other widget.
QTabWidget *TabOwner(QWidget *w) {
    auto *stack = qobject_cast<QStackedWidget *>(w->parentWidget());
    return stack ? qobject_cast<QTabWidget *>(stack->parentWidget()) : nullptr;
}

int TagOf(const QObject *o) {
    bool ok = false;
    int tag = o->property("Tag").toInt(&ok);
    return ok ? tag : 0;
}

}  // namespace

QString TFrmMain::Text(int n) const {
    if (n < 1 || n > kTextCount) return QString();
    return FTexts[static_cast<size_t>(n)];
}

void TFrmMain::BuildTexts() {
    for (QString &t : FTexts) t.clear();
    for (const TextEntry &e : kTexts)
        FTexts[static_cast<size_t>(e.n)] = QString::fromUtf8(FLanguage != 0 ? e.chinese : e.english);
}

void TFrmMain::ApplyLanguage() {
    FLedBeepText = Text(63);

    // Filling by program emits no activated(), so the composed 40002 value
    // box keeps its text.
    ui->cbLED->clear();
    ui->cbLED->addItems({Text(68), Text(69)});
    ui->cbLED->setCurrentIndex(0);
    ui->cbBeep->clear();
    ui->cbBeep->addItems({Text(70), Text(71)});
    ui->cbBeep->setCurrentIndex(0);
    ui->cbTag->clear();
    ui->cbTag->addItem(Text(72));
    ui->cbTag->setCurrentIndex(0);

    TranslateForm(this);
}

void TFrmMain::TranslateForm(QWidget *form) const {
    if (!form) return;
    int formTag = TagOf(form);
    if (formTag > 0 && formTag <= kTextCount) form->setWindowTitle(Text(formTag));

    // findChildren walks depth first in creation order.
    const QList<QWidget *> owned = form->findChildren<QWidget *>();
    for (QWidget *w : owned) {
        int tag = TagOf(w);
        if (tag <= 0 || tag > kTextCount) continue;
        const QString text = Text(tag);
        // The register edit holds a value, not a caption.
        if (w->inherits("TRegisterEdit")) continue;
        if (auto *l = qobject_cast<QLabel *>(w)) {
            l->setText(text);
        } else if (auto *e = qobject_cast<QLineEdit *>(w)) {
            e->setText(text);
        } else if (auto *b = qobject_cast<QPushButton *>(w)) {
            b->setText(text);
        } else if (QTabWidget *tabs = TabOwner(w)) {
            tabs->setTabText(tabs->indexOf(w), text);
        } else if (auto *g = qobject_cast<QGroupBox *>(w)) {
            g->setTitle(text);
        } else if (auto *r = qobject_cast<QRadioButton *>(w)) {
            r->setText(text);
        } else if (auto *c = qobject_cast<QCheckBox *>(w)) {
            c->setText(text);
        }
    }
}

void TFrmMain::rbEnglishClick() {
    FLanguage = 1;
    if (ui->rbEnglish->isChecked()) FLanguage = 0;
    BuildTexts();
    ApplyLanguage();
    MarkChanged({ui->cbLED, ui->cbBeep, ui->cbTag});
}
