// The dialer's question in its dialog: the count-down, the automatic answer, and answers from
// the buttons and from `ctl answer`.
#include "UiTestSupport.h"

#include "ui/ConfirmDialingForm.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

using namespace harbolt;
using harbolt::test::TUiInstance;

class ConfirmDialingFormTest : public QObject {
    Q_OBJECT

    // Dial on demand with the question before dialling, and a request for the Internet.
    static TConfirmDialingForm* Ask(TUiInstance& ui) {
        ui.Instance->SetOwnProperty("AutoDialEnabled", "yes");
        ui.Instance->SetOwnProperty("AutoDialAskBeforeDialing", "yes");
        ui.Instance->SetOwnProperty("AutoDialPhoneBookEntry", "SimLine");
        DialRequested = true;
        ui.Instance->GoOnlineTimerTimer();
        return ui.Face.QuestionForm();
    }

private slots:
    void countsDownAndAnswersItsDefault() {
        TUiInstance ui;
        TConfirmDialingForm* form = Ask(ui);
        QVERIFY(form != nullptr && form->isVisible());
        QCOMPARE(form->windowTitle(), QString("Internet"));
        QVERIFY(form->windowFlags() & Qt::WindowStaysOnTopHint);
        QVERIFY(form->Memo->toPlainText().startsWith("A connection to the Internet is requested"));
        QCOMPARE(form->Label1->text(),
                 QString("This Question will be answered automatically in 30 seconds with No."));
        QVERIFY(form->NoButton->isDefault());
        for (int second = 0; second < 29; ++second)
            ui.Instance->QuestionTimerTimer();
        QCOMPARE(form->Label1->text(),
                 QString("This Question will be answered automatically in 1 seconds with No."));
        QVERIFY(DialRequested);
        ui.Instance->QuestionTimerTimer();
        QVERIFY(ui.Face.QuestionForm() == nullptr);
        QVERIFY(!DialRequested); // No: the request is dropped
        QVERIFY(!ui.Instance->OpenQuestion());
    }

    void buttonOrControlCommandAnswers() {
        TUiInstance ui;
        TConfirmDialingForm* form = Ask(ui);
        QVERIFY(form != nullptr);
        QTest::mouseClick(form->NoButton, Qt::LeftButton);
        QVERIFY(ui.Face.QuestionForm() == nullptr);
        QVERIFY(!DialRequested);

        // A later question, answered by `ctl answer`: the dialog goes with it.
        ui.Clock.Advance(31000);
        DialRequested = true;
        ui.Instance->GoOnlineTimerTimer();
        QVERIFY(ui.Face.QuestionForm() != nullptr);
        QVERIFY(ui.Instance->AnswerQuestion(false));
        QVERIFY(ui.Face.QuestionForm() == nullptr);
    }
};

QTEST_MAIN(ConfirmDialingFormTest)
#include "ConfirmDialingFormTest.moc"
