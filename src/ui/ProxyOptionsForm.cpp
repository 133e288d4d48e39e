#include "ui/ProxyOptionsForm.h"

#include "app/Instance.h"
#include "platform/Languages.h"
#include "proxy/Mapping.h"
#include "ui/Fields.h"
#include "ui/MessageForm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#include <climits>

namespace harbolt {

namespace {

// The destination types of a mapping, in the order of TMappingType; the fifth is text 76.
QStringList DestinationTypes() {
    return {"HTTP-Proxy", "SOCKS5-Proxy", "FTP-Proxy", "POP3-Proxy", TableText(76)};
}

} // namespace

TProxyOptionsForm::TProxyOptionsForm(TInstance& instance, QWidget* parent)
    : QDialog(parent), Options(instance) {
    CreateControls();
    FormCreate();
}

void TProxyOptionsForm::CreateControls() {
    setObjectName("ProxyOptionsForm");
    setWindowTitle(TableText(93));

    ActivatedCheckBox = Named(new QCheckBox(TableText(64), this), "ActivatedCheckBox");
    OptionsGroupBox = Named(new QGroupBox(TableText(65), this), "OptionsGroupBox");
    LocalIPEdit = Named(new QLineEdit(OptionsGroupBox), "LocalIPEdit");
    LocalIPLabel = LabelFor(TableText(66), *LocalIPEdit, "LocalIPLabel", OptionsGroupBox);
    LocalIPLabel->setWordWrap(true);
    LocalPortEdit = Named(new QLineEdit(OptionsGroupBox), "LocalPortEdit");
    LocalPortLabel = LabelFor(TableText(67), *LocalPortEdit, "LocalPortLabel", OptionsGroupBox);
    // Three fields are captioned "port": their names for screen readers tell them apart.
    LocalPortEdit->setAccessibleName(OwnText("local port", "lokaler Port"));
    LocalPortHint = MakePortHint(*LocalPortEdit, OptionsGroupBox);
    LocalIPHint = MakeHint("LocalIPHint", OptionsGroupBox);
    Label12 = Named(new QLabel(TableText(68), OptionsGroupBox), "Label12");
    Label12->setWordWrap(true);

    ListBox = Named(new QListWidget(OptionsGroupBox), "ListBox");
    ListBoxLabel = LabelFor(TableText(69), *ListBox, "ListBoxLabel", OptionsGroupBox);

    ValuesGroupBox = Named(new QGroupBox(TableText(70), OptionsGroupBox), "ValuesGroupBox");
    SourceIPComboBox = Named(new QComboBox(ValuesGroupBox), "SourceIPComboBox");
    SourceIPComboBox->setEditable(true);
    SourceIPComboBox->setInsertPolicy(QComboBox::NoInsert);
    SourceIPComboBox->setCompleter(nullptr); // what is typed stays as typed
    SourceIPLabel = LabelFor(TableText(71), *SourceIPComboBox, "SourceIPLabel", ValuesGroupBox);
    SourcePortEdit = Named(new QLineEdit(ValuesGroupBox), "SourcePortEdit");
    SourcePortLabel = LabelFor(TableText(72), *SourcePortEdit, "SourcePortLabel", ValuesGroupBox);
    SourcePortEdit->setAccessibleName(OwnText("bind port", "Bind-Port"));
    SourcePortHint = MakePortHint(*SourcePortEdit, ValuesGroupBox);
    DestTypeComboBox = Named(new QComboBox(ValuesGroupBox), "DestTypeComboBox");
    DestTypeComboBox->addItems(DestinationTypes());
    DestTypeLabel = LabelFor(TableText(73), *DestTypeComboBox, "DestTypeLabel", ValuesGroupBox);
    DestIPEdit = Named(new QLineEdit(ValuesGroupBox), "DestIPEdit");
    DestIPLabel = LabelFor(TableText(74), *DestIPEdit, "DestIPLabel", ValuesGroupBox);
    DestPortEdit = Named(new QLineEdit(ValuesGroupBox), "DestPortEdit");
    DestPortLabel = LabelFor(TableText(75), *DestPortEdit, "DestPortLabel", ValuesGroupBox);
    DestPortEdit->setAccessibleName(OwnText("destination port", "Ziel-Port"));
    DestPortHint = MakePortHint(*DestPortEdit, ValuesGroupBox);
    TriggerCheckBox = Named(new QCheckBox(TableText(77), ValuesGroupBox), "TriggerCheckBox");

    auto* values = new QGridLayout(ValuesGroupBox);
    values->addWidget(SourceIPLabel, 0, 0);
    values->addWidget(SourceIPComboBox, 0, 1);
    values->addWidget(SourcePortLabel, 0, 2);
    values->addWidget(SourcePortEdit, 0, 3);
    values->addWidget(SourcePortHint, 1, 1, 1, 3, Qt::AlignRight);
    values->addWidget(DestTypeLabel, 2, 0);
    values->addWidget(DestTypeComboBox, 2, 1);
    values->addWidget(DestIPLabel, 3, 0);
    values->addWidget(DestIPEdit, 3, 1);
    values->addWidget(DestPortLabel, 3, 2);
    values->addWidget(DestPortEdit, 3, 3);
    values->addWidget(DestPortHint, 4, 1, 1, 3, Qt::AlignRight);
    values->addWidget(TriggerCheckBox, 5, 0, 1, 4);
    values->setColumnStretch(1, 3);
    values->setColumnStretch(3, 1);

    NewButton = Named(new QPushButton(TableText(78), OptionsGroupBox), "NewButton");
    SetButton = Named(new QPushButton(TableText(79), OptionsGroupBox), "SetButton");
    ClearButton = Named(new QPushButton(TableText(80), OptionsGroupBox), "ClearButton");
    DnsCheckBox = Named(new QCheckBox(TableText(94), OptionsGroupBox), "DnsCheckBox");
    DnsEdit = Named(new QLineEdit(OptionsGroupBox), "DnsEdit");
    DnsEdit->setAccessibleName(OwnText("DNS server", "DNS-Server"));
    DnsDialCheckBox = Named(new QCheckBox(TableText(95), OptionsGroupBox), "DnsDialCheckBox");
    LogCheckBox = Named(new QCheckBox("alle Zugriffe aufzeichnen", this), "LogCheckBox");
    LogCheckBox->hide();

    auto* options = new QGridLayout(OptionsGroupBox);
    options->addWidget(LocalIPLabel, 0, 0, 1, 4);
    options->addWidget(LocalIPEdit, 1, 0);
    options->addWidget(LocalPortLabel, 1, 1);
    options->addWidget(LocalPortEdit, 1, 2);
    options->addWidget(LocalPortHint, 2, 0, 1, 3, Qt::AlignRight);
    options->addWidget(LocalIPHint, 3, 0, 1, 4);
    options->addWidget(Label12, 4, 0, 1, 4);
    options->addWidget(ListBoxLabel, 5, 0, 1, 4);
    options->addWidget(ListBox, 6, 0, 1, 4);
    options->addWidget(ValuesGroupBox, 7, 0, 1, 4);
    auto* commands = new QHBoxLayout;
    commands->addWidget(NewButton);
    commands->addWidget(SetButton);
    commands->addWidget(ClearButton);
    commands->addStretch();
    options->addLayout(commands, 8, 0, 1, 4);
    // The caption is long (in German longer still): the server gets a line of its own.
    options->addWidget(DnsCheckBox, 9, 0, 1, 4);
    auto* dns = new QHBoxLayout;
    dns->addSpacing(style()->pixelMetric(QStyle::PM_IndicatorWidth) +
                    style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing));
    dns->addWidget(DnsEdit, 1);
    options->addLayout(dns, 10, 0, 1, 4);
    options->addWidget(DnsDialCheckBox, 11, 0, 1, 4);
    options->setColumnStretch(0, 3);
    options->setColumnStretch(2, 1);

