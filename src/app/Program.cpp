#include "app/Program.h"
#include "app/ProgramModules.h"
#include "framework/Application.h"

#include <QMainWindow>

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

    QMainWindow mainWindow;
    mainWindow.setObjectName("formVexmor");
    mainWindow.setWindowTitle(QString::fromLatin1(ProgramTitle));
    mainWindow.resize(597, 417);
    mainWindow.show();

    return app.exec();
}
