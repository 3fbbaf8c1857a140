#include "settings/TformSecurity.h"
#include "framework/Ansi.h"
#include "framework/Application.h"
#include "framework/FixedDialog.h"
#include "framework/Named.h"
#include "platform/registry.h"
#include "settings/AddressOrder.h"
#include "settings/ConfigKeys.h"
#include "settings/Crypt32.h"
#include "settings/SecuritySettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include <algorithm>

namespace {

constexpr int Width = 360, Height = 470;

// What the store gives back whole: a read offers 255 bytes with the terminator.
constexpr int LongestValue = int(TRegistry1632::ReadBufferSize) - 1;

QLabel* Label(QWidget* box, const char* text, int y)
{
    auto* label = new QLabel(QString::fromLatin1(text), box);
    label->setGeometry(8, y + 3, 86, 16);
    return label;
}

QLineEdit* Field(QWidget* box, const char* name, int y)
{
    auto* field = Named(new QLineEdit(box), name);
    field->setGeometry(95, y, 245, 21);
    return field;
}

} // namespace

TformSecurity::TformSecurity(QWidget* parent)
    : QDialog(parent)
{
    setObjectName("formSecurity");
    setWindowTitle("VexmorPing! v1.0; Security and Connections");
    SetUpFixedDialog(*this, Width, Height);

    gbTls = Named(new QGroupBox("Connection Security", this), "gbTls");
    gbTls->setGeometry(5, 5, Width - 10, 104);
    pop_tls = TlsCombo(gbTls, "pop_tls", "POP3:", 20);
    pop_tls->setToolTip("Follow the port: 995 is implicit TLS, any other port plain");
    smtp_tls = TlsCombo(gbTls, "smtp_tls", "SMTP:", 46);
    smtp_tls->setToolTip("Follow the port: 465 is implicit TLS, 587 requires STARTTLS, any other port plain");
    ftp_tls = TlsCombo(gbTls, "ftp_tls", "FTP:", 72);
    ftp_tls->setToolTip("Follow the port: 990 is implicit TLS, any other port plain");

    gbSmtpLogin = Named(new QGroupBox("SMTP Login", this), "gbSmtpLogin");
    gbSmtpLogin->setGeometry(5, 112, Width - 10, 104);
    Label(gbSmtpLogin, "Username:", 20);
    smtp_username = Field(gbSmtpLogin, "smtp_username", 20);
    smtp_username->setToolTip("Leave empty for a server that takes mail without a login");
    Label(gbSmtpLogin, "Password:", 46);
    smtp_password = Field(gbSmtpLogin, "smtp_password", 46);
    smtp_password->setEchoMode(QLineEdit::Password);
    smtp_password->setToolTip("Stored scrambled, not encrypted: anyone who can read your settings can recover it");
    smtp_plain_auth = Named(new QCheckBox("Allow login without TLS", gbSmtpLogin), "smtp_plain_auth");
    smtp_plain_auth->setGeometry(95, 74, 245, 18);
    smtp_plain_auth->setToolTip("Sends the password readable by anyone on the way; only for a server of your own");

    gbTrusted = Named(new QGroupBox("Trusted Certificates", this), "gbTrusted");
    gbTrusted->setGeometry(5, 219, Width - 10, 162);
    trusted_certificates = Named(new QTreeWidget(gbTrusted), "trusted_certificates");
    trusted_certificates->setGeometry(8, 20, Width - 26, 106);
    trusted_certificates->setHeaderLabels({"Server", "SHA-256 fingerprint"});
    trusted_certificates->setRootIsDecorated(false);
    trusted_certificates->setSelectionMode(QAbstractItemView::ExtendedSelection);
    trusted_certificates->header()->setStretchLastSection(false);
    trusted_certificates->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    bRemove = Named(new QPushButton("Remove", gbTrusted), "bRemove");
    bRemove->setGeometry(8, 130, 75, 26);
    bRemove->setToolTip("Forget the selected certificates (on Ok); the next connection asks again");

    gbConnections = Named(new QGroupBox("Connections", this), "gbConnections");
    gbConnections->setGeometry(5, 384, Width - 10, 48);
    Label(gbConnections, "Addresses:", 20);
    address_order = Named(new QComboBox(gbConnections), "address_order");
    // In the order of AddressOrder.
    address_order->addItems({"System order", "IPv4 first", "IPv6 first"});
    address_order->setGeometry(95, 20, 150, 21);
    address_order->setToolTip("For a name with both IPv4 and IPv6 addresses, which to try first; "
                              "the system order is the one ping uses");

    bOk = Named(new QPushButton("Ok", this), "bOk");
    bOk->setGeometry(5, Height - 32, 75, 26);
    bOk->setFlat(true);
    bCancel = Named(new QPushButton("Cancel", this), "bCancel");
    bCancel->setGeometry(85, Height - 32, 75, 26);
    bCancel->setFlat(true);

    QWidget* order[] = {pop_tls, smtp_tls, ftp_tls, smtp_username, smtp_password, smtp_plain_auth,
                        trusted_certificates, bRemove, address_order, bOk, bCancel};
    for (size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);

    connect(bRemove, &QPushButton::clicked, this, [this] { bRemoveClick(); });
    // Remove acts on the selection, so it is offered only while there is one.
    bRemove->setEnabled(false);
    connect(trusted_certificates, &QTreeWidget::itemSelectionChanged, this,
            [this] { bRemove->setEnabled(!trusted_certificates->selectedItems().isEmpty()); });
    connect(bOk, &QPushButton::clicked, this, [this] { Application::RunHandler([this] { bOkClick(); }); });
    connect(bCancel, &QPushButton::clicked, this, [this] { bCancelClick(); });
}

