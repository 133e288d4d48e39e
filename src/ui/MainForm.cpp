#include "ui/MainForm.h"

#include "app/Instance.h"
#include "app/Sound.h"
#include "database/ComputerData.h"
#include "database/Journal.h"
#include "dialup/DialBudget.h"
#include "platform/CodePage.h"
#include "platform/Exceptions.h"
#include "platform/Languages.h"
#include "ui/AboutForm.h"
#include "ui/DateForm.h"
#include "ui/Fields.h"
#include "ui/MailCheckOptionsForm.h"
#include "ui/MessageForm.h"
#include "ui/OverviewForm.h"
#include "ui/ProxyOptionsForm.h"
#include "ui/UrlLabel.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QVBoxLayout>

#include <algorithm>
#include <initializer_list>

namespace harbolt {

namespace {

std::string U(const std::string& cp1252) {
    return Cp1252ToUtf8(cp1252);
}

QLabel* BoldLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

// The overall tab's title: the product's name and, under it, what it does.
class TPaintBox : public QWidget {
public:
    explicit TPaintBox(QWidget* parent) : QWidget(parent) {
        setObjectName("PaintBox1");
        setAccessibleName("Harbolt");
        setMinimumHeight(fontMetrics().height() * 8);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        QFont title("Times New Roman", 24);
        painter.setFont(title);
        const QFontMetrics titleMetrics(title);
        const QString name = "Harbolt";
        const int titleHeight = titleMetrics.height();
        const int left = (width() - titleMetrics.horizontalAdvance(name)) / 2;
        const int top = (height() - titleHeight) / 2;
        painter.drawText(left, top + titleMetrics.ascent(), name);

        QFont second("Arial", 12);
        painter.setFont(second);
        const QFontMetrics secondMetrics(second);
        const QString line = Language() == TLanguage::German
                                 ? QString::fromUtf8("Ein Internet-Zugang für das ganze Netz")
                                 : QString("One Internet link for the whole network");
        const int secondTop = (height() + titleHeight) / 2 + 4;
        painter.drawText((width() - secondMetrics.horizontalAdvance(line)) / 2,
                         secondTop + secondMetrics.ascent(), line);
    }
};

void SetVisible(QWidget* widget, bool visible) {
    if (widget->isVisibleTo(widget->parentWidget()) != visible)
        widget->setVisible(visible);
}

void SetVisible(QAction* action, bool visible) {
    if (action->isVisible() != visible)
        action->setVisible(visible);
}

// Fills a list with lines (Windows-1252) without a word to its handlers; the selected line stays
// selected when it is still there.
void ReplaceLines(QListWidget& list, const std::vector<std::string>& lines) {
    const QString selected = list.currentItem() != nullptr ? list.currentItem()->text() : QString();
    const QSignalBlocker quiet(&list);
    list.clear();
    for (const std::string& line : lines)
        list.addItem(Q(U(line)));
    const auto kept = list.findItems(selected, Qt::MatchExactly);
    if (!selected.isEmpty() && !kept.isEmpty())
        list.setCurrentItem(kept.front());
}

TSystemTime ToSystemTime(const TDate& date) {
    TSystemTime time;
    time.Year = static_cast<std::uint16_t>(date.Year);
    time.Month = static_cast<std::uint16_t>(date.Month);
    time.Day = static_cast<std::uint16_t>(date.Day);
    return time;
}

} // namespace

TMainForm::TMainForm(TInstance& instance, QWidget* parent) : QWidget(parent), Instance(instance) {
    setObjectName("MainForm");
    PlaySoundFile = [](const std::string& name) { harbolt::PlaySoundFile(name); };
    TrayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    CreateControls();
    CreateTray();
}

TMainForm::~TMainForm() {
    if (TrayIcon1 != nullptr)
        TrayIcon1->hide();
    // They are windows of their own, but they work on the instance this window sits on.
    delete AboutSlot;
    delete ProxyOptionsSlot;
    delete MailOptionsSlot;
}

void TMainForm::CreateControls() {
    setWindowTitle("Harbolt");
    auto* layout = new QVBoxLayout(this);

    TabControl = new QTabBar(this);
    TabControl->setObjectName("TabControl");
    TabControl->setExpanding(false);
    TabControl->setUsesScrollButtons(true);
    TabControl->setAccessibleName(TableText(45));
    TabControl->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    layout->addWidget(TabControl);

    // The page under the tabs: the same controls for every tab.
    auto* page = new QFrame(this);
    page->setFrameShape(QFrame::StyledPanel);
    auto* pageLayout = new QVBoxLayout(page);
    layout->addWidget(page, 1);

    StatusPanel = new QFrame(page);
    StatusPanel->setObjectName("StatusPanel");
    StatusPanel->setFrameShape(QFrame::Panel);
    StatusPanel->setFrameShadow(QFrame::Sunken);
    StatusLabel = new QLabel(StatusPanel);
    StatusLabel->setObjectName("StatusLabel");
    StatusLabel->setWordWrap(true);
    StatusLabel->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    (new QVBoxLayout(StatusPanel))->addWidget(StatusLabel);
    pageLayout->addWidget(StatusPanel);

    GroupBox1 = new QGroupBox(TableText(1), page);
    GroupBox1->setObjectName("GroupBox1");
    ComputerDataListBox = new QListWidget(GroupBox1);
    ComputerDataListBox->setObjectName("ComputerDataListBox");
    ComputerDataListBox->setAccessibleName(TableText(1));
    ComputerDataListBox->setSelectionMode(QAbstractItemView::SingleSelection);
    ShowAllCheckBox = new QCheckBox(TableText(2), GroupBox1);
    ShowAllCheckBox->setObjectName("ShowAllCheckBox");
    KeyLabel = new QLabel(TableText(3), GroupBox1);
    KeyEdit = new QLineEdit(GroupBox1);
    KeyEdit->setObjectName("KeyEdit");
    KeyEdit->setAccessibleName(TableText(3));
    KeyLabel->setBuddy(KeyEdit);
    ValueLabel = new QLabel(TableText(4), GroupBox1);
    ValueEdit = new QLineEdit(GroupBox1);
    ValueEdit->setObjectName("ValueEdit");
    ValueEdit->setAccessibleName(TableText(4));
    ValueLabel->setBuddy(ValueEdit);
    SetKeyValue = new QPushButton(TableText(7), GroupBox1);
    SetKeyValue->setObjectName("SetKeyValue");
    CopyButton = new QPushButton(TableText(5), GroupBox1);
    CopyButton->setObjectName("CopyButton");
    InvalidateButton = new QPushButton(TableText(6), GroupBox1);
    InvalidateButton->setObjectName("InvalidateButton");
    auto* editor = new QVBoxLayout;
    editor->addWidget(ShowAllCheckBox);
    editor->addWidget(KeyLabel);
    editor->addWidget(KeyEdit);
    editor->addWidget(ValueLabel);
    editor->addWidget(ValueEdit);
    editor->addWidget(SetKeyValue);
    editor->addWidget(CopyButton);
    editor->addWidget(InvalidateButton);
    editor->addStretch();
    auto* group1Layout = new QHBoxLayout(GroupBox1);
    group1Layout->addWidget(ComputerDataListBox, 3);
    group1Layout->addLayout(editor, 2);
    pageLayout->addWidget(GroupBox1, 1);

    PaintBox1 = new TPaintBox(page);
    pageLayout->addWidget(PaintBox1, 1);

    auto* links = new QHBoxLayout;
    UrlLabel1 = new TUrlLabel(page);
    UrlLabel1->setObjectName("UrlLabel1");
    SetupDocumentationLink(*UrlLabel1);
    UrlLabel2 = new TUrlLabel(page);
    UrlLabel2->setObjectName("UrlLabel2");
    SetupDataFolderLink(*UrlLabel2, Q(Instance.DataDirectory()));
    links->addStretch();
    links->addWidget(UrlLabel1);
    links->addSpacing(fontMetrics().averageCharWidth() * 4);
    links->addWidget(UrlLabel2);
    links->addStretch();
    pageLayout->addLayout(links);

    // The dial-up statistics.
    GroupBox2 = new QGroupBox(TableText(8), page);
    GroupBox2->setObjectName("GroupBox2");
    auto* timeGroup = new QGroupBox(TableText(9), GroupBox2);
    auto* fromLabel = new QLabel(TableText(10), timeGroup);
    StartButton = new QPushButton(timeGroup);
    StartButton->setObjectName("StartButton");
    StartButton->setAccessibleName(TableText(10));
    fromLabel->setBuddy(StartButton);
    auto* toLabel = new QLabel(TableText(11), timeGroup);
    EndButton = new QPushButton(timeGroup);
    EndButton->setObjectName("EndButton");
    EndButton->setAccessibleName(TableText(11));
    toLabel->setBuddy(EndButton);
    auto* timeLayout = new QGridLayout(timeGroup);
    timeLayout->addWidget(fromLabel, 0, 0);
    timeLayout->addWidget(StartButton, 0, 1);
    timeLayout->addWidget(toLabel, 1, 0);
    timeLayout->addWidget(EndButton, 1, 1);

    auto* providerHeading = new QLabel(TableText(12), GroupBox2);
    RasConnectionListBox = new QListWidget(GroupBox2);
    RasConnectionListBox->setObjectName("RasConnectionListBox");
    RasConnectionListBox->setAccessibleName(TableText(12));
    RasConnectionListBox->setSelectionMode(QAbstractItemView::SingleSelection);
    providerHeading->setBuddy(RasConnectionListBox);
    auto* left = new QVBoxLayout;
    left->addWidget(timeGroup);
    left->addWidget(providerHeading);
    left->addWidget(RasConnectionListBox, 1);

    ProviderLabel = BoldLabel("", GroupBox2);
    ProviderLabel->setObjectName("ProviderLabel");
    CountLabel = new QLabel(QString::fromUtf8("Anzahl der Verbindungen:"), GroupBox2);
    CountValueLabel = new QLabel(GroupBox2);
    CountValueLabel->setObjectName("CountValueLabel");
    TimeLabel = new QLabel(TableText(13), GroupBox2);
    TimeValueLabel = new QLabel(GroupBox2);
    TimeValueLabel->setObjectName("TimeValueLabel");
    IndividualItemsButton = new QPushButton(TableText(14), GroupBox2);
    IndividualItemsButton->setObjectName("IndividualItemsButton");
    OnlineLabel = BoldLabel("jetzt Online:", GroupBox2);
    OnlineLabel->setObjectName("OnlineLabel");
    OnlineValue1Label = BoldLabel("", GroupBox2);
    OnlineValue1Label->setObjectName("OnlineValue1Label");
    OnlineValue2Label = BoldLabel("", GroupBox2);
    OnlineValue2Label->setObjectName("OnlineValue2Label");
    for (QLabel* value : {CountValueLabel, TimeValueLabel, OnlineValue1Label, OnlineValue2Label})
        value->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    auto* summary = new QGridLayout;
    summary->addWidget(ProviderLabel, 0, 0, 1, 2);
    summary->addWidget(CountLabel, 1, 0);
    summary->addWidget(CountValueLabel, 1, 1);
    summary->addWidget(TimeLabel, 2, 0);
    summary->addWidget(TimeValueLabel, 2, 1);
    summary->addWidget(IndividualItemsButton, 3, 0, 1, 2);
    summary->setRowStretch(4, 1);
    summary->addWidget(OnlineLabel, 5, 0);
    summary->addWidget(OnlineValue1Label, 5, 1);
    summary->addWidget(OnlineValue2Label, 6, 1);
    summary->setColumnStretch(1, 1);
    auto* group2Layout = new QHBoxLayout(GroupBox2);
    group2Layout->addLayout(left, 1);
    group2Layout->addLayout(summary, 1);
    pageLayout->addWidget(GroupBox2, 1);

    connect(TabControl, &QTabBar::currentChanged, this, [this] { TabControlChange(); });
    // A click, also on the line that is selected already, and the arrow keys.
    connect(ComputerDataListBox, &QListWidget::itemClicked, this,
            [this] { ComputerDataListBoxClick(); });
    connect(ComputerDataListBox, &QListWidget::currentRowChanged, this,
            [this] { ComputerDataListBoxClick(); });
    connect(ShowAllCheckBox, &QCheckBox::clicked, this, [this] { ShowAllCheckBoxClick(); });
    connect(SetKeyValue, &QPushButton::clicked, this, [this] { SetKeyValueClick(); });
    connect(CopyButton, &QPushButton::clicked, this, [this] { CopyButtonClick(); });
    connect(InvalidateButton, &QPushButton::clicked, this, [this] { InvalidateButtonClick(); });
    connect(StartButton, &QPushButton::clicked, this, [this] { StartButtonClick(); });
    connect(EndButton, &QPushButton::clicked, this, [this] { EndButtonClick(); });
    connect(RasConnectionListBox, &QListWidget::currentRowChanged, this,
            [this] { UpdateConnectionSummary(); });
    connect(IndividualItemsButton, &QPushButton::clicked, this,
            [this] { IndividualItemsButtonClick(); });
    // Enter in the value field sets the value, as the button would.
    connect(ValueEdit, &QLineEdit::returnPressed, this, [this] {
        if (SetKeyValue->isVisible())
            SetKeyValueClick();
    });

    // The design's 449 x 563 at 96 dpi, in letters so that it scales.
    const QFontMetrics metrics(font());
    resize(std::max(sizeHint().width(), metrics.averageCharWidth() * 80),
           std::max(sizeHint().height(), metrics.height() * 40));
}

void TMainForm::CreateTray() {
    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName("PopupMenu1");
    const auto entry = [this](const char* name, const QString& caption,
                              void (TMainForm::*handler)()) {
        QAction* action = PopupMenu1->addAction(caption);
        action->setObjectName(name);
        if (handler != nullptr)
            connect(action, &QAction::triggered, this, [this, handler] { (this->*handler)(); });
        return action;
    };
    Online1 = entry("Online1", TableText(17), &TMainForm::Online1Click);
    Connect = entry("Connect", TableText(28), &TMainForm::ConnectClick);
    Disconnect = entry("Disconnect", TableText(29), &TMainForm::DisconnectClick);
    HostileTakeOver = entry("HostileTakeOver", TableText(30), &TMainForm::HostileTakeOverClick);
    PopupMenu1->addSeparator();
    ffnen1 = entry("ffnen1", TableText(31), &TMainForm::OpenMainWindow);
    ProxyOptionsMenuItem =
        entry("ProxyOptionsMenuItem", TableText(32), &TMainForm::ProxyOptionsMenuItemClick);
    aufneueeMailberprfen1 =
        entry("aufneueeMailberprfen1", TableText(33), &TMainForm::aufneueeMailberprfen1Click);
    PopupMenu1->addSeparator();
    AboutMenuItem = entry("AboutMenuItem", TableText(97), &TMainForm::AboutMenuItemClick);
    Beenden1 = entry("Beenden1", TableText(34), &TMainForm::Beenden1Click);
    Connect->setVisible(false);
    Disconnect->setVisible(false);
    HostileTakeOver->setVisible(false);
    // The same menu on the window itself (the menu key, Shift+F10, a right click), for those who
    // cannot reach the tray with the keyboard.
    addActions(PopupMenu1->actions());
    setContextMenuPolicy(Qt::ActionsContextMenu);

    const QString directory = Q(ProgramDirectory()) + "/";
    OnlineIcon = QIcon(directory + "online.ico");
    OfflineIcon = QIcon(directory + "offline.ico");
    TrayIcon1 = new QSystemTrayIcon(this);
    TrayIcon1->setObjectName("TrayIcon1");
    TrayIcon1->setContextMenu(PopupMenu1);
    connect(TrayIcon1, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::DoubleClick)
                    OpenMainWindow();
            });
    setWindowIcon(OnlineIcon);
}

