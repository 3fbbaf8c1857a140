#include "WindowFixture.h"
#include "app/WindowMemory.h"

#include <QApplication>
#include <QClipboard>
#include <QSplitter>
#include <QToolBar>

TEST_F(WindowFixture, TheWindowComesBackAsItWasClosed)
{
    {
        TformVexmor& w = Open();
        w.resize(720, 480);
        w.move(40, 30);
        w.SplitterMain->setSizes({200, 500});
        w.addToolBar(Qt::BottomToolBarArea, w.tbPacket);
        Type(w.hostname, "mail.example.test");
        Type(w.packets, "9");
        Type(w.time_to_live, "30");
        w.close();
    }
    const QList<int> splitter = window->SplitterMain->sizes();
    window.reset();
    TformVexmor& again = Open();
    EXPECT_EQ(again.size(), QSize(720, 480));
    EXPECT_EQ(again.toolBarArea(again.tbPacket), Qt::BottomToolBarArea);
    EXPECT_EQ(again.SplitterMain->sizes(), splitter);
    EXPECT_EQ(again.hostname->text(), "mail.example.test");
    EXPECT_EQ(again.packets->text(), "9");
    EXPECT_EQ(again.time_to_live->text(), "30");
    EXPECT_EQ(again.block_size->text(), "64");
}
