#include "settings/TformConfig.h"
#include "framework/Ansi.h"
#include "framework/Application.h"
#include "framework/FixedDialog.h"
#include "framework/Named.h"
#include "settings/ConfigKeys.h"
#include "settings/Crypt32.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

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
    gbTarvix->setGeometry(5, 72, 256, 180);
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
    gbAlive->setGeometry(5, 255, 256, 48);
    Label(gbAlive, "Anon FTP Site:", 20);
    web_page = Field(gbAlive, "web_page", "ftp.zembrova.example", 95, 20, 153);

    gbMisc = Named(new QGroupBox("Miscellaneous", this), "gbMisc");
    gbMisc->setGeometry(5, 306, 256, 50);
    cbLog = Named(new QCheckBox("Log all TCP/IP transactions", gbMisc), "cbLog");
    cbLog->setGeometry(8, 15, 240, 16);
    cbResolve = Named(new QCheckBox("Resolve Host On Trace", gbMisc), "cbResolve");
    cbResolve->setGeometry(8, 31, 240, 16);

    bOk = Named(new QPushButton("Ok", this), "bOk");
    bOk->setGeometry(5, 359, 75, 26);
    bOk->setFlat(true);
    bCancel = Named(new QPushButton("Cancel", this), "bCancel");
    bCancel->setGeometry(85, 359, 75, 26);
    bCancel->setFlat(true);

    QWidget* order[] = {smtp_server, smtp_port, pop_server, pop_port, full_name, email_address,
                        pop_username, pop_password, web_page, cbLog, cbResolve, bOk, bCancel};
    for (size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);

    connect(bOk, &QPushButton::clicked, this, [this] { Application::RunHandler([this] { bOkClick(); }); });
    connect(bCancel, &QPushButton::clicked, this, [this] { bCancelClick(); });
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

std::vector<std::pair<const char*, QLineEdit*>> TformConfig::PlainFields() const
{
    return {{"smtp_server", smtp_server}, {"smtp_port", smtp_port}, {"pop_server", pop_server},
            {"pop_port", pop_port},       {"full_name", full_name}, {"email_address", email_address},
            {"pop_username", pop_username}};
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
    for (const auto& [name, field] : PlainFields())
        SetField(field, reg_read.ReadKeyLM(ConfigPath, name));
    SetField(pop_password, Decrypt(reg_read.ReadKeyLM(ConfigPath, "pop_password"), CryptKey,
                                  CryptMultiplier, CryptIncrement));
    SetField(web_page, reg_read.ReadKeyLM(ConfigPath, "web_page"));
    cbLog->setChecked(reg_read.ReadKeyLM(ConfigPath, "log_transactions") == "0");
    cbResolve->setChecked(reg_read.ReadKeyLM(ConfigPath, "resolve_trace") == "0");
}

void TformConfig::bOkClick()
{
    // Every field is converted before anything is stored, and everything is
    // stored in one transaction: the settings are saved whole or not at all.
    std::vector<std::pair<std::string, std::string>> values;
    for (const auto& [name, field] : PlainFields())
        values.emplace_back(name, ToAnsi(field->text(), std::string("The field ") + name));
    values.emplace_back("pop_password", Encrypt(ToAnsi(pop_password->text(), "The password"), CryptKey,
                                                CryptMultiplier, CryptIncrement));
    values.emplace_back("web_page", ToAnsi(web_page->text(), "The FTP site"));
    values.emplace_back("log_transactions", cbLog->isChecked() ? "0" : "1");
    values.emplace_back("resolve_trace", cbResolve->isChecked() ? "0" : "1");

    RegistryTransaction transaction;
    if (transaction.Began() != ERROR_SUCCESS)
        throw Exception("The settings were not saved. " + RegistryLastFailure());
    for (const auto& [name, value] : values) {
        reg_read.WriteKeyLM(ConfigPath, name, value);
        if (reg_read.ErrorOccurred())
            throw Exception("The settings were not saved: " + reg_read.ErrorMessage() + ". " + RegistryLastFailure());
    }
    if (transaction.Commit() != ERROR_SUCCESS)
        throw Exception("The settings were not saved. " + RegistryLastFailure());
    accept();
}

void TformConfig::bCancelClick()
{
    reject();
}
