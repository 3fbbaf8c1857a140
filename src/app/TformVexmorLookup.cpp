#include "app/TformVexmor.h"
#include "framework/Ansi.h"
#include "sock/AddressHelpers.h"

#include <QCoreApplication>
#include <QLineEdit>
#include <QTabWidget>
#include <QTextEdit>

#include <algorithm>
#include <cctype>

namespace {

std::string Upper(std::string s, size_t n)
{
    s = s.substr(0, n);
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    return s;
}

} // namespace

void TformVexmor::bResolveClick()
{
    EnterBusy();
    QCoreApplication::processEvents();
    const std::string host = ToAnsi(hostname->text());
    WriteHeading("Resolving " + host + "...");
    const std::string ip = DottedAddress(ResolveAddress(host));
    QCoreApplication::processEvents();
    if (ip != "255.255.255.255") {
        const std::string name = ReverseLookup(ResolveAddress(ip));
        WriteLine("  ...resolved to " + ip + "/" + name + ".");
        SetStatusText(0, host + " resolved to " + ip + "/" + ReverseLookup(ResolveAddress(ip)) + "...");
    } else {
        WriteLine("  UNABLE TO RESOLVE.");
        SetStatusText(0, "Unable to resolve " + host + "...");
    }
    QCoreApplication::processEvents();
    LeaveBusy();
    SaveLogIfOn();
}

void TformVexmor::bFingerClick()
{
    EnterBusy();
    PageControl->setCurrentWidget(tsVerbose);
    sockdata->SetPortName("79");
    sockdata->SetHostName(ToAnsi(hostname->text()));
    fingerLine_.clear();
    sockdata->Open();
}

void TformVexmor::sockdataConnect(TObject*)
{
    if (sockdata->PortName() == "79") {
        WriteLine(" ");
        WriteHeading("Connected to " + sockdata->HostName() + " on port " + sockdata->PortName() + ".");
        WriteLine(" ");
        WriteLine(sockdata->Receive());
        WriteLine(" ");
        verbose->moveCursor(QTextCursor::End);
        // The query: the user name asked about, or nothing for everyone.
        sockdata->Send(ToAnsi(username->text()) + "\r\n");
    }
    PageControl->setCurrentWidget(tsVerbose);
    FocusTranscript();
    LeaveBusy();
}

void TformVexmor::sockdataInfo(TObject*, TSocketInfo, const std::string& msg)
{
    if (Upper(msg, 5) != "ERROR") {
        WriteLine(msg);
    } else {
        if (Upper(msg, 12) == "ERROR #10061")
            WriteAlert("Connection Refused (Error #10061) ");
        else
            WriteAlert(msg);
        LeaveBusy();
    }
    if (PageControl->currentWidget() == tsVerbose)
        FocusTranscript();
}

void TformVexmor::sockdataRead(TObject*, int)
{
    WriteFingerText(sockdata->Receive());
}

void TformVexmor::sockdataDisconnect(TObject*)
{
    // Whatever the server sent last without a line end.
    if (!fingerLine_.empty())
        WriteLine(fingerLine_);
    fingerLine_.clear();
}

void TformVexmor::WriteFingerText(const std::string& text)
{
    fingerLine_ += text;
    size_t end;
    while ((end = fingerLine_.find('\n')) != std::string::npos) {
        std::string line = fingerLine_.substr(0, end);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        fingerLine_.erase(0, end + 1);
        WriteLine(line);
    }
}

void TformVexmor::FocusTranscript()
{
    verbose->setFocus();
    verbose->ensureCursorVisible();
}
