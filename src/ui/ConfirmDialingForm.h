#pragma once

#include "app/Question.h"

#include <QDialog>

#include <functional>

class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

// The dialer's question: caption "Internet", on top of every window, with the count-down line
// under it. The question and its count-down belong to the instance (so `ctl answer` answers the
// same question); the dialog shows them and passes a click on.
namespace harbolt {

class TConfirmDialingForm : public QDialog {
public:
    // answer gets kAnswerYes or kAnswerNo when a button is chosen.
    TConfirmDialingForm(std::function<void(int answer)> answer, QWidget* parent = nullptr);

    // Shows the question (or the next second of it).
    void ShowQuestion(const TQuestionState& question);

    QPlainTextEdit* Memo = nullptr;
    QLabel* Label1 = nullptr;
    QPushButton* YesButton = nullptr;
    QPushButton* NoButton = nullptr;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    std::function<void(int)> Answer;
    QGroupBox* GroupBox1 = nullptr;
};

} // namespace harbolt