void TMainForm::FormCreate() {
    for (const auto& [name, info] : Instance.Roster().Entries())
        AddTab(U(name));
    Range = MonthRange(GetLocalTime());
    ClearKeyValueFields();
    RefreshPropertiesPanel();
    RefreshConnectionList();
    ShowRangeDates();
    RefreshStatusLine();
    // The tray icon is made even without a tray: Qt shows it when a tray appears later.
    TrayIcon1->show();
    if (!TrayAvailable())
        OpenMainWindow();
}

void TMainForm::AddTab(const std::string& displayName) {
    if (TabControl->count() == 0) {
        // The first tab becomes the current one; the window is refreshed by its creation.
        const QSignalBlocker quiet(TabControl);
        TabControl->addTab(TableText(0));
    }
    const QString name = Q(displayName);
    for (int i = 1; i < TabControl->count(); ++i)
        if (TabControl->tabData(i).toString() == name)
            return;
    QString caption = name;
    caption.replace("&", "&&"); // no accelerator in a computer's name
    const int index = TabControl->addTab(caption);
    TabControl->setTabData(index, name);
    // A hidden tab strip does not ask for its new size itself: it would keep the height it had
    // without tabs.
    TabControl->updateGeometry();
}

void TMainForm::RemoveTab(const std::string& displayName) {
    const QString name = Q(displayName);
    for (int i = 1; i < TabControl->count(); ++i)
        if (TabControl->tabData(i).toString() == name) {
            // Removing the current tab selects a neighbour, whose page is then drawn.
            TabControl->removeTab(i);
            TabControl->updateGeometry();
            return;
        }
}

