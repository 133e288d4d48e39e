#pragma once

#include <QDialog>

#include <string>

class QLabel;
class QPushButton;

// The program's message box: an icon, the word-wrapped message and a row of buttons, with the
// window and button captions in the program's language. Laid out from the font's measures, so it
// keeps its proportions at any scale.
namespace harbolt {

enum class TMsgDlgType { Warning, Error, Information, Confirmation, Custom };

// The buttons, a set of bits; they always appear in this order.
enum TMsgDlgButton : unsigned {
    mbYes = 1u << 0,
    mbNo = 1u << 1,
    mbOK = 1u << 2,
    mbCancel = 1u << 3,
    mbAbort = 1u << 4,
    mbRetry = 1u << 5,
    mbIgnore = 1u << 6,
    mbAll = 1u << 7,
    mbHelp = 1u << 8,
};
using TMsgDlgButtons = unsigned;

// Modal results.
constexpr int mrNone = 0;
constexpr int mrOk = 1;
constexpr int mrCancel = 2;
constexpr int mrAbort = 3;
constexpr int mrRetry = 4;
constexpr int mrIgnore = 5;
constexpr int mrYes = 6;
constexpr int mrNo = 7;
constexpr int mrAll = 8;

class TMessageForm : public QDialog {
public:
    TMessageForm(const std::string& message, TMsgDlgType type, TMsgDlgButtons buttons,
                 QWidget* parent = nullptr);

    QPushButton* DefaultButton() const { return FDefault; }
    QPushButton* CancelButton() const { return FCancel; }
    QLabel* MessageLabel() const { return FMessage; }
    // The width the message was wrapped within: half the screen's.
    int WrapWidth() const { return FWrapWidth; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    QLabel* FMessage = nullptr;
    QPushButton* FDefault = nullptr;
    QPushButton* FCancel = nullptr;
    int FWrapWidth = 0;
};

// Builds the box, places it (x or y below 0: centred on that axis), shows it modally and returns
// the modal result. helpContext is kept for a Help button; there is no help system to open.
int LocalMessageDlgPos(const std::string& message, TMsgDlgType type, TMsgDlgButtons buttons,
                       int helpContext, int x, int y);
int LocalMessageDlg(const std::string& message, TMsgDlgType type, TMsgDlgButtons buttons,
                    int helpContext);
// An OK box with the application's title and no icon.
void LocalShowMessage(const std::string& message);

// For tests: the next box is not shown but answers result at once; its message is kept.
void SetNextMessageAnswer(int result);
void ClearNextMessageAnswer();
// The message of the last box answered by SetNextMessageAnswer.
std::string LastPresetMessage();

} // namespace harbolt
