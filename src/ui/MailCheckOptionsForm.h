#pragma once

#include "mail/MailOptions.h"

#include <QDialog>

#include <cstdint>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSpinBox;

// The mail settings dialog: the mailboxes to check, and how often, whether a check may dial and
// which sound announces new mail. Set and Clear change the mailboxes at once; the shared settings
// are taken over by OK.
namespace harbolt {

class TMailCheckOptionsForm : public QDialog {
public:
    explicit TMailCheckOptionsForm(QWidget* parent = nullptr);

    void NewButtonClick();
    void SetButtonClick();
    void ClearButtonClick();
    void ListBoxDblClick();
    void OKButtonClick();

    void RefreshAccountList();
    void ShowSelectedAccount();
    void StoreAccount();

    // The mailbox shown in the fields; kNoMailbox: Set makes a new one.
    std::uint64_t SelectedAccount = kNoMailbox;

    QGroupBox* GroupBox1 = nullptr;
    QListWidget* ListBox = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* PopNameEdit = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* PopServerEdit = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* PopUserEdit = nullptr;
    QLabel* Label4 = nullptr;
    QLineEdit* PopPassEdit = nullptr;
    QLabel* Label10 = nullptr;
    QComboBox* ActionComboBox = nullptr;
    QPushButton* NewButton = nullptr;
    QPushButton* SetButton = nullptr;
    QPushButton* ClearButton = nullptr;
    QGroupBox* GroupBox2 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label6 = nullptr;
    QSpinBox* FrequencySpinEdit = nullptr;
    QLabel* Label7 = nullptr;
    QLabel* Label8 = nullptr;
    QCheckBox* TriggerCheckBox = nullptr;
    QLabel* Label9 = nullptr;
    QLineEdit* WavEdit = nullptr;
    QPushButton* OKButton = nullptr;

private:
    void CreateControls();
    void FormCreate();
    void ShowFields(const TMailboxFields& fields);

    TMailOptions Options;
};

} // namespace harbolt
