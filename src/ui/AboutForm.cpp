#include "ui/AboutForm.h"

#include "app/Sound.h"
#include "platform/Languages.h"
#include "ui/UrlLabel.h"

#include <QDialogButtonBox>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#ifndef HARBOLT_SOURCE_DIR
#define HARBOLT_SOURCE_DIR ""
#endif

namespace harbolt {

namespace {

// The installed README (share/doc/harbolt beside share/harbolt), else the one of the source tree
// this program was built from.
QString DocumentationFile() {
    const QString installed =
        QString::fromStdString(ProgramDirectory()) + "/../doc/harbolt/README.md";
    if (QFileInfo::exists(installed))
        return QFileInfo(installed).canonicalFilePath();
    const QString source = QStringLiteral(HARBOLT_SOURCE_DIR "/README.md");
    return QFileInfo::exists(source) ? source : QString();
}

} // namespace

void SetupDocumentationLink(TUrlLabel& label) {
    const QString file = DocumentationFile();
    label.setText("README");
    label.SetUrl(file.isEmpty() ? QUrl() : QUrl::fromLocalFile(file));
    label.setToolTip(file);
    label.setAccessibleName("README");
    label.setVisible(!file.isEmpty());
}

void SetupDataFolderLink(TUrlLabel& label, const QString& dataDirectory) {
    label.setText(dataDirectory);
    label.SetUrl(QUrl::fromLocalFile(dataDirectory));
    label.setAccessibleName(dataDirectory);
}

TAboutForm::TAboutForm(const QString& dataDirectory, QWidget* parent) : QDialog(parent) {
    setObjectName("AboutForm");
    setWindowTitle(QString::fromUtf8(LanguageText(96)));
    auto* layout = new QVBoxLayout(this);
    const auto line = [&](const QString& text, int points, bool bold) {
        auto* label = new QLabel(text, this);
        label->setAlignment(Qt::AlignHCenter);
        label->setWordWrap(true);
        QFont font = label->font();
        if (points > 0)
            font.setPointSize(points);
        font.setBold(bold);
        label->setFont(font);
        layout->addWidget(label);
        return label;
    };
    line("Harbolt", 20, true);
    line(Language() == TLanguage::German
             ? QString::fromUtf8("Ein Internet-Zugang für alle Computer im lokalen Netz")
             : QString("One Internet connection for every computer of the local net"),
         0, false);
    line("Version 1.2", 0, false);
    UrlLabel1 = new TUrlLabel(this);
    UrlLabel1->setObjectName("UrlLabel1");
    UrlLabel1->setAlignment(Qt::AlignHCenter);
    SetupDocumentationLink(*UrlLabel1);
    UrlLabel2 = new TUrlLabel(this);
    UrlLabel2->setObjectName("UrlLabel2");
    UrlLabel2->setAlignment(Qt::AlignHCenter);
    SetupDataFolderLink(*UrlLabel2, dataDirectory);
    layout->addWidget(UrlLabel1);
    layout->addWidget(UrlLabel2);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton("OK", QDialogButtonBox::AcceptRole);
    ok->setObjectName("OKButton");
    ok->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

} // namespace harbolt
