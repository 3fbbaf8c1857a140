#include "mail/TformMailSend.h"
#include "settings/AddressOrder.h"
#include "framework/Ansi.h"
#include "framework/Application.h"
#include "framework/FixedDialog.h"
#include "framework/Named.h"
#include "framework/Lines.h"
#include "framework/SysUtils.h"
#include "settings/ConfigKeys.h"
#include "settings/MailSettings.h"
#include "settings/SecuritySettings.h"
#include "settings/TrustPrompt.h"

#include <QDateTime>
#include <cstdlib>
#include <QLabel>
#include <QLocale>
#include <QRandomGenerator>
#include <QSysInfo>
#include <QAction>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolButton>

namespace {

// "Wed, 09 Dec 2026 01:23:45 +0100": the local time with its offset (RFC 5322).
std::string DateHeader()
{
    const QDateTime now = QDateTime::currentDateTime();
    const int offset = now.offsetFromUtc() / 60;
    const int hours = std::abs(offset) / 60, minutes = std::abs(offset) % 60;
    return "Date: " + QLocale::c().toString(now, "ddd, dd MMM yyyy hh:mm:ss").toStdString() +
           QString::asprintf(" %c%02d%02d", offset < 0 ? '-' : '+', hours, minutes).toStdString();
}

bool IsDomain(const std::string& text)
{
    return !text.empty() && text.find('.') != std::string::npos && text.front() != '.' && text.back() != '.' &&
           text.find("..") == std::string::npos &&
           text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") ==
               std::string::npos;
}

// Unique by time and chance, at the sender's domain (or this machine's name)
// so that no other sender's identifiers can collide with it.
std::string MessageIdHeader(const std::string& sender)
{
    std::string domain = sender.substr(sender.rfind('@') + 1);
    if (!IsDomain(domain))
        domain = QSysInfo::machineHostName().toStdString();
    if (!IsDomain(domain))
        domain = "localhost.localdomain";
    const quint64 chance = QRandomGenerator::system()->generate64();
    return "Message-ID: <" + QString::number(QDateTime::currentMSecsSinceEpoch(), 36).toStdString() + "." +
           QString::number(chance, 36).toStdString() + "@" + domain + ">";
}

// Recipients as typed: separated by commas or semicolons (outside quotes and
// angle brackets), each an address or "Name <address>"; empty items are none.
std::vector<std::string> RecipientEntries(const std::string& typed)
{
    std::vector<std::string> items(1);
    bool quoted = false, angled = false;
    for (const char c : typed) {
        if (c == '"' && !angled)
            quoted = !quoted;
        else if (c == '<' && !quoted)
            angled = true;
        else if (c == '>' && !quoted)
            angled = false;
        if ((c == ',' || c == ';') && !quoted && !angled)
            items.emplace_back();
        else
            items.back() += c;
    }
    std::vector<std::string> entries;
    for (const std::string& item : items) {
        std::string name, address;
        if (ParseMailbox(item, name, address)) {
            entries.push_back(name.empty() ? address : address + "|" + name);
            continue;
        }
        // Not an address a reader would take: it goes as typed, blanks dropped,
        // for the server to answer.
        std::string bare;
        for (const char c : item)
            if (c != ' ')
                bare += c;
        if (!bare.empty())
            entries.push_back(bare);
    }
    return entries;
}

} // namespace

