#include "tcpip/T_Time.h"
#include "sock/AddressHelpers.h"

#include <algorithm>
#include <chrono>

namespace {

constexpr double Day1900 = 2.0; // 1900-01-01 as a date-time value
constexpr double SecondsPerDay = 86400.0;
constexpr size_t AnswerSize = 4;
constexpr size_t PaddedSize = 8; // the count and four zero bytes
// How long a server that has sent a whole answer may take to close.
constexpr uint32_t CloseGraceMs = 1500;

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

bool T_Time::ReceiveMore(std::string& answer, size_t size)
{
    using Clock = std::chrono::steady_clock;
    const uint32_t timeout = ReplyTimeoutMs;
    const uint32_t grace = std::min(timeout, CloseGraceMs);
    ReplyTimeoutMs = grace;
    const Clock::time_point started = Clock::now();
    int count = 0;
    try {
        ReceiveBuffer(Control(), Buffer.data(), count, int(size));
    } catch (const ETcpIpError&) {
        ReplyTimeoutMs = timeout;
        // A wait that ended before its time was up was stopped: that stands.
        if (Clock::now() - started < std::chrono::milliseconds(grace))
            throw;
        return false;
    }
    ReplyTimeoutMs = timeout;
    if (count > 0)
        answer.append(Buffer.data(), size_t(count));
    return true;
}

void T_Time::DoAction()
{
    Exchange exchange(*this);
    Login();
    DateTime = 0;
    // One byte more than the longest answer is read, so a server sending
    // something else is told apart, and no more than that is kept.
    std::string answer;
    while (!Eof() && answer.size() <= PaddedSize) {
        const size_t room = PaddedSize + 1 - answer.size();
        if (answer.size() >= AnswerSize) {
            if (!ReceiveMore(answer, room))
                break; // the server keeps the connection open: what came is the answer
            continue;
        }
        int count = 0;
        ReceiveBuffer(Control(), Buffer.data(), count, int(room));
        if (count > 0)
            answer.append(Buffer.data(), size_t(count));
    }
    if (answer.size() == PaddedSize && answer.compare(AnswerSize, std::string::npos, std::string(4, '\0')) == 0)
        answer.resize(AnswerSize);
    if (answer.size() != AnswerSize)
        throw ETcpIpError(Hostname + " sent " +
                          (answer.size() > PaddedSize ? "more than 8" : std::to_string(answer.size())) +
                          " bytes where a time server sends exactly 4; it may not be an RFC 868 time server "
                          "(TCP port 37).");
    uint32_t seconds = 0;
    for (const char c : answer)
        seconds = (seconds << 8) | static_cast<unsigned char>(c);
    DateTime = FromSeconds(seconds);
    if (TimeMode == tzLocal)
        DateTime -= TimeZoneBias() / 1440.0;
}