bool TMainForm::SelectComputerTab(const std::string& computer) {
    const std::string wanted = Utf8ToCp1252(computer);
    for (int i = 1; i < TabControl->count(); ++i)
        if (SameTextAscii(Utf8ToCp1252(TabControl->tabData(i).toString().toStdString()), wanted)) {
            TabControl->setCurrentIndex(i);
            return true;
        }
    return false;
}

TWindowView TMainForm::View() const {
    TWindowView view;
    view.Visible = isVisible();
    for (int i = 0; i < TabControl->count(); ++i)
        view.Tabs.push_back(i == 0 ? TabControl->tabText(0).toStdString()
                                   : TabControl->tabData(i).toString().toStdString());
    if (TabControl->currentIndex() >= 0)
        view.SelectedTab = view.Tabs[static_cast<std::size_t>(TabControl->currentIndex())];
    if (StatusPanel->isVisibleTo(this))
        view.StatusLine = StatusLabel->text().toStdString();
    switch (FOnlineDisplay.Icon) {
    case TTrayIcon::Online:
        view.TrayIcon = "online";
        break;
    case TTrayIcon::Offline:
        view.TrayIcon = "offline";
        break;
    case TTrayIcon::NewMail:
        view.TrayIcon = "mail";
        break;
    case TTrayIcon::None:
        break;
    }
    view.TrayAvailable = TrayAvailable();
    for (const QPointer<QDialog>& slot : {ProxyOptionsSlot, MailOptionsSlot, AboutSlot})
        if (slot != nullptr && slot->isVisible())
            view.Dialogs.push_back(slot->windowTitle().toStdString());
    return view;
}

