#pragma once

#include "app/Question.h"

#include <string>

// What the running instance tells its face: the headless face writes to standard error, the
// window face updates its widgets. Every call comes on the main thread. Texts are UTF-8 unless
// a parameter says otherwise.
namespace harbolt {

class TInstanceFace {
public:
    virtual ~TInstanceFace() = default;

    // A computer announced itself for the first time (its name as its tab shows it, UTF-8).
    virtual void ComputerAdded(const std::string& displayName) { (void)displayName; }
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

    // Opens the main window (`ctl open`); false when this face has none.
    virtual bool OpenMainWindow() { return false; }

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
