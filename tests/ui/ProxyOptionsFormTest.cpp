// The proxy settings dialog on a running instance: what it shows on opening, the mappings it
// stores at once, what OK writes and restarts, and the dial command.
#include "UiTestSupport.h"

#include "dialup/Dialer.h"
#include "proxy/Mapping.h"
#include "ui/ProxyOptionsForm.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>

#include <map>
#include <set>

using namespace harbolt;
using harbolt::test::ClickLine;
using harbolt::test::Lines;
using harbolt::test::TUiInstance;

namespace {

// The dial settings that go when dial on demand is switched off.
constexpr const char* kDialKeys[] = {"AutoDialPhoneBookEntry",   "AutoDialUsername",
                                     "AutoDialPassword",         "AutoDialDisconnectAfter",
                                     "AutoDialAskBeforeDialing", "AutoDialAskBeforeHangingUp"};

void Select(QListWidget* list, const QString& line) {
    const auto found = list->findItems(line, Qt::MatchExactly);
    QVERIFY2(!found.isEmpty(), qPrintable("no line " + line));
    ClickLine(list, list->row(found.front()));
}

// A mapping of the given type typed into the value fields.
void TypeMapping(TProxyOptionsForm& form, const QString& bindHost, const QString& bindPort,
                 int type, bool trigger) {
    form.SourceIPComboBox->setEditText(bindHost);
    form.SourcePortEdit->setText(bindPort);
    form.DestTypeComboBox->setCurrentIndex(type);
    form.TriggerCheckBox->setChecked(trigger);
}

class TProxyDialog {
public:
    explicit TProxyDialog(TUiInstance& ui) : Ui(ui) {}
    TProxyOptionsForm& Open() {
        Form = std::make_unique<TProxyOptionsForm>(*Ui.Instance);
        return *Form;
    }
    // The stored bytes (scrambled passwords are no UTF-8).
    std::string Get(const std::string& key) { return Ui.Instance->OwnComputer().GetProperty(key); }
    void Set(const std::string& key, const std::string& value) {
        Ui.Instance->OwnComputer().SetProperty(key, value);
    }

    TUiInstance& Ui;
    std::unique_ptr<TProxyOptionsForm> Form;
};

} // namespace

