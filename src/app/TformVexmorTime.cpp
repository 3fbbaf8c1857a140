#include "app/CommandInProgress.h"
#include "app/TformVexmor.h"
#include "framework/Ansi.h"
#include "framework/SysUtils.h"
#include "settings/AddressOrder.h"
#include "sock/AddressHelpers.h"
#include "tcpip/T_Time.h"

#include <QLineEdit>
#include <QTabWidget>

namespace {

bool HasIPv6Address(const std::string& host)
{
    for (const NetAddress& a : ResolveAll(host, AddressOrder::IPv6First))
        if (a.IsIPv6())
            return true;
    return false;
}

} // namespace

void TformVexmor::bTimeClick()
{
    if (CommandRunning())
        return;
    CommandInProgress command(*this);
    EnterBusy();
    PageControl->setCurrentWidget(tsVerbose);
    const std::string host = ToAnsi(hostname->text(), "The host name");
    get_time->Hostname = host;
    get_time->Order = ConfiguredAddressOrder(reg_read);
    // A host with no address of either family gets no request: there is nothing to connect to.
    if (DottedAddress(ResolveAddress(host)) != "255.255.255.255" || HasIPv6Address(host)) {
        ReportingFailure("The time could not be obtained from " + host + ".", [this] { get_time->DoAction(); });
        WriteLine(" ");
        WriteHeading("Obtaining time from " + host + "...");
        // The locale's date and time words may hold any character.
        record_->WriteSystemLine(DateTimeToStr(get_time->DateTime) + " (GMT)");
    }
    SaveLogIfOn();
}
