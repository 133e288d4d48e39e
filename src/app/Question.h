#pragma once

#include <functional>
#include <optional>
#include <string>

// The dialer's yes/no question without a window: written to standard error, shown by
// `ctl status`, answered by `ctl answer`, and otherwise answered with its default after 30
// seconds, as the dialog would. Main thread only.
namespace harbolt {

struct TQuestionState {
    std::string Text; // UTF-8
    int DefaultAnswer = 0;
    int SecondsLeft = 0;
};

class THeadlessQuestion {
public:
    static constexpr int kSeconds = 30;

    // A question while another is open is answered No at once (the dialer never does that).
    void Ask(const std::string& text, int defaultAnswer, std::function<void(int)> answered);
    // Every 1000 ms: counts down and answers with the default at 0.
    void Tick();
    // false when no question is open.
    bool Answer(int answer);
    std::optional<TQuestionState> Current() const;

private:
    void Finish(int answer);

    std::optional<TQuestionState> Open;
    std::function<void(int)> Answered;
};

// "This Question will be answered automatically in N seconds with Yes." (UTF-8), as the
// dialog's count-down line reads.
std::string CountDownLine(const TQuestionState& question);

} // namespace harbolt
