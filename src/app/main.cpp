#include "app/Program.h"
#include "framework/Application.h"

int main(int argc, char** argv)
{
    Application app(argc, argv);
    return RunProgram(app);
}