class ProxyOptionsFormTest : public QObject {
    Q_OBJECT

private slots:
    void openingProposesAnAddressAndRewritesTheSwitches() {
        TUiInstance ui;
        TProxyDialog dialog(ui);
        dialog.Set("ProxyEnabled", "1");
        dialog.Set("AutoDialEnabled", "1");
        dialog.Set("AutoDialPassword", ScramblePassword("secret"));
        dialog.Set("AutoDialPhoneBookEntry", "Elsewhere");
        dialog.Set("ProxyServerLogAll", "yes");
        TProxyOptionsForm& form = dialog.Open();
        QCOMPARE(form.LocalIPEdit->text(), QString("localhost"));
        QCOMPARE(form.LocalPortEdit->text(), QString("1977"));
        // A name that reaches only this computer is pointed out, with the addresses that do not.
        QVERIFY(form.LocalIPHint->isVisibleTo(&form));
        QVERIFY2(form.LocalIPHint->text().startsWith("localhost reaches only this computer (127."),
                 qPrintable(form.LocalIPHint->text()));
        QCOMPARE(dialog.Get("ProxyEnabled"), std::string("yes"));
        QCOMPARE(dialog.Get("AutoDialEnabled"), std::string("yes"));
        QVERIFY(form.OptionsGroupBox->isEnabled() && form.DialGroupBox->isEnabled());
        QCOMPARE(dialog.Get("ProxyServerAddress"), std::string()); // only OK writes it
        // The password in clear behind asterisks; the stored entry even when the book lacks it.
        QCOMPARE(form.PasswordEdit->text(), QString("secret"));
        QCOMPARE(form.PasswordEdit->displayText(), QString("******"));
        QCOMPARE(form.PhoneBookComboBox->currentText(), QString("Elsewhere"));
        QCOMPARE(form.PhoneBookComboBox->itemText(0), QString("SimLine"));
        QCOMPARE(form.DisconnectEdit->value(), 0);
        QVERIFY(form.LogCheckBox->isChecked() && !form.LogCheckBox->isVisibleTo(&form));
        QCOMPARE(form.DialNow->text(), QString("Dial now"));

        // A stored address replaces the proposal; a switched-off proxy greys the settings out
        // and is left as stored.
        dialog.Set("ProxyServerAddress", "10.0.0.2:2000");
        dialog.Set("ProxyEnabled", "");
        dialog.Set("AutoDialEnabled", "");
        TProxyOptionsForm& again = dialog.Open();
        QCOMPARE(again.LocalIPEdit->text(), QString("10.0.0.2"));
        QCOMPARE(again.LocalPortEdit->text(), QString("2000"));
        QVERIFY(!again.OptionsGroupBox->isEnabled() && !again.DialGroupBox->isEnabled());
        QCOMPARE(dialog.Get("ProxyEnabled"), std::string());
        QCOMPARE(again.SourceIPComboBox->count(), 2);
        QCOMPARE(again.SourceIPComboBox->itemText(0), QString("10.0.0.2"));
        QCOMPARE(again.SourceIPComboBox->itemText(1), QString("127.0.0.1"));
        QVERIFY(!again.LocalIPHint->isVisibleTo(&again));
        again.LocalIPEdit->setText("127.0.1.1");
        QVERIFY(again.LocalIPHint->isVisibleTo(&again));
        again.LocalIPEdit->setText("10.0.0.3");
        QCOMPARE(again.SourceIPComboBox->itemText(0), QString("10.0.0.3"));
        QVERIFY(!again.LocalIPHint->isVisibleTo(&again));
    }

    void mappingsAreStoredAtOnceAndTakenApartAsStored() {
        TUiInstance ui;
        TProxyDialog dialog(ui);
        dialog.Set("ProxyEnabled", "yes");
        dialog.Set("ProxyServerAddress", "10.0.0.2:1977");
        for (int i = 0; i < 10; ++i)
            dialog.Set(MappingKey(i), ":" + std::to_string(8000 + i) + " -> HTTP PROXY, trigger");
        dialog.Set("ProxyMapping42", "8080 -> SOCKS5, Trigger");
        TProxyOptionsForm& form = dialog.Open();
        QCOMPARE(form.ListBox->count(), 11);
        QCOMPARE(form.ListBox->item(10)->text(), QString("8080 -> SOCKS5, Trigger"));

        // A lone "SOCKS5" is no type of the list: a forwarding to port "SOCKS5"; "Trigger" is no
        // trigger; a source without ":" is a port on the local address.
        Select(form.ListBox, "8080 -> SOCKS5, Trigger");
        QCOMPARE(form.DestTypeComboBox->currentText(), QString("mapping to"));
        QCOMPARE(form.DestIPEdit->text(), QString());
        QCOMPARE(form.DestPortEdit->text(), QString("SOCKS5"));
        QVERIFY(form.DestPortEdit->isVisibleTo(&form));
        QVERIFY(!form.TriggerCheckBox->isChecked());
        QCOMPARE(form.SourceIPComboBox->currentText(), QString("10.0.0.2"));
        QCOMPARE(form.SourcePortEdit->text(), QString("8080"));

        // Set on the selected line rewrites it; the local address is stored as an empty host.
        form.DestTypeComboBox->setCurrentIndex(1);
        QVERIFY(!form.DestPortEdit->isVisibleTo(&form));
        form.SetButton->click();
        QCOMPARE(dialog.Get("ProxyMapping42"), std::string(":8080 -> SOCKS5 PROXY, notrigger"));
        QVERIFY(form.ListBox->selectedItems().isEmpty());
        QCOMPARE(form.SourcePortEdit->text(), QString());

        // Set without a selection takes the lowest free index.
        Select(form.ListBox, ":8003 -> HTTP PROXY, trigger");
        form.ClearButton->click();
        QCOMPARE(dialog.Get("ProxyMapping03"), std::string());
        TypeMapping(form, "127.0.0.1", "2525", 4, false);
        form.DestIPEdit->setText("mail.example");
        form.DestPortEdit->setText("25");
        form.SetButton->click();
        QCOMPARE(dialog.Get("ProxyMapping03"),
                 std::string("127.0.0.1:2525 -> mail.example:25, notrigger"));
        TypeMapping(form, "", "21", 2, true);
        form.SetButton->click();
        QCOMPARE(dialog.Get("ProxyMapping10"), std::string(":21 -> FTP PROXY, trigger"));
        Select(form.ListBox, "127.0.0.1:2525 -> mail.example:25, notrigger");
        QCOMPARE(form.SourceIPComboBox->currentText(), QString("127.0.0.1"));
        QCOMPARE(form.DestIPEdit->text(), QString("mail.example"));

        // With all 100 taken a new one is refused and nothing changes.
        for (int i = 0; i < kMappingCount; ++i)
            if (dialog.Get(MappingKey(i)).empty())
                dialog.Set(MappingKey(i), ":1 -> POP3 PROXY, notrigger");
        form.NewButton->click();
        TypeMapping(form, "", "110", 3, false);
        SetNextMessageAnswer(mrOk);
        form.SetButton->click();
        QCOMPARE(LastPresetMessage(), std::string("Mapping table is full!"));
        QCOMPARE(form.ListBox->count(), kMappingCount);
        QVERIFY(!Lines(form.ListBox).contains(":110 -> POP3 PROXY, notrigger"));

        // Switching the proxy off is stored at once and greys the mappings out.
        form.ActivatedCheckBox->click();
        QCOMPARE(dialog.Get("ProxyEnabled"), std::string("no"));
        QVERIFY(!form.OptionsGroupBox->isEnabled());
    }

