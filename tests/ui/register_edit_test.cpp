// The register edit control as a user meets it: typing, Enter, focus
// changes, the key filter, and values set by the program.
#include <QApplication>
#include <QClipboard>
#include <QFocusEvent>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>
#include <QWidget>

#include <memory>

#include "RegisterEdit.h"

class RegisterEditTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QWidget> window;
    TRegisterEdit *edit = nullptr;
    QLineEdit *other = nullptr;
    std::unique_ptr<QSignalSpy> spy;

    void Enter() {
        edit->setFocus(Qt::OtherFocusReason);
        QVERIFY(edit->hasFocus());
    }
    void Leave() {
        other->setFocus(Qt::TabFocusReason);
        QVERIFY(!edit->hasFocus());
    }
    void ClearByKeys() {
        QTest::keyClick(edit, Qt::Key_End);
        for (int i = 0; i < 8; ++i) QTest::keyClick(edit, Qt::Key_Backspace);
        QCOMPARE(edit->text(), QString());
    }
    // One raised event: the control, its register and the value.
    void CheckEvent(int index, quint16 value) {
        QVERIFY(spy->size() > index);
        const QList<QVariant> args = spy->at(index);
        QCOMPARE(args.at(0).value<TRegisterEdit *>(), edit);
        QCOMPARE(args.at(1).value<quint16>(), edit->RegisterAddr());
        QCOMPARE(args.at(2).value<quint16>(), value);
    }

