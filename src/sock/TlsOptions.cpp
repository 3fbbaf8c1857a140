#include "sock/TlsOptions.h"

TlsMode TlsModeForPort(uint16_t port)
{
    switch (port) {
    case 465: // SMTP submission over TLS
    case 990: // FTPS
    case 995: // POP3S
        return TlsMode::Implicit;
    case 587: // SMTP submission, where STARTTLS is required
        return TlsMode::StartTls;
    default:
        return TlsMode::Plain;
    }
}