    DialCheckbox = Named(new QCheckBox(TableText(81), this), "DialCheckbox");
    DialGroupBox = Named(new QGroupBox(TableText(82), this), "DialGroupBox");
    PhoneBookComboBox = Named(new QComboBox(DialGroupBox), "PhoneBookComboBox");
    PhoneBookComboBox->setEditable(true);
    PhoneBookComboBox->setInsertPolicy(QComboBox::NoInsert);
    PhoneBookComboBox->setCompleter(nullptr);
    PhoneBookComboBox->setAccessibleName(TableText(82));
    UsernameEdit = Named(new QLineEdit(DialGroupBox), "UsernameEdit");
    UsernameLabel = LabelFor(TableText(83), *UsernameEdit, "UsernameLabel", DialGroupBox);
    PasswordEdit = Named(new QLineEdit(DialGroupBox), "PasswordEdit");
    PasswordLabel = LabelFor(TableText(84), *PasswordEdit, "PasswordLabel", DialGroupBox);
    MaskWithAsterisks(*PasswordEdit);
    DisconnectEdit = Named(new QSpinBox(DialGroupBox), "DisconnectEdit");
    DisconnectEdit->setRange(INT_MIN, INT_MAX);
    DisconnectLabel = LabelFor(TableText(85), *DisconnectEdit, "DisconnectLabel", DialGroupBox);
    DisconnectEdit->setAccessibleName(TableText(85) + " " + TableText(86) + " " + TableText(92));
    SecondsLabel =
        Named(new QLabel(TableText(86) + " " + TableText(92), DialGroupBox), "SecondsLabel");
    AskBeforeDialCheckBox =
        Named(new QCheckBox(TableText(87), DialGroupBox), "AskBeforeDialCheckBox");
    AskBeforeHangUpCheckBox =
        Named(new QCheckBox(TableText(88), DialGroupBox), "AskBeforeHangUpCheckBox");
    DialNow = Named(new QPushButton(TableText(89), DialGroupBox), "DialNow");

