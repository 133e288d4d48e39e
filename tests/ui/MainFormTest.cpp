// The main window and its tray menu on a running instance: who is online and what the menu
// offers, the icons and their sounds, the property editor and the status line.
#include "UiTestSupport.h"

#include "dialup/Dialer.h"
#include "dialup/EventId.h"

#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTabBar>

using namespace harbolt;
using harbolt::test::ClickLine;
using harbolt::test::Lines;
using harbolt::test::TUiInstance;

namespace {

// Connect, Disconnect, Take over: which the menu shows.
QString Menu(const TMainForm& form) {
    return QString("%1%2%3")
        .arg(form.Connect->isVisible() ? "C" : "-")
        .arg(form.Disconnect->isVisible() ? "D" : "-")
        .arg(form.HostileTakeOver->isVisible() ? "T" : "-");
}

} // namespace

class MainFormTest : public QObject {
    Q_OBJECT

private slots:
    void trayMenuFollowsWhoIsOnline() {
        TUiInstance ui;
        TMainForm& form = *ui.Form;
        ui.Instance->SetOwnProperty("AutoDialEnabled", "no");
        form.RefreshOnlineState();
        QCOMPARE(Menu(form), QString("---"));
        QCOMPARE(form.Online1->text(), QString("(all offline)"));
        ui.Instance->SetOwnProperty("AutoDialEnabled", "yes");
        form.RefreshOnlineState();
        QCOMPARE(Menu(form), QString("C--"));
        QCOMPARE(form.TrayIcon1->toolTip(), QString("Harbolt (all offline)"));
        // A spent dial budget says why nothing dials on demand; Connect stays offered.
        ui.Instance->SetOwnProperty("AutoDialPhoneBookEntry", "SimLine");
        ui.Instance->SetOwnProperty("AutoDialMaxDialsPerHour", "1");
        ui.Instance->SetOwnProperty(EventIDToString(NewEventID()), NewConnectionRecord("SimLine"));
        form.RefreshOnlineState();
        QCOMPARE(Menu(form), QString("C--"));
        QVERIFY(form.TrayIcon1->toolTip().endsWith("dial budget spent: dial on demand is off"));
        ui.Instance->SetOwnProperty("AutoDialMaxDialsPerHour", "");
        form.RefreshOnlineState();
        QCOMPARE(form.TrayIcon1->toolTip(), QString("Harbolt (all offline)"));

        // The own computer online through a connection this program holds.
        QVERIFY(ui.Instance->SetLine("SimLine", true));
        QVERIFY(ui.Instance->Dialer().AdoptAnyConnection());
        ui.Online("ALPHA", "SimLine");
        QCOMPARE(Menu(form), QString("-D-"));
        QCOMPARE(form.Online1->text(), QString("(Alpha online using SimLine)"));
        // ... and through one it does not hold: nothing to hang up, nothing to take over.
        ui.Instance->Dialer().HangUpOwnEntry();
        form.RefreshOnlineState();
        QCOMPARE(Menu(form), QString("---"));

        // Another computer online: taken over only where dial on demand is enabled.
        ui.Silence(10001);
        ui.Present("BETA");
        ui.Online("BETA", "LTE");
        QCOMPARE(Menu(form), QString("--T"));
        QCOMPARE(form.Online1->text(), QString("(Beta online using LTE)"));
        ui.Instance->SetOwnProperty("AutoDialEnabled", "");
        form.RefreshOnlineState();
        QCOMPARE(Menu(form), QString("---"));
    }

    void iconChangesPlayTheirSoundsExceptWhileNewMailShows() {
        TUiInstance ui;
        TMainForm& form = *ui.Form;
        QCOMPARE(form.OnlineDisplay().Icon, TTrayIcon::Offline);
        QVERIFY(ui.Sounds.empty()); // the first icon of the run is no change

        ui.Present("BETA");
        ui.Online("BETA", "LTE");
        QCOMPARE(form.OnlineDisplay().Icon, TTrayIcon::Online);
        ui.Silence(10001); // the last online computer goes
        QCOMPARE(form.OnlineDisplay().Icon, TTrayIcon::Offline);
        QCOMPARE(ui.Sounds, (std::vector<std::string>{"online.wav", "offline.wav"}));
        QVERIFY(!form.Connect->isVisible()); // AutoDialEnabled is not set here

        ui.Sounds.clear();
        NewMailArrived = true;
        ui.Instance->MailTimerTimer();
        QCOMPARE(form.OnlineDisplay().Icon, TTrayIcon::NewMail);
        QCOMPARE(ui.Sounds, (std::vector<std::string>{"email.wav"}));
        // For 60 seconds the online state changes the menu but neither the icon nor a sound.
        ui.Present("BETA");
        ui.Online("BETA", "LTE");
        QCOMPARE(form.Online1->text(), QString("(Beta online using LTE)"));
        QCOMPARE(form.OnlineDisplay().Icon, TTrayIcon::NewMail);
        for (int second = 0; second < 58; ++second)
            ui.Instance->MailTimerTimer();
        form.RefreshOnlineState();
        QCOMPARE(form.OnlineDisplay().Icon, TTrayIcon::NewMail);
        ui.Instance->MailTimerTimer();
        ui.Instance->UpdateTimerTimer();
        QCOMPARE(form.OnlineDisplay().Icon, TTrayIcon::Online);
        QCOMPARE(ui.Sounds, (std::vector<std::string>{"email.wav"}));
    }