private slots:
    void init() {
        window = std::make_unique<QWidget>();
        auto *layout = new QVBoxLayout(window.get());
        edit = new TRegisterEdit(window.get());
        other = new QLineEdit(window.get());
        layout->addWidget(edit);
        layout->addWidget(other);
        edit->setRegisterAddr(5);
        edit->setRegisterValue(0);
        spy = std::make_unique<QSignalSpy>(edit, &TRegisterEdit::OnDataEdited);
        window->show();
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        other->setFocus();
    }
    void cleanup() {
        spy.reset();
        window.reset();
    }

    void constructionDefaults() {
        TRegisterEdit fresh;
        QCOMPARE(fresh.text(), QString());
        QCOMPARE(fresh.RegisterAddr(), quint16(0));
        QCOMPARE(fresh.RegisterValue(), quint16(0));
        QVERIFY(!fresh.isReadOnly());
        QVERIFY(!fresh.Editing());
        QVERIFY(fresh.hasFrame());
        QCOMPARE(fresh.palette().color(QPalette::Text), QColor(0, 0, 255));
        // Qt properties, as a form file or a script would reach them.
        QVERIFY(fresh.setProperty("RegisterAddr", 7));
        QCOMPARE(fresh.property("RegisterAddr").toInt(), 7);
        QVERIFY(fresh.setProperty("RegisterValue", 0x1A));
        QCOMPARE(fresh.property("ValueText").toString(), QStringLiteral("001A"));
        QCOMPARE(fresh.property("RegisterValue").toInt(), 0x1A);
    }

    void setterFormatsFourDigits() {
        edit->setRegisterValue(65535);
        QCOMPARE(edit->text(), QStringLiteral("FFFF"));
        edit->setRegisterValue(0);
        QCOMPARE(edit->text(), QStringLiteral("0000"));
        edit->setRegisterValue(0x1A);
        QCOMPARE(edit->text(), QStringLiteral("001A"));
        QCOMPARE(edit->ValueText(), QStringLiteral("001A"));
        QCOMPARE(spy->size(), 0);
    }

    void parsingFallsBackToLastGoodValue() {
        edit->setRegisterValue(0x1234);
        const QString bad[] = {"", " ", "12 3", "-1", "+1", "$12", "0x12", "12G4", "读失败"};
        for (const QString &t : bad) {
            edit->setText(t);
            QCOMPARE(edit->RegisterValue(), quint16(0x1234));
            QCOMPARE(edit->ValueText(), t);  // never normalised by reading
        }
        edit->setText("abcd");
        QCOMPARE(edit->RegisterValue(), quint16(0xABCD));
        // Longer texts the program assigns keep their last four digits.
        edit->setText("123456");
        QCOMPARE(edit->RegisterValue(), quint16(0x3456));
        edit->setText("FFFFFFFF");
        QCOMPARE(edit->RegisterValue(), quint16(0xFFFF));
        edit->setText("00000000000000000042");
        QCOMPARE(edit->RegisterValue(), quint16(0x0042));
        // Beyond a 32-bit number the conversion fails.
        edit->setText("100000000");
        QCOMPARE(edit->RegisterValue(), quint16(0x0042));
        QCOMPARE(edit->text(), QStringLiteral("100000000"));
        QCOMPARE(spy->size(), 0);
    }

    void typingShortValueRaisesOnceOnLeaving() {
        Enter();
        ClearByKeys();
        QTest::keyClicks(edit, "1a");
        QCOMPARE(edit->text(), QStringLiteral("1A"));
        QCOMPARE(spy->size(), 0);
        Leave();
        QCOMPARE(spy->size(), 1);
        CheckEvent(0, 0x001A);
        QCOMPARE(edit->text(), QStringLiteral("001A"));
        QCOMPARE(edit->RegisterValue(), quint16(0x001A));
    }

    void handlerRunsBeforeTextIsNormalised() {
        QString seenText;
        quint16 seenValue = 0;
        connect(edit, &TRegisterEdit::OnDataEdited, this, [&](TRegisterEdit *s, quint16, quint16) {
            seenText = s->text();
            seenValue = s->RegisterValue();
        });
        Enter();
        ClearByKeys();
        QTest::keyClicks(edit, "7");
        Leave();
        QCOMPARE(seenText, QStringLiteral("7"));
        QCOMPARE(seenValue, quint16(7));
        QCOMPARE(edit->text(), QStringLiteral("0007"));
    }

    void fourthDigitRaisesAndLeavingDoesNot() {
        Enter();
        ClearByKeys();
        QTest::keyClicks(edit, "bee");
        QCOMPARE(spy->size(), 0);
        QTest::keyClick(edit, Qt::Key_F, Qt::NoModifier);
        QCOMPARE(spy->size(), 1);
        CheckEvent(0, 0xBEEF);
        QCOMPARE(edit->text(), QStringLiteral("BEEF"));
        Leave();
        QCOMPARE(spy->size(), 1);
        QCOMPARE(edit->text(), QStringLiteral("BEEF"));
    }

    void retypingSameFourDigitsRaisesNothing() {
        edit->setRegisterValue(0xBEEF);
        Enter();
        ClearByKeys();
        QTest::keyClicks(edit, "BEEF");
        QCOMPARE(spy->size(), 0);  // equals the text at focus entry
        Leave();
        QCOMPARE(spy->size(), 0);
        // A second value in the same edit raises again.
        Enter();
        ClearByKeys();
        QTest::keyClicks(edit, "1234");
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClicks(edit, "5");
        QCOMPARE(spy->size(), 2);
        CheckEvent(0, 0x1234);
        CheckEvent(1, 0x1235);
    }

    void enterRaisesWithoutNormalising() {
        Enter();
        ClearByKeys();
        QTest::keyClicks(edit, "12");
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(spy->size(), 1);
        CheckEvent(0, 0x0012);
        QCOMPARE(edit->text(), QStringLiteral("12"));
        QTest::keyClick(edit, Qt::Key_Enter, Qt::KeypadModifier);  // unchanged since: nothing
        QCOMPARE(spy->size(), 1);
        Leave();
        QCOMPARE(spy->size(), 1);
        QCOMPARE(edit->text(), QStringLiteral("12"));
    }

    void clearingAndLeavingReportsPreviousValue() {
        edit->setRegisterValue(0x0A0B);
        Enter();
        ClearByKeys();
        Leave();
        QCOMPARE(spy->size(), 1);
        CheckEvent(0, 0x0A0B);
        QCOMPARE(edit->text(), QStringLiteral("0A0B"));
    }

    void enteringAndLeavingUnchanged() {
        edit->setText("1a");  // not in four-digit form, set by the program
        Enter();
        Leave();
        QCOMPARE(spy->size(), 0);
        QCOMPARE(edit->text(), QStringLiteral("1a"));
        // Changing and changing back is no change either.
        Enter();
        QTest::keyClick(edit, Qt::Key_End);
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClicks(edit, "A");
        QCOMPARE(edit->text(), QStringLiteral("1A"));
        QTest::keyClick(edit, Qt::Key_Backspace);
        edit->setText("1a");  // assigned text is not filtered or raised
        Leave();
        QCOMPARE(spy->size(), 0);
        QCOMPARE(edit->text(), QStringLiteral("1a"));
    }

    void setterYieldsToEditingUser() {
        edit->setRegisterValue(0x1111);
        Enter();
        QVERIFY(edit->Editing());
        edit->setRegisterValue(0x2222);
        QCOMPARE(edit->text(), QStringLiteral("1111"));
        QCOMPARE(edit->RegisterValue(), quint16(0x1111));
        ClearByKeys();
        QTest::keyClicks(edit, "3");
        edit->setRegisterValue(0x4444);
        QCOMPARE(edit->text(), QStringLiteral("3"));
        Leave();
        QVERIFY(!edit->Editing());
        CheckEvent(0, 0x0003);
        edit->setRegisterValue(0x4444);
        QCOMPARE(edit->text(), QStringLiteral("4444"));
        QCOMPARE(spy->size(), 1);
    }

    void readOnlyNeverRaises() {
        edit->setReadOnly(true);
        edit->setRegisterValue(0x00A1);
        edit->setText("读失败");
        QCOMPARE(edit->RegisterValue(), quint16(0x00A1));
        Enter();
        QVERIFY(!edit->Editing());
        QTest::keyClicks(edit, "12");
        QTest::keyClick(edit, Qt::Key_Return);
        edit->setRegisterValue(0x789A);  // takes effect even with the focus
        QCOMPARE(edit->text(), QStringLiteral("789A"));
        edit->setText("xyz");
        Leave();
        QCOMPARE(edit->text(), QStringLiteral("xyz"));
        QCOMPARE(spy->size(), 0);
    }

    void keyFilter() {
        Enter();
        ClearByKeys();
        QTest::keyClicks(edit, "g- zZ!");
        QTest::keyClick(edit, Qt::Key_Escape);
        QTest::keyClick(edit, Qt::Key_Space);
        QCOMPARE(edit->text(), QString());
        QTest::keyClicks(edit, "0aF");
        QCOMPARE(edit->text(), QStringLiteral("0AF"));
        // Navigation and Backspace pass; typing goes in at the cursor.
        QTest::keyClick(edit, Qt::Key_Home);
        QTest::keyClick(edit, Qt::Key_Delete);
        QCOMPARE(edit->text(), QStringLiteral("AF"));
        QTest::keyClick(edit, Qt::Key_Right);
        QTest::keyClicks(edit, "9");
        QCOMPARE(edit->text(), QStringLiteral("A9F"));
        QCOMPARE(spy->size(), 0);
        // At most four typed characters.
        QTest::keyClicks(edit, "12");
        QCOMPARE(edit->text(), QStringLiteral("A91F"));
        QCOMPARE(spy->size(), 1);
        CheckEvent(0, 0xA91F);
        // A selection is replaced, so a full box can still be retyped.
        edit->selectAll();
        QTest::keyClicks(edit, "b");
        QCOMPARE(edit->text(), QStringLiteral("B"));
        Leave();
        CheckEvent(1, 0x000B);
    }

    void controlCharactersAndPaste() {
        QClipboard *clip = QApplication::clipboard();
        clip->setText("zz");
        if (clip->text() != QStringLiteral("zz")) QSKIP("no clipboard on this platform");
        edit->setRegisterValue(0x0C0D);
        Enter();
        QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(edit, Qt::Key_End);
        QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
        QTest::keyClick(edit, Qt::Key_X, Qt::ControlModifier);
        QCOMPARE(edit->text(), QStringLiteral("0C0D"));
        // Pasting (the menu, Shift+Insert) meets the typing rule: nothing
        // usable leaves the selection in place; otherwise hex digits only,
        // raised, full-width ones read as such, four at most.
        edit->selectAll();
        edit->paste();
        QCOMPARE(edit->text(), QStringLiteral("0C0D"));
        clip->setText(QStringLiteral("1g２ｂ 3456"));
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Insert, Qt::ShiftModifier);
        QCOMPARE(edit->text(), QStringLiteral("12B3"));
        QCOMPARE(spy->size(), 1);  // four digits: raised as if typed
        CheckEvent(0, 0x12B3);
        QTest::keyClick(edit, Qt::Key_Home);
        edit->paste();  // a full box takes no more
        QCOMPARE(edit->text(), QStringLiteral("12B3"));
        QTest::keyClick(edit, Qt::Key_Home);
        QTest::keyClick(edit, Qt::Key_Delete);
        QCOMPARE(edit->text(), QStringLiteral("2B3"));
        clip->setText(QStringLiteral("ff"));
        edit->paste();
        QCOMPARE(edit->text(), QStringLiteral("F2B3"));
        // An input method's text is held to the same rule.
        QTest::keyClick(edit, Qt::Key_End);
        QTest::keyClick(edit, Qt::Key_Backspace);
        QInputMethodEvent ime;
        ime.setCommitString(QStringLiteral("键ｃ9"));
        QApplication::sendEvent(edit, &ime);
        QCOMPARE(edit->text(), QStringLiteral("F2BC"));
        Leave();
        QCOMPARE(spy->size(), 3);
        CheckEvent(1, 0xF2B3);
        CheckEvent(2, 0xF2BC);
        QVERIFY(!edit->testAttribute(Qt::WA_InputMethodEnabled));
    }

    void noReceiverStillParsesFourDigits() {
        spy.reset();  // no receiver left
        Enter();
        ClearByKeys();
        QTest::keyClicks(edit, "abcd");
        edit->setText("xyz");  // unparsable: falls back to what was typed
        QCOMPARE(edit->RegisterValue(), quint16(0xABCD));
        Leave();
        QCOMPARE(edit->text(), QStringLiteral("ABCD"));
    }

    void otherWindowDoesNotEndEdit() {
        Enter();
        ClearByKeys();
        QTest::keyClicks(edit, "5");
        QFocusEvent out(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
        QApplication::sendEvent(edit, &out);
        QVERIFY(edit->Editing());
        QCOMPARE(spy->size(), 0);
        QFocusEvent in(QEvent::FocusIn, Qt::ActiveWindowFocusReason);
        QApplication::sendEvent(edit, &in);
        Leave();
        QCOMPARE(spy->size(), 1);  // still measured against the text at entry
        CheckEvent(0, 0x0005);
    }
};

QTEST_MAIN(RegisterEditTest)
#include "register_edit_test.moc"
