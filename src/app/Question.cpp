#include "app/Question.h"

#include "app/Face.h"
#include "dialup/Dialer.h"
#include "platform/Languages.h"

namespace harbolt {

std::string CountDownLine(const TQuestionState& question) {
    return FormatText(40, std::to_string(question.SecondsLeft),
                      LanguageText(question.DefaultAnswer == kAnswerYes ? 41 : 42));
}

void TQuestion::Ask(const std::string& text, int defaultAnswer, std::function<void(int)> answered) {
    if (Open) {
        answered(kAnswerNo);
        return;
    }
    Open = TQuestionState{text, defaultAnswer, kSeconds};
    Answered = std::move(answered);
    if (Face != nullptr)
        Face->QuestionOpened(*Open);
}

void TQuestion::Tick() {
    if (!Open)
        return;
    if (--Open->SecondsLeft <= 0) {
        Finish(Open->DefaultAnswer);
        return;
    }
    if (Face != nullptr)
        Face->QuestionChanged(*Open);
}

bool TQuestion::Answer(int answer) {
    if (!Open)
        return false;
    Finish(answer);
    return true;
}

std::optional<TQuestionState> TQuestion::Current() const {
    return Open;
}

void TQuestion::Finish(int answer) {
    Open.reset();
    auto answered = std::move(Answered);
    Answered = nullptr;
    if (Face != nullptr)
        Face->QuestionClosed(answer);
    if (answered)
        answered(answer);
}

} // namespace harbolt
