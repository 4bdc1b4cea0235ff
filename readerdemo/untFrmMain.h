// The demo's main window: link controls, the card polling page, the reader
// settings page and the message log, with its text table in two languages.
#pragma once

#include <QHash>
#include <QString>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>

class QChar;
class QComboBox;
class QLineEdit;
class QRadioButton;
class QTimer;
class TLinkWorker;

namespace Ui {
class TFrmMain;
}

class TFrmMain : public QWidget {
    Q_OBJECT
public:
    static constexpr int kTextCount = 144;

    explicit TFrmMain(QWidget *parent = nullptr);
    ~TFrmMain() override;

    // Appends one line to the message log, emptying it first when it holds
    // more than 50 lines.
    void AddLog(const QString &text);
    // Gives form and every tagged control on it the text its Tag selects.
    void TranslateForm(QWidget *form) const;
    // Text n (1..kTextCount) of the table in the current language.
    QString Text(int n) const;

    int StationID() const { return FStationID; }
    bool LinkOpen() const { return FLinkOpen; }
    int PollStep() const { return FPollStep; }
    QString LedBeepText() const { return FLedBeepText; }
    int Language() const { return FLanguage; }
    QTimer *ReadTimer() const { return tmrRead; }
    QTimer *UpdateTimer() const { return tmrUpdate; }
    // Every request made so far has been answered and its result shown.
    bool LinkIdle() const;

    // Fills list with the machine's serial port names, sorted; leaves it
    // unchanged when they cannot be listed.
    static void EnumComPorts(QStringList &list);

public slots:
    // Main window and link.
    void FormCreate();
    void btnOpenClick();
    void btnCloseClick();
    void cbIDChange(int index);

    // Language.
    void BuildTexts();
    void ApplyLanguage();
    void rbEnglishClick();

    // Card polling page.
    void btnScanClick();
    void tmrReadTimer();
    void tmrUpdateTimer();
    void btnSet5Click();
    void btnSet6Click();
    void ReadPollStep(int step);

    // Reader settings page.
    void RzBitBtn3Click();
    void cbBaud2Change();
    void RzBitBtn8Click();
    void RzBitBtn7Click();
    void cbLEDChange();
    void RzBitBtn9Click();
    void RzBitBtn10Click();
    void edtTime6AKeyPress(QChar &key);
    void edtTime6AChange();
    void RzBitBtn21Click();
    void RzBitBtn22Click();
    void rb64_0Click();
    void RzBitBtn15Click();
    void RzBitBtn16Click();

public:
    // Parameter register 40100 from the nine radio buttons, and back.
    int ComposeParamRegister() const;
    // Leaves alone the rows, and the value box, changed after action since.
    void ShowParamRegister(int value, quint64 since = ~quint64(0));
    // What the value box shows after ShowParamRegister(value).
    static int ParamShown(int value);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    // Text n with its %s / %d placeholders replaced in order.
    template <class... Args>
    QString Msg(int n, const Args &...args) const {
        return FillPlaceholders(Text(n), {Arg(args)...});
    }
    static QString Arg(const QString &s) { return s; }
    static QString Arg(const char *s) { return QString::fromUtf8(s); }
    static QString Arg(int v) { return QString::number(v); }
    static QString FillPlaceholders(const QString &format, std::initializer_list<QString> args);
    // Reads text as a number the way the framework's conversion does; on
    // failure shows the standard error dialog and returns false.
    bool StrToInt(const QString &text, int &value);
    // Reads one register at the current station; done runs once the reader
    // has answered, with ok false when the library reports failure.
    void ReadOneRegister(int address, std::function<void(bool ok, int value)> done);
    // A read button's read: its texts are taken at the click (the language
    // may change while the read waits). A failure shows text 75 in failBox
    // (when given and not changed since) and logs failLine; an answer goes to
    // show, which fills the controls not changed since asked and returns the
    // value okFormat's remaining %s is filled with.
    void ReadForShow(int address, QLineEdit *failBox, const QString &failLine, const QString &okFormat,
                     std::function<QString(int value, quint64 asked)> show);
    // Writes value to one register at the current station and logs okLine
    // or failLine, both composed at the click.
    void WriteOneRegister(int address, int value, const QString &okLine, const QString &failLine);
    void SetAutoRead(bool on);
    // A read's answer comes after what the user did while it waited, but in
    // the order of the clicks the read came first: it leaves alone each
    // control that a later click, pick or keystroke changed. Actions are
    // numbered in the order the user takes them.
    quint64 NextAction() { return ++FActions; }
    void MarkChanged(std::initializer_list<const QObject *> controls);
    bool ChangedSince(const QObject *control, quint64 action) const;
    void UserWaitingChanged();
    void SetBusyCursor(bool busy);
    static void SetRadio(QRadioButton *button, bool checked);
    bool HexToInt(const QString &text, int &value);
    void ShowConversionError(const QString &text);
    void ConnectSignals();
    void SelectEntry(QComboBox *list, int index);

    Ui::TFrmMain *ui;
    QTimer *tmrRead;
    QTimer *tmrUpdate;
    QTimer *tmrBusy;
    // Every library call goes through it, beside the window's thread.
    std::unique_ptr<TLinkWorker> FLink;

    int FStationID = 0;
    bool FLinkOpen = false;
    int FPollStep = 2;
    QString FLedBeepText;
    int FLanguage = 1;
    std::array<QString, kTextCount + 1> FTexts;
    bool FCentred = false;
    bool FBusyShown = false;
    quint64 FActions = 0;
    QHash<const QObject *, quint64> FChangedAt;
};
