#pragma once

#include "app/Face.h"
#include "app/OnlineDisplay.h"
#include "dialup/ConnectionStatistics.h"

#include <QDialog>
#include <QIcon>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <optional>
#include <string>
#include <vector>

class QAction;
class QCheckBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QPushButton;
class QSystemTrayIcon;
class QTabBar;

// The main window: one tab per computer and the overall tab, the computer's properties with
// their editor and status line, the dial-up statistics of the tab, and the tray icon with its
// menu. It stays hidden until opened from the tray; without a tray it opens at start-up.
namespace harbolt {

class TComputerData;
class TInstance;
class TUrlLabel;

class TMainForm : public QWidget {
public:
    explicit TMainForm(TInstance& instance, QWidget* parent = nullptr);
    ~TMainForm() override;

    // Start-up: captions, the tabs of the roster, the first refresh, the tray icon.
    void FormCreate();

    // The computer of the selected tab; nullptr on the overall tab and for a computer whose data
    // has not arrived yet.
    TComputerData* SelectedComputer();
    // The tab's computer name (UTF-8) as its tab shows it; nullopt on the overall tab.
    std::optional<std::string> SelectedComputerName() const;

    // Selects the tab of that computer (UTF-8, ignoring case); false when there is none.
    bool SelectComputerTab(const std::string& computer);
    // What the window shows, for `ctl window`.
    TWindowView View() const;

    // What the instance tells the window.
    void AddTab(const std::string& displayName);
    void RemoveTab(const std::string& displayName);
    void ClearKeyValueFields();
    void RefreshPropertiesPanel();
    void RefreshOnlineState();
    void RefreshStatusLine();
    void RefreshConnectionList();
    void UpdateConnectionSummary();
    void ShowRangeDates();
    void UpdateTimerTimer(); // the display part
    void ShowNewMail(const std::string& soundFile);
    void OpenMainWindow();

    // Handlers of the window's controls and menu entries.
    void TabControlChange();
    void ComputerDataListBoxClick();
    void ShowAllCheckBoxClick();
    void SetKeyValueClick();
    void CopyButtonClick();
    void InvalidateButtonClick();
    void StartButtonClick();
    void EndButtonClick();
    void IndividualItemsButtonClick();
    void Online1Click();
    void ConnectClick();
    void DisconnectClick();
    void HostileTakeOverClick();
    void ProxyOptionsMenuItemClick();
    void aufneueeMailberprfen1Click();
    void AboutMenuItemClick();
    // The open settings dialogs and About box (nullptr when closed), for tests and `ctl`.
    QDialog* OpenDialog(const char* objectName) const;
    void Beenden1Click();

    // Plays a sound file of the program (UTF-8 name); tests record instead.
    std::function<void(const std::string&)> PlaySoundFile;
    // Whether a system tray is there to hold the icon; asked again at every decision.
    std::function<bool()> TrayAvailable;

    TDateRange Range;
    std::int32_t ShownJournalEnd = -1;
    // Set by a confirmed quit and by the end of the desktop session: closing then quits.
    bool QuitConfirmed = false;
    const TOnlineDisplay& OnlineDisplay() const { return FOnlineDisplay; }

    QTabBar* TabControl = nullptr;
    QFrame* StatusPanel = nullptr;
    QLabel* StatusLabel = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QListWidget* ComputerDataListBox = nullptr;
    QCheckBox* ShowAllCheckBox = nullptr;
    QLabel* KeyLabel = nullptr;
    QLineEdit* KeyEdit = nullptr;
    QLabel* ValueLabel = nullptr;
    QLineEdit* ValueEdit = nullptr;
    QPushButton* SetKeyValue = nullptr;
    QPushButton* CopyButton = nullptr;
    QPushButton* InvalidateButton = nullptr;
    QWidget* PaintBox1 = nullptr;
    TUrlLabel* UrlLabel1 = nullptr;
    TUrlLabel* UrlLabel2 = nullptr;
    QGroupBox* GroupBox2 = nullptr;
    QPushButton* StartButton = nullptr;
    QPushButton* EndButton = nullptr;
    QListWidget* RasConnectionListBox = nullptr;
    QLabel* ProviderLabel = nullptr;
    QLabel* CountLabel = nullptr;
    QLabel* CountValueLabel = nullptr;
    QLabel* TimeLabel = nullptr;
    QLabel* TimeValueLabel = nullptr;
    QPushButton* IndividualItemsButton = nullptr;
    QLabel* OnlineLabel = nullptr;
    QLabel* OnlineValue1Label = nullptr;
    QLabel* OnlineValue2Label = nullptr;

    QSystemTrayIcon* TrayIcon1 = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* Online1 = nullptr;
    QAction* Connect = nullptr;
    QAction* Disconnect = nullptr;
    QAction* HostileTakeOver = nullptr;
    QAction* ffnen1 = nullptr;
    QAction* ProxyOptionsMenuItem = nullptr;
    QAction* aufneueeMailberprfen1 = nullptr;
    QAction* AboutMenuItem = nullptr;
    QAction* Beenden1 = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void CreateControls();
    void CreateTray();
    void ShowTrayIcon(TTrayIcon icon);
    void ConfirmQuit();
    TStatisticsScope Scope();
    bool IsOwn(const std::string& nameUtf8) const;

    TInstance& Instance;
    TOnlineDisplay FOnlineDisplay;
    std::vector<std::string> ConnectionNames; // Windows-1252, as RasConnectionListBox shows them
    QIcon OnlineIcon;
    QIcon OfflineIcon;
    QIcon MailIcon;
    // Each dialog opens once; its entry brings an open one to the front. They do not block the
    // other windows: a modal window would block the tray icon too, and then the tray entry could
    // not bring a dialog back from behind other windows.
    template <typename TForm, typename... TArguments>
    void ShowDialogOnce(QPointer<QDialog>& slot, TArguments&... arguments);
    QPointer<QDialog> AboutSlot;
    QPointer<QDialog> ProxyOptionsSlot;
    QPointer<QDialog> MailOptionsSlot;
};

} // namespace harbolt
