// readerdemo_tour: drives the main window through a short tour and saves a
// screenshot of each stop, for machines without a display (run it under a
// virtual one) and for the README's pictures.
//
//   readerdemo_tour OUTDIR [PORT]
//
// Opens PORT (default COM1) at 19200, polls the card, reads the reader's
// settings and writes some back, and shows both pages in both languages.
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QPixmap>
#include <QTabWidget>
#include <QTimer>

#include <cstdio>

#include "drive.h"
#include "untFrmMain.h"

namespace {

using drive::Pause;

template <class T>
T *Find(TFrmMain &w, const char *name) {
    return drive::Find<T>(w, name, "readerdemo_tour");
}

// Clicks the button and waits until the reader's answer to what the click
// asked for is shown (the link works beside the window).
void Click(TFrmMain &w, const char *name) {
    if (auto *b = Find<QAbstractButton>(w, name)) b->click();
    if (!drive::WaitUntil([&] { return w.LinkIdle(); }, 10000))
        std::fprintf(stderr, "readerdemo_tour: %s got no answer\n", name);
    Pause(150);
}

bool Shot(TFrmMain &w, const QString &dir, const char *file) {
    Pause(300);
    const QString path = QDir(dir).filePath(QString::fromLatin1(file));
    if (!w.grab().save(path)) {
        std::fprintf(stderr, "readerdemo_tour: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(QDir(path).absolutePath()));
    std::fflush(stdout);
    return true;
}

}  // namespace

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("readerdemo"));
    if (argc < 2) {
        std::fprintf(stderr, "usage: readerdemo_tour OUTDIR [PORT]\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    const QString port = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("COM1");
    if (!QDir().mkpath(dir)) {
        std::fprintf(stderr, "readerdemo_tour: cannot create %s\n", argv[1]);
        return 1;
    }

    TFrmMain w;
    QApplication::setWindowIcon(w.windowIcon());
    w.show();
    Pause(500);
    auto *pages = Find<QTabWidget>(w, "pcMain");
    if (!pages) return 1;
    bool ok = Shot(w, dir, "01-start-settings-zh.png");

    if (auto *ports = Find<QComboBox>(w, "cbPort")) {
        int i = ports->findText(port);
        if (i < 0) {
            std::fprintf(stderr, "readerdemo_tour: %s is not in the port list\n", qPrintable(port));
            return 1;
        }
        ports->setCurrentIndex(i);
    }
    Click(w, "btnOpen");
    if (!w.LinkOpen()) {
        std::fprintf(stderr, "readerdemo_tour: could not open %s\n", qPrintable(port));
        return 1;
    }
    // Card page: poll for a few ticks, then stop.
    Click(w, "btnScan");
    Pause(2200);
    ok = Shot(w, dir, "02-card-zh.png") && ok;
    Click(w, "btnScan");

    // Settings page: read everything back from the reader.
    pages->setCurrentIndex(1);
    for (const char *b : {"RzBitBtn3", "RzBitBtn8", "RzBitBtn9", "RzBitBtn21", "RzBitBtn15"}) Click(w, b);
    // ...and write back the card-read parameters, delay and parameter register.
    for (const char *b : {"RzBitBtn10", "RzBitBtn22", "RzBitBtn16"}) Click(w, b);
    ok = Shot(w, dir, "03-settings-read-zh.png") && ok;

    Click(w, "rbEnglish");
    Pause(900);  // the display timer follows the language within 800 ms
    ok = Shot(w, dir, "04-settings-en.png") && ok;
    pages->setCurrentIndex(0);
    ok = Shot(w, dir, "05-card-en.png") && ok;

    Click(w, "rbChinese");
    pages->setCurrentIndex(1);
    Click(w, "btnClose");
    ok = Shot(w, dir, "06-closed-zh.png") && ok;
    return ok ? 0 : 1;
}
