// Small helpers shared by the window tests.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <memory>

#include "untFrmMain.h"

namespace uitest {

// The component of that objectName under parent; ends the test run when it
// is missing, since every later step would only fail for the same reason.
template <class T>
T *Child(const QObject *parent, const char *name) {
    T *c = parent->findChild<T *>(QString::fromLatin1(name));
    if (!c) qFatal("no component %s", name);
    return c;
}

// Lines of a log pane, empty when the pane is empty.
inline QStringList LogLines(const QPlainTextEdit *log) {
    const QString t = log->toPlainText();
    return t.isEmpty() ? QStringList() : t.split(QLatin1Char('\n'));
}

// A test of the main window, win_, driven as the user drives it.
class WindowTest : public QObject {
protected:
    std::unique_ptr<TFrmMain> win_;

    template <class T>
    T *Get(const char *name) {
        return Child<T>(win_.get(), name);
    }
    QStringList Log() { return LogLines(Get<QPlainTextEdit>("edtMemo")); }
    // A click only: what it asked of the reader may still wait.
    void Press(const char *button) { QTest::mouseClick(Get<QAbstractButton>(button), Qt::LeftButton); }
    // Waits until every request made so far has its result shown.
    void Settle() { QTRY_VERIFY_WITH_TIMEOUT(win_->LinkIdle(), 5000); }
    // A click, and the reader's answer to what it asked, shown.
    void Click(const char *button) {
        Press(button);
        Settle();
    }
};

// Watches for the next modal dialog, records its text and closes it. Arm it
// before the action that opens the dialog.
class ModalCloser {
public:
    explicit ModalCloser(int timeoutMs = 5000) : state_(std::make_shared<State>()) {
        state_->attemptsLeft = timeoutMs / 10;
        Poll(state_);
    }
    bool seen() const { return state_->seen; }
    QString text() const { return state_->text; }

private:
    struct State {
        bool seen = false;
        QString text;
        int attemptsLeft = 0;
    };
    static void Poll(std::shared_ptr<State> s) {
        QTimer::singleShot(10, [s]() {
            if (QWidget *w = QApplication::activeModalWidget()) {
                s->seen = true;
                if (auto *box = qobject_cast<QMessageBox *>(w)) {
                    s->text = box->text();
                    box->done(QMessageBox::Ok);
                } else {
                    w->close();
                }
                return;
            }
            if (--s->attemptsLeft > 0) Poll(s);
        });
    }
    std::shared_ptr<State> state_;
};

}  // namespace uitest
