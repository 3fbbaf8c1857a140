#pragma once

class Application;

constexpr const char* ProgramTitle = "VexmorPing! v1.0";
constexpr const char* ProgramHelpFile = "C:\\Source Code\\VexmorPing!\\Documentation\\VEXMORPING.HLP";

// The program block: modules, application set-up, windows, message loop.
// Returns the process exit code.
int RunProgram(Application& app);
