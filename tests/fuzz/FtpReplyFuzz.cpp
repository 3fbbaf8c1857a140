// The numbered-reply rules FTP reads by, on any text: the code is the first
// three digits or 999, a line ends a reply exactly when the rules say so; and
// a PASV answer and a PORT argument carry the same address and port both ways.
#include "fuzz/FuzzCheck.h"
#include "sock/NumberedReply.h"
#include "tcpip/FtpReply.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool Digits3(const std::string& s)
{
    return s.size() >= 3 && std::isdigit(uint8_t(s[0])) && std::isdigit(uint8_t(s[1])) && std::isdigit(uint8_t(s[2]));
}

// "a,b,c,d,e,f" with each number's leading zeros dropped.
std::string WithoutLeadingZeros(const std::string& group)
{
    std::string out;
    for (size_t at = 0; at < group.size(); ++at) {
        const bool numberStart = at == 0 || group[at - 1] == ',';
        if (numberStart)
            while (at + 1 < group.size() && group[at] == '0' && group[at + 1] != ',')
                ++at;
        out += group[at];
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 7)
        return 0;
    uint32_t address;
    uint16_t port;
    std::memcpy(&address, data, 4);
    std::memcpy(&port, data + 4, 2);
    const size_t cut = data[6] % (size - 6);
    const std::string first(reinterpret_cast<const char*>(data + 7), cut);
    const std::string line(reinterpret_cast<const char*>(data + 7 + cut), size - 7 - cut);

    for (const std::string* text : {&first, &line}) {
        const int code = ReplyCode(*text);
        Check(Digits3(*text) ? code == std::atoi(text->substr(0, 3).c_str()) : code == 999);
    }

    // 999 stands for "no code", so "999-" opens no multi-line reply.
    const bool multiLine = Digits3(first) && first.size() >= 4 && first[3] == '-' && first.compare(0, 3, "999") != 0;
    const bool closes = line.size() >= 3 && line.compare(0, 3, first, 0, 3) == 0 && (line.size() == 3 || line[3] == ' ');
    Check(ReplyIsFinal(first, line) == (!multiLine || closes));
    Check(!multiLine || ReplyIsFinal(first, first.substr(0, 3) + " " + line));
    Check(!multiLine || !ReplyIsFinal(first, first.substr(0, 3) + "-" + line));

    // Whatever PASV answer parses names the group it read, leading zeros aside.
    std::string host;
    uint16_t dataPort = 0;
    if (ParsePassiveAnswer(line, host, dataPort)) {
        const size_t open = line.find('(');
        const size_t close = line.find(')', open);
        in_addr parsed{};
        Check(::inet_pton(AF_INET, host.c_str(), &parsed) == 1);
        Check(PortArgument(parsed.s_addr, dataPort) == WithoutLeadingZeros(line.substr(open + 1, close - open - 1)));
    }

    // The PORT argument of any address, in a PASV answer, reads back the same.
    std::string prefix = first;
    for (char& c : prefix)
        if (c == '(')
            c = ' ';
    const std::string answer = prefix + "(" + PortArgument(address, port) + ")" + line;
    Check(ParsePassiveAnswer(answer, host, dataPort));
    in_addr expected{};
    expected.s_addr = address;
    Check(host == ::inet_ntoa(expected) && dataPort == port);
    return 0;
}
