#include "settings/TformConfig.h"
#include "framework/Ansi.h"
#include "framework/Application.h"
#include "framework/FixedDialog.h"
#include "framework/Named.h"
#include "settings/ConfigKeys.h"
#include "settings/Crypt32.h"
#include "settings/MailSettings.h"
#include "settings/TformSecurity.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>

namespace {

// The anonymous FTP site offered until the user names one.
constexpr const char* DefaultFtpSite = "ftp.zembrova.example";

void SetField(QLineEdit* field, const std::string& text)
{
    field->setText(FromAnsi(text));
}

} // namespace

TformConfig::TformConfig(QWidget* parent)
    : QDialog(parent)
{
    setObjectName("formConfig");
    setWindowTitle("VexmorPing! v1.0; Configuration");
    SetUpFixedDialog(*this, 266, 389);

    banner = Named(new QLabel(this), "banner");
    banner->setGeometry(0, 0, 266, 69);
    banner->setPixmap(QIcon(":/settings/banner.svg").pixmap(266, 69));

    gbTarvix = Named(new QGroupBox("Tarvix! Options", this), "gbTarvix");
    gbTarvix->setGeometry(5, 72, 256, 176);
    Label(gbTarvix, "SMTP Server:", 20);
    smtp_server = Field(gbTarvix, "smtp_server", "", 95, 20, 112);
    smtp_port = Field(gbTarvix, "smtp_port", "25", 211, 20, 37);
    Label(gbTarvix, "POP3 Server:", 46);
    pop_server = Field(gbTarvix, "pop_server", "", 95, 46, 112);
    pop_port = Field(gbTarvix, "pop_port", "110", 211, 46, 37);
    Label(gbTarvix, "Full Name", 72);
    full_name = Field(gbTarvix, "full_name", "", 95, 72, 153);
    Label(gbTarvix, "E-Mail Address:", 98);
    email_address = Field(gbTarvix, "email_address", "", 95, 98, 153);
    Label(gbTarvix, "Username:", 124);
    pop_username = Field(gbTarvix, "pop_username", "", 95, 124, 153);
    Label(gbTarvix, "Password:", 150);
    pop_password = Field(gbTarvix, "pop_password", "", 95, 150, 153);
    pop_password->setEchoMode(QLineEdit::Password);

    gbAlive = Named(new QGroupBox("VexmorAlive! Options", this), "gbAlive");
    gbAlive->setGeometry(5, 251, 256, 48);
    Label(gbAlive, "Anon FTP Site:", 20);
    web_page = Field(gbAlive, "web_page", DefaultFtpSite, 95, 20, 153);

    gbMisc = Named(new QGroupBox("Miscellaneous", this), "gbMisc");
    gbMisc->setGeometry(5, 302, 256, 55);
    cbLog = Named(new QCheckBox("Log all TCP/IP transactions", gbMisc), "cbLog");
    cbResolve = Named(new QCheckBox("Resolve Host On Trace", gbMisc), "cbResolve");
    // The boxes start below the group's title and line, however high the
    // style draws them, and the group grows to hold them.
    const QRect inside = gbMisc->contentsRect();
    const int row = 16;
    cbLog->setGeometry(8, inside.top() + 1, 240, row);
    cbResolve->setGeometry(8, inside.top() + row + 2, 240, row);
    gbMisc->resize(256, std::max(gbMisc->height(), cbResolve->geometry().bottom() + 1 + gbMisc->height() -
                                                       inside.bottom() - 1));

    const int buttons = std::min(gbMisc->geometry().bottom() + 4, 389 - 26);
    bOk = Named(new QPushButton("Ok", this), "bOk");
    bOk->setGeometry(5, buttons, 75, 26);
    bOk->setFlat(true);
    bCancel = Named(new QPushButton("Cancel", this), "bCancel");
    bCancel->setGeometry(85, buttons, 75, 26);
    bCancel->setFlat(true);
    bSecurity = Named(new QPushButton("Security...", this), "bSecurity");
    bSecurity->setGeometry(186, buttons, 75, 26);
    bSecurity->setFlat(true);
    bSecurity->setToolTip("TLS for mail and FTP, the SMTP login, trusted certificates, which address family to try first");
    formSecurity = new TformSecurity(this); // owned by this dialog

    QWidget* order[] = {smtp_server, smtp_port, pop_server, pop_port, full_name, email_address,
                        pop_username, pop_password, web_page, cbLog, cbResolve, bOk, bCancel, bSecurity};
    for (size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);

    connect(bOk, &QPushButton::clicked, this, [this] { Application::RunHandler([this] { bOkClick(); }); });
    connect(bCancel, &QPushButton::clicked, this, [this] { bCancelClick(); });
    connect(bSecurity, &QPushButton::clicked, this, [this] { bSecurityClick(); });
}

