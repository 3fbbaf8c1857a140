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
#include <QPointer>

#include <memory>


void LinkSendWindow(TformVexmor& main, TformMailSend& send)
{
    QPointer<TformVexmor> mainWindow(&main);
    QPointer<TformMailSend> sendWindow(&send);
    main.mailSendRunner = [sendWindow] {
        if (sendWindow)
            sendWindow->show();
    };
    main.popmailSend->setEnabled(true);
    // While the main window waits for a server, Send waits too.
    main.commandWaitingChanged = [sendWindow](bool waiting) {
        if (sendWindow)
            sendWindow->SetOtherCommandWaiting(waiting);
    };
    // A send that ends behind a closed window is said in the main transcript.
    send.OnHiddenSendEnded = [mainWindow](const std::string& text, bool failed) {
        if (!mainWindow)
            return;
        if (failed)
            mainWindow->WriteAlert(text);
        else
            mainWindow->WriteLine(text);
        mainWindow->SaveLogIfOn();
    };
}

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
        LinkSendWindow(*formVexmor, *formMailSend);
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
