#include "icmp/TPing.h"
#include "icmp/EICMPError.h"
#include "icmp/IcmpModule.h"
#include "platform/IcmpEcho.h"
#include "platform/InternetChecksum.h"

#include <algorithm>
#include <cstring>
#include <netinet/in.h>
#include <vector>

namespace {

constexpr uint8_t IcmpEchoRequest = 8;
constexpr uint8_t IcmpEchoReply = 0;

template <typename T>
void Put(std::vector<uint8_t>& buf, size_t at, T value)
{
    std::memcpy(buf.data() + at, &value, sizeof value);
}

template <typename T>
T Get(const std::vector<uint8_t>& buf, size_t at)
{
    T value;
    std::memcpy(&value, buf.data() + at, sizeof value);
    return value;
}

// What a send the kernel refused at once means, as the library reports it.
uint32_t LocalSendStatus(int wsaError)
{
    switch (wsaError) {
    case WSAENETUNREACH: return IP_DEST_NET_UNREACHABLE;
    case WSAEHOSTUNREACH: return IP_DEST_HOST_UNREACHABLE;
    case WSAEMSGSIZE: return IP_PACKET_TOO_BIG;
    default: return IP_GENERAL_FAILURE;
    }
}

// Whole microseconds between two stamps of the stamp clock; 0 when it was set back.
uint32_t MicrosecondsFrom(int64_t sentNs, int64_t receivedNs)
{
    return uint32_t(std::clamp<int64_t>((receivedNs - sentNs) / 1000, 0, UINT32_MAX));
}

// Enough for an error message quoting our request with both IP headers.
constexpr size_t ErrorMessageRoom = 576;

} // namespace

void TPing::Execute()
{
    TICMP::Execute();
    if (TargetIsIpv6()) {
        SendThroughIcmp6();
        return;
    }
    switch (IcmpMode()) {
    case imRaw:
    case imRawPingLibraryTrace:
    case imRawPingNoTrace:
        RequireTarget();
        SendRawEcho();
        return;
    case imNone:
        throw EICMPError("No ICMP available");
    case imLibrary:
        RequireTarget();
        SendThroughLibrary();
        return;
    }
}

void TPing::Cancel()
{
    TICMP::Cancel();
    outstanding_.clear();
    window_->KillTimer(ExpiryTimer);
}

void TPing::SendThroughLibrary()
{
    EnsureIcmpHandle();
    const std::string request = RequestData();
    std::vector<uint8_t> reply(size_t(replySize_), 0);
    if (cancelled_)
        return;
    const uint32_t replies = SendLibraryEcho(TimeToLive, request, reply);
    if (cancelled_)
        return; // Stop came during the wait
    if (replies == 1)
        Report(int(Get<uint32_t>(reply, 4)), Get<uint32_t>(reply, 0), int(Get<uint32_t>(reply, 8)), roundTripUs_);
    else
        Report(int(IP_REQ_TIMED_OUT), targetAddress_, 0, 0);
}

void TPing::SendThroughIcmp6()
{
    const std::string request = RequestData();
    std::vector<uint8_t> reply = Icmp6ReplyBuffer();
    if (cancelled_)
        return;
    const uint32_t replies = SendIcmp6Echo(TimeToLive, request, reply);
    if (cancelled_)
        return;
    ICMPV6_ECHO_REPLY head;
    std::memcpy(&head, reply.data(), sizeof head);
    if (replies != 1) {
        head.Status = IP_REQ_TIMED_OUT;
        roundTripUs_ = 0;
    }
    if (OnPing6)
        OnPing6(this, int(head.Status), AnswerAddress(head.Address).Text(), replies == 1 ? int(head.RoundTripTime) : 0);
}

void TPing::SendRawEcho()
{
    if (rawSocket_ == INVALID_SOCKET) {
        rawSocket_ = winsock::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
        if (rawSocket_ != INVALID_SOCKET) {
            // Without stamps the receive time is read when the reply is read.
            winsock::EnableReceiveStamps(rawSocket_);
            winsock::WSAAsyncSelect(rawSocket_, window_.get(), WM_RAW_ICMP, FD_READ);
        }
    }
    if (cancelled_)
        return;
    // A time-to-live of 0 cannot be sent (the socket would keep its last
    // value): refused, as the library refuses it.
    if (TimeToLive == 0) {
        Report(int(IP_BAD_OPTION), targetAddress_, 0, 0);
        return;
    }
    const int ttl = TimeToLive;
    winsock::setsockopt(rawSocket_, IPPROTO_IP, IP_TTL, reinterpret_cast<const char*>(&ttl), sizeof ttl);

    const uint16_t sequence = NextRawSequence();
    std::vector<uint8_t> echo(size_t(Blocksize) + 12, 0xA7);
    echo[0] = IcmpEchoRequest;
    echo[1] = 0;
    Put<uint16_t>(echo, 2, 0);
    Put<uint16_t>(echo, 4, Identifier());
    Put<uint16_t>(echo, 6, sequence);
    Put<uint32_t>(echo, 8, IcmpClock());
    Put<uint16_t>(echo, 2, InternetChecksum(echo.data(), echo.size()));

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = 0;
    to.sin_addr.s_addr = targetAddress_;
    const Clock::time_point sent = Clock::now();
    const int64_t sentNs = winsock::StampClockNs(); // last, as close to the send as it can be
    if (winsock::sendto(rawSocket_, reinterpret_cast<const char*>(echo.data()), int(echo.size()), 0, &to, 16) ==
        SOCKET_ERROR) {
        // Refused at once (no route, a firewall): an answer, as through the library.
        Report(int(LocalSendStatus(winsock::WSAGetLastError())), targetAddress_, 0, 0);
        return;
    }
    outstanding_.push_back({sequence, targetAddress_, sent, sent + std::chrono::milliseconds(Timeout), sentNs});
    if (outstanding_.size() > MaxOutstanding)
        outstanding_.pop_front();
    ArmExpiryTimer();
}

