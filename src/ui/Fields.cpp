#include "ui/Fields.h"

#include "app/ProxyOptions.h"
#include "platform/Languages.h"

#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>

namespace harbolt {

namespace {

// The style of the application, but "*" for hidden characters.
class TAsteriskStyle final : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_LineEdit_PasswordCharacter)
            return '*';
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

} // namespace

QString TableText(int index) {
    return QString::fromUtf8(LanguageText(index));
}

QString OwnText(const char* english, const char* german) {
    return QString::fromUtf8(Language() == TLanguage::German ? german : english);
}

QLabel* LabelFor(const QString& caption, QWidget& field, const char* name, QWidget* parent) {
    auto* label = Named(new QLabel(caption, parent), name);
    label->setBuddy(&field);
    field.setAccessibleName(caption);
    return label;
}

void MaskWithAsterisks(QLineEdit& edit) {
    auto* style = new TAsteriskStyle;
    style->setParent(&edit);
    edit.setStyle(style);
    edit.setEchoMode(QLineEdit::Password);
}

QLabel* MakeHint(const QString& name, QWidget* parent) {
    auto* hint = new QLabel(parent);
    hint->setObjectName(name);
    hint->setWordWrap(true);
    QPalette palette = hint->palette();
    palette.setColor(QPalette::WindowText, Qt::darkRed);
    hint->setPalette(palette);
    hint->hide();
    return hint;
}

QLabel* MakePortHint(QLineEdit& edit, QWidget* parent) {
    QLabel* hint = MakeHint(edit.objectName() + "Hint", parent);
    hint->setText(OwnText("not a port (1 to 65535)", "kein Port (1 bis 65535)"));
    hint->setWordWrap(false);
    QObject::connect(&edit, &QLineEdit::textChanged, hint,
                     [hint, &edit] { RefreshPortHint(*hint, edit); });
    RefreshPortHint(*hint, edit);
    return hint;
}

void RefreshPortHint(QLabel& hint, QLineEdit& edit) {
    const QString text = edit.text();
    const bool shown =
        edit.isVisibleTo(edit.window()) && !text.isEmpty() && !IsPortNumber(text.toStdString());
    hint.setVisible(shown);
    // Screen readers hear it with the field.
    edit.setAccessibleDescription(shown ? hint.text() : QString());
}

} // namespace harbolt