std::optional<std::string> TMainForm::SelectedComputerName() const {
    const int index = TabControl->currentIndex();
    if (index <= 0)
        return std::nullopt;
    return TabControl->tabData(index).toString().toStdString();
}

TComputerData* TMainForm::SelectedComputer() {
    const auto name = SelectedComputerName();
    return name ? Instance.KnownComputer(*name) : nullptr;
}

bool TMainForm::IsOwn(const std::string& nameUtf8) const {
    return SameTextAscii(Utf8ToCp1252(nameUtf8), OwnComputerName);
}

TStatisticsScope TMainForm::Scope() {
    return Instance.StatisticsScope(SelectedComputerName());
}

void TMainForm::TabControlChange() {
    ClearKeyValueFields();
    RefreshPropertiesPanel();
    RefreshConnectionList();
    RefreshStatusLine();
}

void TMainForm::ClearKeyValueFields() {
    KeyEdit->clear();
    ValueEdit->clear();
    RefreshOnlineState();
}

void TMainForm::RefreshPropertiesPanel() {
    const auto name = SelectedComputerName();
    if (!name) {
        SetVisible(GroupBox1, false);
        SetVisible(PaintBox1, true);
        ShownJournalEnd = -1;
        return;
    }
    SetVisible(GroupBox1, true);
    SetVisible(PaintBox1, false);
    const QString selectedLine = ComputerDataListBox->currentItem() != nullptr
                                     ? ComputerDataListBox->currentItem()->text()
                                     : QString();
    std::vector<std::string> lines;
    TComputerData* computer = SelectedComputer();
    if (computer != nullptr) {
        computer->ListProperties(lines, ShowAllCheckBox->isChecked());
        ShownJournalEnd = computer->GetJournalEnd();
        computer->SetModified(false);
    } else {
        ShownJournalEnd = 0; // heard of, but its data has not come yet
    }
    ReplaceLines(*ComputerDataListBox, lines);
    const bool own = IsOwn(*name);
    KeyEdit->setReadOnly(!own);
    ValueEdit->setReadOnly(!own);
    SetVisible(SetKeyValue, own);
    SetVisible(CopyButton, !own);
    SetVisible(InvalidateButton, !own);
}

