#pragma once

#include "app/Question.h"

#include <optional>
#include <string>
#include <vector>

// What the running instance tells its face: the headless face writes to standard error, the
// window face updates its widgets. Every call comes on the main thread. Texts are UTF-8 unless
// a parameter says otherwise.
namespace harbolt {

// What the main window shows, for `ctl window` (UTF-8).
struct TWindowView {
    bool Visible = false;
    std::vector<std::string> Tabs; // captions, the overall tab first
    std::string SelectedTab;
    std::string StatusLine; // empty on the overall tab
    std::string TrayIcon;   // "online", "offline", "mail" or "" before the first
    bool TrayAvailable = false;
    std::vector<std::string> Dialogs; // titles of the open settings dialogs and About box
};

class TInstanceFace {
public:
    virtual ~TInstanceFace() = default;

    // A computer announced itself for the first time (its name as its tab shows it, UTF-8).
    virtual void ComputerAdded(const std::string& displayName) { (void)displayName; }
    // The roster dropped a computer it never heard alive and holds no data of (its tab goes).
    virtual void ComputerRemoved(const std::string& displayName) { (void)displayName; }
    // A computer went online or offline, or the own dial connected or was hung up.
    virtual void RefreshOnlineState() {}
    // After every pass of the roster timer: who is alive may have changed.
    virtual void RefreshStatusLine() {}
    // The list of connection names may have changed (a computer joined).
    virtual void RefreshConnectionList() {}
    // The display part of the 5-second update timer; runs before the changed roster entries are
    // refreshed.
    virtual void UpdateTimer() {}

    // The dialer's question opened, counted down a second, or was answered.
    virtual void QuestionOpened(const TQuestionState& question) { (void)question; }
    virtual void QuestionChanged(const TQuestionState& question) { (void)question; }
    virtual void QuestionClosed(int answer) { (void)answer; }

    // Opens the main window (`ctl open`), on the tab of computer (UTF-8, ignoring case) unless
    // that is empty; false when this face has no window or no such tab.
    virtual bool OpenMainWindow(const std::string& computer) {
        (void)computer;
        return false;
    }
    // What the main window shows; nullopt without one.
    virtual std::optional<TWindowView> WindowView() { return std::nullopt; }

    // An error for the user, such as a dial that could not start.
    virtual void ShowMessage(const std::string& text) { (void)text; }
    // A mail check found new mail; soundFile is the configured sound.
    virtual void NewMail(const std::string& soundFile) { (void)soundFile; }
};

// The face of an instance without windows: questions, messages and new mail go to standard
// error, the new-mail sound to the system's player.
class THeadlessFace : public TInstanceFace {
public:
    void QuestionOpened(const TQuestionState& question) override;
    void QuestionClosed(int answer) override;
    void ShowMessage(const std::string& text) override;
    void NewMail(const std::string& soundFile) override;
};

} // namespace harbolt
