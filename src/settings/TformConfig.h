#pragma once

#include "settings/ChangedValues.h"
#include "settings/Regi1632.h"

#include <QDialog>

#include <string>
#include <vector>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TformSecurity;

// The configuration dialog: mail servers, identity, mailbox login, keep-alive
// site and the two switches, read from the store at each showing and written
// back on Ok.
class TformConfig final : public QDialog {
    Q_OBJECT
public:
    explicit TformConfig(QWidget* parent = nullptr);

    QLabel* banner = nullptr;
    QGroupBox *gbTarvix = nullptr, *gbAlive = nullptr, *gbMisc = nullptr;
    QLineEdit *smtp_server = nullptr, *smtp_port = nullptr, *pop_server = nullptr, *pop_port = nullptr,
              *full_name = nullptr, *email_address = nullptr, *pop_username = nullptr,
              *pop_password = nullptr, *web_page = nullptr;
    QCheckBox *cbLog = nullptr, *cbResolve = nullptr;
    QPushButton *bOk = nullptr, *bCancel = nullptr;
    // Opens the TLS, SMTP login and trusted certificate settings, which
    // have a dialog of their own and are saved by its Ok.
    QPushButton* bSecurity = nullptr;
    TformSecurity* formSecurity = nullptr;

    TRegistry1632 reg_read;

    void FormShow();
    void bOkClick();
    void bCancelClick();
    void bSecurityClick();

protected:
    void showEvent(QShowEvent* event) override;

private:
    QLineEdit* Field(QWidget* box, const char* name, const char* text, int x, int y, int width);
    void Label(QWidget* box, const char* text, int y);

    // One stored value and the control showing it (a field or a check box).
    struct Setting {
        const char* name;
        QLineEdit* field;
        QCheckBox* box;
        const char* initial; // shown while the value was never stored
    };
    // Every value, in the order it is read and written.
    std::vector<Setting> Settings() const;
    // The control's state as text: a field's text, a box's "0" (checked) or "1".
    QString Shown(const Setting& s) const;
    // The value as stored: the password scrambled, text in the code page.
    std::string StoredForm(const Setting& s) const;
    void CheckPort(QLineEdit* field, const char* what) const;

    // What the latest showing showed: Ok writes only what changed since.
    ChangedValues showing_;
};