    auto* dial = new QGridLayout(DialGroupBox);
    dial->addWidget(PhoneBookComboBox, 0, 0, 1, 3);
    dial->addWidget(UsernameLabel, 1, 0, 1, 3);
    dial->addWidget(UsernameEdit, 2, 0, 1, 3);
    dial->addWidget(PasswordLabel, 3, 0, 1, 3);
    dial->addWidget(PasswordEdit, 4, 0, 1, 3);
    dial->addWidget(DisconnectLabel, 5, 0);
    dial->addWidget(DisconnectEdit, 5, 1);
    dial->addWidget(SecondsLabel, 6, 0, 1, 3);
    dial->addWidget(AskBeforeDialCheckBox, 7, 0, 1, 3);
    dial->addWidget(AskBeforeHangUpCheckBox, 8, 0, 1, 3);
    dial->addWidget(DialNow, 9, 0, 1, 3);
    dial->setRowStretch(10, 1);

    OKButton = Named(new QPushButton(TableText(37), this), "OKButton");
    OKButton->setDefault(true);

    auto* left = new QVBoxLayout;
    left->addWidget(ActivatedCheckBox);
    left->addWidget(OptionsGroupBox, 1);
    auto* right = new QVBoxLayout;
    right->addWidget(DialCheckbox);
    right->addWidget(DialGroupBox, 1);
    auto* panels = new QHBoxLayout;
    panels->addLayout(left, 3);
    panels->addLayout(right, 2);
    auto* bottom = new QHBoxLayout;
    bottom->addStretch();
    bottom->addWidget(OKButton);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(panels, 1);
    layout->addLayout(bottom);

    // A click on a check box and a change made while filling the dialog are handled alike.
    connect(ActivatedCheckBox, &QCheckBox::toggled, this, [this] { ActivatedCheckBoxClick(); });
    connect(DialCheckbox, &QCheckBox::toggled, this, [this] { DialCheckboxClick(); });
    connect(ListBox, &QListWidget::itemClicked, this, [this] { ListBoxClick(); });
    connect(ListBox, &QListWidget::itemSelectionChanged, this, [this] {
        if (!ListBox->selectedItems().isEmpty()) // the keyboard selects too
            ListBoxClick();
    });
    connect(NewButton, &QPushButton::clicked, this, [this] { NewButtonClick(); });
    connect(SetButton, &QPushButton::clicked, this, [this] { SetButtonClick(); });
    connect(ClearButton, &QPushButton::clicked, this, [this] { ClearButtonClick(); });
    connect(OKButton, &QPushButton::clicked, this, [this] { OKButtonClick(); });
    connect(DialNow, &QPushButton::clicked, this, [this] { DialNowClick(); });
    connect(LocalIPEdit, &QLineEdit::textChanged, this, [this] { LocalIPEditChange(); });
    connect(DestTypeComboBox, &QComboBox::currentIndexChanged, this,
            [this] { DestTypeComboBoxChange(); });
    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
}

