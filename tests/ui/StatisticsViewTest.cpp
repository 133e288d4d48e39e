// The dial-up statistics of the main window, the list of individual connections and the date
// picker.
#include "UiTestSupport.h"

#include "dialup/EventId.h"
#include "ui/DateForm.h"
#include "ui/OverviewForm.h"

#include <QCalendarWidget>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>

using namespace harbolt;
using harbolt::test::TUiInstance;

// Focus moves only inside the active window.
static void ActivateWindow(QWidget& window) {
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
}

class StatisticsViewTest : public QObject {
    Q_OBJECT

    static void Record(TComputerData& computer, const TEventID& start, const std::string& name,
                       std::int32_t seconds) {
        computer.SetProperty(EventIDToString(start), NewConnectionRecord(name));
        TEventID moving = start;
        moving.Serial = 1;
        computer.SetProperty(EventIDToString(moving), OnlineRecord(name, seconds));
    }

private slots:
    void summaryOfTheSelectedConnection() {
        TUiInstance ui;
        TMainForm& form = *ui.Form;
        TComputerData& own = ui.Instance->OwnComputer();
        own.SetProperty("RAS-Phonebook-entries", "SimLine,LTE");
        Record(own, {2026, 12, 2, 9, 0, 0, 0}, "SimLine", 61);
        Record(own, {2026, 12, 3, 9, 0, 0, 0}, "SimLine", 3540);
        form.Range = {{2026, 12, 1}, {2027, 1, 1}};
        form.ShowRangeDates();
        ui.SelectTab("Alpha");
        QCOMPARE(form.RasConnectionListBox->count(), 2);
        QVERIFY(!form.ProviderLabel->isVisibleTo(&form)); // nothing selected yet
        form.RasConnectionListBox->setCurrentRow(0);
        QVERIFY(form.ProviderLabel->isVisibleTo(&form));
        QCOMPARE(form.ProviderLabel->text(), QString("SimLine:"));
        QCOMPARE(form.CountValueLabel->text(), QString("2"));
        QCOMPARE(form.TimeValueLabel->text(), QString("1 h, 1 min"));

        // An inverted range: nothing counted, and the list answers with the no-data message.
        form.Range = {{2027, 1, 1}, {2026, 12, 1}};
        form.UpdateConnectionSummary();
        QCOMPARE(form.CountValueLabel->text(), QString("0"));
        QCOMPARE(form.TimeValueLabel->text(), QString());
        SetNextMessageAnswer(mrOk);
        form.IndividualItemsButtonClick();
        QCOMPARE(QString::fromStdString(LastPresetMessage()), QString("There is no data."));
    }

    void overviewListsTheRowsUnderItsHeading() {
        TUiInstance ui;
        TMainForm& form = *ui.Form;
        TComputerData& own = ui.Instance->OwnComputer();
        own.SetProperty("RAS-Phonebook-entries", "SimLine");
        Record(own, {2026, 12, 9, 18, 30, 0, 0}, "SimLine", 600);
        Record(own, {2026, 12, 2, 7, 5, 0, 0}, "SimLine", 30);
        form.Range = {{2026, 12, 1}, {2027, 1, 1}};
        form.RefreshConnectionList(); // the overall tab: every computer
        form.RasConnectionListBox->setCurrentRow(0);
        TOverviewForm* shown = nullptr;
        QTimer::singleShot(0, [&shown] {
            for (QWidget* window : QApplication::topLevelWidgets())
                if (auto* overview = dynamic_cast<TOverviewForm*>(window);
                    overview && overview->isVisible()) {
                    shown = overview;
                    QCOMPARE(overview->HeadingLabel->text(),
                             QString("Overview over SimLine (for all computers in the local net)"));
                    QCOMPARE(overview->Grid->rowCount(), 2);
                    QCOMPARE(overview->Grid->item(0, 3)->text(), QString("ALPHA"));
                    QCOMPARE(overview->Grid->item(0, 4)->text(), QString("1 min"));
                    QCOMPARE(overview->Grid->item(1, 4)->text(), QString("10 min"));
                    overview->accept();
                }
        });
        form.IndividualItemsButtonClick();
        QVERIFY(shown != nullptr);
    }

    void datePickerKeepsItsBounds() {
        SetLanguage(TLanguage::English);
        TDateForm form;
        form.SetDate(1970, 2, 30);
        QCOMPARE(form.YearField->value(), 1980);
        QCOMPARE(form.DayField->selectedDate(), QDate(1980, 2, 29));
        QCOMPARE(form.YearField->minimum(), 1980);
        QCOMPARE(form.YearField->maximum(), 3000);
        form.show();
        ActivateWindow(form);
        form.YearField->setFocus();
        form.YearField->selectAll();
        QTest::keyClicks(form.YearField, "5000");
        form.MonthField->setFocus(); // leaving the field pulls the year to the nearer bound
        QCOMPARE(form.YearField->value(), 3000);
        form.MonthField->setCurrentIndex(11);
        int year = 0, month = 0, day = 0;
        form.GetDate(year, month, day);
        QCOMPARE(year, 3000);
        QCOMPARE(month, 12);
        QCOMPARE(day, 28); // 3000 is no leap year: 29 February became the 28th
        QCOMPARE(form.MonthField->count(), 12);
    }
};

QTEST_MAIN(StatisticsViewTest)
#include "StatisticsViewTest.moc"
