#include "app/Face.h"

#include "app/Sound.h"
#include "dialup/Dialer.h"
#include "platform/Languages.h"

#include <iostream>

namespace harbolt {

void THeadlessFace::QuestionOpened(const TQuestionState& question) {
    std::cerr << "harbolt: " << LanguageText(39) << ": " << question.Text
              << "\nharbolt: " << CountDownLine(question) << " (harbolt ctl answer yes|no)\n";
}

void THeadlessFace::QuestionClosed(int answer) {
    std::cerr << "harbolt: answered " << LanguageText(answer == kAnswerYes ? 41 : 42) << "\n";
}

void THeadlessFace::ShowMessage(const std::string& text) {
    std::cerr << "harbolt: " << text << "\n";
}

void THeadlessFace::NewMail(const std::string& soundFile) {
    std::cerr << "harbolt: new mail\n";
    PlaySoundFile(soundFile);
}

} // namespace harbolt