TformMailSend::TformMailSend(QWidget* parent)
    : QDialog(parent), msg_send(std::make_unique<SendMail>())
{
    setObjectName("formMailSend");
    setWindowTitle("VexmorPing! v1.0; Send E-Mail");
    SetUpFixedDialog(*this, 458, 372);
    setModal(false);

    panel_top = Named(new QWidget(this), "panel_top");
    panel_top->setGeometry(0, 0, 458, 107);
    panel_label = Named(new QWidget(panel_top), "panel_label");
    panel_label->setGeometry(0, 0, 57, 107);
    panel_edit = Named(new QWidget(panel_top), "panel_edit");
    panel_edit->setGeometry(57, 0, 401, 107);
    const char* captions[] = {" From:", " To:", " Subject:", " Reply-To:"};
    const char* labelNames[] = {"label_from", "label_to", "label_subj", "label_reply"};
    const char* editNames[] = {"msg_from", "msg_to", "msg_subj", "msg_reply"};
    QLabel** labels[] = {&label_from, &label_to, &label_subj, &label_reply};
    QLineEdit** edits[] = {&msg_from, &msg_to, &msg_subj, &msg_reply};
    for (int i = 0; i < 4; ++i) {
        *labels[i] = Named(new QLabel(captions[i], panel_label), labelNames[i]);
        (*labels[i])->setGeometry(0, 6 + i * 25, 57, 21);
        *edits[i] = Named(new QLineEdit(panel_edit), editNames[i]);
        (*edits[i])->setGeometry(4, 6 + i * 25, 385, 21);
    }
    setTabOrder(msg_from, msg_to);
    setTabOrder(msg_to, msg_subj);
    setTabOrder(msg_subj, msg_reply);

    msg_body = Named(new QPlainTextEdit(this), "msg_body");
    msg_body->setGeometry(0, 107, 458, 182);
    msg_body->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    const auto button = [this](const char* name, const char* caption, QStyle::StandardPixmap glyph, int x) {
        auto* b = Named(new QToolButton(this), name);
        b->setText(caption);
        b->setIcon(style()->standardIcon(glyph));
        b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        b->setAutoRaise(true);
        b->setGeometry(x, 295, 50, 50);
        return b;
    };
    bOk = button("bOk", "Send", QStyle::SP_DialogOkButton, 4);
    // In a holder of its own, so the main window can close it without
    // touching its own state (closed while this window's send runs).
    sendHolder_ = new QWidget(this);
    sendHolder_->setGeometry(bOk->geometry());
    bOk->setParent(sendHolder_);
    bOk->move(0, 0);
    bCancel = button("bCancel", "Cancel", QStyle::SP_DialogCancelButton, 58);
    bAttach = button("bAttach", "Attach\u2026", QStyle::SP_FileIcon, 112);
    bAttach->setToolTip("Attach files to the message (Delete takes the selected ones off)");
    attachments = Named(new QListWidget(this), "attachments");
    attachments->setGeometry(166, 295, 288, 52);
    attachments->setSelectionMode(QAbstractItemView::ExtendedSelection);
    auto* remove = new QAction("Remove", attachments);
    remove->setShortcut(QKeySequence::Delete);
    remove->setShortcutContext(Qt::WidgetShortcut);
    attachments->addAction(remove);
    attachments->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(remove, &QAction::triggered, this, [this] { RemoveSelectedAttachments(); });
    connect(bAttach, &QToolButton::clicked, this, [this] { Application::RunHandler([this] { bAttachClick(); }); });

    sendstatus = Named(new QStatusBar(this), "sendstatus");
    sendstatus->setGeometry(0, 350, 458, 22);
    sendstatus->setSizeGripEnabled(false);

    msg_send->SMTP_Port = 25;
    msg_send->KeepConnectionOpen = false;
    // A server that never answers is given up like every other wait.
    msg_send->TimeoutConnect = ReplyTimeoutMs / 1000;
    msg_send->TimeoutArp = ReplyTimeoutMs / 1000;
    trustOffer = [this](const ECertificateError& e) { return OfferTrust(this, e, reg_read); };
    msg_send->OnMailError = [this](TObject* s, SendMailError e, const std::string& text) {
        Application::RunHandler([&] { msg_sendMailError(s, e, text); });
    };
    msg_send->OnDone = [this](TObject* s) { Application::RunHandler([&] { msg_sendDone(s); }); };
    msg_send->OnMailInfo = [this](TObject* s, SendMailInfo i, const std::string& text) {
        Application::RunHandler([&] { msg_sendMailInfo(s, i, text); });
    };

    connect(bOk, &QToolButton::clicked, this, [this] { Application::RunHandler([this] { bOkClick(); }); });
    connect(bCancel, &QToolButton::clicked, this, [this] { Application::RunHandler([this] { bCancelClick(); }); });
}

TformMailSend::~TformMailSend()
{
    EndSend();
}

void TformMailSend::EndSend()
{
    msg_send->OnDone = nullptr;
    msg_send->OnMailError = nullptr;
    msg_send->OnMailInfo = nullptr;
    OnHiddenSendEnded = nullptr;
    if (msg_send->Busy())
        msg_send->EndForExit();
}

void TformMailSend::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    Application::RunHandler([this] { FormShow(); });
}

void TformMailSend::FormShow()
{
    // A running send's message is its own: shown as it goes, never reset.
    if (msg_send->Busy()) {
        ShowSending(true);
        return;
    }
    // What the user typed and has not sent stays; a fresh form takes the
    // configured sender.
    if (FormIsFresh()) {
        msg_from->setText(FromAnsi(reg_read.ReadKeyLM(ConfigPath, "full_name")));
        msg_reply->setText(FromAnsi(reg_read.ReadKeyLM(ConfigPath, "email_address")));
    }
    msg_send->FROM_Address.clear();
    msg_send->FROM_Name.clear();
    msg_send->Subject.clear();
    msg_send->TO_Address.clear();
    msg_send->TO_Name.clear();
    msg_send->MailText.clear();
    msg_send->ListTo.clear();
}

