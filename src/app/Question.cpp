#include "app/Question.h"

#include "dialup/Dialer.h"
#include "platform/Languages.h"

#include <iostream>

namespace harbolt {

std::string CountDownLine(const TQuestionState& question) {
    return FormatText(40, std::to_string(question.SecondsLeft),
                      LanguageText(question.DefaultAnswer == kAnswerYes ? 41 : 42));
}

void THeadlessQuestion::Ask(const std::string& text, int defaultAnswer,
                            std::function<void(int)> answered) {
    if (Open) {
        answered(kAnswerNo);
        return;
    }
    Open = TQuestionState{text, defaultAnswer, kSeconds};
    Answered = std::move(answered);
    std::cerr << "harbolt: " << LanguageText(39) << ": " << text
              << "\nharbolt: " << CountDownLine(*Open) << " (harbolt ctl answer yes|no)\n";
}

void THeadlessQuestion::Tick() {
    if (!Open)
        return;
    if (--Open->SecondsLeft <= 0)
        Finish(Open->DefaultAnswer);
}

bool THeadlessQuestion::Answer(int answer) {
    if (!Open)
        return false;
    Finish(answer);
    return true;
}

std::optional<TQuestionState> THeadlessQuestion::Current() const {
    return Open;
}

void THeadlessQuestion::Finish(int answer) {
    Open.reset();
    auto answered = std::move(Answered);
    Answered = nullptr;
    std::cerr << "harbolt: answered " << LanguageText(answer == kAnswerYes ? 41 : 42) << "\n";
    if (answered)
        answered(answer);
}

} // namespace harbolt
