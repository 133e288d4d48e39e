#include "ui/ConfirmDialingForm.h"

#include "dialup/Dialer.h"
#include "platform/Languages.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace harbolt {

TConfirmDialingForm::TConfirmDialingForm(std::function<void(int)> answer, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowStaysOnTopHint),
      Answer(std::move(answer)) {
    setObjectName("ConfirmDialingForm");
    setWindowTitle("Internet");
    GroupBox1 = new QGroupBox(QString::fromUtf8(LanguageText(39)), this);
    Memo = new QPlainTextEdit(GroupBox1);
    Memo->setObjectName("Memo");
    Memo->setReadOnly(true);
    Memo->setAccessibleName(QString::fromUtf8(LanguageText(39)));
    Memo->setTabChangesFocus(true);
    auto* groupLayout = new QVBoxLayout(GroupBox1);
    groupLayout->addWidget(Memo);

    Label1 = new QLabel(this);
    Label1->setObjectName("Label1");
    Label1->setWordWrap(true);
    YesButton = new QPushButton(QString::fromUtf8(LanguageText(41)), this);
    YesButton->setObjectName("YesButton");
    NoButton = new QPushButton(QString::fromUtf8(LanguageText(42)), this);
    NoButton->setObjectName("NoButton");
    connect(YesButton, &QPushButton::clicked, this, [this] { Answer(kAnswerYes); });
    connect(NoButton, &QPushButton::clicked, this, [this] { Answer(kAnswerNo); });

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(YesButton);
    buttons->addWidget(NoButton);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(GroupBox1);
    layout->addWidget(Label1);
    layout->addLayout(buttons);
    // About the design's 350 x 200 at 96 dpi, in letters so that it scales.
    const QFontMetrics metrics(font());
    resize(metrics.averageCharWidth() * 60, metrics.height() * 14);
    setWindowModality(Qt::ApplicationModal);
}

void TConfirmDialingForm::ShowQuestion(const TQuestionState& question) {
    const QString text = QString::fromStdString(question.Text);
    if (Memo->toPlainText() != text)
        Memo->setPlainText(text);
    Label1->setText(QString::fromStdString(CountDownLine(question)));
    QPushButton* defaultButton = question.DefaultAnswer == kAnswerYes ? YesButton : NoButton;
    if (!defaultButton->isDefault()) {
        defaultButton->setDefault(true);
        defaultButton->setFocus();
    }
}

void TConfirmDialingForm::keyPressEvent(QKeyEvent* event) {
    // Escape is the same as No; the dialog has no close box.
    if (event->key() == Qt::Key_Escape) {
        Answer(kAnswerNo);
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TConfirmDialingForm::closeEvent(QCloseEvent* event) {
    // Only an answer closes it: the instance closes the dialog when the question ends.
    event->ignore();
}

} // namespace harbolt