QComboBox* TformSecurity::TlsCombo(QWidget* box, const char* name, const char* label, int y)
{
    Label(box, label, y);
    auto* combo = Named(new QComboBox(box), name);
    // In the order of TlsChoice.
    combo->addItems({"Follow the port", "Plain", "STARTTLS", "Implicit TLS"});
    combo->setGeometry(95, y, 150, 21);
    return combo;
}

std::vector<TformSecurity::Setting> TformSecurity::Settings() const
{
    return {{"pop_tls", pop_tls, nullptr, nullptr},
            {"smtp_tls", smtp_tls, nullptr, nullptr},
            {"ftp_tls", ftp_tls, nullptr, nullptr},
            {"smtp_username", nullptr, smtp_username, nullptr},
            {"smtp_password", nullptr, smtp_password, nullptr},
            {"smtp_plain_auth", nullptr, nullptr, smtp_plain_auth},
            {AddressOrderValue, address_order, nullptr, nullptr}};
}

QString TformSecurity::Shown(const Setting& s) const
{
    if (s.combo == address_order)
        return QString::fromStdString(AddressOrderText(AddressOrder(std::max(0, s.combo->currentIndex()))));
    if (s.combo)
        return TlsChoiceWord(TlsChoice(std::max(0, s.combo->currentIndex())));
    if (s.box)
        return s.box->isChecked() ? "1" : "0";
    return s.field->text();
}

std::string TformSecurity::StoredForm(const Setting& s) const
{
    if (!s.field)
        return Shown(s).toStdString();
    const std::string what = s.field == smtp_password ? "The SMTP password" : "The SMTP user name";
    const std::string text = ToAnsi(s.field->text(), what);
    if (int(text.size()) > LongestValue)
        throw Exception(what + " may be at most " + std::to_string(LongestValue) +
                        " characters long. Nothing was saved.");
    return s.field == smtp_password ? Encrypt(text, CryptKey, CryptMultiplier, CryptIncrement) : text;
}

void TformSecurity::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    Application::RunHandler([this] { FormShow(); });
}

void TformSecurity::FormShow()
{
    showing_.Clear();
    removed_.clear();
    RegistryTransaction snapshot(false);
    for (const Setting& s : Settings()) {
        std::string text = reg_read.ReadKeyLM(ConfigPath, s.name);
        const bool stored = !reg_read.ErrorOccurred() || reg_read.HasKeyLM(ConfigPath, s.name);
        if (s.combo == address_order)
            s.combo->setCurrentIndex(int(AddressOrderFromText(text)));
        else if (s.combo)
            s.combo->setCurrentIndex(int(TlsChoiceFromWord(text)));
        else if (s.box)
            s.box->setChecked(text == "1");
        else
            s.field->setText(FromAnsi(s.field == smtp_password
                                          ? Decrypt(text, CryptKey, CryptMultiplier, CryptIncrement)
                                          : text));
        showing_.Showing(s.name, Shown(s), stored);
    }
    trusted_certificates->clear();
    for (const TrustedCertificate& c : TrustedCertificates(reg_read)) {
        auto* row = new QTreeWidgetItem(trusted_certificates); // owned by the list
        row->setText(0, FromAnsi(c.Host));
        row->setText(1, QString::fromLatin1(c.Fingerprint.c_str()));
        row->setToolTip(1, row->text(1)); // wider than the list
    }
}

void TformSecurity::bRemoveClick()
{
    for (QTreeWidgetItem* row : trusted_certificates->selectedItems()) {
        removed_.emplace_back(ToAnsi(row->text(0)), row->text(1).toStdString());
        delete row; // the list lets go of a deleted row
    }
}

void TformSecurity::bOkClick()
{
    std::vector<ChangedValues::Now> now;
    for (const Setting& s : Settings())
        now.push_back({s.name, Shown(s), [this, s] { return StoredForm(s); }});
    // A certificate trusted anew meanwhile (another copy, another prompt)
    // is not the one the user removed: it stays.
    showing_.Write(reg_read, now, [this] {
        for (const auto& [host, fingerprint] : removed_)
            if (TrustedFingerprint(reg_read, host) == fingerprint)
                ForgetCertificate(reg_read, host);
    });
    accept();
}

void TformSecurity::bCancelClick()
{
    reject();
}
