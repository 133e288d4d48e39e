// The message box: its buttons, the answers of Enter, Escape and the close box, its caption and
// how it wraps a long message.
#include "ui/MessageForm.h"
#include "platform/Languages.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

using namespace harbolt;

class MessageFormTest : public QObject {
    Q_OBJECT

private slots:
    void init() { SetLanguage(TLanguage::English); }

    void defaultAndCancelButtonsFollowTheSet() {
        TMessageForm yesNo("Go?", TMsgDlgType::Confirmation, mbNo | mbYes);
        QCOMPARE(yesNo.DefaultButton()->objectName(), QString("Yes"));
        QCOMPARE(yesNo.CancelButton()->objectName(), QString("No"));
        QCOMPARE(yesNo.windowTitle(), QString("Confirm"));
        TMessageForm ok("Done.", TMsgDlgType::Information, mbOK);
        QCOMPARE(ok.DefaultButton(), ok.CancelButton());
        TMessageForm retry("Again?", TMsgDlgType::Error, mbRetry | mbCancel | mbAbort);
        QCOMPARE(retry.DefaultButton()->objectName(), QString("Retry"));
        QCOMPARE(retry.CancelButton()->objectName(), QString("Cancel"));
        // Buttons stand in their fixed order, whatever the caller thinks of.
        const auto buttons = retry.findChildren<QPushButton*>();
        QStringList names;
        for (const QPushButton* button : buttons)
            names << button->objectName();
        QCOMPARE(names, (QStringList{"Cancel", "Abort", "Retry"}));
    }

    void keysAndCloseBoxAnswer() {
        const auto answer = [](TMsgDlgButtons buttons, auto action) {
            TMessageForm form("Go?", TMsgDlgType::Confirmation, buttons);
            QTimer::singleShot(0, &form, [&form, action] { action(form); });
            return form.exec();
        };
        QCOMPARE(answer(mbYes | mbNo, [](QDialog& f) { QTest::keyClick(&f, Qt::Key_Escape); }),
                 mrNo);
        QCOMPARE(answer(mbYes | mbNo, [](QDialog& f) { QTest::keyClick(&f, Qt::Key_Return); }),
                 mrYes);
        QCOMPARE(answer(mbOK, [](QDialog& f) { QTest::keyClick(&f, Qt::Key_Escape); }), mrOk);
        QCOMPARE(answer(mbYes | mbNo, [](QDialog& f) { f.close(); }), mrCancel);
    }

    void germanCaptionsCarryAccelerators() {
        SetLanguage(TLanguage::German);
        TMessageForm form("Los?", TMsgDlgType::Confirmation, mbYes | mbNo | mbCancel);
        QCOMPARE(form.windowTitle(), QString::fromUtf8("Bestätigen"));
        QCOMPARE(form.findChild<QPushButton*>("Yes")->text(), QString("&Ja"));
        QCOMPARE(form.findChild<QPushButton*>("Cancel")->text(), QString("Abbrechen"));
    }

    void customBoxHasNoIconAndTheProgramsTitle() {
        QGuiApplication::setApplicationDisplayName("Harbolt");
        TMessageForm custom("There is no data.", TMsgDlgType::Custom, mbOK);
        QCOMPARE(custom.windowTitle(), QString("Harbolt"));
        QVERIFY(custom.findChild<QLabel*>("Image") == nullptr);
        TMessageForm warning("Careful.", TMsgDlgType::Warning, mbOK);
        QVERIFY(warning.findChild<QLabel*>("Image") != nullptr);
    }

    void longMessageWrapsAtHalfTheScreen() {
        const int half = QGuiApplication::primaryScreen()->geometry().width() / 2;
        std::string message;
        for (int i = 0; i < 60; ++i)
            message += "connection ";
        TMessageForm form(message, TMsgDlgType::Information, mbOK);
        form.adjustSize();
        QCOMPARE(form.WrapWidth(), half);
        QVERIFY(form.MessageLabel()->width() <= half + 1);
        QVERIFY(form.MessageLabel()->height() > 2 * form.fontMetrics().height());
        TMessageForm shortBox("Hi", TMsgDlgType::Information, mbOK);
        shortBox.adjustSize();
        QVERIFY(shortBox.MessageLabel()->height() < 2 * shortBox.fontMetrics().height());
    }

    void presetAnswerSkipsTheBox() {
        SetNextMessageAnswer(mrYes);
        QCOMPARE(LocalMessageDlg("Quit?", TMsgDlgType::Confirmation, mbYes | mbNo, 0), mrYes);
        QCOMPARE(QString::fromStdString(LastPresetMessage()), QString("Quit?"));
    }
};

QTEST_MAIN(MessageFormTest)
#include "MessageFormTest.moc"
