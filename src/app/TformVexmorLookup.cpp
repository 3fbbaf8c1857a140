#include "app/TformVexmor.h"
#include "app/CommandInProgress.h"
#include "framework/Ansi.h"
#include "settings/AddressOrder.h"
#include "sock/AddressHelpers.h"
#include "sock/NameResolver.h"

#include <QCoreApplication>
#include <QLineEdit>
#include <QScrollBar>
#include <QTabWidget>
#include <QTextEdit>

#include <algorithm>
#include <cctype>
#include <optional>

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
    if (CommandRunning())
        return;
    CommandInProgress command(*this);
    EnterBusy();
    QCoreApplication::processEvents();
    const std::string host = ToAnsi(hostname->text());
    WriteHeading("Resolving " + host + "...");
    const uint32_t first = ResolveAddress(host);
    const std::string ip = DottedAddress(first);
    QCoreApplication::processEvents();
    // Every other address of both families, in the configured order; all
    // ones stays "no address" here too.
    std::vector<NetAddress> others;
    for (const NetAddress& a : ResolveAll(host, ConfiguredAddressOrder(reg_read)))
        if (a.IsIPv6() || (a.IPv4() != NoAddress && a.IPv4() != first))
            others.push_back(a);
    QCoreApplication::processEvents();
    if (ip != "255.255.255.255") {
        const std::string name = ReverseLookup(ResolveAddress(ip));
        WriteLine("  ...resolved to " + ip + "/" + name + ".");
        SetStatusText(0, host + " resolved to " + ip + "/" + ReverseLookup(ResolveAddress(ip)) + "...");
    } else if (!others.empty()) {
        // No IPv4 address: the first of the others takes the first line.
        const NetAddress a = others.front();
        others.erase(others.begin());
        const std::string name = ReverseName(a);
        WriteLine("  ...resolved to " + a.Text() + "/" + name + ".");
        SetStatusText(0, host + " resolved to " + a.Text() + "/" + name + "...");
    } else {
        WriteLine("  UNABLE TO RESOLVE.");
        SetStatusText(0, "Unable to resolve " + host + "...");
    }
    for (const NetAddress& a : others) {
        WriteLine("  ...also resolved to " + a.Text() + "/" + ReverseName(a) + ".");
        QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    LeaveBusy();
    SaveLogIfOn();
}

void TformVexmor::bFingerClick()
{
    if (CommandRunning())
        return;
    // Both texts are checked before anything happens: a name the code page
    // cannot hold is refused with no connection made and the window left as it was.
    const std::string host = ToAnsi(hostname->text(), "The host name");
    fingerQuery_ = ToAnsi(username->text(), "The user name");
    // Busy until the connection is made or refused; the look-ups wait here.
    CommandInProgress command(*this);
    EnterBusy();
    PageControl->setCurrentWidget(tsVerbose);
    sockdata->SetPortName("79");
    sockdata->SetHostName(host);
    sockdata->Order = ConfiguredAddressOrder(reg_read);
    fingerLines_.Clear();
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
        sockdata->Send(fingerQuery_ + "\r\n");
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
        // A reset mid-answer: the unfinished line is shown before the error.
        FlushFingerText();
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
    FlushFingerText();
}

void TformVexmor::WriteFingerText(const std::string& text)
{
    fingerLines_.Feed(text);
    std::vector<std::string> lines;
    std::string line;
    while (fingerLines_.Next(line))
        lines.push_back(std::move(line));
    record_->WriteLines(lines);
}

void TformVexmor::FlushFingerText()
{
    // Whatever the server sent last without a line end.
    const std::string rest = fingerLines_.TakeRest();
    if (!rest.empty())
        WriteLine(rest);
}

void TformVexmor::FocusTranscript()
{
    verbose->setFocus();
    // Up and down only: following the caret to the end of a long line would
    // move the view sideways, and each such jump repaints every long line shown.
    const QRect caret = verbose->cursorRect();
    const int height = verbose->viewport()->height();
    QScrollBar* bar = verbose->verticalScrollBar();
    if (caret.bottom() >= height)
        bar->setValue(bar->value() + caret.bottom() - height + 1);
    else if (caret.top() < 0)
        bar->setValue(bar->value() + caret.top());
}
