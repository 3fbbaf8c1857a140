#include "tcpip/T_Time.h"
#include "sock/AddressHelpers.h"

namespace {

constexpr double Day1900 = 2.0; // 1900-01-01 as a date-time value
constexpr double SecondsPerDay = 86400.0;
constexpr size_t AnswerSize = 4;

} // namespace

T_Time::T_Time()
{
    RemotePort = 37;
}

double T_Time::FromSeconds(uint32_t seconds)
{
    double count = seconds;
    if ((seconds & 0x80000000u) == 0)
        count += 4294967296.0; // the era that begins 2036-02-07 06:28:16
    return Day1900 + count / SecondsPerDay;
}

void T_Time::DoAction()
{
    Exchange exchange(*this);
    Login();
    DateTime = 0;
    // The answer is four bytes; a little more is read so that a server sending
    // something else is told apart, and no more than that is kept.
    std::string answer;
    while (!Eof(Socket) && answer.size() <= AnswerSize) {
        int count = 0;
        ReceiveBuffer(Socket, Buffer.data(), count, int(AnswerSize + 1 - answer.size()));
        if (count > 0)
            answer.append(Buffer.data(), size_t(count));
    }
    if (answer.size() != AnswerSize)
        throw ETcpIpError(Hostname + " sent " + (answer.size() > AnswerSize ? "more than 4" : std::to_string(answer.size())) +
                          " bytes where a time server sends exactly 4; it may not be an RFC 868 time server "
                          "(TCP port 37).");
    uint32_t seconds = 0;
    for (const char c : answer)
        seconds = (seconds << 8) | static_cast<unsigned char>(c);
    DateTime = FromSeconds(seconds);
    if (TimeMode == tzLocal)
        DateTime -= TimeZoneBias() / 1440.0;
}
