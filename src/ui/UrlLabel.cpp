#include "ui/UrlLabel.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>

namespace harbolt {

TUrlLabel::TUrlLabel(QWidget* parent) : QLabel(parent) {
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    QFont bold = font();
    bold.setBold(true);
    bold.setUnderline(true);
    setFont(bold);
    SetPressed(false);
}

void TUrlLabel::SetPressed(bool pressed) {
    QPalette colours = palette();
    colours.setColor(QPalette::WindowText, pressed ? QColor(128, 0, 128) : QColor(0, 0, 255));
    setPalette(colours);
}

QUrl TUrlLabel::Target() const {
    if (!FUrl.isEmpty())
        return FUrl;
    return QUrl::fromUserInput(text().trimmed());
}

void TUrlLabel::Open() const {
    const QUrl target = Target();
    if (target.isValid() && !target.isEmpty())
        QDesktopServices::openUrl(target);
}

void TUrlLabel::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        SetPressed(true);
    QLabel::mousePressEvent(event);
}

void TUrlLabel::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        SetPressed(false);
        if (rect().contains(event->position().toPoint()))
            Open();
    }
    QLabel::mouseReleaseEvent(event);
}

void TUrlLabel::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter ||
        event->key() == Qt::Key_Space) {
        Open();
        return;
    }
    QLabel::keyPressEvent(event);
}

void TUrlLabel::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.addAction("Copy", this, [this] { QApplication::clipboard()->setText(text()); });
    menu.exec(event->globalPos());
}

} // namespace harbolt
