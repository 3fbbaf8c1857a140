#include "settings/TrustPrompt.h"
#include "framework/Ansi.h"
#include "framework/Application.h"
#include "framework/Named.h"
#include "settings/SecuritySettings.h"

#include <QMessageBox>
#include <QPushButton>

bool OfferTrust(QWidget* parent, const ECertificateError& e, TRegistry1632& settings)
{
    QMessageBox box(parent);
    box.setObjectName("trustPrompt");
    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle(App() ? FromAnsi(App()->Title) : QString());
    // The texts come from the server and the user: never markup.
    box.setTextFormat(Qt::PlainText);
    box.setText(FromAnsi(e.Message));
    box.setInformativeText(
        FromAnsi("Trust exactly this certificate for " + e.Host + " from now on?\n\nSHA-256 fingerprint:\n" +
                 e.Fingerprint +
                 "\n\nChoose Yes only if you know why the check failed (for example a server of your own with a "
                 "self-made certificate) and the fingerprint is the one its administrator gave you. A "
                 "different certificate for this server will be refused again."));
    QPushButton* yes = Named(box.addButton(QMessageBox::Yes), "bTrust");
    QPushButton* no = Named(box.addButton(QMessageBox::No), "bDontTrust");
    box.setDefaultButton(no);
    box.setEscapeButton(no);
    box.exec();
    if (box.clickedButton() != yes)
        return false;
    TrustCertificate(settings, e.Host, e.Fingerprint);
    return true;
}
