#include "app/CommandInProgress.h"
#include "app/TformVexmor.h"
#include "framework/Ansi.h"
#include "framework/SysUtils.h"
#include "mail/HeaderText.h"
#include "settings/AddressOrder.h"
#include "settings/ConfigKeys.h"
#include "settings/Crypt32.h"
#include "settings/SecuritySettings.h"
#include "settings/TrustPrompt.h"
#include "sock/ECertificateError.h"
#include "tcpip/T_Pop3.h"

#include <QAction>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTextCursor>
#include <QToolButton>
#include <QTreeWidget>

#include <optional>

namespace {

// A summary as the report list shows it: sender and subject each read on its
// own, decoded, control characters made visible as in the transcript.
struct ShownSummary {
    QString from, subject;
};

// Nothing for a message whose header the server refused: its summary is then
// its bare number (position, as numbered in a fresh session).
std::optional<ShownSummary> ShowSummary(const std::string& summary, int position)
{
    if (summary == std::to_string(position))
        return std::nullopt;
    const size_t bel = summary.find('\a');
    const std::string from = summary.substr(0, bel);
    const std::string subject = bel == std::string::npos ? std::string() : summary.substr(bel + 1);
    return ShownSummary{VisibleText(DecodeHeaderText(from)), VisibleText(DecodeHeaderText(subject))};
}

// The configured POP3 port; 110 when none is stored.
uint16_t ConfiguredPort(const std::string& text)
{
    if (text.empty())
        return 110;
    int32_t port = 0;
    try {
        port = StrToInt(text);
    } catch (const EConvertError&) {
    }
    if (port < 1 || port > 65535)
        throw Exception("The POP3 port in the configuration, \"" + text +
                        "\", is not a port number from 1 to 65535; correct it in the configuration.");
    return uint16_t(port);
}

} // namespace

std::string TformVexmor::MailHost()
{
    const std::string typed = ToAnsi(hostname->text(), "The host name");
    return typed.empty() ? ReadKeyLM(ConfigPath, "pop_server") : typed;
}

void TformVexmor::MailLogin()
{
    try {
        pop_mail->Login();
    } catch (const ECertificateError& e) {
        if (!OfferTrust(this, e, reg_read))
            throw;
        // The choice is stored with the server's other settings: read them again.
        pop_mail->Tls = ConfiguredTls(reg_read, SecuredProtocol::Pop3, pop_mail->Hostname, pop_mail->RemotePort);
        WriteLine(" ...certificate trusted; logging in again.");
        pop_mail->Login();
    }
}

// Every mail command starts so: the host, the login (the typed pair, else the
// configured one), a login that lists the mailbox, then its summaries.
void TformVexmor::MailOpening(bool clearReport)
{
    const std::string host = MailHost();
    if (host.empty())
        throw Exception("No POP3 server to ask: type its name in the host field, or set the POP3 server in the "
                        "configuration.");
    pop_mail->Hostname = host;
    pop_mail->Order = ConfiguredAddressOrder(reg_read);
    pop_mail->RemotePort = ConfiguredPort(ReadKeyLM(ConfigPath, "pop_port"));
    pop_mail->Tls = ConfiguredTls(reg_read, SecuredProtocol::Pop3, host, pop_mail->RemotePort);
    if (!username->text().isEmpty() && !password->text().isEmpty()) {
        pop_mail->UserName = ToAnsi(username->text(), "The user name");
        pop_mail->Password = ToAnsi(password->text(), "The password");
    } else {
        pop_mail->UserName = ReadKeyLM(ConfigPath, "pop_username");
        pop_mail->Password =
            Decrypt(ReadKeyLM(ConfigPath, "pop_password"), CryptKey, CryptMultiplier, CryptIncrement);
    }
    pop_mail->Lines.clear();
    if (clearReport)
        details->clear();
    WriteLine(" ");
    WriteHeading("Logging into POP3 server " + host + " to obtain message count...");
    MailLogin();
    WriteLine(" ...logged in.");
    pop_mail->GetHeaders();
    WriteLine(" ...message count obtained.");
}

