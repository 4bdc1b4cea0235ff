// Reader settings page of the main window.
#include "ui_untFrmMain.h"
#include "untFrmMain.h"

// settings page: issue 8 (handlers not written yet)
void TFrmMain::RzBitBtn3Click() {}
void TFrmMain::cbBaud2Change() {}
void TFrmMain::RzBitBtn8Click() {}
void TFrmMain::RzBitBtn7Click() {}
void TFrmMain::cbLEDChange() {}
void TFrmMain::RzBitBtn9Click() {}
void TFrmMain::RzBitBtn10Click() {}
void TFrmMain::edtTime6AKeyPress(QChar &key) {
    (void)key;
}
void TFrmMain::edtTime6AChange() {}
void TFrmMain::RzBitBtn21Click() {}
void TFrmMain::RzBitBtn22Click() {}
void TFrmMain::rb64_0Click() {}
void TFrmMain::RzBitBtn15Click() {}
void TFrmMain::RzBitBtn16Click() {}
int TFrmMain::ComposeParamRegister() const {
    return 0;
}
void TFrmMain::ShowParamRegister(int value) {
    (void)value;
}
