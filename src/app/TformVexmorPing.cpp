#include "app/TformVexmor.h"
#include "app/CommandInProgress.h"
#include "icmp/IcmpStatus.h"
#include "framework/Ansi.h"
#include "framework/SysUtils.h"
#include "icmp/EHostNotResolved.h"
#include "icmp/TPing.h"
#include "settings/AddressOrder.h"
#include "sock/AddressHelpers.h"

#include <QLineEdit>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>

void TformVexmor::CopyFieldsInto(TICMP& component)
{
    component.Hostname = ToAnsi(hostname->text());
    // A name with addresses of both families is reached by the configured one.
    component.Order = ConfiguredAddressOrder(reg_read);
    // Block size and time-to-live are 8-bit: only the low byte counts.
    component.Blocksize = uint8_t(StrToInt(ToAnsi(block_size->text())));
    component.TimeToLive = uint8_t(StrToInt(ToAnsi(time_to_live->text())));
    component.Timeout = uint32_t(StrToInt(ToAnsi(timeout->text())));
}

std::vector<QString> TformVexmor::CheckedAddresses() const
{
    std::vector<QString> addresses;
    for (const QTreeWidgetItem* entry : CheckedHosts())
        addresses.push_back(entry->text(1));
    return addresses;
}

std::vector<QTreeWidgetItem*> TformVexmor::CheckedHosts() const
{
    std::vector<QTreeWidgetItem*> checked;
    for (int i = 0; i < hosts->topLevelItemCount(); ++i)
        if (hosts->topLevelItem(i)->checkState(0) == Qt::Checked)
            checked.push_back(hosts->topLevelItem(i));
    return checked;
}

void TformVexmor::bPingClick()
{
    if (CommandRunning())
        return;
    EnterBusy();
    details->clear();
    SetDetailsColumns(PingColumns());
    pingChecked_ = false;
    CopyFieldsInto(*pingdata);
    ping_ = PingStatistics();
    WriteHeading("Attempting to PING " + ToAnsi(hostname->text()) + "...");
    timer->start();
    SaveLogIfOn();
}

void TformVexmor::ping_checkedClick()
{
    if (CommandRunning())
        return;
    CommandInProgress command(*this);
    EnterBusy();
    PageControl->setCurrentWidget(tsVerbose);
    details->clear();
    SetDetailsColumns(PingColumns());
    pingChecked_ = true;
    bool sent = false;
    for (const QString& address : CheckedAddresses()) {
        if (closing_)
            return;
        hostname->setText(address);
        CopyFieldsInto(*pingdata);
        // Five, not the packet count: with more packets than that, the ticks
        // after the loop go on pinging the last host.
        ping_ = PingStatistics(5, 5);
        WriteHeading("Attempting to PING " + ToAnsi(hostname->text()) + "...");
        sent = true;
        ExecutePing();
        // An echo's wait lets Stop through: the rest is not sent.
        if (pingdata->Cancelled())
            return;
    }
    // Ticking only from here: a tick during an echo's wait would end the run
    // before the remaining hosts had theirs.
    if (sent && !timer->isActive())
        timer->start();

    SaveLogIfOn();
}

void TformVexmor::timerTimer()
{
    int32_t count = 0;
    try {
        count = StrToInt(ToAnsi(packets->text()));
    } catch (const EConvertError&) {
        // Reported once; the run stops here and the window waits for Stop.
        timer->stop();
        throw;
    }
    if (ping_.Sent() < count) {
        ping_.CountSent();
        ExecutePing();
    } else if (pingdata->Awaiting() == 0) {
        // Not before every raw echo has its answer or its time-out.
        timer->stop();
        // A checked-hosts run has no summary: its echoes went to different
        // hosts, one each, and its counts start at five by design.
        if (pingChecked_) {
            WriteHeading("Ping complete.");
        } else {
            WriteHeading("Ping complete: " + IntToStr(ping_.Sent()) + " packets sent.");
            WriteLine(ping_.Summary());
        }
        LeaveBusy();
    }
    SaveLogIfOn();
}

void TformVexmor::ExecutePing()
{
    CommandInProgress echo(*this);
    try {
        pingdata->Execute();
    } catch (const EHostNotResolved& e) {
        // Nothing was sent and nothing will be: the run ends, said in red too.
        timer->stop();
        LeaveBusy();
        WriteAlert(e.Message);
        SaveLogIfOn();
        throw;
    } catch (const EICMPError& e) {
        // Nothing can be sent: the failure is reported once, with what to do,
        // the run ends without a completion line, and the window is free again.
        timer->stop();
        LeaveBusy();
        throw EICMPError(e.Message + "\n" + NoIcmpAdvice());
    }
}

void TformVexmor::pingdataPing(TObject*, int status, uint32_t ip, int roundtime)
{
    PingAnswered(status, DottedAddress(ip), roundtime);
}

void TformVexmor::pingdataPing6(TObject*, int status, const std::string& address, int roundtime)
{
    PingAnswered(status, address, roundtime);
}

void TformVexmor::PingAnswered(int status, const std::string& address, int roundtime)
{
    QTreeWidgetItem* row = AppendRow();
    auto fill = [&](const char* mark) {
        row->setText(0, mark);
        row->setText(1, QString::number(ping_.Sent()));
        row->setText(2, FromAnsi(address));
        row->setText(3, QString::number(roundtime));
        WidenToFit(2, address);
    };
    if (status != 0) {
        WriteAlert("  . " + IntToStr(status));
        if (!pingChecked_) {
            fill(".");
            ExplainStatus(row, status);
        }
    } else if (pingChecked_) {
        WriteLine("  ! " + IntToStr(status) + ": " + address + ": " + IntToStr(roundtime) + "ms");
    } else {
        WriteLine("  ! " + IntToStr(status) + ": Packet #" + IntToStr(ping_.Sent()) + ": " +
                  address + ": " + IntToStr(roundtime) + "ms");
        ping_.CountAnswer(roundtime, pingdata->RoundTripMicroseconds());
        fill("!");
    }
    const std::optional<int64_t> share = ping_.SharePercent(), average = ping_.AverageMs();
    if (!pingChecked_ && share && average) {
        row->setText(4, QString::number(*share) + "%");
        row->setText(5, QString::number(*average) + "ms");
    }
    ScrollToLatest();
    SaveLogIfOn();
}
