#include "framework/Application.h"

#include <gtest/gtest.h>

#include <cstdlib>

// One application object for the whole test binary, offscreen unless the
// caller chose a platform.
int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::testing::InitGoogleTest(&argc, argv);
    Application app(argc, argv);
    return RUN_ALL_TESTS();
}
