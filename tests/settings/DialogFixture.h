#pragma once

#include "framework/Application.h"
#include "settings/ConfigKeys.h"
#include "settings/Regi1632.h"
#include "support/ConfigFolder.h"
#include "support/Loopback.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <string>
#include <vector>

// A settings dialog over a fresh store, driven as the user does; the errors
// it reports are collected instead of shown.
template <class Dialog>
class DialogFixture : public ConfigFolderTest {
protected:
    void SetUp() override
    {
        ConfigFolderTest::SetUp();
        EnsureConfigurationKeys();
        App()->SetErrorReporter([this](const std::string&, const std::string& m) { errors.push_back(m); });
    }
    void TearDown() override { App()->SetErrorReporter({}); }
    void Show()
    {
        dialog.show();
        testsupport::PumpFor(10);
    }
    void Press(QPushButton* b) { QTest::mouseClick(b, Qt::LeftButton); }
    void Type(QLineEdit* field, const char* text)
    {
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Delete);
        QTest::keyClicks(field, text);
    }
    std::string Stored(const char* name) { return store.ReadKeyLM(ConfigPath, name); }

    Dialog dialog;
    TRegistry1632 store;
    std::vector<std::string> errors;
};
