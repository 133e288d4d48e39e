#include "ui/OverviewForm.h"

#include "platform/Languages.h"
#include "ui/Fields.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace harbolt {

TOverviewForm::TOverviewForm(QWidget* parent) : QDialog(parent) {
    setObjectName("OverviewForm");
    setWindowTitle(TableText(14));
    HeadingLabel = new QLabel(this);
    HeadingLabel->setObjectName("HeadingLabel");
    HeadingLabel->setWordWrap(true);
    QFont bold = HeadingLabel->font();
    bold.setBold(true);
    HeadingLabel->setFont(bold);

    Grid = new QTableWidget(0, 5, this);
    Grid->setObjectName("Grid");
    Grid->setHorizontalHeaderLabels(
        {"", TableText(43), TableText(44), TableText(45), TableText(46)});
    Grid->verticalHeader()->setVisible(false);
    Grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    Grid->setTabKeyNavigation(false);
    Grid->setAccessibleName(TableText(14));
    HeadingLabel->setBuddy(Grid);
    // The design's widths at 96 dpi, in letters so that they scale.
    const int letter = fontMetrics().averageCharWidth();
    const int widths[] = {5, 11, 8, 21, 11};
    for (int column = 0; column < 5; ++column)
        Grid->setColumnWidth(column, widths[column] * letter);
    Grid->horizontalHeader()->setStretchLastSection(true);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton(TableText(37), QDialogButtonBox::AcceptRole);
    ok->setObjectName("OKButton");
    ok->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(HeadingLabel);
    layout->addWidget(Grid, 1);
    layout->addWidget(buttons);
    resize(letter * 66, fontMetrics().height() * 24);
}

void TOverviewForm::Fill(const std::string& heading, const std::vector<TOverviewLine>& lines) {
    HeadingLabel->setText(QString::fromStdString(heading));
    Grid->setRowCount(static_cast<int>(lines.size()));
    for (int row = 0; row < static_cast<int>(lines.size()); ++row) {
        const TOverviewLine& line = lines[static_cast<std::size_t>(row)];
        const std::string* cells[] = {&line.Number, &line.Date, &line.Time, &line.Computer,
                                      &line.Duration};
        for (int column = 0; column < 5; ++column) {
            auto* item = new QTableWidgetItem(QString::fromStdString(*cells[column]));
            if (column == 0 || column == 4)
                item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            Grid->setItem(row, column, item);
        }
    }
}

} // namespace harbolt
