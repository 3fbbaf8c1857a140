#pragma once

#include "mail/Inetmail.h"
#include "settings/Regi1632.h"

#include <QDialog>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QStatusBar;
class QToolButton;
class QWidget;

// The modeless window in which a plain-text message is written and sent
// through its own SendMail to the configured server. While a send runs the
// form shows it and cannot change it; a sent message clears the form, a failed
// one leaves everything as typed with the error in words.
class TformMailSend final : public QDialog {
    Q_OBJECT
public:
    explicit TformMailSend(QWidget* parent = nullptr);
    ~TformMailSend() override;

    QToolButton *bOk = nullptr, *bCancel = nullptr, *bAttach = nullptr;
    // The files that go with the message, by their full paths.
    QListWidget* attachments = nullptr;
    // Picks files to attach; tests answer it themselves.
    std::function<QStringList()> attachmentChooser;
    // Asked, after a send that the server's certificate stopped, whether to
    // trust that certificate for that server from now on; true sends again.
    // Tests answer it themselves.
    std::function<bool(const ECertificateError& e)> trustOffer;
    QWidget *panel_top = nullptr, *panel_label = nullptr, *panel_edit = nullptr;
    QLabel *label_from = nullptr, *label_to = nullptr, *label_subj = nullptr, *label_reply = nullptr;
    QLineEdit *msg_from = nullptr, *msg_to = nullptr, *msg_subj = nullptr, *msg_reply = nullptr;
    QPlainTextEdit* msg_body = nullptr;
    QStatusBar* sendstatus = nullptr;
    std::unique_ptr<SendMail> msg_send;
    TRegistry1632 reg_read;

    void FormShow();
    void bOkClick();
    void bCancelClick();
    void bAttachClick();
    // Takes the selected files off the list.
    void RemoveSelectedAttachments();
    void msg_sendDone(TObject* sender);
    void msg_sendMailError(TObject* sender, SendMailError error, const std::string& addinfo);
    void msg_sendMailInfo(TObject* sender, SendMailInfo info, const std::string& addinfo);
    // The program is ending: a send still running stops without delivering.
    void EndSend();
    // A command of the main window waits: Send stays closed meanwhile.
    void SetOtherCommandWaiting(bool waiting);
    // Told the outcome of a send that ends while the window is hidden (after
    // Cancel), so it is never unseen: the text, and whether it failed.
    std::function<void(const std::string& text, bool failed)> OnHiddenSendEnded;

protected:
    void showEvent(QShowEvent* event) override;

private:
    // Shows whether a send runs: the form is read-only and Send closed while it does.
    void ShowSending(bool sending);
    // Nothing typed that a reset would lose.
    bool FormIsFresh() const;
    void ClearForm();
    // The first typed attachment that cannot be read, with why; empty: all can.
    std::string UnreadableAttachment() const;
    // What went wrong beside the message itself: refused recipients, files left out.
    std::string Details() const;
    // After a certificate was refused: asks to trust it, and sends again if so.
    void OfferTrustAndResend();

    QWidget* sendHolder_ = nullptr; // closes Send while the main window waits
    bool otherWaiting_ = false;
    // What the running send met so far.
    std::string recipients_; // as the main window's line names them
    int rcptSent_ = 0;
    bool delivered_ = false;
    std::string error_, lastReply_;
    std::vector<std::string> refused_, unattached_;
};
