#pragma once

#include <QDialog>

// The About box: the product, what it does, its version and the two links.
namespace harbolt {

class TUrlLabel;

class TAboutForm : public QDialog {
public:
    TAboutForm(const QString& dataDirectory, QWidget* parent = nullptr);

    TUrlLabel* UrlLabel1 = nullptr;
    TUrlLabel* UrlLabel2 = nullptr;
};

// The two links of the main window and the About box: the program's documentation, and the
// folder that holds this computer's data.
void SetupDocumentationLink(TUrlLabel& label);
void SetupDataFolderLink(TUrlLabel& label, const QString& dataDirectory);

} // namespace harbolt
