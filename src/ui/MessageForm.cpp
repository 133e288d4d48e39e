#include "ui/MessageForm.h"

#include "platform/Languages.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QVBoxLayout>

#include <optional>

namespace harbolt {

namespace {

std::optional<int> NextAnswer;
std::string PresetMessage;

struct TButtonInfo {
    TMsgDlgButton Button;
    const char* Name; // the object name, and the English caption
    const char* German;
    int Result;
};

constexpr TButtonInfo kButtons[] = {
    {mbYes, "Yes", "&Ja", mrYes},
    {mbNo, "No", "&Nein", mrNo},
    {mbOK, "OK", "OK", mrOk},
    {mbCancel, "Cancel", "Abbrechen", mrCancel},
    {mbAbort, "Abort", "&Abbrechen", mrAbort},
    {mbRetry, "Retry", "&Wiederholen", mrRetry},
    {mbIgnore, "Ignore", "&Ignorieren", mrIgnore},
    {mbAll, "All", "&Alles", mrAll},
    {mbHelp, "Help", "&Hilfe", mrNone},
};

const char* Caption(TMsgDlgType type) {
    const bool german = Language() == TLanguage::German;
    switch (type) {
    case TMsgDlgType::Warning:
        return german ? "Warnung" : "Warning";
    case TMsgDlgType::Error:
        return german ? "Fehler" : "Error";
    case TMsgDlgType::Information:
        return "Information";
    case TMsgDlgType::Confirmation:
        return german ? "Bestätigen" : "Confirm";
    case TMsgDlgType::Custom:
        break;
    }
    return "";
}

std::optional<QStyle::StandardPixmap> IconOf(TMsgDlgType type) {
    switch (type) {
    case TMsgDlgType::Warning:
        return QStyle::SP_MessageBoxWarning;
    case TMsgDlgType::Error:
        return QStyle::SP_MessageBoxCritical;
    case TMsgDlgType::Information:
        return QStyle::SP_MessageBoxInformation;
    case TMsgDlgType::Confirmation:
        return QStyle::SP_MessageBoxQuestion;
    case TMsgDlgType::Custom:
        break;
    }
    return std::nullopt;
}

int MulDiv(int number, int numerator, int denominator) {
    return static_cast<int>((static_cast<long long>(number) * numerator) / denominator);
}

} // namespace

TMessageForm::TMessageForm(const std::string& message, TMsgDlgType type, TMsgDlgButtons buttons,
                           QWidget* parent)
    : QDialog(parent) {
    setObjectName("MessageForm");
    // Measures of the font: the average letter and the line height.
    const QFontMetrics metrics(font());
    const QString letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    const int charWidth = metrics.horizontalAdvance(letters) / 52;
    const int charHeight = metrics.height();
    const int horzMargin = MulDiv(8, charWidth, 4);
    const int vertMargin = MulDiv(8, charHeight, 8);
    const int horzSpacing = MulDiv(10, charWidth, 4);
    const int vertSpacing = MulDiv(10, charHeight, 8);
    const int buttonWidth = MulDiv(50, charWidth, 4);
    const int buttonHeight = MulDiv(14, charHeight, 8);
    const int buttonSpacing = MulDiv(4, charWidth, 4);

    // The message wraps within half the screen's width; the box grows in height, not in width.
    const QScreen* screen = parent != nullptr && parent->screen() != nullptr
                                ? parent->screen()
                                : QGuiApplication::primaryScreen();
    FWrapWidth = screen != nullptr ? screen->geometry().width() / 2 : 512;
    const QString text = QString::fromStdString(message);
    const QRect textRect = metrics.boundingRect(QRect(0, 0, FWrapWidth, 0), Qt::TextWordWrap, text);

    setWindowTitle(type == TMsgDlgType::Custom ? QGuiApplication::applicationDisplayName()
                                               : QString::fromUtf8(Caption(type)));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(horzMargin, vertMargin, horzMargin, vertMargin);
    layout->setSpacing(vertSpacing);
    auto* top = new QHBoxLayout;
    top->setSpacing(horzSpacing);
    if (const auto icon = IconOf(type)) {
        auto* image = new QLabel(this);
        image->setObjectName("Image");
        image->setPixmap(style()->standardIcon(*icon, nullptr, this).pixmap(32, 32));
        image->setFixedSize(32, 32);
        image->setAccessibleName(QString::fromUtf8(Caption(type)));
        top->addWidget(image, 0, Qt::AlignTop);
    }
    FMessage = new QLabel(text, this);
    FMessage->setObjectName("Message");
    FMessage->setWordWrap(true);
    FMessage->setTextFormat(Qt::PlainText);
    FMessage->setTextInteractionFlags(Qt::TextSelectableByMouse);
    FMessage->setFixedWidth(textRect.width() + 1);
    FMessage->setMinimumHeight(textRect.height());
    top->addWidget(FMessage, 0, Qt::AlignTop);
    top->addStretch();
    layout->addLayout(top);

    // Default: OK, else Yes, else Retry. Cancel: Cancel, else No, else OK.
    const TMsgDlgButton defaultButton = (buttons & mbOK)    ? mbOK
                                        : (buttons & mbYes) ? mbYes
                                                            : mbRetry;
    const TMsgDlgButton cancelButton = (buttons & mbCancel) ? mbCancel
                                       : (buttons & mbNo)   ? mbNo
                                                            : mbOK;
    auto* row = new QHBoxLayout;
    row->setSpacing(buttonSpacing);
    row->addStretch();
    const bool german = Language() == TLanguage::German;
    for (const TButtonInfo& info : kButtons) {
        if ((buttons & info.Button) == 0)
            continue;
        auto* button = new QPushButton(QString::fromUtf8(german ? info.German : info.Name), this);
        button->setObjectName(info.Name);
        button->setMinimumSize(buttonWidth, buttonHeight);
        button->setAutoDefault(false);
        if (info.Button == defaultButton) {
            button->setDefault(true);
            FDefault = button;
        }
        if (info.Button == cancelButton)
            FCancel = button;
        const int result = info.Result;
        if (info.Button != mbHelp)
            connect(button, &QPushButton::clicked, this, [this, result] { done(result); });
        row->addWidget(button);
    }
    row->addStretch();
    layout->addLayout(row);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    if (FDefault != nullptr)
        FDefault->setFocus();
}

void TMessageForm::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        // Escape answers as the cancel button would; without one it does nothing.
        if (FCancel != nullptr)
            FCancel->click();
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TMessageForm::closeEvent(QCloseEvent* event) {
    // The close box answers Cancel, whatever the buttons are.
    event->ignore();
    done(mrCancel);
}

int LocalMessageDlgPos(const std::string& message, TMsgDlgType type, TMsgDlgButtons buttons,
                       int helpContext, int x, int y) {
    if (NextAnswer) {
        const int answer = *NextAnswer;
        NextAnswer.reset();
        PresetMessage = message;
        return answer;
    }
    TMessageForm form(message, type, buttons, QApplication::activeWindow());
    form.setProperty("helpContext", helpContext);
    form.adjustSize();
    if (x >= 0 || y >= 0) {
        QPoint position = form.pos();
        if (x >= 0)
            position.setX(x);
        if (y >= 0)
            position.setY(y);
        form.move(position);
    }
    const int result = form.exec();
    return result == QDialog::Rejected && form.result() == 0 ? mrCancel : result;
}

int LocalMessageDlg(const std::string& message, TMsgDlgType type, TMsgDlgButtons buttons,
                    int helpContext) {
    return LocalMessageDlgPos(message, type, buttons, helpContext, -1, -1);
}

void LocalShowMessage(const std::string& message) {
    LocalMessageDlgPos(message, TMsgDlgType::Custom, mbOK, 0, -1, -1);
}

void SetNextMessageAnswer(int result) {
    NextAnswer = result;
}

void ClearNextMessageAnswer() {
    NextAnswer.reset();
}

std::string LastPresetMessage() {
    return PresetMessage;
}

} // namespace harbolt