void TMainForm::ComputerDataListBoxClick() {
    QListWidgetItem* item = ComputerDataListBox->currentItem();
    TComputerData* computer = SelectedComputer();
    if (item == nullptr || computer == nullptr)
        return;
    const QString line = item->text();
    const QString key = line.left(line.indexOf('='));
    KeyEdit->setText(key);
    ValueEdit->setText(Q(U(computer->GetProperty(Utf8ToCp1252(key.toStdString())))));
}

void TMainForm::ShowAllCheckBoxClick() {
    RefreshPropertiesPanel();
    KeyEdit->clear();
    ValueEdit->clear();
}

void TMainForm::SetKeyValueClick() {
    const auto name = SelectedComputerName();
    if (!name || !IsOwn(*name))
        return;
    Instance.SetOwnProperty(KeyEdit->text().toStdString(), ValueEdit->text().toStdString());
    RefreshPropertiesPanel();
}

void TMainForm::CopyButtonClick() {
    if (KeyEdit->text().isEmpty())
        return;
    Instance.SetOwnProperty(KeyEdit->text().toStdString(), ValueEdit->text().toStdString());
}

void TMainForm::InvalidateButtonClick() {
    const auto name = SelectedComputerName();
    if (!name || IsOwn(*name))
        return;
    Instance.Retransmit(*name);
    RefreshPropertiesPanel();
}

