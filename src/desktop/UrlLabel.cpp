#include "desktop/UrlLabel.h"
#include "framework/Ansi.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QUrl>

namespace {

bool Blank(const std::string& text)
{
    return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

} // namespace

TUrlLabel::TUrlLabel(QWidget* parent) : QLabel(parent), menu_(new QMenu(this)), copy_(menu_->addAction("Copy"))
{
    setCursor(Qt::PointingHandCursor);
    setTextFormat(Qt::PlainText);
    QFont f = font();
    f.setUnderline(true);
    setFont(f);
    SetFontColor(QColor(0, 0, 255));
    menu_->setObjectName("UrlLabelMenu");
    connect(copy_, &QAction::triggered, this, [this] { CopyCaption(); });
}

QColor TUrlLabel::FontColor() const
{
    return palette().color(QPalette::WindowText);
}

void TUrlLabel::SetFontColor(const QColor& color)
{
    QPalette p = palette();
    p.setColor(QPalette::WindowText, color);
    setPalette(p);
}

void TUrlLabel::CopyCaption()
{
    QGuiApplication::clipboard()->setText(text());
}

void TUrlLabel::Click()
{
    if (OnClick)
        OnClick(this);
    OpenLink();
}

void TUrlLabel::OpenLink()
{
    const std::string target = Blank(URL) ? ToAnsi(text(), "The link") : URL;
    if (Blank(target))
        return;
    // What the desktop cannot open is not reported.
    QDesktopServices::openUrl(QUrl::fromUserInput(FromAnsi(target)));
}

void TUrlLabel::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        savedColor_ = FontColor();
        SetFontColor(ActiveColor);
        pressed_ = true;
    }
    QLabel::mousePressEvent(event);
}

void TUrlLabel::mouseReleaseEvent(QMouseEvent* event)
{
    const bool click = event->button() == Qt::LeftButton && pressed_ && rect().contains(event->position().toPoint());
    if (event->button() == Qt::LeftButton && pressed_) {
        SetFontColor(savedColor_);
        pressed_ = false;
    }
    QLabel::mouseReleaseEvent(event);
    if (click)
        Click();
}

void TUrlLabel::contextMenuEvent(QContextMenuEvent* event)
{
    menu_->popup(event->globalPos());
}
