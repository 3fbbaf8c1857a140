#pragma once

#include "settings/Regi1632.h"

#include <QDialog>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

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

    TRegistry1632 reg_read;

    void FormShow();
    void bOkClick();
    void bCancelClick();

protected:
    void showEvent(QShowEvent* event) override;

private:
    QLineEdit* Field(QWidget* box, const char* name, const char* text, int x, int y, int width);
    void Label(QWidget* box, const char* text, int y);
    // The plain-text fields, in the order they are read and written.
    std::vector<std::pair<const char*, QLineEdit*>> PlainFields() const;
};
