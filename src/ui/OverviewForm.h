#pragma once

#include "dialup/ConnectionStatistics.h"

#include <QDialog>

#include <string>
#include <vector>

class QLabel;
class QTableWidget;

// The list of individual connections of one connection name: date, time, computer, duration.
namespace harbolt {

class TOverviewForm : public QDialog {
public:
    explicit TOverviewForm(QWidget* parent = nullptr);

    // heading: the text under the caption (UTF-8); lines in their order.
    void Fill(const std::string& heading, const std::vector<TOverviewLine>& lines);

    QLabel* HeadingLabel = nullptr;
    QTableWidget* Grid = nullptr;
};

} // namespace harbolt