    void theChosenLineStaysChosenAndIsNeverOverwrittenWhenChangedMeanwhile() {
        TUiInstance ui;
        TProxyDialog dialog(ui);
        dialog.Set("ProxyEnabled", "yes");
        dialog.Set("ProxyServerAddress", ":");
        dialog.Set("ProxyMapping00", ":80 -> HTTP PROXY, trigger");
        dialog.Set("ProxyMapping01", ":81 -> HTTP PROXY, trigger");
        TProxyOptionsForm& form = dialog.Open();
        QCOMPARE(form.LocalIPEdit->text(), QString()); // an address ":" is shown as stored
        Select(form.ListBox, ":81 -> HTTP PROXY, trigger");
        // A click beside the lines takes the highlight away, not the line the fields show.
        form.ListBox->clearSelection();
        form.SourcePortEdit->setText("82");
        form.SetButton->click();
        QCOMPARE(dialog.Get("ProxyMapping01"), std::string(":82 -> HTTP PROXY, trigger"));
        QCOMPARE(form.ListBox->count(), 2);

        // Changed behind the dialog (by `ctl`): Set adds rather than overwrites, Clear keeps it.
        Select(form.ListBox, ":80 -> HTTP PROXY, trigger");
        dialog.Set("ProxyMapping00", ":8000 -> FTP PROXY, notrigger");
        form.SetButton->click();
        QCOMPARE(dialog.Get("ProxyMapping00"), std::string(":8000 -> FTP PROXY, notrigger"));
        QCOMPARE(dialog.Get("ProxyMapping02"), std::string(":80 -> HTTP PROXY, trigger"));
        Select(form.ListBox, ":8000 -> FTP PROXY, notrigger");
        dialog.Set("ProxyMapping00", ":9 -> FTP PROXY, notrigger");
        form.ClearButton->click();
        QCOMPARE(dialog.Get("ProxyMapping00"), std::string(":9 -> FTP PROXY, notrigger"));

        // Port hints: shown for what is no port, only while their field is.
        const auto hinted = [&form] {
            return QString("%1%2%3")
                .arg(form.LocalPortHint->isVisibleTo(&form) ? "L" : "-")
                .arg(form.SourcePortHint->isVisibleTo(&form) ? "S" : "-")
                .arg(form.DestPortHint->isVisibleTo(&form) ? "D" : "-");
        };
        form.LocalPortEdit->setText("1977");
        QCOMPARE(hinted(), QString("---"));
        form.LocalPortEdit->setText("65536");
        form.SourcePortEdit->setText("http");
        form.DestPortEdit->setText("0");
        QCOMPARE(hinted(), QString("LS-")); // no forwarding: the target's port is not shown
        form.DestTypeComboBox->setCurrentIndex(4);
        QCOMPARE(hinted(), QString("LSD"));
        form.SourcePortEdit->setText("8080");
        QCOMPARE(hinted(), QString("L-D"));
        QCOMPARE(form.LocalPortEdit->accessibleDescription(), form.LocalPortHint->text());
        QVERIFY(form.SourcePortEdit->accessibleDescription().isEmpty());
    }