void TProxyOptionsForm::FormCreate() {
    const TProxyDialogFields stored = Options.Read();
    ActivatedCheckBox->setChecked(stored.ProxyActive);
    DialCheckbox->setChecked(stored.DialEnabled);
    DialGroupBox->setEnabled(DialCheckbox->isChecked());
    if (stored.AddressStored) {
        LocalIPEdit->setText(Q(stored.LocalHost));
        LocalPortEdit->setText(Q(stored.LocalPort));
    }
    ReloadMappings();
    PhoneBookComboBox->clear();
    for (const std::string& entry : Options.PhoneBookEntries())
        PhoneBookComboBox->addItem(Q(entry));
    PhoneBookComboBox->setEditText(Q(stored.PhoneBookEntry));
    UsernameEdit->setText(Q(stored.Username));
    PasswordEdit->setText(Q(stored.Password));
    DisconnectEdit->setValue(Q(stored.DisconnectAfter).toInt());
    AskBeforeDialCheckBox->setChecked(stored.AskBeforeDialing);
    AskBeforeHangUpCheckBox->setChecked(stored.AskBeforeHangingUp);
    LogCheckBox->setChecked(stored.LogAll);
    DnsCheckBox->setChecked(stored.DnsEnabled);
    DnsDialCheckBox->setChecked(stored.DnsDial);
    DnsEdit->setText(Q(stored.DnsServer));
    ShowDialNowCaption();
    OfferBindHosts();
    Timer1->start();

    // About the design's 504 x 464 at 96 dpi, in letters so that it scales.
    const QFontMetrics metrics(font());
    resize(std::max(sizeHint().width(), metrics.averageCharWidth() * 90),
           std::max(sizeHint().height(), metrics.height() * 29));
}

void TProxyOptionsForm::ActivatedCheckBoxClick() {
    const bool active = ActivatedCheckBox->isChecked();
    OptionsGroupBox->setEnabled(active);
    Options.SetProxyEnabled(active);
    if (active && LocalIPEdit->text().isEmpty()) {
        LocalIPEdit->setText(Q(Options.LocalHostName()));
        LocalPortEdit->setText("1977");
    }
    ReloadMappings();
}

void TProxyOptionsForm::DialCheckboxClick() {
    DialGroupBox->setEnabled(DialCheckbox->isChecked());
    Options.SetDialEnabled(DialCheckbox->isChecked());
}

void TProxyOptionsForm::ReloadMappings() {
    if (!Options.ProxyEnabled()) {
        OptionsGroupBox->setEnabled(false);
        ValuesGroupBox->setEnabled(false);
    } else {
        OptionsGroupBox->setEnabled(true);
        {
            const QSignalBlocker blocker(ListBox);
            ListBox->clear();
            for (const TMappingLine& line : Options.Mappings()) {
                auto* item = new QListWidgetItem(Q(line.Text), ListBox);
                item->setData(Qt::UserRole, line.Index);
            }
            ListBox->setCurrentRow(-1);
            ListBox->clearSelection();
        }
        SelectedMapping.reset();
        ShowMappingFields({});
        ValuesGroupBox->setEnabled(true);
    }
    ShowDestinationFields();
}

void TProxyOptionsForm::ShowDestinationFields() {
    const bool forwarding = DestTypeComboBox->currentText() == TableText(76);
    DestIPLabel->setVisible(forwarding);
    DestIPEdit->setVisible(forwarding);
    DestPortLabel->setVisible(forwarding);
    DestPortEdit->setVisible(forwarding);
    RefreshPortHints();
}

void TProxyOptionsForm::OfferBindHosts() {
    const QString text = SourceIPComboBox->currentText();
    const QSignalBlocker blocker(SourceIPComboBox);
    SourceIPComboBox->clear();
    SourceIPComboBox->addItems({LocalIPEdit->text(), "127.0.0.1"});
    SourceIPComboBox->setEditText(text);
}

void TProxyOptionsForm::ShowDialNowCaption() {
    DialNow->setText(TableText(Options.OwnDialConnected() ? 90 : 89));
}

TMappingFields TProxyOptionsForm::MappingFields() const {
    TMappingFields fields;
    fields.BindHost = S(SourceIPComboBox->currentText());
    fields.BindPort = S(SourcePortEdit->text());
    fields.Type = static_cast<TMappingType>(DestTypeComboBox->currentIndex());
    fields.DestinationHost = S(DestIPEdit->text());
    fields.DestinationPort = S(DestPortEdit->text());
    fields.Trigger = TriggerCheckBox->isChecked();
    return fields;
}

