// A selection list that reports when its drop-down list closes, whatever
// closed it: a pick, a click elsewhere or Escape.
#pragma once

#include <QComboBox>

class TDropDownComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit TDropDownComboBox(QWidget *parent = nullptr) : QComboBox(parent) {}

    void hidePopup() override {
        QComboBox::hidePopup();
        emit closeUp();
    }

signals:
    void closeUp();
};
