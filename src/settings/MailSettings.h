#pragma once

#include "settings/Regi1632.h"

#include <cstdint>
#include <optional>
#include <string>

// A port field's text as a port number: digits only, 1 to 65535.
std::optional<uint16_t> PortNumber(const std::string& text);

// What sending mail needs from the configuration, checked before anything
// is sent.
struct MailSender {
    std::string Server;
    uint16_t Port = 25;
    std::string Address;
    std::string Name;
};

// Reads the SMTP server, its port, the sender's address and name. Raises
// Exception naming each missing or wrong value and where to set it.
MailSender ConfiguredMailSender(TRegistry1632& settings);
