#pragma once

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

// Points the settings hive at a fresh temporary folder for one test.
class ConfigFolderTest : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("XDG_CONFIG_HOME", folder.path().toLocal8Bit().constData(), 1); }
    QTemporaryDir folder;
};
