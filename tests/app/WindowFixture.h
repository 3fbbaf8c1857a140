#pragma once

#include "app/TformVexmor.h"
#include "framework/Application.h"
#include "icmp/IcmpModule.h"
#include "settings/ConfigKeys.h"
#include "settings/Regi1632.h"
#include "icmp/TPing.h"
#include "icmp/TTraceRoute.h"
#include "sock/AddressHelpers.h"
#include "sock/SocketModule.h"
#include "support/Loopback.h"
#include "support/RtfReader.h"

#include <QAction>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

// Runs the modules as the program does and drives a real main window offscreen.
class WindowFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Each test has its own configuration folder, never the user's.
        ::setenv("XDG_CONFIG_HOME", configDir.path().toLocal8Bit().constData(), 1);
        EnsureConfigurationKeys();
        StartAddressHelpers();
        ProbeIcmp();
        StartSocketModule();
        App()->SetErrorReporter([this](const std::string&, const std::string& m) { errors.push_back(m); });
    }

    void TearDown() override
    {
        window.reset();
        App()->SetErrorReporter({});
        EndSocketModule();
        EndIcmpModule();
        EndAddressHelpers();
    }

    // Stores a configuration value the way the configuration dialog does.
    void Store(const std::string& name, const std::string& value)
    {
        TRegistry1632 store;
        store.WriteKeyLM(ConfigPath, name, value);
        ASSERT_FALSE(store.ErrorOccurred()) << store.ErrorMessage();
    }

    TformVexmor& Open()
    {
        window = std::make_unique<TformVexmor>();
        window->Record().SetLogFolder(logDir.path());
        window->show();
        testsupport::PumpFor(20);
        return *window;
    }

    // A real mouse click on the button's main part (left of any menu arrow),
    // delivered as events, so a handler's exception reaches the error report.
    void Click(QToolButton* button)
    {
        QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, QPoint(8, button->height() / 2));
    }

    void Type(QLineEdit* field, const char* text)
    {
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Delete);
        QTest::keyClicks(field, text);
    }

    std::vector<std::string> Lines() const
    {
        std::vector<std::string> lines;
        const QTextDocument* doc = window->verbose->document();
        for (QTextBlock b = doc->begin(); b.isValid(); b = b.next())
            lines.push_back(b.text().toStdString());
        return lines;
    }

    // Bold and colour of line i, read from the characters' own format.
    std::pair<bool, QRgb> Attributes(int i) const
    {
        const QTextBlock b = window->verbose->document()->findBlockByNumber(i);
        const QTextCharFormat f = b.begin().fragment().charFormat();
        return {f.fontWeight() >= QFont::Bold, f.foreground().color().rgb() & 0xFFFFFF};
    }

    int IndexOf(const std::string& line) const
    {
        const auto lines = Lines();
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i] == line)
                return int(i);
        return -1;
    }

    std::vector<std::string> Row(int i) const
    {
        std::vector<std::string> cells;
        const QTreeWidgetItem* item = window->details->topLevelItem(i);
        for (int c = 0; item && c < window->details->columnCount(); ++c)
            cells.push_back(item->text(c).toStdString());
        return cells;
    }

    int CountOf(const std::string& line) const
    {
        const auto lines = Lines();
        return int(std::count(lines.begin(), lines.end(), line));
    }

    int Rows() const { return window->details->topLevelItemCount(); }

    bool Busy() const
    {
        const bool off = !window->bPing->isEnabled() && !window->bTrace->isEnabled() &&
                         !window->bFinger->isEnabled() && !window->bMail->isEnabled() &&
                         !window->bScan->isEnabled() && !window->bResolve->isEnabled() &&
                         !window->bTime->isEnabled() && window->bStop->isEnabled();
        const bool on = window->bPing->isEnabled() && window->bTrace->isEnabled() &&
                        window->bFinger->isEnabled() && window->bMail->isEnabled() &&
                        window->bScan->isEnabled() && window->bResolve->isEnabled() &&
                        window->bTime->isEnabled() && !window->bStop->isEnabled();
        EXPECT_TRUE(on || off) << "the buttons disagree about the command state";
        return off;
    }

    std::string LogFile() const
    {
        QFile f(window->Record().LogFilePath());
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return f.readAll().toStdString();
    }

    std::unique_ptr<TformVexmor> window;
    std::vector<std::string> errors;
    QTemporaryDir logDir;
    QTemporaryDir configDir;
};
