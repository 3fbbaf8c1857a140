#include "tcpip/FtpReply.h"

#include <sys/socket.h>

namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

bool ParsePassiveAnswer(const std::string& text, std::string& address, uint16_t& port)
{
    const size_t open = text.find('(');
    const size_t close = open == std::string::npos ? std::string::npos : text.find(')', open);
    if (close == std::string::npos)
        return false;
    // Six numbers 0..255, nothing else.
    int numbers[6];
    size_t at = open + 1;
    for (int i = 0; i < 6; ++i) {
        int value = 0;
        size_t digits = 0;
        while (at < close && IsDigit(text[at]) && digits < 3) {
            value = value * 10 + (text[at++] - '0');
            ++digits;
        }
        if (digits == 0 || value > 255)
            return false;
        numbers[i] = value;
        const char expected = i < 5 ? ',' : ')';
        if (text[at] != expected)
            return false;
        ++at;
    }
    address = std::to_string(numbers[0]) + "." + std::to_string(numbers[1]) + "." + std::to_string(numbers[2]) +
              "." + std::to_string(numbers[3]);
    port = uint16_t(numbers[4] * 256 + numbers[5]);
    return true;
}

std::string PortArgument(uint32_t address, uint16_t port)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(&address); // network order
    return std::to_string(bytes[0]) + "," + std::to_string(bytes[1]) + "," + std::to_string(bytes[2]) + "," +
           std::to_string(bytes[3]) + "," + std::to_string(port / 256) + "," + std::to_string(port % 256);
}

bool ParseExtendedPassiveAnswer(const std::string& text, uint16_t& port)
{
    const size_t open = text.find('(');
    if (open == std::string::npos || open + 1 >= text.size())
        return false;
    const char d = text[open + 1];
    if (d < 33 || d > 126 || IsDigit(d))
        return false;
    size_t at = open + 1;
    // Three delimiters (the family and address left out), the port, one more and ")".
    for (int i = 0; i < 3; ++i, ++at)
        if (at >= text.size() || text[at] != d)
            return false;
    uint32_t value = 0;
    size_t digits = 0;
    while (at < text.size() && IsDigit(text[at]) && digits < 5) {
        value = value * 10 + uint32_t(text[at++] - '0');
        ++digits;
    }
    if (digits == 0 || value == 0 || value > 65535 || at + 1 >= text.size() || text[at] != d || text[at + 1] != ')')
        return false;
    port = uint16_t(value);
    return true;
}

std::string ExtendedPortArgument(int family, const std::string& address, uint16_t port)
{
    return "|" + std::string(family == AF_INET6 ? "2" : "1") + "|" + address + "|" + std::to_string(port) + "|";
}
