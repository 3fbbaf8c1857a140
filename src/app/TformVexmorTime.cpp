#include "app/TformVexmor.h"
#include "framework/Ansi.h"
#include "framework/SysUtils.h"
#include "sock/AddressHelpers.h"
#include "tcpip/T_Time.h"

#include <QLineEdit>
#include <QTabWidget>

void TformVexmor::bTimeClick()
{
    EnterBusy();
    PageControl->setCurrentWidget(tsVerbose);
    const std::string host = ToAnsi(hostname->text(), "The host name");
    get_time->Hostname = host;
    if (DottedAddress(ResolveAddress(host)) != "255.255.255.255") {
        try {
            get_time->DoAction();
        } catch (const Exception& e) {
            // The log keeps the failure too; the box still says it.
            WriteAlert(e.Message.empty() ? "No time was obtained from " + host + "." : e.Message);
            SaveLogIfOn();
            throw;
        }
        WriteLine(" ");
        WriteHeading("Obtaining time from " + host + "...");
        // The locale's date and time words may hold any character.
        WriteSystemLine(DateTimeToStr(get_time->DateTime) + " (GMT)");
    }
    SaveLogIfOn();
}