    void okStoresTheFieldsInOrderAndRestartsTheServices() {
        TUiInstance ui;
        TProxyDialog dialog(ui);
        dialog.Set("ProxyEnabled", "yes");
        dialog.Set("ProxyServerAddress", "127.0.0.1:0");
        dialog.Set("ProxyMapping05", "127.0.0.1:0 -> HTTP PROXY, notrigger");
        dialog.Set("AutoDialEnabled", "yes");
        for (const char* key : kDialKeys)
            dialog.Set(key, "x");

        // Fields typed and the window closed without OK: nothing of them is stored.
        TProxyOptionsForm& dropped = dialog.Open();
        dropped.DnsEdit->setText("192.0.2.53");
        dropped.UsernameEdit->setText("someone");
        dropped.close();
        QCOMPARE(dialog.Get("ProxyDnsServer"), std::string());
        QCOMPARE(dialog.Get("AutoDialUsername"), std::string("x"));

        // Dial on demand switched off: its six keys go.
        TProxyOptionsForm& form = dialog.Open();
        form.DialCheckbox->click();
        QCOMPARE(dialog.Get("AutoDialEnabled"), std::string("no"));
        form.DnsCheckBox->setChecked(true);
        form.DnsEdit->setText("192.0.2.53");
        form.LocalIPEdit->setText("127.0.0.2"); // the services start on the address just written
        form.LocalPortEdit->setText("0");
        form.OKButton->click();
        QCOMPARE(form.result(), 1);
        for (const char* key : kDialKeys)
            QCOMPARE(dialog.Get(key), std::string());
        QCOMPARE(dialog.Get("ProxyDnsServerEnabled"), std::string("yes"));
        QCOMPARE(dialog.Get("ProxyDnsServerDial"), std::string());
        QCOMPARE(dialog.Get("ProxyDnsServer"), std::string("192.0.2.53"));
        QCOMPARE(dialog.Get("ProxyServerAddress"), std::string("127.0.0.2:0"));
        const TProxyServicesStatus running = ui.Instance->ProxyServices();
        QVERIFY(running.Running);
        std::map<std::string, std::string> listeners;
        for (const TProxyListenerStatus& listener : running.Listeners)
            listeners[listener.Name] = listener.Address;
        QCOMPARE(listeners["server"], std::string("127.0.0.2:0"));
        QCOMPARE(listeners["mapping 5"], std::string("127.0.0.1:0"));

        // Dial on demand on again, the fields as typed; the proxy off: no address, no services.
        TProxyOptionsForm& off = dialog.Open();
        off.DialCheckbox->click();
        off.PhoneBookComboBox->setEditText("SimLine");
        off.PasswordEdit->setText("pw");
        off.DisconnectEdit->setValue(300);
        off.AskBeforeHangUpCheckBox->setChecked(true);
        off.ActivatedCheckBox->click();
        off.OKButton->click();
        QCOMPARE(dialog.Get("AutoDialPhoneBookEntry"), std::string("SimLine"));
        QCOMPARE(dialog.Get("AutoDialPassword"), ScramblePassword("pw"));
        QCOMPARE(dialog.Get("AutoDialDisconnectAfter"), std::string("300"));
        QCOMPARE(dialog.Get("AutoDialAskBeforeDialing"), std::string("no"));
        QCOMPARE(dialog.Get("AutoDialAskBeforeHangingUp"), std::string("yes"));
        QCOMPARE(dialog.Get("ProxyServerAddress"), std::string());
        QVERIFY(!ui.Instance->ProxyServices().Running);
        QVERIFY(ui.Instance->ProxyServices().Listeners.empty());
    }