std::vector<int> TformVexmor::SelectedRows() const
{
    std::vector<int> rows;
    for (int i = 0; i < details->topLevelItemCount(); ++i)
        if (details->topLevelItem(i)->isSelected())
            rows.push_back(i);
    return rows;
}

std::vector<TformVexmor::MailRow> TformVexmor::SelectedMail() const
{
    // Copies, not the list's items: the list may be rebuilt while a command waits.
    std::vector<MailRow> chosen;
    for (const int i : SelectedRows()) {
        const QTreeWidgetItem* row = details->topLevelItem(i);
        chosen.push_back({i + 1, row->columnCount() > 1, row->text(1), row->text(2)});
    }
    return chosen;
}

int TformVexmor::MailCount() const
{
    return int(pop_mail->Lines.size());
}

void TformVexmor::WriteMailClosing()
{
    WriteLine(" ...logged out; operation complete!");
}

void TformVexmor::WriteMailCount()
{
    WriteLine(" There are " + IntToStr(MailCount()) + " messages on the server.");
}

void TformVexmor::popmailCountClick()
{
    if (CommandRunning())
        return;
    CommandInProgress command(*this);
    popmailDelSel->setEnabled(false);
    PageControl->setCurrentWidget(tsVerbose);
    ReportingFailure("The mail server ended the exchange without saying why.", [this] {
        MailOpening(false);
        pop_mail->Logout();
    });
    WriteMailClosing();
    WriteMailCount();
    SaveLogIfOn();
}

void TformVexmor::popmailHeadersClick()
{
    if (CommandRunning())
        return;
    CommandInProgress command(*this);
    ReportingFailure("The mail server ended the exchange without saying why.", [this] { ListHeaders(); });
    SaveLogIfOn();
}

void TformVexmor::ListHeaders()
{
    MailOpening(true);
    pop_mail->Logout();
    WriteMailClosing();
    WriteMailCount();
    if (MailCount() == 0)
        return;
    popmailMsgText->setEnabled(true);
    popmailDelSel->setEnabled(true);
    WriteLine(" The message headers are as follows:");
    SetDetailsColumns({{"#", 30}, {"From", 165}, {"Subject", 150}, {"", 5}, {"", 5}, {"", 5}});
    details->clear();
    std::vector<QStringList> rows;
    QStringList lines;
    rows.reserve(size_t(MailCount()));
    // Converting a long list takes a while too: the window paints meanwhile.
    const int stops = stopCount_;
    QElapsedTimer slice;
    slice.start();
    for (int i = 0; i < MailCount(); ++i) {
        if (i % 1024 == 1023 && slice.elapsed() >= PaintSliceMs) {
            PumpBetweenBatches(stops, "listing the headers");
            slice.restart();
        }
        QStringList row{QString::number(i + 1)};
        lines << "  #" + QString::number(i + 1);
        if (const std::optional<ShownSummary> shown = ShowSummary(pop_mail->Lines[size_t(i)], i + 1)) {
            row << shown->from << shown->subject;
            lines << "   From: " + shown->from << "   Subj: " + shown->subject;
        }
        rows.push_back(std::move(row));
    }
    AppendRows(rows);
    record_->WriteTextLinesInBatches(lines, [&] { PumpBetweenBatches(stops, "writing the transcript"); });
    ScrollToLatest();
}

void TformVexmor::ForSelectedMail(const std::function<void(const std::vector<MailRow>&)>& work)
{
    if (CommandRunning())
        return;
    // Copied before the first wait: the report list may change while the server answers.
    const std::vector<MailRow> chosen = SelectedMail();
    CommandInProgress command(*this);
    ReportingFailure("The mail server ended the exchange without saying why.", [&] {
        MailOpening(false);
        WriteMailCount();
        work(chosen);
    });
    SaveLogIfOn();
}

void TformVexmor::popmailMsgTextClick()
{
    ForSelectedMail([this](const std::vector<MailRow>& chosen) {
        if (MailCount() > 0) {
            for (const MailRow& row : chosen) {
                pop_mail->Retrieve(row.position); // by the row's position
                ShowMessage(row);
            }
        }
        pop_mail->Logout();
    });
}

