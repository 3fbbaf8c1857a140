#include "app/StopReaches.h"
#include "app/TformVexmor.h"
#include "framework/Ansi.h"
#include "framework/SysUtils.h"
#include "settings/ConfigKeys.h"
#include "settings/Crypt32.h"
#include "tcpip/T_Pop3.h"

#include <QAction>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QPointer>
#include <QToolButton>
#include <QTreeWidget>

namespace {

// The sender and subject of a summary, when it has both.
bool SplitSummary(const std::string& summary, std::string& from, std::string& subject)
{
    const size_t bel = summary.find('\a');
    if (bel == std::string::npos)
        return false;
    from = summary.substr(0, bel);
    subject = summary.substr(bel + 1);
    return true;
}

} // namespace

// Every mail command starts so: the host, the login (the typed pair, else the
// configured one), a login that lists the mailbox, then its summaries.
void TformVexmor::MailOpening(bool clearReport)
{
    const std::string host = ToAnsi(hostname->text(), "The host name");
    pop_mail->Hostname = host;
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
    pop_mail->Login();
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
    StopReaches stop(bStop);
    popmailDelSel->setEnabled(false);
    PageControl->setCurrentWidget(tsVerbose);
    MailOpening(false);
    pop_mail->Logout();
    WriteMailClosing();
    WriteMailCount();
    SaveLogIfOn();
}

void TformVexmor::popmailHeadersClick()
{
    StopReaches stop(bStop);
    MailOpening(true);
    pop_mail->Logout();
    WriteMailClosing();
    WriteMailCount();
    if (MailCount() > 0) {
        popmailMsgText->setEnabled(true);
        popmailDelSel->setEnabled(true);
        WriteLine(" The message headers are as follows:");
        SetDetailsColumns({{"#", 30}, {"From", 165}, {"Subject", 150}, {"", 5}, {"", 5}, {"", 5}});
        details->clear();
        for (int i = 0; i < MailCount(); ++i) {
            QTreeWidgetItem* row = AppendRow();
            row->setText(0, QString::number(i + 1));
            WriteLine("  #" + IntToStr(i + 1));
            std::string from, subject;
            if (SplitSummary(pop_mail->Lines[size_t(i)], from, subject)) {
                row->setText(1, FromAnsi(from));
                row->setText(2, FromAnsi(subject));
                WriteLine("   From: " + from);
                WriteLine("   Subj: " + subject);
            }
        }
        ScrollToLatest();
    }
    SaveLogIfOn();
}

void TformVexmor::popmailMsgTextClick()
{
    StopReaches stop(bStop);
    MailOpening(false);
    WriteMailCount();
    if (MailCount() > 0) {
        for (const int j : SelectedRows()) {
            const QTreeWidgetItem* row = details->topLevelItem(j);
            pop_mail->Retrieve(j + 1); // by the row's position
            msg_body->clear();
            WriteHeading("Viewing Message...");
            WriteHeading(" From: " + ToAnsi(row->text(1)));
            WriteHeading(" Subj: " + ToAnsi(row->text(2)));
            WriteHeading(" Message Body:");
            std::string body;
            std::vector<std::string> shown;
            for (const std::string& line : pop_mail->Lines) {
                body += line + '\n';
                shown.push_back("  " + line);
            }
            if (!body.empty())
                body.pop_back();
            msg_body->setPlainText(FromAnsi(body));
            WriteTranscriptLines(shown, false, 0x000000);
            msg_body->show();
        }
    }
    pop_mail->Logout();
    SaveLogIfOn();
}

void TformVexmor::popmailDelAllClick()
{
    // One click empties a whole mailbox: asked once, and No is the default.
    const std::string question = "Delete every message in the mailbox on " + ToAnsi(hostname->text()) + "?";
    const bool yes = confirm ? confirm(question)
                             : QMessageBox::question(this, windowTitle(), FromAnsi(question),
                                                     QMessageBox::Yes | QMessageBox::No,
                                                     QMessageBox::No) == QMessageBox::Yes;
    if (!yes)
        return;
    StopReaches stop(bStop);
    popmailDelSel->setEnabled(false);
    PageControl->setCurrentWidget(tsVerbose);
    MailOpening(false);
    WriteMailCount();
    for (int k = 1; k <= MailCount(); ++k) {
        pop_mail->Delete(k);
        WriteLine(" deleted message #" + IntToStr(k));
    }
    pop_mail->Logout(); // the QUIT commits the deletions
    WriteMailClosing();
    details->clear();
    SaveLogIfOn();
}

void TformVexmor::popmailDelSelClick()
{
    StopReaches stop(bStop);
    MailOpening(false);
    WriteMailCount();
    if (MailCount() > 0) {
        for (const int r : SelectedRows()) {
            const QTreeWidgetItem* row = details->topLevelItem(r);
            // Deleted by sender and subject as they are on the server now.
            for (int i = 0; i < MailCount(); ++i) {
                std::string from, subject;
                if (SplitSummary(pop_mail->Lines[size_t(i)], from, subject) && row->text(1) == FromAnsi(from) &&
                    row->text(2) == FromAnsi(subject)) {
                    pop_mail->Delete(i + 1);
                    WriteLine(" deleted message #" + IntToStr(i + 1));
                }
            }
        }
    }
    pop_mail->Logout();
    details->clear();
    popmailHeadersClick();
    SaveLogIfOn();
}

void TformVexmor::popmailSendClick()
{
    if (mailSendRunner)
        mailSendRunner();
}