void TProxyOptionsForm::ShowMappingFields(const TMappingFields& fields) {
    SourceIPComboBox->setEditText(Q(fields.BindHost));
    SourcePortEdit->setText(Q(fields.BindPort));
    DestTypeComboBox->setCurrentIndex(static_cast<int>(fields.Type));
    DestIPEdit->setText(Q(fields.DestinationHost));
    DestPortEdit->setText(Q(fields.DestinationPort));
    TriggerCheckBox->setChecked(fields.Trigger);
}

void TProxyOptionsForm::RefreshPortHints() {
    RefreshPortHint(*LocalPortHint, *LocalPortEdit);
    RefreshPortHint(*SourcePortHint, *SourcePortEdit);
    RefreshPortHint(*DestPortHint, *DestPortEdit);
}

void TProxyOptionsForm::ListBoxClick() {
    const QList<QListWidgetItem*> selected = ListBox->selectedItems();
    if (selected.isEmpty())
        return;
    SelectedMapping =
        TMappingLine{selected.front()->data(Qt::UserRole).toInt(), S(selected.front()->text())};
    ShowMappingFields(SplitMappingText(SelectedMapping->Text, S(LocalIPEdit->text())));
    ShowDestinationFields();
}

void TProxyOptionsForm::NewButtonClick() {
    ReloadMappings();
}

void TProxyOptionsForm::SetButtonClick() {
    const std::string text = JoinMappingFields(MappingFields(), S(LocalIPEdit->text()));
    if (!Options.StoreMapping(SelectedMapping, text)) {
        LocalShowMessage(LanguageText(91));
        return;
    }
    ReloadMappings();
}

void TProxyOptionsForm::ClearButtonClick() {
    if (SelectedMapping)
        Options.RemoveMapping(*SelectedMapping);
    ReloadMappings();
}

void TProxyOptionsForm::OKButtonClick() {
    TProxyDialogFields fields;
    fields.ProxyActive = ActivatedCheckBox->isChecked();
    fields.LocalHost = S(LocalIPEdit->text());
    fields.LocalPort = S(LocalPortEdit->text());
    fields.DialEnabled = DialCheckbox->isChecked();
    fields.PhoneBookEntry = S(PhoneBookComboBox->currentText());
    fields.Username = S(UsernameEdit->text());
    fields.Password = S(PasswordEdit->text());
    fields.DisconnectAfter = std::to_string(DisconnectEdit->value());
    fields.AskBeforeDialing = AskBeforeDialCheckBox->isChecked();
    fields.AskBeforeHangingUp = AskBeforeHangUpCheckBox->isChecked();
    fields.LogAll = LogCheckBox->isChecked();
    fields.DnsEnabled = DnsCheckBox->isChecked();
    fields.DnsDial = DnsDialCheckBox->isChecked();
    fields.DnsServer = S(DnsEdit->text());
    Options.Apply(fields);
    done(1);
}

void TProxyOptionsForm::Timer1Timer() {
    ShowDialNowCaption();
}

void TProxyOptionsForm::DialNowClick() {
    Options.DialNow();
    ShowDialNowCaption();
}

void TProxyOptionsForm::LocalIPEditChange() {
    OfferBindHosts();
    RefreshAddressHint();
}

void TProxyOptionsForm::RefreshAddressHint() {
    const QString host = LocalIPEdit->text().trimmed();
    const TAddressReach reach = Options.ReachOf(S(host));
    if (reach.LoopbackAddress.empty()) {
        LocalIPHint->hide();
        LocalIPEdit->setAccessibleDescription({});
        return;
    }
    QStringList others;
    for (const std::string& address : reach.LanAddresses)
        others << Q(address);
    const QString text =
        others.isEmpty()
            ? OwnText("%1 reaches only this computer (%2): type its address on the local net.",
                      "%1 erreicht nur diesen Computer (%2): bitte seine Adresse im lokalen Netz "
                      "eintragen.")
                  .arg(host, Q(reach.LoopbackAddress))
            : OwnText("%1 reaches only this computer (%2); the others reach it at %3.",
                      "%1 erreicht nur diesen Computer (%2); die anderen erreichen ihn unter %3.")
                  .arg(host, Q(reach.LoopbackAddress), others.join(OwnText(" or ", " oder ")));
    LocalIPHint->setText(text);
    LocalIPHint->show();
    LocalIPEdit->setAccessibleDescription(text);
}

void TProxyOptionsForm::DestTypeComboBoxChange() {
    ShowDestinationFields();
}

} // namespace harbolt