bool TformMailSend::FormIsFresh() const
{
    return msg_to->text().isEmpty() && msg_subj->text().isEmpty() && msg_body->toPlainText().isEmpty() &&
           attachments->count() == 0;
}

void TformMailSend::ClearForm()
{
    msg_to->clear();
    msg_subj->clear();
    msg_body->clear();
    attachments->clear(); // sent with this message, not the next
    msg_from->setText(FromAnsi(reg_read.ReadKeyLM(ConfigPath, "full_name")));
    msg_reply->setText(FromAnsi(reg_read.ReadKeyLM(ConfigPath, "email_address")));
}

void TformMailSend::ShowSending(bool sending)
{
    for (QLineEdit* field : {msg_from, msg_to, msg_subj, msg_reply})
        field->setReadOnly(sending);
    msg_body->setReadOnly(sending);
    bOk->setEnabled(!sending);
    bAttach->setEnabled(!sending);
    attachments->setEnabled(!sending);
}

void TformMailSend::SetOtherCommandWaiting(bool waiting)
{
    otherWaiting_ = waiting;
    sendHolder_->setEnabled(!waiting);
}

std::string TformMailSend::UnreadableAttachment() const
{
    for (int i = 0; i < attachments->count(); ++i) {
        const QString path = attachments->item(i)->data(Qt::UserRole).toString();
        QFile file(path);
        if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
            return path.toStdString() + (QFileInfo::exists(path) ? " cannot be read" : " is no longer there");
    }
    return {};
}

void TformMailSend::bOkClick()
{
    // One send at a time: a click while one runs changes nothing.
    if (msg_send->Busy() || otherWaiting_)
        return;
    sendstatus->clearMessage();
    bool blocked = false;
    if (msg_from->text().isEmpty()) {
        sendstatus->showMessage("You must fill in the FROM block!");
        blocked = true;
    }
    if (msg_to->text().isEmpty()) {
        sendstatus->showMessage("You must fill in the TO block!");
        blocked = true;
    }
    if (msg_reply->text().isEmpty()) {
        sendstatus->showMessage("You must fill in the REPLY-TO block!");
        blocked = true;
    }
    if (msg_subj->text().isEmpty())
        sendstatus->showMessage("E-Mail being sent has NO subject...");
    if (blocked)
        return;

    // Everything typed is converted before anything is set, so text the code
    // page cannot hold stops the send whole.
    const std::string name = ToAnsi(msg_from->text(), "The From field");
    const std::string subject = ToAnsi(msg_subj->text(), "The Subject field");
    const std::string reply = ToAnsi(msg_reply->text(), "The Reply-To field");
    const std::string body = ToAnsi(msg_body->toPlainText(), "The message");
    // The field keeps what was typed, so a second try after a failure reads
    // the same list.
    const std::vector<std::string> to = RecipientEntries(ToAnsi(msg_to->text(), "The To field"));
    if (to.empty()) {
        sendstatus->showMessage("You must fill in the TO block!");
        return;
    }
    std::string replyName, replyAddress;
    if (!ParseMailbox(reply, replyName, replyAddress)) {
        sendstatus->showMessage(FromAnsi("The Reply-To field needs an e-mail address, such as " +
                                         std::string("Ann Example <ann@example.org>; \"") + reply + "\" has none."));
        return;
    }
    // A file that cannot go with the message stops it before anything is sent.
    const std::string unreadable = UnreadableAttachment();
    if (!unreadable.empty()) {
        sendstatus->showMessage(FromAnsi("Not sent: the attached file " + unreadable +
                                         ". Take it off the list or attach it again."));
        return;
    }
    // What the configuration lacks is said in words, and the form stays.
    MailSender sender;
    TlsOptions tls;
    SmtpLogin login;
    try {
        sender = ConfiguredMailSender(reg_read);
        tls = ConfiguredTls(reg_read, SecuredProtocol::Smtp, sender.Server, sender.Port);
        login = ConfiguredSmtpLogin(reg_read);
    } catch (const Exception& e) {
        sendstatus->showMessage(FromAnsi(e.Message));
        return;
    }

    msg_send->FROM_Address = sender.Address;
    msg_send->FROM_Name = name;
    msg_send->Subject = subject;
    // Every line typed goes, a blank last one too; an empty body has none.
    msg_send->MailText = body.empty() ? std::vector<std::string>{} : SplitLines(body, LastLine::Always);
    // The reply address the window asks for travels as a Reply-To header,
    // beside the date and identifier every message carries.
    msg_send->Headers = {DateHeader(), MessageIdHeader(sender.Address),
                         "Reply-To: " + MailboxText(replyName, replyAddress)};
    msg_send->SetSMTP_Server(sender.Server);
    msg_send->Order = ConfiguredAddressOrder(reg_read);
    msg_send->SMTP_Port = sender.Port;
    msg_send->Tls = tls;
    msg_send->SMTP_User = login.User;
    msg_send->SMTP_Password = login.Password;

    msg_send->ListTo = to;
    recipients_.clear();
    for (const std::string& entry : to)
        recipients_ += (recipients_.empty() ? "" : ", ") + entry.substr(0, entry.find('|'));
    msg_send->Attachments.clear();
    for (int i = 0; i < attachments->count(); ++i)
        msg_send->Attachments.push_back(QFile::encodeName(attachments->item(i)->data(Qt::UserRole).toString()).toStdString());
    rcptSent_ = 0;
    delivered_ = false;
    error_.clear();
    lastReply_.clear();
    refused_.clear();
    unattached_.clear();
    ShowSending(true);
    sendstatus->showMessage("Sending...");
    msg_send->SetAction(Send_Mail);
}