void TPing::WndProc(Message& m)
{
    if (m.Msg == WM_RAW_ICMP && LOWORD(m.LParam) == unsigned(FD_READ)) {
        ReceiveRawReply();
        return;
    }
    if (m.Msg == WM_TIMER && m.WParam == ExpiryTimer) {
        ExpireRawEchoes();
        return;
    }
    TICMP::WndProc(m);
}

void TPing::ReceiveRawReply()
{
    std::vector<uint8_t> datagram(std::max(size_t(Blocksize) + 32, ErrorMessageRoom), 0);
    sockaddr_in from{};
    int fromLength = 16;
    int64_t receivedNs = 0;
    const int received = winsock::recvfromStamped(rawSocket_, reinterpret_cast<char*>(datagram.data()),
                                                  int(datagram.size()), 0, &from, &fromLength, &receivedNs);
    // A raw socket sees every ICMP message reaching the host, our own requests
    // on loopback among them: only an echo reply to, or an error quoting, an
    // echo of ours still awaited counts.
    if (received < 28 || (datagram[0] >> 4) != 4)
        return;
    const auto n = size_t(received);
    const size_t ihl = size_t(datagram[0] & 0x0F) * 4;
    if (ihl < 20 || n < ihl + 12)
        return;
    const uint32_t source = Get<uint32_t>(datagram, 12);
    const uint8_t type = datagram[ihl];
    const auto awaited = [this](uint16_t sequence) {
        return std::find_if(outstanding_.begin(), outstanding_.end(),
                            [sequence](const RawEcho& e) { return e.sequence == sequence; });
    };

    if (type == IcmpEchoReply) {
        if (Get<uint16_t>(datagram, ihl + 4) != Identifier())
            return;
        const auto sent = awaited(Get<uint16_t>(datagram, ihl + 6));
        if (sent == outstanding_.end())
            return; // a duplicate, a late one, or an echo this component did not send
        const uint32_t us = MicrosecondsFrom(sent->sentNs, receivedNs);
        outstanding_.erase(sent);
        Report(0, source, ElapsedSince(Get<uint32_t>(datagram, ihl + 8), IcmpClock()), us);
        return;
    }

    const uint32_t status = IcmpErrorStatus(type, datagram[ihl + 1]);
    const size_t quoted = ihl + 8;
    if (status == 0 || n < quoted + 20)
        return;
    const size_t quotedIhl = size_t(datagram[quoted] & 0x0F) * 4;
    const size_t request = quoted + quotedIhl;
    if (quotedIhl < 20 || n < request + 8 || datagram[quoted + 9] != IPPROTO_ICMP ||
        datagram[request] != IcmpEchoRequest || Get<uint16_t>(datagram, request + 4) != Identifier())
        return;
    const auto sent = awaited(Get<uint16_t>(datagram, request + 6));
    if (sent == outstanding_.end())
        return;
    const auto roundtime = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent->sent);
    const uint32_t us = MicrosecondsFrom(sent->sentNs, receivedNs);
    outstanding_.erase(sent);
    Report(int(status), source, int(roundtime.count()), us);
}

void TPing::ExpireRawEchoes()
{
    const Clock::time_point now = Clock::now();
    std::vector<RawEcho> expired;
    for (auto it = outstanding_.begin(); it != outstanding_.end();) {
        if (it->deadline <= now) {
            expired.push_back(*it);
            it = outstanding_.erase(it);
        } else {
            ++it;
        }
    }
    // Reported after the list is settled: a handler may send or cancel.
    for (const RawEcho& e : expired)
        Report(int(IP_REQ_TIMED_OUT), e.target, 0, 0);
    ArmExpiryTimer();
}

void TPing::ArmExpiryTimer()
{
    if (outstanding_.empty()) {
        window_->KillTimer(ExpiryTimer);
        return;
    }
    Clock::time_point next = outstanding_.front().deadline;
    for (const RawEcho& e : outstanding_)
        next = std::min(next, e.deadline);
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count() + 1;
    window_->SetTimer(ExpiryTimer, unsigned(std::clamp<long long>(wait, 1, 60000)));
}

void TPing::Report(int status, uint32_t ip, int roundtime, uint32_t roundTripUs)
{
    roundTripUs_ = roundTripUs;
    if (OnPing)
        OnPing(this, status, ip, roundtime);
}
