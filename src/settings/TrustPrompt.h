#pragma once

#include "settings/Regi1632.h"
#include "sock/ECertificateError.h"

class QWidget;

// Shows why the server's certificate was refused (the check that failed and
// its SHA-256 fingerprint) and asks whether to trust exactly this certificate
// for this server from now on; No is the default. On Yes the fingerprint is
// stored for the host and the result is true: the caller may try again.
// Raises Exception, saying why, when it cannot be stored.
// The box is "trustPrompt", its buttons "bTrust" and "bDontTrust".
bool OfferTrust(QWidget* parent, const ECertificateError& e, TRegistry1632& settings);
