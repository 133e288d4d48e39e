#include "ui/DateForm.h"

#include "platform/Languages.h"
#include "ui/Fields.h"

#include <QCalendarWidget>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>

namespace harbolt {

namespace {
constexpr int kFirstYear = 1980;
constexpr int kLastYear = 3000;

// Any number may be typed; leaving the field pulls it to the nearer bound, and a text that is no
// number reads as the first year.
class TYearField : public QSpinBox {
public:
    explicit TYearField(QWidget* parent) : QSpinBox(parent) {}

protected:
    QValidator::State validate(QString& input, int&) const override {
        bool number = false;
        const long long year = input.toLongLong(&number);
        if (input.isEmpty() || !number)
            return QValidator::Intermediate;
        return year >= minimum() && year <= maximum() ? QValidator::Acceptable
                                                      : QValidator::Intermediate;
    }
    void fixup(QString& input) const override {
        bool number = false;
        const long long year = input.toLongLong(&number);
        input =
            QString::number(number ? std::clamp<long long>(year, minimum(), maximum()) : minimum());
    }
};
} // namespace

TDateForm::TDateForm(QWidget* parent) : QDialog(parent) {
    setObjectName("DateForm");
    setWindowTitle(TableText(43));

    // A number outside the bounds is pulled to the nearer one when the field loses the focus.
    YearField = new TYearField(this);
    YearField->setObjectName("YearField");
    YearField->setRange(kFirstYear, kLastYear);
    YearField->setKeyboardTracking(false);

    MonthField = new QComboBox(this);
    MonthField->setObjectName("MonthField");
    const QLocale locale = QLocale::system();
    for (int month = 1; month <= 12; ++month)
        MonthField->addItem(locale.standaloneMonthName(month, QLocale::LongFormat));
    MonthField->setMaxVisibleItems(12);

    DayField = new QCalendarWidget(this);
    DayField->setObjectName("DayField");
    DayField->setFirstDayOfWeek(Qt::Monday);
    DayField->setNavigationBarVisible(false);
    DayField->setDateRange(QDate(kFirstYear, 1, 1), QDate(kLastYear, 12, 31));

    auto* form = new QFormLayout;
    auto* yearLabel = new QLabel(TableText(35), this);
    yearLabel->setBuddy(YearField);
    auto* monthLabel = new QLabel(TableText(36), this);
    monthLabel->setBuddy(MonthField);
    auto* dayLabel = new QLabel("Tag:", this);
    dayLabel->setBuddy(DayField);
    form->addRow(yearLabel, YearField);
    form->addRow(monthLabel, MonthField);
    form->addRow(dayLabel, DayField);
    YearField->setAccessibleName(TableText(35));
    MonthField->setAccessibleName(TableText(36));
    DayField->setAccessibleName("Tag:");

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton(TableText(37), QDialogButtonBox::AcceptRole);
    ok->setObjectName("OKButton");
    ok->setDefault(true);
    QPushButton* cancel = buttons->addButton(TableText(38), QDialogButtonBox::RejectRole);
    cancel->setObjectName("CancelButton");
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);

    connect(YearField, &QSpinBox::valueChanged, this, [this] { YearFieldChange(); });
    connect(MonthField, &QComboBox::currentTextChanged, this, [this] { MonthFieldChange(); });
}

void TDateForm::SetDate(int year, int month, int day) {
    const QDate date(std::clamp(year, kFirstYear, kLastYear), std::clamp(month, 1, 12), 1);
    DayField->setCurrentPage(date.year(), date.month());
    DayField->setSelectedDate(
        QDate(date.year(), date.month(), std::clamp(day, 1, date.daysInMonth())));
    YearField->setValue(date.year());
    MonthField->setCurrentIndex(date.month() - 1);
}

void TDateForm::GetDate(int& year, int& month, int& day) const {
    year = YearField->value();
    month = DayField->selectedDate().month();
    day = DayField->selectedDate().day();
}

void TDateForm::YearFieldChange() {
    const QDate selected = DayField->selectedDate();
    const int year = YearField->value();
    const int month = selected.month();
    const int day = std::min(selected.day(), QDate(year, month, 1).daysInMonth());
    DayField->setSelectedDate(QDate(year, month, day));
    DayField->setCurrentPage(year, month);
}

void TDateForm::MonthFieldChange() {
    const int index = MonthField->findText(MonthField->currentText(), Qt::MatchExactly);
    if (index < 0)
        return;
    const QDate selected = DayField->selectedDate();
    const int month = index + 1;
    const int day = std::min(selected.day(), QDate(selected.year(), month, 1).daysInMonth());
    DayField->setSelectedDate(QDate(selected.year(), month, day));
    DayField->setCurrentPage(selected.year(), month);
}

bool PickDate(QWidget* owner, int& year, int& month, int& day) {
    TDateForm form(owner);
    form.SetDate(year, month, day);
    if (form.exec() != QDialog::Accepted)
        return false;
    form.GetDate(year, month, day);
    return true;
}

} // namespace harbolt
