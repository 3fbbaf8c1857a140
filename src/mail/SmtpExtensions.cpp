#include "mail/SmtpExtensions.h"

#include <QByteArray>

#include <algorithm>
#include <cctype>
#include <sstream>

namespace {

std::string Upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    return text;
}

// A name that says where it lives: a dot inside, not only at its end, and
// nothing a greeting could not carry.
bool FullyQualified(std::string name)
{
    if (!name.empty() && name.back() == '.')
        name.pop_back();
    if (name.empty() || name.front() == '.' || name.find('.') == std::string::npos)
        return false;
    return std::all_of(name.begin(), name.end(),
                       [](unsigned char c) { return std::isalnum(c) || c == '-' || c == '.'; });
}

} // namespace

bool SmtpExtensions::Has(const std::string& keyword) const
{
    return std::find(Keywords.begin(), Keywords.end(), Upper(keyword)) != Keywords.end();
}

SmtpExtensions ParseEhloReply(const std::vector<std::string>& lines)
{
    SmtpExtensions e;
    // The first line is the server's greeting of us, not an extension.
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.size() < 4 || line.compare(0, 3, "250") != 0 || (line[3] != '-' && line[3] != ' '))
            continue;
        std::istringstream words(Upper(line.substr(4)));
        std::string keyword;
        if (!(words >> keyword))
            continue;
        e.Keywords.push_back(keyword);
        if (keyword == "STARTTLS") {
            e.StartTls = true;
        } else if (keyword == "AUTH") {
            for (std::string mechanism; words >> mechanism;) {
                e.AuthPlain = e.AuthPlain || mechanism == "PLAIN";
                e.AuthLogin = e.AuthLogin || mechanism == "LOGIN";
            }
        } else if (keyword == "SIZE") {
            std::string limit;
            if (words >> limit && limit.size() <= 19 && limit.find_first_not_of("0123456789") == std::string::npos)
                e.MaxSize = std::stoull(limit);
        }
    }
    return e;
}

std::string GreetingName(const std::string& hostName, const std::string& canonicalName,
                         const std::string& localAddress)
{
    for (const std::string* name : {&hostName, &canonicalName})
        if (FullyQualified(*name))
            return name->back() == '.' ? name->substr(0, name->size() - 1) : *name;
    // RFC 5321 address literals: IPv6 ones carry their tag.
    if (localAddress.find(':') != std::string::npos)
        return "[IPv6:" + localAddress + "]";
    return "[" + localAddress + "]";
}

std::string Base64(const std::string& bytes)
{
    return QByteArray(bytes.data(), qsizetype(bytes.size())).toBase64().toStdString();
}

std::string AuthPlainResponse(const std::string& user, const std::string& password)
{
    return Base64(std::string(1, '\0') + user + std::string(1, '\0') + password);
}
