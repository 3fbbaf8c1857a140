#include "desktop/TformAbout.h"
#include "desktop/UrlLabel.h"
#include "framework/FixedDialog.h"
#include "framework/Named.h"

#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QPushButton>

namespace {

QLabel* Centred(QLabel* label, int top, int height)
{
    label->setGeometry(0, top, 266, height);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    label->setWordWrap(true);
    return label;
}

void Separator(QWidget* parent, int top)
{
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    line->setGeometry(4, top, 258, 2);
}

} // namespace

TformAbout::TformAbout(QWidget* parent) : QDialog(parent)
{
    setObjectName("formAbout");
    setWindowTitle("VexmorPing! v1.0; About");
    SetUpFixedDialog(*this, 266, 256);
    // The dialog border carries only the system menu.
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);

    banner = Named(new QLabel(this), "banner");
    banner->setGeometry(0, 0, 266, 69);
    banner->setPixmap(QIcon(":/desktop/about-banner.svg").pixmap(266, 69));
    lTitle = Named(Centred(new QLabel("VexmorPing! v1.0", this), 72, 16), "lTitle");
    QFont bold = lTitle->font();
    bold.setBold(true);
    lTitle->setFont(bold);
    Separator(this, 90);
    lTools = Named(Centred(new QLabel("Written in C++ with Qt. Thanks to Ilse, who tested "
                                      "every reply a server can give.",
                                      this),
                           94, 30),
                   "lTools");
    Separator(this, 126);
    lOther = Named(Centred(new QLabel("Keeping a mail server? Try Tarvix!, "
                                      "our mailbox watcher.",
                                      this),
                           130, 30),
                   "lOther");
    Separator(this, 162);
    UrlLabel1 = Named(new TUrlLabel(this), "UrlLabel1");
    UrlLabel1->setText("Zembrova! On The Web");
    UrlLabel1->URL = WebPage;
    Centred(UrlLabel1, 166, 14);
    UrlLabel2 = Named(new TUrlLabel(this), "UrlLabel2");
    UrlLabel2->setText("Zembrova! Support");
    UrlLabel2->URL = SupportMail;
    QFont sans("MS Sans Serif", 8);
    sans.setUnderline(true);
    UrlLabel2->setFont(sans);
    Centred(UrlLabel2, 182, 14);

    bOk = Named(new QPushButton("Ok", this), "bOk");
    bOk->setFlat(true);
    bOk->setGeometry(108, 202, 50, 50);
    connect(bOk, &QPushButton::clicked, this, [this] { bOkClick(); });
}

void TformAbout::bOkClick()
{
    close();
}