    void propertyEditorEditsOnlyTheOwnComputer() {
        TUiInstance ui;
        TMainForm& form = *ui.Form;
        TComputerData& beta = TheDatabase->FindComputer("BETA");
        beta.SetProperty("Formula", "a=b=c");
        beta.SetProperty(EventIDToString(TEventID{2026, 12, 1, 8, 0, 0, 0}),
                         NewConnectionRecord("LTE"));
        beta.SetOwn(false);
        ui.Present("BETA");

        ui.SelectTab("Alpha");
        QVERIFY(form.SetKeyValue->isVisible() && !form.CopyButton->isVisible());
        QVERIFY(!form.KeyEdit->isReadOnly());
        form.KeyEdit->setText("Colour");
        form.ValueEdit->setText("blue=green");
        QTest::mouseClick(form.SetKeyValue, Qt::LeftButton);
        QCOMPARE(ui.Instance->GetOwnProperty("Colour"), std::string("blue=green"));
        QCOMPARE(Lines(form.ComputerDataListBox), QStringList{"Colour=blue=green"});

        ui.SelectTab("Beta");
        QVERIFY(!form.SetKeyValue->isVisible());
        QVERIFY(form.CopyButton->isVisible() && form.InvalidateButton->isVisible());
        QVERIFY(form.KeyEdit->isReadOnly() && form.ValueEdit->isReadOnly());
        QCOMPARE(Lines(form.ComputerDataListBox), QStringList{"Formula=a=b=c"});
        form.ShowAllCheckBox->click();
        QCOMPARE(form.ComputerDataListBox->count(), 2);
        ClickLine(form.ComputerDataListBox, 1);
        QCOMPARE(form.KeyEdit->text(), QString("Formula"));
        QCOMPARE(form.ValueEdit->text(), QString("a=b=c")); // the stored value, "=" and all
        form.ShowAllCheckBox->click(); // hides the records and empties the fields
        QCOMPARE(form.ComputerDataListBox->count(), 1);
        QVERIFY(form.KeyEdit->text().isEmpty() && form.ValueEdit->text().isEmpty());

        // Copy with an empty key does nothing; with an empty value it deletes the own key.
        const std::int32_t before = ui.Instance->OwnComputer().GetJournalEnd();
        form.CopyButtonClick();
        QCOMPARE(ui.Instance->OwnComputer().GetJournalEnd(), before);
        ClickLine(form.ComputerDataListBox, 0);
        form.CopyButtonClick();
        QCOMPARE(ui.Instance->GetOwnProperty("Formula"), std::string("a=b=c"));
        form.KeyEdit->setText("Colour");
        form.ValueEdit->clear();
        form.CopyButtonClick();
        QCOMPARE(ui.Instance->GetOwnProperty("Colour"), std::string());
    }

    void statusLineTellsWhoIsHeardAndWhen() {
        TUiInstance ui;
        TMainForm& form = *ui.Form;
        TheDatabase->FindComputer("BETA").SetOwn(false);
        ui.Present("BETA");
        ui.Present("ALPHA");
        QVERIFY(!form.StatusPanel->isVisibleTo(&form)); // the overall tab has none
        ui.SelectTab("Alpha");
        QCOMPARE(form.StatusLabel->text(),
                 QString("ALPHA is registrated in the local net; I am ALPHA."));
        ui.SelectTab("Beta");
        QCOMPARE(form.StatusLabel->text(),
                 QString("BETA is registrated in the local net; The data of BETA is up to date."));
        ui.Silence(10001);
        QVERIFY(form.StatusLabel->text().startsWith("The data of BETA is from "));
        QVERIFY(!form.StatusLabel->text().contains("registrated"));
    }

    void germanLocaleGivesGermanCaptions() {
        TUiInstance ui(TLanguage::German);
        TMainForm& form = *ui.Form;
        QCoreApplication::processEvents();
        QVERIFY(form.TabControl->height() > 0); // the strip got its tabs while hidden
        QCOMPARE(form.TabControl->tabText(0), QString::fromUtf8("Gesamtüberblick"));
        QCOMPARE(form.Online1->text(), QString("(alle offline)"));
        QCOMPARE(form.Beenden1->text(), QString("Beenden"));
        QCOMPARE(form.GroupBox2->title(), QString::fromUtf8("DFÜ-Verbindungen"));
    }

    void quittingAsksUnlessTheSessionEnds() {
        TUiInstance ui;
        TMainForm& form = *ui.Form;
        // Offscreen there is no tray: the window opened at start-up instead of hiding for good.
        QVERIFY(form.isVisible());
        int quits = 0;
        ui.Instance->QuitRequested = [&quits] { ++quits; };
        SetNextMessageAnswer(mrNo);
        form.Beenden1->trigger();
        QCOMPARE(QString::fromStdString(LastPresetMessage()),
                 QString("Do you really want to close the Harbolt?"));
        QCOMPARE(quits, 0);
        SetNextMessageAnswer(mrYes);
        form.Beenden1->trigger();
        QCOMPARE(quits, 1);

        // With a tray, closing the window hides it; without one it asks the quit question.
        form.QuitConfirmed = false;
        form.OpenMainWindow();
        QVERIFY(form.isVisible());
        form.close();
        QVERIFY(!form.isVisible());
        QCOMPARE(quits, 1);
        ui.Tray = false;
        form.QuitConfirmed = false;
        form.OpenMainWindow();
        SetNextMessageAnswer(mrNo);
        form.close();
        QVERIFY(form.isVisible());
        QCOMPARE(quits, 1);
    }
};

QTEST_MAIN(MainFormTest)
#include "MainFormTest.moc"
