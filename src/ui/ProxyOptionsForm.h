#pragma once

#include "app/ProxyOptions.h"
#include "proxy/Mapping.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSpinBox;
class QTimer;

// The proxy settings dialog: this computer's proxy address, its mappings, the DNS forwarder and
// dial on demand. "Proxy active", "Dial on demand" and the mappings are stored the moment they
// change; the other fields only by OK, which also restarts the proxy services.
namespace harbolt {

class TInstance;

class TProxyOptionsForm : public QDialog {
public:
    explicit TProxyOptionsForm(TInstance& instance, QWidget* parent = nullptr);

    void ActivatedCheckBoxClick();
    void DialCheckboxClick();
    void ListBoxClick();
    void NewButtonClick();
    void SetButtonClick();
    void ClearButtonClick();
    void OKButtonClick();
    void Timer1Timer();
    void DialNowClick();
    void LocalIPEditChange();
    void DestTypeComboBoxChange();

    void ReloadMappings();
    void ShowDestinationFields();
    void OfferBindHosts();
    void ShowDialNowCaption();

    QCheckBox* ActivatedCheckBox = nullptr;
    QGroupBox* OptionsGroupBox = nullptr;
    QLabel* LocalIPLabel = nullptr;
    QLineEdit* LocalIPEdit = nullptr;
    QLabel* LocalPortLabel = nullptr;
    QLineEdit* LocalPortEdit = nullptr;
    QLabel* LocalPortHint = nullptr;
    QLabel* LocalIPHint = nullptr; // when the address reaches only this computer
    QLabel* Label12 = nullptr;
    QLabel* ListBoxLabel = nullptr;
    QListWidget* ListBox = nullptr;
    QGroupBox* ValuesGroupBox = nullptr;
    QLabel* SourceIPLabel = nullptr;
    QComboBox* SourceIPComboBox = nullptr;
    QLabel* SourcePortLabel = nullptr;
    QLineEdit* SourcePortEdit = nullptr;
    QLabel* SourcePortHint = nullptr;
    QLabel* DestTypeLabel = nullptr;
    QComboBox* DestTypeComboBox = nullptr;
    QLabel* DestIPLabel = nullptr;
    QLineEdit* DestIPEdit = nullptr;
    QLabel* DestPortLabel = nullptr;
    QLineEdit* DestPortEdit = nullptr;
    QLabel* DestPortHint = nullptr;
    QCheckBox* TriggerCheckBox = nullptr;
    QPushButton* NewButton = nullptr;
    QPushButton* SetButton = nullptr;
    QPushButton* ClearButton = nullptr;
    QCheckBox* DnsCheckBox = nullptr;
    QLineEdit* DnsEdit = nullptr;
    QCheckBox* DnsDialCheckBox = nullptr;
    QCheckBox* DialCheckbox = nullptr;
    QGroupBox* DialGroupBox = nullptr;
    QComboBox* PhoneBookComboBox = nullptr;
    QLabel* UsernameLabel = nullptr;
    QLineEdit* UsernameEdit = nullptr;
    QLabel* PasswordLabel = nullptr;
    QLineEdit* PasswordEdit = nullptr;
    QLabel* DisconnectLabel = nullptr;
    QSpinBox* DisconnectEdit = nullptr;
    QLabel* SecondsLabel = nullptr;
    QCheckBox* AskBeforeDialCheckBox = nullptr;
    QCheckBox* AskBeforeHangUpCheckBox = nullptr;
    QPushButton* DialNow = nullptr;
    QCheckBox* LogCheckBox = nullptr; // never shown; keeps "ProxyServerLogAll"
    QPushButton* OKButton = nullptr;
    QTimer* Timer1 = nullptr;

private:
    void CreateControls();
    void FormCreate();
    // The line last chosen in the list; a click beside the lines keeps it, as the fields still
    // show it.
    std::optional<TMappingLine> SelectedMapping;
    TMappingFields MappingFields() const;
    void ShowMappingFields(const TMappingFields& fields);
    void RefreshPortHints();
    void RefreshAddressHint();

    TProxyOptions Options;
};

} // namespace harbolt