void TformMailSend::bAttachClick()
{
    if (msg_send->Busy())
        return;
    const QStringList files = attachmentChooser ? attachmentChooser()
                                                : QFileDialog::getOpenFileNames(this, "Attach files");
    for (const QString& file : files) {
        bool listed = false;
        for (int i = 0; i < attachments->count() && !listed; ++i)
            listed = attachments->item(i)->data(Qt::UserRole).toString() == file;
        if (listed)
            continue; // a file goes once
        auto* item = new QListWidgetItem(QFileInfo(file).fileName(), attachments);
        item->setData(Qt::UserRole, file);
        item->setToolTip(file);
    }
}

void TformMailSend::RemoveSelectedAttachments()
{
    if (msg_send->Busy())
        return; // the running send has its list
    qDeleteAll(attachments->selectedItems());
}

void TformMailSend::bCancelClick()
{
    hide();
}

void TformMailSend::msg_sendMailInfo(TObject*, SendMailInfo info, const std::string& addinfo)
{
    switch (info) {
    case Info_Received: lastReply_ = addinfo; break;
    case Info_Recipient: ++rcptSent_; break;
    case Info_RecipientRejected: refused_.push_back(addinfo + " (" + lastReply_ + ")"); break;
    case Info_AttachmentError: unattached_.push_back(addinfo); break;
    case Info_Sent: delivered_ = true; break;
    default: break;
    }
}

std::string TformMailSend::Details() const
{
    std::string text;
    auto list = [&](const char* what, const std::vector<std::string>& items) {
        if (items.empty())
            return;
        text += std::string("; ") + what + ": ";
        for (size_t i = 0; i < items.size(); ++i)
            text += (i ? ", " : "") + items[i];
    };
    list("refused", refused_);
    list("not attached (could not be read)", unattached_);
    return text;
}

void TformMailSend::msg_sendDone(TObject*)
{
    const int accepted = rcptSent_ - int(refused_.size());
    const std::string count = std::to_string(accepted) + (accepted == 1 ? " recipient" : " recipients");
    const std::string error = error_.empty() ? std::string("the server did not take the message") : error_;
    const std::string details = Details();
    const bool whole = delivered_ && details.empty();
    ShowSending(false);
    // A message that went out whole leaves an empty form; anything less keeps
    // what was typed, so nothing has to be written again.
    if (whole)
        ClearForm();
    sendstatus->showMessage(FromAnsi((delivered_ ? "Message sent to " + count : "Error: " + error) + details));
    if (!isVisible() && OnHiddenSendEnded) {
        const std::string message = "Message to " + recipients_;
        OnHiddenSendEnded(whole        ? message + " sent."
                          : delivered_ ? message + " sent to " + count + details + "."
                                       : message + " not sent: " + error + details + ".",
                          !whole);
    }
    OfferTrustAndResend();
}

void TformMailSend::OfferTrustAndResend()
{
    // Only a user looking at the form is asked; a hidden send's failure was told above.
    const std::optional<ECertificateError>& refused = msg_send->LastCertificateError();
    if (delivered_ || !refused || msg_send->LastMailError() != Error_Certificate || !isVisible() || !trustOffer)
        return;
    const ECertificateError e = *refused;
    if (!trustOffer(e))
        return;
    // Sent again from the message loop, the end of this send behind it.
    QTimer::singleShot(0, this, [this] { Application::RunHandler([this] { bOkClick(); }); });
}

void TformMailSend::msg_sendMailError(TObject*, SendMailError, const std::string& addinfo)
{
    if (error_.empty())
        error_ = addinfo; // the first says why; the rest follow from it
    sendstatus->showMessage(FromAnsi("Error: " + addinfo));
}
