#include "app/TformVexmor.h"
#include "app/CommandInProgress.h"
#include "framework/Ansi.h"
#include "framework/SysUtils.h"
#include "icmp/EHostNotResolved.h"
#include "icmp/IcmpStatus.h"
#include "icmp/TTraceRoute.h"
#include "sock/AddressHelpers.h"
#include "sock/NameResolver.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QTimer>
#include <QTreeWidget>

void TformVexmor::bTraceClick()
{
    if (CommandRunning())
        return;
    CommandInProgress command(*this);
    TraceOne();
}

void TformVexmor::TraceOne()
{
    EnterBusy();
    details->clear();
    SetDetailsColumns({{"#", 30}, {"Address", 150}, {"Host", 150}, {"Roundtime", 70}, {"", 5}, {"", 5}});
    CopyFieldsInto(*tracedata);
    WriteHeading("Attempting to TRACE " + tracedata->Hostname + "...");
    try {
        tracedata->Execute();
    } catch (const EHostNotResolved& e) {
        // Nothing was probed: the trace ends, said in red too.
        LeaveBusy();
        WriteAlert(e.Message);
        SaveLogIfOn();
        throw;
    } catch (const EICMPError& e) {
        // Waiting cannot bring the facility: the window is free again at once,
        // and the user is told how to get one.
        LeaveBusy();
        throw EICMPError(e.Message + "\n" + NoIcmpAdvice());
    }
    SaveLogIfOn();
}

void TformVexmor::trace_checkedClick()
{
    if (CommandRunning() || hosts->topLevelItemCount() == 0)
        return;
    CommandInProgress command(*this);
    // Addresses, not list items: Add or Delete may rebuild the list while a
    // trace processes events.
    for (const QString& address : CheckedAddresses()) {
        if (closing_)
            return;
        hostname->setText(address);
        if (!timer->isActive())
            TraceOne();
    }
}

void TformVexmor::tracedataRoute(TObject*, uint8_t hop, uint32_t ip, int roundtime)
{
    // Where Stop and repaints get through while a trace runs.
    QCoreApplication::processEvents();
    TraceHop(hop, DottedAddress(ip), [ip] { return ReverseLookup(ip); }, roundtime);
}

void TformVexmor::tracedataRoute6(TObject*, uint8_t hop, const std::string& address, int roundtime)
{
    QCoreApplication::processEvents();
    TraceHop(hop, address, [&address] {
        const std::optional<NetAddress> a = NetAddress::FromText(address);
        return a ? ReverseName(*a) : address;
    }, roundtime);
}

void TformVexmor::TraceHop(uint8_t hop, const std::string& dotted, const std::function<std::string()>& lookUp,
                           int roundtime)
{
    const uint32_t status = tracedata->LastStatus;
    const bool resolve = trace_resolve->isChecked();
    const std::string name = resolve ? lookUp() : dotted; // looked up once
    std::string line = " Hop #" + IntToStr(hop) + ": " + dotted + (resolve ? " (" + name + ")" : "") + ": " +
                       IntToStr(roundtime) + "ms";
    const bool failed = status != IP_SUCCESS && status != IP_TTL_EXPIRED_TRANSIT;
    if (failed)
        line += ": " + IcmpStatusText(status) + " (" + IntToStr(status) + ")";
    WriteLine(line);

    QTreeWidgetItem* row = AppendRow();
    row->setText(0, QString::number(hop));
    row->setText(1, FromAnsi(dotted));
    row->setText(2, FromAnsi(name));
    WidenToFit(1, dotted);
    row->setText(3, QString::number(roundtime));
    ExplainStatus(row, status);

    // An echo reply ends the trace, from whichever address of the target it came.
    if (status == IP_SUCCESS) {
        WriteHeading("Trace complete: Total HOP Count is " + IntToStr(hop) + ".");
        LeaveBusy();
    } else if (failed) {
        WriteHeading("Trace ended at hop " + IntToStr(hop) + ": " + IcmpStatusText(status) + ".");
        LeaveBusy();
    }
    ScrollToLatest();
    SaveLogIfOn();
}

void TformVexmor::tracedataSilentHop(TObject*, uint8_t hop)
{
    record_->WriteMuted(" Hop #" + IntToStr(hop) + ": * * * (no answer)");
    ScrollToLatest();
    SaveLogIfOn();
}
