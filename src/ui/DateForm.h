#pragma once

#include <QDialog>

class QCalendarWidget;
class QComboBox;
class QSpinBox;

// The date picker of the statistics' range: a year field, the month's name and a calendar.
namespace harbolt {

class TDateForm : public QDialog {
public:
    explicit TDateForm(QWidget* parent = nullptr);

    void SetDate(int year, int month, int day);
    // What OK takes: the year of YearField, the month and day of the calendar.
    void GetDate(int& year, int& month, int& day) const;

    QSpinBox* YearField = nullptr;
    QComboBox* MonthField = nullptr;
    QCalendarWidget* DayField = nullptr;

private:
    void YearFieldChange();
    void MonthFieldChange();
};

// Asks for a date; changes year, month and day only when the user confirms.
bool PickDate(QWidget* owner, int& year, int& month, int& day);

} // namespace harbolt
