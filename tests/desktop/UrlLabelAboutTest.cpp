#include "desktop/TformAbout.h"
#include "desktop/UrlLabel.h"

#include <QAction>
#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <gtest/gtest.h>

#include <vector>

// Stands in for the desktop's browser and mail program.
class OpenedUrls final : public QObject {
    Q_OBJECT
public:
    OpenedUrls()
    {
        for (const char* scheme : {"http", "https", "mailto", "file"})
            QDesktopServices::setUrlHandler(scheme, this, "Open");
    }
    ~OpenedUrls() override
    {
        for (const char* scheme : {"http", "https", "mailto", "file"})
            QDesktopServices::unsetUrlHandler(scheme);
    }
    std::vector<QString> urls;

public slots:
    void Open(const QUrl& url) { urls.push_back(url.toString()); }
};

TEST(UrlLabel, AClickFiresTheEventThenOpensTheLinkOrElseTheCaptionAndCopyTakesTheCaption)
{
    OpenedUrls opened;
    TUrlLabel label;
    label.setText("Zembrova! Support");
    label.resize(200, 20);
    label.URL = "mailto:support@zembrova.example";
    int clicks = 0;
    label.OnClick = [&](TObject* sender) {
        EXPECT_EQ(sender, &label);
        EXPECT_TRUE(opened.urls.empty() || clicks > 0) << "the event comes before the link is opened";
        ++clicks;
    };
    EXPECT_EQ(label.FontColor(), QColor(0, 0, 255));
    EXPECT_TRUE(label.font().underline());
    EXPECT_EQ(label.cursor().shape(), Qt::PointingHandCursor);

    // Held down: purple until released; the right button changes nothing.
    QTest::mousePress(&label, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    EXPECT_EQ(label.FontColor(), QColor(128, 0, 128));
    QTest::mouseRelease(&label, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    EXPECT_EQ(label.FontColor(), QColor(0, 0, 255));
    EXPECT_EQ(clicks, 1);
    ASSERT_EQ(opened.urls.size(), 1u);
    EXPECT_EQ(opened.urls[0], "mailto:support@zembrova.example");
    QTest::mousePress(&label, Qt::RightButton, Qt::NoModifier, QPoint(5, 5));
    EXPECT_EQ(label.FontColor(), QColor(0, 0, 255));
    QTest::mouseRelease(&label, Qt::RightButton, Qt::NoModifier, QPoint(5, 5));
    EXPECT_EQ(clicks, 1);

    label.URL = "   ";
    label.setText("zembrova.example");
    label.Click();
    ASSERT_EQ(opened.urls.size(), 2u);
    EXPECT_EQ(opened.urls[1], "http://zembrova.example") << "a blank URL opens the caption";

    label.setText(" ");
    label.Click();
    EXPECT_EQ(clicks, 3) << "the event fires even when there is nothing to open";
    EXPECT_EQ(opened.urls.size(), 2u);

    // Copy puts the caption, not the link, on the clipboard.
    label.setText("Zembrova! On The Web");
    label.URL = "https://zembrova.example/";
    ASSERT_EQ(label.Menu()->actions().size(), 1);
    EXPECT_EQ(label.CopyItem()->text(), "Copy");
    label.CopyItem()->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "Zembrova! On The Web");
}

TEST(AboutDialog, ShowsTheNameAndTheMakersLinksAndOkClosesIt)
{
    OpenedUrls opened;
    TformAbout about;
    EXPECT_EQ(about.objectName(), "formAbout");
    EXPECT_EQ(about.windowTitle(), "VexmorPing! v1.0; About");
    EXPECT_EQ(about.size(), QSize(266, 256));
    EXPECT_EQ(about.lTitle->text(), "VexmorPing! v1.0");
    EXPECT_FALSE(about.banner->pixmap().isNull());
    EXPECT_EQ(about.UrlLabel1->text(), "Zembrova! On The Web");
    EXPECT_EQ(about.UrlLabel2->text(), "Zembrova! Support");
    EXPECT_EQ(about.bOk->text(), "Ok");
    EXPECT_EQ(about.bOk->size(), QSize(50, 50));
    for (QWidget* w : std::vector<QWidget*>{about.banner, about.lTitle, about.lTools, about.lOther, about.UrlLabel1,
                                           about.UrlLabel2, about.bOk})
        EXPECT_TRUE(about.rect().contains(w->geometry())) << w->objectName().toStdString() << " lies outside";

    QTimer::singleShot(0, &about, [&] {
        QTest::mouseClick(about.UrlLabel1, Qt::LeftButton, Qt::NoModifier, QPoint(about.UrlLabel1->width() / 2, 5));
        QTest::mouseClick(about.UrlLabel2, Qt::LeftButton, Qt::NoModifier, QPoint(about.UrlLabel2->width() / 2, 5));
        QTest::mouseClick(about.bOk, Qt::LeftButton);
    });
    about.exec(); // returns once Ok has closed it
    EXPECT_FALSE(about.isVisible());
    EXPECT_EQ(opened.urls, (std::vector<QString>{"https://zembrova.example/", "mailto:support@zembrova.example"}));
}

#include "UrlLabelAboutTest.moc"
