#include "ui/WindowFace.h"

#include "app/Instance.h"
#include "dialup/Dialer.h"
#include "ui/ConfirmDialingForm.h"
#include "ui/MainForm.h"
#include "ui/MessageForm.h"

#include <QGuiApplication>
#include <QTimer>

namespace harbolt {

TWindowFace::TWindowFace() = default;

TWindowFace::~TWindowFace() {
    Detach();
}

void TWindowFace::Attach(TInstance& instance) {
    Instance = &instance;
    QGuiApplication::setApplicationDisplayName("Harbolt");
    // The tray icon and hidden windows keep the program running; only Quit ends it.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    Form = std::make_unique<TMainForm>(instance);
    // The end of the desktop session quits without asking; the instance saves on its way out.
    QObject::connect(qGuiApp, &QGuiApplication::commitDataRequest, Form.get(),
                     [this](QSessionManager&) {
                         Form->QuitConfirmed = true;
                         Instance->Quit();
                     });
    Form->FormCreate();
    // A question asked before the window existed.
    if (const auto open = instance.OpenQuestion())
        QuestionOpened(*open);
}

void TWindowFace::Detach() {
    Question.reset();
    Form.reset();
    Instance = nullptr;
}

void TWindowFace::ComputerAdded(const std::string& displayName) {
    if (Form) {
        Form->AddTab(displayName);
    }
}

void TWindowFace::ComputerRemoved(const std::string& displayName) {
    if (Form)
        Form->RemoveTab(displayName);
}

void TWindowFace::RefreshOnlineState() {
    if (Form)
        Form->RefreshOnlineState();
}

void TWindowFace::RefreshStatusLine() {
    if (Form)
        Form->RefreshStatusLine();
}

void TWindowFace::RefreshConnectionList() {
    if (Form)
        Form->RefreshConnectionList();
}

void TWindowFace::UpdateTimer() {
    if (Form)
        Form->UpdateTimerTimer();
}

void TWindowFace::QuestionOpened(const TQuestionState& question) {
    if (!Form)
        return;
    TInstance* instance = Instance;
    Question = std::make_unique<TConfirmDialingForm>(
        [instance](int answer) { instance->AnswerQuestion(answer == kAnswerYes); });
    Question->ShowQuestion(question);
    Question->show();
    Question->raise();
    Question->activateWindow();
}

void TWindowFace::QuestionChanged(const TQuestionState& question) {
    if (Question)
        Question->ShowQuestion(question);
}

void TWindowFace::QuestionClosed(int) {
    // The dialog may be in the middle of its own click handler: it goes once that has returned.
    if (Question)
        Question.release()->deleteLater();
}

bool TWindowFace::OpenMainWindow(const std::string& computer) {
    if (!Form || (!computer.empty() && !Form->SelectComputerTab(computer)))
        return false;
    Form->OpenMainWindow();
    return true;
}

std::optional<TWindowView> TWindowFace::WindowView() {
    if (!Form)
        return std::nullopt;
    return Form->View();
}

void TWindowFace::ShowMessage(const std::string& text) {
    // A message box runs an event loop of its own: never inside the timer that reports.
    QTimer::singleShot(0, [text] { LocalShowMessage(text); });
}

void TWindowFace::NewMail(const std::string& soundFile) {
    if (Form)
        Form->ShowNewMail(soundFile);
}

} // namespace harbolt