void TformVexmor::ShowMessage(const MailRow& row)
{
    msg_body->clear();
    WriteHeading("Viewing Message...");
    record_->WriteTextHeading(" From: " + row.from);
    record_->WriteTextHeading(" Subj: " + row.subject);
    WriteHeading(" Message Body:");
    const std::vector<std::string> lines = pop_mail->Lines; // filling lets events through
    // A long message goes in pieces, so the window keeps painting and Stop gets through.
    constexpr size_t Piece = 500;
    const int stops = stopCount_;
    QElapsedTimer slice;
    slice.start();
    QTextCursor cursor(msg_body->document());
    for (size_t at = 0; at < lines.size(); at += Piece) {
        QString text;
        for (size_t i = at; i < std::min(lines.size(), at + Piece); ++i) {
            if (i > 0)
                text += '\n';
            text += FromAnsi(lines[i]);
        }
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(text);
        if (slice.elapsed() >= PaintSliceMs) {
            PumpBetweenBatches(stops, "showing the message");
            slice.restart();
        }
    }
    msg_body->moveCursor(QTextCursor::Start);
    std::vector<std::string> shown;
    shown.reserve(lines.size());
    for (const std::string& line : lines)
        shown.push_back("  " + line);
    WriteLinesInBatches(shown);
    msg_body->show();
}

void TformVexmor::popmailDelAllClick()
{
    if (CommandRunning())
        return;
    // Held from the question on: a command started meanwhile would share the mailbox.
    CommandInProgress command(*this);
    // One click empties a whole mailbox: asked once, and No is the default.
    const std::string question = "Delete every message in the mailbox on " + MailHost() + "?";
    const bool yes = confirm ? confirm(question)
                             : QMessageBox::question(this, windowTitle(), FromAnsi(question),
                                                     QMessageBox::Yes | QMessageBox::No,
                                                     QMessageBox::No) == QMessageBox::Yes;
    if (!yes)
        return;
    popmailDelSel->setEnabled(false);
    PageControl->setCurrentWidget(tsVerbose);
    int count = 0, marked = 0;
    try {
        ReportingFailure("The mail server ended the exchange without saying why.", [&] {
            MailOpening(false);
            WriteMailCount();
            count = MailCount(); // taken once: the loop never follows a changed list
            for (int k = 1; k <= count; ++k) {
                pop_mail->Delete(k);
                ++marked;
                WriteLine(" deleted message #" + IntToStr(k));
            }
            pop_mail->Logout(); // the QUIT commits the deletions
        });
    } catch (...) {
        if (marked < count)
            WriteAlert(" ...ended after " + IntToStr(marked) + " of " + IntToStr(count) +
                       " messages; without a logout the server deletes none of them.");
        SaveLogIfOn();
        throw;
    }
    WriteMailClosing();
    details->clear();
    SaveLogIfOn();
}

void TformVexmor::popmailDelSelClick()
{
    ForSelectedMail([this](const std::vector<MailRow>& chosen) {
        // Deleted by sender and subject as they are on the server now, compared
        // as the rows show them; each summary decoded once.
        std::vector<std::optional<ShownSummary>> now;
        now.reserve(size_t(MailCount()));
        for (int i = 0; i < MailCount(); ++i)
            now.push_back(ShowSummary(pop_mail->Lines[size_t(i)], i + 1));
        for (const MailRow& row : chosen) {
            for (size_t i = 0; i < now.size() && row.summarised; ++i) {
                const std::optional<ShownSummary>& shown = now[i];
                if (shown && row.from == shown->from && row.subject == shown->subject) {
                    pop_mail->Delete(int(i) + 1);
                    WriteLine(" deleted message #" + IntToStr(int(i) + 1));
                }
            }
        }
        pop_mail->Logout();
        details->clear();
        ListHeaders();
    });
}

void TformVexmor::popmailSendClick()
{
    if (mailSendRunner)
        mailSendRunner();
}
