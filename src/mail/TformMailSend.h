#pragma once

#include "mail/Inetmail.h"
#include "settings/Regi1632.h"

#include <QDialog>

#include <functional>
#include <memory>

class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QStatusBar;
class QToolButton;
class QWidget;

// The modeless window in which a plain-text message is written and sent
// through its own SendMail to the configured server; it closes when the send
// ends.
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
    // The program is ending: a send still running stops without delivering.
    void EndSend();

protected:
    void showEvent(QShowEvent* event) override;
};
