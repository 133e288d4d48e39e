#pragma once

#include "app/Face.h"

#include <memory>

// The face of an instance with windows: the main window and its tray icon show what the
// instance tells, the dialer's question is a dialog, messages are message boxes.
namespace harbolt {

class TConfirmDialingForm;
class TInstance;
class TMainForm;

class TWindowFace : public TInstanceFace {
public:
    TWindowFace();
    ~TWindowFace() override;

    // After the instance started: creates the main window and the tray icon.
    void Attach(TInstance& instance);
    // Before the instance shuts down: the windows go.
    void Detach();

    TMainForm* MainForm() const { return Form.get(); }
    TConfirmDialingForm* QuestionForm() const { return Question.get(); }

    void ComputerAdded(const std::string& displayName) override;
    void ComputerRemoved(const std::string& displayName) override;
    void RefreshOnlineState() override;
    void RefreshStatusLine() override;
    void RefreshConnectionList() override;
    void UpdateTimer() override;
    void QuestionOpened(const TQuestionState& question) override;
    void QuestionChanged(const TQuestionState& question) override;
    void QuestionClosed(int answer) override;
    bool OpenMainWindow(const std::string& computer) override;
    std::optional<TWindowView> WindowView() override;
    void ShowMessage(const std::string& text) override;
    void NewMail(const std::string& soundFile) override;

private:
    TInstance* Instance = nullptr;
    std::unique_ptr<TMainForm> Form;
    std::unique_ptr<TConfirmDialingForm> Question;
};

} // namespace harbolt