QLineEdit* TformConfig::Field(QWidget* box, const char* name, const char* text, int x, int y, int width)
{
    auto* field = Named(new QLineEdit(QString::fromLatin1(text), box), name);
    field->setGeometry(x, y, width, 21);
    return field;
}

void TformConfig::Label(QWidget* box, const char* text, int y)
{
    auto* label = new QLabel(QString::fromLatin1(text), box);
    label->setGeometry(8, y + 3, 86, 16);
}

std::vector<TformConfig::Setting> TformConfig::Settings() const
{
    return {{"smtp_server", smtp_server, nullptr, ""},
            {"smtp_port", smtp_port, nullptr, "25"},
            {"pop_server", pop_server, nullptr, ""},
            {"pop_port", pop_port, nullptr, "110"},
            {"full_name", full_name, nullptr, ""},
            {"email_address", email_address, nullptr, ""},
            {"pop_username", pop_username, nullptr, ""},
            {"pop_password", pop_password, nullptr, ""},
            {"web_page", web_page, nullptr, DefaultFtpSite},
            {"log_transactions", nullptr, cbLog, "1"},
            {"resolve_trace", nullptr, cbResolve, "1"}};
}

QString TformConfig::Shown(const Setting& s) const
{
    if (s.box)
        return s.box->isChecked() ? "0" : "1";
    return s.field->text();
}

std::string TformConfig::StoredForm(const Setting& s) const
{
    if (s.box)
        return Shown(s).toStdString();
    if (s.field == pop_password)
        return Encrypt(ToAnsi(pop_password->text(), "The password"), CryptKey, CryptMultiplier, CryptIncrement);
    if (s.field == web_page)
        return ToAnsi(web_page->text(), "The FTP site");
    return ToAnsi(s.field->text(), std::string("The field ") + s.name);
}

void TformConfig::CheckPort(QLineEdit* field, const char* what) const
{
    const QString text = field->text();
    if (text.isEmpty() || PortNumber(text.toStdString()))
        return;
    field->setFocus();
    field->selectAll();
    throw Exception(std::string("The ") + what + " must be a number from 1 to 65535; \"" + AnsiFromSystem(text) +
                    "\" is not. Nothing was saved.");
}

void TformConfig::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    Application::RunHandler([this] { FormShow(); });
}

void TformConfig::FormShow()
{
    for (QLineEdit* field : {smtp_server, smtp_port, pop_server, pop_port, full_name, email_address,
                             pop_username, pop_password, web_page})
        field->clear();
    showing_.Clear();
    for (const Setting& s : Settings()) {
        std::string text = reg_read.ReadKeyLM(ConfigPath, s.name);
        // A value never stored shows its initial text, so Ok stores it; a
        // stored empty value stays empty.
        const bool stored = !reg_read.ErrorOccurred() || reg_read.HasKeyLM(ConfigPath, s.name);
        if (!stored)
            text = s.initial;
        else if (s.field == pop_password)
            text = Decrypt(text, CryptKey, CryptMultiplier, CryptIncrement);
        if (s.box)
            s.box->setChecked(text == "0");
        else
            SetField(s.field, text);
        showing_.Showing(s.name, Shown(s), stored);
    }
}

void TformConfig::bOkClick()
{
    CheckPort(smtp_port, "SMTP port");
    CheckPort(pop_port, "POP3 port");
    std::vector<ChangedValues::Now> now;
    for (const Setting& s : Settings())
        now.push_back({s.name, Shown(s), [this, s] { return StoredForm(s); }});
    showing_.Write(reg_read, now);
    accept();
}
void TformConfig::bCancelClick()
{
    reject();
}

void TformConfig::bSecurityClick()
{
    formSecurity->exec();
}