void TMainForm::RefreshStatusLine() {
    const auto name = SelectedComputerName();
    if (!name) {
        SetVisible(StatusPanel, false);
        return;
    }
    std::string line;
    if (const TComputerData* computer = SelectedComputer()) {
        line = Instance.StatusLine(*computer);
    } else {
        TComputerData standIn; // heard of, but its data has not come yet
        standIn.SetName(Utf8ToCp1252(*name));
        standIn.SetOwn(false);
        line = Instance.StatusLine(standIn);
    }
    if (StatusLabel->text() != Q(line))
        StatusLabel->setText(Q(line));
    SetVisible(StatusPanel, true);
}

void TMainForm::RefreshOnlineState() {
    TOnlineInputs inputs;
    inputs.Roster = &Instance.Roster();
    if (const auto name = SelectedComputerName())
        inputs.SelectedComputer = Utf8ToCp1252(*name);
    inputs.OwnName = OwnComputerName;
    inputs.AutoDialEnabled = TextIsTrue(Instance.OwnComputer().GetProperty("AutoDialEnabled"));
    inputs.OwnConnectionHeld = Instance.OwnConnectionHeld();
    inputs.MailIconShowing = Instance.MailIconCountdown() > 0;
    inputs.DialBudgetSpent = OwnDialBudget().Blocked;
    const std::string sound = FOnlineDisplay.Refresh(inputs);

    SetVisible(OnlineLabel, FOnlineDisplay.OnlineLabelVisible);
    SetVisible(OnlineValue1Label, FOnlineDisplay.OnlineValue1Visible);
    SetVisible(OnlineValue2Label, FOnlineDisplay.OnlineValue2Visible);
    OnlineValue1Label->setText(Q(FOnlineDisplay.OnlineValue1));
    OnlineValue2Label->setText(Q(FOnlineDisplay.OnlineValue2));
    if (!FOnlineDisplay.OnlineCaption.empty() && Online1->text() != Q(FOnlineDisplay.OnlineCaption))
        Online1->setText(Q(FOnlineDisplay.OnlineCaption));
    SetVisible(Connect, FOnlineDisplay.ConnectVisible);
    SetVisible(Disconnect, FOnlineDisplay.DisconnectVisible);
    SetVisible(HostileTakeOver, FOnlineDisplay.TakeOverVisible);
    ShowTrayIcon(FOnlineDisplay.Icon);
    TrayIcon1->setToolTip(Q(FOnlineDisplay.ToolTip(Online1->text().toStdString())));
    if (!sound.empty() && PlaySoundFile)
        PlaySoundFile(sound);
}

