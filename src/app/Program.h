#pragma once

class Application;
class TformMailSend;
class TformVexmor;

constexpr const char* ProgramTitle = "VexmorPing! v1.0";
constexpr const char* ProgramHelpFile = "C:\\Source Code\\VexmorPing!\\Documentation\\VEXMORPING.HLP";

// The program block: modules, application set-up, windows, message loop.
// Returns the process exit code.
int RunProgram(Application& app);

// Ties the send-mail window to the main window: "Send A Message" shows it, its
// Send waits while the main window waits for a server, and a send that ends
// behind the closed window is said in the main transcript.
void LinkSendWindow(TformVexmor& main, TformMailSend& send);
