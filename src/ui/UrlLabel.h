#pragma once

#include <QLabel>
#include <QUrl>

// A link: blue, underlined, with a hand cursor; purple while pressed. A click (or Enter and Space
// when it has the focus) opens its address; its context menu copies the caption.
namespace harbolt {

class TUrlLabel : public QLabel {
public:
    explicit TUrlLabel(QWidget* parent = nullptr);

    void SetUrl(const QUrl& url) { FUrl = url; }
    const QUrl& Url() const { return FUrl; }
    // The address a click opens: the URL, or the caption when the URL is empty.
    QUrl Target() const;
    void Open() const;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void SetPressed(bool pressed);
    QUrl FUrl;
};

} // namespace harbolt