void TMainForm::ShowTrayIcon(TTrayIcon icon) {
    const QIcon* shown = icon == TTrayIcon::Online    ? &OnlineIcon
                         : icon == TTrayIcon::Offline ? &OfflineIcon
                         : icon == TTrayIcon::NewMail ? &MailIcon
                                                      : nullptr;
    if (shown != nullptr && TrayIcon1->icon().cacheKey() != shown->cacheKey())
        TrayIcon1->setIcon(*shown);
}

void TMainForm::ShowNewMail(const std::string& soundFile) {
    if (PlaySoundFile)
        PlaySoundFile(soundFile);
    // Loaded at the first new mail and kept.
    if (MailIcon.isNull())
        MailIcon = QIcon(Q(ProgramDirectory()) + "/email.ico");
    FOnlineDisplay.ShowNewMail();
    ShowTrayIcon(FOnlineDisplay.Icon);
}

void TMainForm::RefreshConnectionList() {
    RefreshConnectionNames(ConnectionNames, Scope());
    ReplaceLines(*RasConnectionListBox, ConnectionNames);
    UpdateConnectionSummary();
}

void TMainForm::UpdateConnectionSummary() {
    const int row = RasConnectionListBox->currentRow();
    const bool selected = row >= 0 && row < static_cast<int>(ConnectionNames.size());
    for (QWidget* widget :
         std::initializer_list<QWidget*>{ProviderLabel, CountLabel, CountValueLabel, TimeLabel,
                                         TimeValueLabel, IndividualItemsButton})
        SetVisible(widget, selected);
    if (!selected)
        return;
    const std::string& name = ConnectionNames[static_cast<std::size_t>(row)];
    const TConnectionSummary summary = SummariseConnections(Scope(), name, Range);
    ProviderLabel->setText(Q(U(name)) + ":");
    CountValueLabel->setText(QString::number(summary.Count));
    TimeValueLabel->setText(Q(MinutesText(summary.Minutes)));
}

void TMainForm::ShowRangeDates() {
    StartButton->setText(Q(ShortDateText(ToSystemTime(Range.From))));
    EndButton->setText(Q(ShortDateText(ToSystemTime(Range.To))));
    StartButton->setAccessibleName(TableText(10) + " " + StartButton->text());
    EndButton->setAccessibleName(TableText(11) + " " + EndButton->text());
}

void TMainForm::StartButtonClick() {
    if (PickDate(this, Range.From.Year, Range.From.Month, Range.From.Day))
        ShowRangeDates();
    UpdateConnectionSummary();
}

void TMainForm::EndButtonClick() {
    if (PickDate(this, Range.To.Year, Range.To.Month, Range.To.Day))
        ShowRangeDates();
    UpdateConnectionSummary();
}

void TMainForm::IndividualItemsButtonClick() {
    const int row = RasConnectionListBox->currentRow();
    if (row < 0 || row >= static_cast<int>(ConnectionNames.size()))
        return;
    const std::string& name = ConnectionNames[static_cast<std::size_t>(row)];
    const TStatisticsScope scope = Scope();
    const std::vector<TOverviewRow> rows = CollectOverviewRows(scope, name, Range);
    if (rows.empty()) {
        LocalShowMessage(LanguageText(24));
        return;
    }
    const std::string heading = SelectedComputerName() && !scope.empty()
                                    ? FormatText(22, U(name), U(scope.front()->Name()))
                                    : FormatText(23, U(name));
    TOverviewForm overview(this);
    overview.Fill(FormatText(47, heading), OverviewLines(rows));
    overview.exec();
}

