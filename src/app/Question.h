#pragma once

#include <functional>
#include <optional>
#include <string>

// The dialer's yes/no question: open until a button, `ctl answer` or the count-down answers it.
// The face shows it (a dialog, or lines on standard error); the count-down lives here, so the
// window and `ctl status` show the same seconds. Main thread only.
namespace harbolt {

class TInstanceFace;

struct TQuestionState {
    std::string Text; // UTF-8
    int DefaultAnswer = 0;
    int SecondsLeft = 0;
};

class TQuestion {
public:
    static constexpr int kSeconds = 30;

    // The face is told when the question opens, counts down and closes; nullptr: nobody.
    void SetFace(TInstanceFace* face) { Face = face; }

    // A question while another is open is answered No at once (the dialer never does that).
    void Ask(const std::string& text, int defaultAnswer, std::function<void(int)> answered);
    // Every 1000 ms: counts down and answers with the default at 0.
    void Tick();
    // false when no question is open.
    bool Answer(int answer);
    std::optional<TQuestionState> Current() const;

private:
    void Finish(int answer);

    TInstanceFace* Face = nullptr;
    std::optional<TQuestionState> Open;
    std::function<void(int)> Answered;
};

// "This Question will be answered automatically in N seconds with Yes." (UTF-8), as the
// dialog's count-down line reads.
std::string CountDownLine(const TQuestionState& question);

} // namespace harbolt
