#include "ui/MailCheckOptionsForm.h"

#include "ui/Fields.h"

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
#include <QVBoxLayout>

namespace harbolt {

TMailCheckOptionsForm::TMailCheckOptionsForm(QWidget* parent) : QDialog(parent) {
    CreateControls();
    FormCreate();
}

void TMailCheckOptionsForm::CreateControls() {
    setObjectName("MailCheckOptionsForm");
    setWindowTitle(TableText(117));

    GroupBox1 = Named(new QGroupBox(TableText(98), this), "GroupBox1");
    ListBox = Named(new QListWidget(GroupBox1), "ListBox");
    ListBox->setAccessibleName(TableText(98));
    PopNameEdit = Named(new QLineEdit(GroupBox1), "PopNameEdit");
    Label1 = LabelFor(TableText(99), *PopNameEdit, "Label1", GroupBox1);
    PopServerEdit = Named(new QLineEdit(GroupBox1), "PopServerEdit");
    Label2 = LabelFor(TableText(100), *PopServerEdit, "Label2", GroupBox1);
    PopUserEdit = Named(new QLineEdit(GroupBox1), "PopUserEdit");
    Label3 = LabelFor(TableText(101), *PopUserEdit, "Label3", GroupBox1);
    PopPassEdit = Named(new QLineEdit(GroupBox1), "PopPassEdit");
    Label4 = LabelFor(TableText(102), *PopPassEdit, "Label4", GroupBox1);
    MaskWithAsterisks(*PopPassEdit);
    ActionComboBox = Named(new QComboBox(GroupBox1), "ActionComboBox");
    ActionComboBox->addItems({TableText(114), TableText(115), TableText(116)});
    Label10 = LabelFor(TableText(103), *ActionComboBox, "Label10", GroupBox1);
    NewButton = Named(new QPushButton(TableText(104), GroupBox1), "NewButton");
    SetButton = Named(new QPushButton(TableText(105), GroupBox1), "SetButton");
    ClearButton = Named(new QPushButton(TableText(106), GroupBox1), "ClearButton");

    auto* fields = new QGridLayout;
    fields->addWidget(Label1, 0, 0);
    fields->addWidget(PopNameEdit, 0, 1);
    fields->addWidget(Label2, 1, 0);
    fields->addWidget(PopServerEdit, 1, 1);
    fields->addWidget(Label3, 2, 0);
    fields->addWidget(PopUserEdit, 2, 1);
    fields->addWidget(Label4, 3, 0);
    fields->addWidget(PopPassEdit, 3, 1);
    fields->addWidget(Label10, 4, 0, 1, 2);
    fields->addWidget(ActionComboBox, 5, 0, 1, 2);
    fields->setRowStretch(6, 1);
    auto* list = new QVBoxLayout;
    list->addWidget(ListBox, 1);
    auto* commands = new QHBoxLayout;
    commands->addWidget(NewButton);
    commands->addWidget(SetButton);
    commands->addWidget(ClearButton);
    list->addLayout(commands);
    auto* mailboxes = new QHBoxLayout(GroupBox1);
    mailboxes->addLayout(list, 2);
    mailboxes->addLayout(fields, 3);

    GroupBox2 = Named(new QGroupBox(TableText(107), this), "GroupBox2");
    Label5 = Named(new QLabel(TableText(108), GroupBox2), "Label5");
    FrequencySpinEdit = Named(new QSpinBox(GroupBox2), "FrequencySpinEdit");
    FrequencySpinEdit->setRange(1, 60);
    Label6 = Named(new QLabel(TableText(109), GroupBox2), "Label6");
    Label6->setBuddy(FrequencySpinEdit);
    Label7 = Named(new QLabel(TableText(110), GroupBox2), "Label7");
    FrequencySpinEdit->setAccessibleName(
        QStringList({TableText(108), TableText(109), TableText(110)}).join(' ').simplified());
    TriggerCheckBox = Named(new QCheckBox(TableText(112), GroupBox2), "TriggerCheckBox");
    Label8 = LabelFor(TableText(111), *TriggerCheckBox, "Label8", GroupBox2);
    TriggerCheckBox->setAccessibleName(TableText(111) + " " + TableText(112));
    WavEdit = Named(new QLineEdit(GroupBox2), "WavEdit");
    Label9 = LabelFor(TableText(113), *WavEdit, "Label9", GroupBox2);

    auto* frequency = new QHBoxLayout;
    frequency->addWidget(Label5);
    frequency->addWidget(Label6);
    frequency->addWidget(FrequencySpinEdit);
    frequency->addWidget(Label7);
    frequency->addStretch();
    auto* more = new QVBoxLayout(GroupBox2);
    more->addLayout(frequency);
    more->addWidget(Label8);
    more->addWidget(TriggerCheckBox);
    more->addWidget(Label9);
    more->addWidget(WavEdit);

    OKButton = Named(new QPushButton(TableText(37), this), "OKButton");
    OKButton->setDefault(true);
    auto* bottom = new QHBoxLayout;
    bottom->addStretch();
    bottom->addWidget(OKButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(GroupBox1, 1);
    layout->addWidget(GroupBox2);
    layout->addLayout(bottom);

    connect(NewButton, &QPushButton::clicked, this, [this] { NewButtonClick(); });
    connect(SetButton, &QPushButton::clicked, this, [this] { SetButtonClick(); });
    connect(ClearButton, &QPushButton::clicked, this, [this] { ClearButtonClick(); });
    connect(OKButton, &QPushButton::clicked, this, [this] { OKButtonClick(); });
    connect(ListBox, &QListWidget::itemClicked, this, [this] { ListBoxDblClick(); });
    connect(ListBox, &QListWidget::itemDoubleClicked, this, [this] { ListBoxDblClick(); });
    connect(ListBox, &QListWidget::itemSelectionChanged, this, [this] {
        if (!ListBox->selectedItems().isEmpty()) // the keyboard selects too
            ListBoxDblClick();
    });
}

void TMailCheckOptionsForm::FormCreate() {
    const TMailDialogSettings settings = Options.Settings();
    FrequencySpinEdit->setValue(settings.Frequency);
    TriggerCheckBox->setChecked(settings.Trigger);
    WavEdit->setText(Q(settings.SoundFile));
    RefreshAccountList();

    // About the design's 472 x 433 at 96 dpi, in letters so that it scales.
    const QFontMetrics metrics(font());
    resize(std::max(sizeHint().width(), metrics.averageCharWidth() * 84),
           std::max(sizeHint().height(), metrics.height() * 27));
}

void TMailCheckOptionsForm::RefreshAccountList() {
    {
        const QSignalBlocker blocker(ListBox);
        ListBox->clear();
        for (const TMailboxLine& line : Options.Lines()) {
            auto* item = new QListWidgetItem(Q(line.Name), ListBox);
            item->setData(Qt::UserRole, QVariant::fromValue<qulonglong>(line.Mailbox));
        }
    }
    ShowFields({});
    SelectedAccount = kNoMailbox;
}

void TMailCheckOptionsForm::ShowFields(const TMailboxFields& fields) {
    PopNameEdit->setText(Q(fields.Name));
    PopServerEdit->setText(Q(fields.Server));
    PopUserEdit->setText(Q(fields.User));
    PopPassEdit->setText(Q(fields.Password));
    ActionComboBox->setCurrentIndex(fields.ActionEntry);
}

void TMailCheckOptionsForm::ShowSelectedAccount() {
    const std::optional<TMailboxFields> fields =
        SelectedAccount == kNoMailbox ? std::nullopt : Options.Mailbox(SelectedAccount);
    ShowFields(fields.value_or(TMailboxFields{}));
}

void TMailCheckOptionsForm::StoreAccount() {
    TMailboxFields fields;
    fields.Name = S(PopNameEdit->text());
    fields.Server = S(PopServerEdit->text());
    fields.User = S(PopUserEdit->text());
    fields.Password = S(PopPassEdit->text());
    fields.ActionEntry = ActionComboBox->currentIndex();
    SelectedAccount = Options.StoreMailbox(SelectedAccount, fields);
    RefreshAccountList();
}

void TMailCheckOptionsForm::NewButtonClick() {
    RefreshAccountList();
}

void TMailCheckOptionsForm::SetButtonClick() {
    if (!PopNameEdit->text().isEmpty())
        StoreAccount();
}

void TMailCheckOptionsForm::ClearButtonClick() {
    if (SelectedAccount != kNoMailbox)
        Options.RemoveMailbox(SelectedAccount);
    RefreshAccountList();
}

void TMailCheckOptionsForm::ListBoxDblClick() {
    const QList<QListWidgetItem*> selected = ListBox->selectedItems();
    SelectedAccount =
        selected.isEmpty() ? kNoMailbox : selected.front()->data(Qt::UserRole).toULongLong();
    ShowSelectedAccount();
}

void TMailCheckOptionsForm::OKButtonClick() {
    Options.ApplySettings(
        {FrequencySpinEdit->value(), TriggerCheckBox->isChecked(), S(WavEdit->text())});
    done(1);
}

} // namespace harbolt