void TMainForm::UpdateTimerTimer() {
    // The overall tab covers every computer: any of them may have new records or names.
    if (!SelectedComputerName()) {
        RefreshConnectionList();
        return;
    }
    TComputerData* computer = SelectedComputer();
    if (computer == nullptr)
        return;
    if (computer->Modified()) {
        RefreshPropertiesPanel();
        RefreshConnectionList();
    } else if (computer->GetJournalEnd() != ShownJournalEnd && !computer->IsOwn()) {
        RefreshPropertiesPanel();
    }
}

void TMainForm::OpenMainWindow() {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
    setWindowState(windowState() & ~Qt::WindowMinimized);
    // What changed while the window was hidden.
    RefreshPropertiesPanel();
    RefreshConnectionList();
    RefreshStatusLine();
    layout()->activate();
    show();
    raise();
    activateWindow();
}

void TMainForm::Online1Click() {
    if (Connect->isVisible()) {
        if (LocalMessageDlg(LanguageText(26), TMsgDlgType::Confirmation, mbYes | mbNo, 0) == mrYes)
            ConnectClick();
    } else if (Disconnect->isVisible()) {
        if (LocalMessageDlg(LanguageText(27), TMsgDlgType::Confirmation, mbYes | mbNo, 0) == mrYes)
            DisconnectClick();
    }
}

void TMainForm::ConnectClick() {
    Instance.Connect();
}

void TMainForm::DisconnectClick() {
    Instance.Disconnect();
}

void TMainForm::HostileTakeOverClick() {
    try {
        Instance.TakeOver();
    } catch (const std::exception& e) {
        LocalShowMessage(e.what());
    }
}

template <typename TForm, typename... TArguments>
void TMainForm::ShowDialogOnce(QPointer<QDialog>& slot, TArguments&... arguments) {
    if (slot == nullptr) {
        slot = new TForm(arguments..., nullptr);
        slot->setAttribute(Qt::WA_DeleteOnClose);
    }
    slot->showNormal();
    slot->raise();
    slot->activateWindow();
}

QDialog* TMainForm::OpenDialog(const char* objectName) const {
    for (const QPointer<QDialog>& slot : {AboutSlot, ProxyOptionsSlot, MailOptionsSlot})
        if (slot != nullptr && slot->objectName() == objectName)
            return slot;
    return nullptr;
}

void TMainForm::ProxyOptionsMenuItemClick() {
    ShowDialogOnce<TProxyOptionsForm>(ProxyOptionsSlot, Instance);
}

void TMainForm::aufneueeMailberprfen1Click() {
    ShowDialogOnce<TMailCheckOptionsForm>(MailOptionsSlot);
}

void TMainForm::AboutMenuItemClick() {
    const QString dataDirectory = Q(Instance.DataDirectory());
    ShowDialogOnce<TAboutForm>(AboutSlot, dataDirectory);
}

void TMainForm::Beenden1Click() {
    ConfirmQuit();
}

void TMainForm::ConfirmQuit() {
    if (LocalMessageDlg(LanguageText(25), TMsgDlgType::Confirmation, mbYes | mbNo, 0) != mrYes)
        return;
    QuitConfirmed = true;
    Instance.Quit();
}

void TMainForm::closeEvent(QCloseEvent* event) {
    event->ignore();
    if (QuitConfirmed) {
        Instance.Quit();
        return;
    }
    // With a tray the window only hides; without one it would be gone for good, so closing it
    // asks whether to quit.
    if (TrayAvailable())
        hide();
    else
        ConfirmQuit();
}

void TMainForm::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized() && TrayAvailable())
        QMetaObject::invokeMethod(
            this, [this] { hide(); }, Qt::QueuedConnection);
}

} // namespace harbolt
