#include "app/CommandInProgress.h"
#include "app/TformVexmor.h"
#include "framework/Ansi.h"
#include "framework/SysUtils.h"
#include "sock/AddressHelpers.h"
#include "tcpip/T_Time.h"

#include <QLineEdit>
#include <QTabWidget>

void TformVexmor::bTimeClick()
{
    if (CommandRunning())
        return;
    CommandInProgress command(*this);
    EnterBusy();
    PageControl->setCurrentWidget(tsVerbose);
    const std::string host = ToAnsi(hostname->text(), "The host name");
    get_time->Hostname = host;
    if (RefuseIPv6Target(host, "Time")) {
        LeaveBusy();
        SaveLogIfOn();
        return;
    }
    if (DottedAddress(ResolveAddress(host)) != "255.255.255.255") {
        ReportingFailure("The time could not be obtained from " + host + ".", [this] { get_time->DoAction(); });
        WriteLine(" ");
        WriteHeading("Obtaining time from " + host + "...");
        // The locale's date and time words may hold any character.
        record_->WriteSystemLine(DateTimeToStr(get_time->DateTime) + " (GMT)");
    }
    SaveLogIfOn();
}
