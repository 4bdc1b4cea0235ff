// readerdemo: the demo program for the Modbus 125 kHz card reader.
#include <QApplication>

#include "untFrmMain.h"

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("readerdemo"));
    TFrmMain FrmMain;
    QApplication::setWindowIcon(FrmMain.windowIcon());
    FrmMain.show();
    return QApplication::exec();
}
