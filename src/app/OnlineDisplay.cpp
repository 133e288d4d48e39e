#include "app/OnlineDisplay.h"

#include "platform/CodePage.h"
#include "platform/Languages.h"

namespace harbolt {

std::string TOnlineDisplay::Refresh(const TOnlineInputs& inputs) {
    const auto* online = inputs.Roster->OnlineComputer();

    // The online labels and, in the same pass, the online entry's caption. On the tab of an
    // offline computer the caption keeps what it showed.
    OnlineLabelVisible = OnlineValue1Visible = OnlineValue2Visible = false;
    if (inputs.SelectedComputer) {
        const TInfo* info = inputs.Roster->Find(*inputs.SelectedComputer);
        if (info != nullptr && info->Online) {
            OnlineLabelVisible = OnlineValue1Visible = true;
            OnlineValue1 = Cp1252ToUtf8(info->ConnectionName);
            OnlineCaption = FormatText(16, Cp1252ToUtf8(*inputs.SelectedComputer),
                                       Cp1252ToUtf8(info->ConnectionName));
        }
    } else if (online != nullptr) {
        OnlineLabelVisible = OnlineValue1Visible = OnlineValue2Visible = true;
        OnlineValue1 = Cp1252ToUtf8(online->first);
        OnlineValue2 = Cp1252ToUtf8(online->second.ConnectionName);
        OnlineCaption = FormatText(16, OnlineValue1, OnlineValue2);
    }

    BudgetSpent = inputs.DialBudgetSpent;
    std::string sound;
    const auto showIcon = [&](TTrayIcon icon, TTrayIcon opposite, const char* soundFile) {
        if (inputs.MailIconShowing || Icon == icon)
            return;
        if (Icon == opposite)
            sound = soundFile;
        Icon = icon;
    };
    if (online != nullptr) {
        showIcon(TTrayIcon::Online, TTrayIcon::Offline, "online.wav");
        ConnectVisible = false;
        const bool ownIsOnline = SameTextAscii(online->first, inputs.OwnName);
        DisconnectVisible = ownIsOnline && inputs.OwnConnectionHeld;
        TakeOverVisible = !DisconnectVisible && inputs.AutoDialEnabled && !ownIsOnline;
    } else {
        showIcon(TTrayIcon::Offline, TTrayIcon::Online, "offline.wav");
        OnlineCaption = LanguageText(17);
        ConnectVisible = inputs.AutoDialEnabled;
        DisconnectVisible = TakeOverVisible = false;
    }
    return sound;
}

std::string TOnlineDisplay::ToolTip(const std::string& caption) const {
    return "Harbolt " + caption + (BudgetSpent ? "\ndial budget spent: dial on demand is off" : "");
}

} // namespace harbolt
