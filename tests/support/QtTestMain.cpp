#include "framework/Application.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// An error that reaches the top-level report in a test that did not ask for
// it fails the test instead of waiting on a message box nobody will close.
class UnexpectedErrors final : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override
    {
        App()->SetErrorReporter([](const std::string&, const std::string& message) {
            ADD_FAILURE() << "error report: " << message;
        });
    }
};

} // namespace

// One application object for the whole test binary, offscreen unless the
// caller chose a platform.
int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::testing::InitGoogleTest(&argc, argv);
    Application app(argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new UnexpectedErrors); // gtest owns it
    return RUN_ALL_TESTS();
}
