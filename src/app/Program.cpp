#include "app/Program.h"
#include "app/ProgramModules.h"
#include "app/TformVexmor.h"
#include "framework/Application.h"
#include "platform/registry.h"
#include "settings/ConfigKeys.h"
#include "mail/TformMailSend.h"
#include "settings/TformConfig.h"
#include "desktop/TformAbout.h"

#include <QDialog>

#include <memory>


int RunProgram(Application& app)
{
    std::unique_ptr<ProgramModules> modules;
    try {
        modules = std::make_unique<ProgramModules>();
    } catch (const Exception& e) {
        app.ShowException(e);
        return 1;
    }

    app.Title = ProgramTitle;
    app.HelpFile = ProgramHelpFile;
    app.setApplicationName(QString::fromLatin1(ProgramTitle));

    EnsureConfigurationKeys();
    // A settings file that cannot be used is said once, with what to do.
    const std::string problem = RegistryProblem();
    if (!problem.empty())
        app.ShowException(Exception(problem));
    int rc = 0;
    {
        // Windows in their fixed order; the first is the main window.
        auto formVexmor = std::make_unique<TformVexmor>();
        auto formConfig = std::make_unique<TformConfig>(formVexmor.get());
        formVexmor->configDialogRunner = [&formConfig] { formConfig->exec(); };
        auto formMailSend = std::make_unique<TformMailSend>(formVexmor.get());
        formVexmor->mailSendRunner = [&formMailSend] { formMailSend->show(); };
        formVexmor->popmailSend->setEnabled(true);
        // Closing the program stops a send still running; it is never left
        // half-written on the server as a delivered message.
        QObject::connect(&app, &QGuiApplication::lastWindowClosed, formMailSend.get(),
                         [&formMailSend] { formMailSend->EndSend(); });
        auto formAbout = std::make_unique<TformAbout>(formVexmor.get());
        formVexmor->aboutDialogRunner = [&formAbout] { formAbout->exec(); };
        formVexmor->show();
        rc = app.exec();
    }
    // The windows are gone before the modules end.
    return rc;
}
