#pragma once

#include "settings/ChangedValues.h"
#include "settings/Regi1632.h"

#include <QDialog>

#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QTreeWidget;

// How the mail and FTP connections are protected: the TLS mode per protocol,
// the SMTP login, and the certificates the user chose to trust; and which
// address family a command tries first. Read from the
// store at each showing; Ok writes what changed and forgets the certificates
// removed from the list.
class TformSecurity final : public QDialog {
    Q_OBJECT
public:
    explicit TformSecurity(QWidget* parent = nullptr);

    QGroupBox *gbTls = nullptr, *gbSmtpLogin = nullptr, *gbTrusted = nullptr, *gbConnections = nullptr;
    QComboBox *pop_tls = nullptr, *smtp_tls = nullptr, *ftp_tls = nullptr;
    QLineEdit *smtp_username = nullptr, *smtp_password = nullptr;
    QCheckBox* smtp_plain_auth = nullptr;
    // One row per trusted server: host, SHA-256 fingerprint.
    QTreeWidget* trusted_certificates = nullptr;
    // "System order", "IPv4 first", "IPv6 first".
    QComboBox* address_order = nullptr;
    QPushButton *bRemove = nullptr, *bOk = nullptr, *bCancel = nullptr;

    TRegistry1632 reg_read;

    void FormShow();
    void bRemoveClick();
    void bOkClick();
    void bCancelClick();

protected:
    void showEvent(QShowEvent* event) override;

private:
    QComboBox* TlsCombo(QWidget* box, const char* name, const char* label, int y);

    // One stored value and the control showing it.
    struct Setting {
        const char* name;
        QComboBox* combo;
        QLineEdit* field;
        QCheckBox* box;
    };
    std::vector<Setting> Settings() const;
    // The value as the store holds it; the password scrambled.
    std::string StoredForm(const Setting& s) const;
    QString Shown(const Setting& s) const;

    // What the latest showing showed: Ok writes only what changed since.
    ChangedValues showing_;
    // Removed from the list since the showing: host and the fingerprint shown.
    std::vector<std::pair<std::string, std::string>> removed_;
};
