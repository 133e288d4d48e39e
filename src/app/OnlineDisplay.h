#pragma once

#include "peer/Roster.h"

#include <optional>
#include <string>

// Who is online, as the tray and the main window show it: the tray's icon, the caption of the
// menu's online entry, which of Connect, Disconnect and Take over the menu offers, and the online
// labels of the statistics group. Toolkit-free; the window face applies it to its widgets.
namespace harbolt {

enum class TTrayIcon { None, Online, Offline, NewMail };

struct TOnlineInputs {
    const TRoster* Roster = nullptr;
    // The computer of the selected tab as the roster names it (Windows-1252); nullopt on the
    // overall tab.
    std::optional<std::string> SelectedComputer;
    std::string OwnName;            // Windows-1252
    bool AutoDialEnabled = false;   // the own "AutoDialEnabled"
    bool OwnConnectionHeld = false; // the dialer holds a connection of its own
    bool MailIconShowing = false;   // the new-mail icon's 60 seconds run
    bool DialBudgetSpent = false;   // the own dial budget stops dials on demand
};

class TOnlineDisplay {
public:
    // One refresh of the online state. Returns the sound of an icon change ("online.wav" or
    // "offline.wav"), empty for none.
    std::string Refresh(const TOnlineInputs& inputs);
    // New mail: the tray shows the new-mail icon until a refresh after its time.
    void ShowNewMail() { Icon = TTrayIcon::NewMail; }

    TTrayIcon Icon = TTrayIcon::None;
    std::string OnlineCaption; // UTF-8; empty until the first refresh sets it
    bool ConnectVisible = false;
    bool DisconnectVisible = false;
    bool TakeOverVisible = false;

    // The tray icon's tooltip: "Harbolt " and the online entry's caption, and a note while the
    // dial budget is spent (shown with the offline caption, where it explains why nothing dials).
    std::string ToolTip(const std::string& caption) const;
    bool BudgetSpent = false;

    // The statistics group's "jetzt Online:" labels.
    bool OnlineLabelVisible = false;
    bool OnlineValue1Visible = false;
    bool OnlineValue2Visible = false;
    std::string OnlineValue1; // UTF-8
    std::string OnlineValue2;
};

} // namespace harbolt
