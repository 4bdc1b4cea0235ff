// Card polling page of the main window.
#include "ui_untFrmMain.h"
#include "untFrmMain.h"

void TFrmMain::btnScanClick() {
    // card page: issue 7
}

void TFrmMain::tmrReadTimer() {
    // card page: issue 7
}

void TFrmMain::tmrUpdateTimer() {
    // card page: issue 7
}

void TFrmMain::btnSet5Click() {
    // card page: issue 7
}

void TFrmMain::btnSet6Click() {
    // card page: issue 7
}

void TFrmMain::ReadPollStep(int step) {
    // card page: issue 7
    (void)step;
}
