// A selection list that reports when the user closes its open drop-down
// list, whatever closed it: a pick, a click elsewhere or Escape.
#pragma once

#include <QAbstractItemView>
#include <QComboBox>

class TDropDownComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit TDropDownComboBox(QWidget *parent = nullptr) : QComboBox(parent) {}

    void showPopup() override {
        QComboBox::showPopup();
        FDropped = view()->isVisible();
    }

    // Qt also calls this when the list is not open (the box being hidden by a
    // tab switch, minimising, the window's destruction) and before it applies
    // an entry picked with the mouse or Enter. Only a list that was open
    // while the box is still shown counts, and the signal is queued so that
    // the pick is in place when it arrives.
    void hidePopup() override {
        const bool wasOpen = FDropped;
        FDropped = false;
        QComboBox::hidePopup();
        if (wasOpen && isVisible())
            QMetaObject::invokeMethod(this, &TDropDownComboBox::closeUp, Qt::QueuedConnection);
    }

signals:
    void closeUp();

private:
    bool FDropped = false;
};
