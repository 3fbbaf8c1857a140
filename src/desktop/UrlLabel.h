#pragma once

#include "framework/Component.h"

#include <QColor>
#include <QLabel>

#include <functional>
#include <string>

class QAction;
class QMenu;

// A label that behaves as a link: blue and underlined, a hand cursor, purple
// while the left button is held, a click that opens URL (or the caption when
// URL is blank) in the desktop's browser or mail program, and a context menu
// whose "Copy" puts the caption on the clipboard.
class TUrlLabel final : public QLabel, public TComponent {
    Q_OBJECT
public:
    explicit TUrlLabel(QWidget* parent = nullptr);

    std::string URL;
    QColor ActiveColor{128, 0, 128};
    std::function<void(TObject* Sender)> OnClick;

    QMenu* Menu() const { return menu_; }
    QAction* CopyItem() const { return copy_; }
    QColor FontColor() const;
    // The label's click: its own event, then the link is opened.
    void Click();
    void CopyCaption();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void SetFontColor(const QColor& color);
    void OpenLink();

    QColor savedColor_;
    bool pressed_ = false;
    QMenu* menu_;
    QAction* copy_;
};
