#include "app/TformVexmor.h"
#include "framework/SysUtils.h"
#include "icmp/TTraceRoute.h"
#include "sock/AddressHelpers.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QTimer>
#include <QTreeWidget>

void TformVexmor::bTraceClick()
{
    EnterBusy();
    details->clear();
    SetDetailsColumns({{"#", 30}, {"Address", 150}, {"Host", 150}, {"Roundtime", 70}, {"", 5}, {"", 5}});
    CopyFieldsInto(*tracedata);
    WriteHeading("Attempting to TRACE " + tracedata->Hostname + "...");
    tracedata->Execute();
    SaveLogIfOn();
}

void TformVexmor::trace_checkedClick()
{
    if (hosts->topLevelItemCount() == 0)
        return;
    for (QTreeWidgetItem* entry : CheckedHosts()) {
        hostname->setText(entry->text(1));
        if (!timer->isActive())
            bTraceClick();
    }
}

void TformVexmor::tracedataRoute(TObject*, uint8_t hop, uint32_t ip, int roundtime)
{
    // Where Stop and repaints get through while a trace runs.
    QCoreApplication::processEvents();

    const std::string dotted = DottedAddress(ip);
    if (trace_resolve->isChecked())
        WriteLine(" Hop #" + IntToStr(hop) + ": " + dotted + " (" + ReverseLookup(ip) + "): " +
                  IntToStr(roundtime) + "ms");
    else
        WriteLine(" Hop #" + IntToStr(hop) + ": " + dotted + ": " + IntToStr(roundtime) + "ms");

    QTreeWidgetItem* row = AppendRow();
    row->setText(0, QString::number(hop));
    row->setText(1, QString::fromStdString(dotted));
    row->setText(2, QString::fromStdString(trace_resolve->isChecked() ? ReverseLookup(ip) : dotted));
    row->setText(3, QString::number(roundtime));

    if (dotted == DottedAddress(ResolveAddress(tracedata->Hostname))) {
        WriteHeading("Trace complete: Total HOP Count is " + IntToStr(hop) + ".");
        LeaveBusy();
    }
    ScrollToLatest();
    SaveLogIfOn();
}