    void dialNowActsOnTheStoredSettings() {
        TUiInstance ui;
        TProxyDialog dialog(ui);
        dialog.Set("AutoDialEnabled", "yes");
        dialog.Set("AutoDialPhoneBookEntry", "SimLine");
        TProxyOptionsForm& form = dialog.Open();
        form.PhoneBookComboBox->setEditText("Typed");
        QVERIFY(!DialRequested);
        form.DialNow->click();
        QVERIFY(DialRequested);
        QCOMPARE(dialog.Get("AutoDialPhoneBookEntry"), std::string("SimLine"));
    }

    void everyFieldIsNamedAndPortsAreToldApart() {
        TUiInstance ui;
        TProxyDialog dialog(ui);
        dialog.Set("ProxyEnabled", "yes");
        TProxyOptionsForm& form = dialog.Open();
        form.DestTypeComboBox->setCurrentIndex(4);
        std::set<QString> names;
        int fields = 0;
        for (QWidget* field : form.findChildren<QWidget*>()) {
            if (!qobject_cast<QLineEdit*>(field) && !qobject_cast<QComboBox*>(field) &&
                !qobject_cast<QSpinBox*>(field) && !qobject_cast<QListWidget*>(field))
                continue;
            if (qobject_cast<QLineEdit*>(field) && field->parent() != nullptr &&
                (qobject_cast<QComboBox*>(field->parent()) ||
                 qobject_cast<QSpinBox*>(field->parent())))
                continue; // the edit inside a combo box or spin field
            ++fields;
            QVERIFY2(!field->accessibleName().isEmpty(), qPrintable(field->objectName()));
            QVERIFY2(names.insert(field->accessibleName()).second,
                     qPrintable(field->accessibleName()));
        }
        QCOMPARE(fields, 13);
    }

    void trayEntriesOpenEachDialogOnceAndBringItBack() {
        TUiInstance ui;
        TMainForm& main = *ui.Form;
        const auto shown = [] {
            int count = 0;
            for (QWidget* widget : QApplication::topLevelWidgets())
                count += dynamic_cast<TProxyOptionsForm*>(widget) != nullptr && widget->isVisible();
            return count;
        };
        main.ProxyOptionsMenuItem->trigger();
        QDialog* proxy = main.OpenDialog("ProxyOptionsForm");
        QVERIFY(proxy != nullptr && proxy->isVisible());
        proxy->showMinimized();
        main.ProxyOptionsMenuItem->trigger(); // the same one, back in front
        QCOMPARE(shown(), 1);
        QCOMPARE(main.OpenDialog("ProxyOptionsForm"), proxy);
        QVERIFY(!proxy->isMinimized());
        main.aufneueeMailberprfen1->trigger();
        QCOMPARE(ui.Instance->WindowView()->Dialogs,
                 (std::vector<std::string>{"Proxy-Settings", "Preferences for mail checking"}));

        // Closed, it is gone; the entry makes a new one.
        proxy->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(main.OpenDialog("ProxyOptionsForm"), nullptr);
        main.ProxyOptionsMenuItem->trigger();
        QCOMPARE(shown(), 1);
        // Whatever is open goes with the main window, before the instance it works on.
    }
};

QTEST_MAIN(ProxyOptionsFormTest)
#include "ProxyOptionsFormTest.moc"
