#include "settings/MailSettings.h"
#include "framework/Exception.h"
#include "settings/ConfigKeys.h"

#include <vector>

std::optional<uint16_t> PortNumber(const std::string& text)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const unsigned long port = std::stoul(text);
    if (port < 1 || port > 65535)
        return std::nullopt;
    return uint16_t(port);
}

MailSender ConfiguredMailSender(TRegistry1632& settings)
{
    MailSender sender;
    sender.Server = settings.ReadKeyLM(ConfigPath, "smtp_server");
    const std::string port = settings.ReadKeyLM(ConfigPath, "smtp_port");
    sender.Address = settings.ReadKeyLM(ConfigPath, "email_address");
    sender.Name = settings.ReadKeyLM(ConfigPath, "full_name");

    std::vector<std::string> missing;
    if (sender.Server.find_first_not_of(' ') == std::string::npos)
        missing.push_back("the SMTP server (\"SMTP Server:\")");
    if (port.empty())
        missing.push_back("the SMTP port (the small field beside it, usually 25)");
    if (sender.Address.find_first_not_of(' ') == std::string::npos)
        missing.push_back("your e-mail address (\"E-Mail Address:\")");
    if (!missing.empty()) {
        std::string list = missing[0];
        for (size_t i = 1; i < missing.size(); ++i)
            list += (i + 1 == missing.size() ? " and " : ", ") + missing[i];
        throw Exception("The message was not sent: set " + list +
                        " in the configuration (the Configure button), then send again.");
    }
    const std::optional<uint16_t> number = PortNumber(port);
    if (!number)
        throw Exception("The message was not sent: the SMTP port \"" + port +
                        "\" is not a port number (1 to 65535). Correct it in the configuration (the Configure "
                        "button), then send again.");
    sender.Port = *number;
    return sender;
}
