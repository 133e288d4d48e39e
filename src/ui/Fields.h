#pragma once

#include <QString>

#include <string>

class QLabel;
class QLineEdit;
class QWidget;

// Small things the settings dialogs share.
namespace harbolt {

// A text of the table, in the current language.
QString TableText(int index);
// The English or German text of the program's own, in the current language.
QString OwnText(const char* english, const char* german);

inline QString Q(const std::string& utf8) {
    return QString::fromStdString(utf8);
}
inline std::string S(const QString& text) {
    return text.toStdString();
}

// Gives a control the name it has in the design (tests and `ctl` find it by that name).
template <typename TField> TField* Named(TField* field, const char* name) {
    field->setObjectName(name);
    return field;
}

// A label that names its field for screen readers and for the keyboard (its buddy).
QLabel* LabelFor(const QString& caption, QWidget& field, const char* name, QWidget* parent);

// Shows every typed character as "*".
void MaskWithAsterisks(QLineEdit& edit);

// A short note in dark red that blocks nothing, hidden until there is something to say.
QLabel* MakeHint(const QString& name, QWidget* parent);

// A short note beside a port field while it holds something that is not a port from 1 to 65535.
// It blocks nothing: the field is stored as typed.
QLabel* MakePortHint(QLineEdit& edit, QWidget* parent);
// Shows or hides the hint by the field's text (and whether the field is shown at all).
void RefreshPortHint(QLabel& hint, QLineEdit& edit);

} // namespace harbolt
