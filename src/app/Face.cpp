#include "app/Face.h"

#include "app/Sound.h"
#include "dialup/Dialer.h"
#include "platform/EventLog.h"
#include "platform/Languages.h"

namespace harbolt {

void THeadlessFace::QuestionOpened(const TQuestionState& question) {
    LogEvent(TEventLevel::Info, std::string(LanguageText(39)) + ": " + question.Text);
    LogEvent(TEventLevel::Info, CountDownLine(question) + " (harbolt ctl answer yes|no)");
}

void THeadlessFace::QuestionClosed(int answer) {
    LogEvent(TEventLevel::Info,
             std::string("answered ") + LanguageText(answer == kAnswerYes ? 41 : 42));
}

void THeadlessFace::ShowMessage(const std::string& text) {
    LogEvent(TEventLevel::Warning, text);
}

void THeadlessFace::NewMail(const std::string& soundFile) {
    // The mail check wrote the event line, with the mailbox and the count.
    PlaySoundFile(soundFile);
}

} // namespace harbolt
