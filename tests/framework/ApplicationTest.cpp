#include "framework/Application.h"
#include "framework/SysUtils.h"

#include <QCoreApplication>
#include <QEvent>

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

class Raiser : public QObject {
protected:
    void customEvent(QEvent*) override { StrToInt("x"); }
};

} // namespace

TEST(Application, AnExceptionEscapingAHandlerIsReportedWithTheTitleAndItsTextAsCharacters)
{
    ASSERT_NE(App(), nullptr);
    std::string title, message;
    App()->Title = "VexmorPing! v1.0";
    App()->SetErrorReporter([&](const std::string& t, const std::string& m) {
        title = t;
        message = m;
    });
    Raiser raiser;
    QCoreApplication::postEvent(&raiser, new QEvent(QEvent::User));
    Application::ProcessMessages();
    EXPECT_EQ(title, "VexmorPing! v1.0");
    EXPECT_EQ(message, "'x' is not a valid integer value");

    // A library exception's text is in the locale's encoding.
    App()->ShowException(std::runtime_error("Acc\xC3\xA8s refus\xC3\xA9"));
    App()->SetErrorReporter({});
    EXPECT_EQ(message, "Acc\xE8s refus\xE9");
}
