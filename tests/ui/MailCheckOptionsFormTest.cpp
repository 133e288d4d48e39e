// The mail settings dialog on a running instance: mailboxes made, changed and removed at once,
// the shared settings taken over by OK.
#include "UiTestSupport.h"

#include "dialup/Dialer.h"
#include "ui/MailCheckOptionsForm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>

#include <mutex>

using namespace harbolt;
using harbolt::test::ClickLine;
using harbolt::test::Lines;
using harbolt::test::TUiInstance;

namespace {

void Type(TMailCheckOptionsForm& form, const QString& name, const QString& server, int entry) {
    form.PopNameEdit->setText(name);
    form.PopServerEdit->setText(server);
    form.PopUserEdit->setText("user");
    form.PopPassEdit->setText("pa55");
    form.ActionComboBox->setCurrentIndex(entry);
}

const TPop3Account& Account(std::size_t index) {
    return *MailAccounts->Accounts.at(index);
}

} // namespace

class MailCheckOptionsFormTest : public QObject {
    Q_OBJECT

private slots:
    void setAndClearChangeTheMailboxesAtOnce() {
        TUiInstance ui;
        TMailCheckOptionsForm form;
        QCOMPARE(form.FrequencySpinEdit->value(), 3);
        QCOMPARE(form.WavEdit->text(), QString("email.wav"));

        // Without a name Set does nothing.
        Type(form, "", "pop.example", 0);
        form.SetButton->click();
        QVERIFY(ui.Instance->MailStatus().Mailboxes.empty());

        Type(form, "work", "pop.example:995", 1);
        form.SetButton->click();
        form.NewButton->click();
        Type(form, "Home", "pop.home", -1);
        form.SetButton->click();
        Type(form, "home", "pop.other", 2);
        form.SetButton->click();
        // Shown by `ctl mail` at once, in the list's order; the dialog sorts ignoring case and
        // shows equal names twice.
        const TMailStatus status = ui.Instance->MailStatus();
        QCOMPARE(status.Mailboxes.size(), std::size_t(3));
        QCOMPARE(status.Mailboxes[0].Name, std::string("work"));
        QCOMPARE(status.Mailboxes[0].Action, 7);
        QCOMPARE(status.Mailboxes[1].Action, 0);
        QCOMPARE(status.Mailboxes[2].Action, 0x8000);
        QCOMPARE(Lines(form.ListBox), QStringList({"Home", "home", "work"}));
        QVERIFY(form.PopNameEdit->text().isEmpty());
        {
            const std::lock_guard guard(MailLock);
            QCOMPARE(Account(0).Password, ScramblePassword("pa55"));
            QVERIFY(Account(0).UIDLs.empty());
            QVERIFY(MailAccounts->Changed); // saved even if the dialog is left without OK
        }

        // Shown again: the action's entry and the clear password behind asterisks.
        ClickLine(form.ListBox, 2);
        QCOMPARE(form.PopServerEdit->text(), QString("pop.example:995"));
        QCOMPARE(form.ActionComboBox->currentIndex(), 1);
        QCOMPARE(form.PopPassEdit->text(), QString("pa55"));
        QCOMPARE(form.PopPassEdit->displayText(), QString("****"));
        ClickLine(form.ListBox, 0);
        QCOMPARE(form.ActionComboBox->currentIndex(), -1);

        // A new server keeps the UIDs seen so far.
        {
            const std::lock_guard guard(MailLock);
            MailAccounts->Accounts[0]->UIDLs = {"uid-1", "uid-2"};
        }
        ClickLine(form.ListBox, 2);
        form.PopServerEdit->setText("pop.example:110");
        form.SetButton->click();
        {
            const std::lock_guard guard(MailLock);
            QCOMPARE(Account(0).Server, std::string("pop.example:110"));
            QCOMPARE(Account(0).UIDLs.size(), std::size_t(2));
        }

        // Clear removes the selected one only, and nothing without a selection.
        form.ClearButton->click();
        QCOMPARE(ui.Instance->MailStatus().Mailboxes.size(), std::size_t(3));
        ClickLine(form.ListBox, 1);
        form.ClearButton->click();
        QCOMPARE(Lines(form.ListBox), QStringList({"Home", "work"}));
        QCOMPARE(ui.Instance->MailStatus().Mailboxes[1].Name, std::string("Home"));
    }

    void okTakesOverTheSharedSettings() {
        TUiInstance ui;
        {
            TMailCheckOptionsForm closed;
            closed.FrequencySpinEdit->setValue(20);
            closed.close();
        }
        QCOMPARE(ui.Instance->MailStatus().Settings.Frequency, 3);
        {
            const std::lock_guard guard(MailLock);
            MailAccounts->Changed = false;
        }
        TMailCheckOptionsForm form;
        form.FrequencySpinEdit->setValue(10);
        form.TriggerCheckBox->setChecked(true);
        form.WavEdit->setText("/tmp/no such.wav");
        form.OKButton->click();
        QCOMPARE(form.result(), 1);
        const TMailSettingsStatus settings = ui.Instance->MailStatus().Settings;
        QCOMPARE(settings.Frequency, 10);
        QVERIFY(settings.Dial);
        QCOMPARE(settings.SoundFile, std::string("/tmp/no such.wav"));
        const std::lock_guard guard(MailLock);
        QVERIFY(MailAccounts->Changed);
    }

    void aMailboxRemovedBehindTheDialogIsNotConfusedWithAnother() {
        TUiInstance ui;
        TMailCheckOptionsForm form;
        Type(form, "a", "pop.a", 0);
        form.SetButton->click();
        form.NewButton->click();
        Type(form, "b", "pop.b", 0);
        form.SetButton->click();
        ClickLine(form.ListBox, 0);
        QVERIFY(ui.Instance->RemoveMail("a")); // `ctl mail remove a`
        form.PopServerEdit->setText("pop.changed");
        form.SetButton->click();
        const TMailStatus status = ui.Instance->MailStatus();
        QCOMPARE(status.Mailboxes.size(), std::size_t(2));
        QCOMPARE(status.Mailboxes[0].Server, std::string("pop.b"));
        QCOMPARE(status.Mailboxes[1].Server, std::string("pop.changed"));
        ClickLine(form.ListBox, 1);
        QVERIFY(ui.Instance->RemoveMail("b"));
        form.ClearButton->click();
        QCOMPARE(ui.Instance->MailStatus().Mailboxes.size(), std::size_t(1));
    }
};

QTEST_MAIN(MailCheckOptionsFormTest)
#include "MailCheckOptionsFormTest.moc"
