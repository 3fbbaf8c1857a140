#include "icmp/TPing.h"
#include "icmp/EICMPError.h"
#include "icmp/IcmpModule.h"
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

} // namespace

void TPing::Execute()
{
    TICMP::Execute();
    switch (IcmpMode()) {
    case imRaw:
    case imRawPingLibraryTrace:
    case imRawPingNoTrace:
        SendRawEcho();
        return;
    case imNone:
        throw EICMPError("No ICMP available");
    case imLibrary:
        SendThroughLibrary();
        return;
    }
}

void TPing::SendThroughLibrary()
{
    EnsureIcmpHandle();
    const std::string request = RequestData();
    IP_OPTION_INFORMATION options;
    options.Ttl = TimeToLive;
    std::vector<uint8_t> reply(size_t(replySize_), 0);
    if (cancelled_)
        return;
    const auto send = IcmpLibrary().IcmpSendEcho;
    const uint32_t replies =
        send ? send(icmpHandle_, targetAddress_, request.data(), uint16_t(request.size()),
                    &options, reply.data(), uint32_t(reply.size()), Timeout)
             : 0;
    if (replies == 1)
        Report(int(Get<uint32_t>(reply, 4)), Get<uint32_t>(reply, 0), int(Get<uint32_t>(reply, 8)));
    else
        Report(int(IP_REQ_TIMED_OUT), targetAddress_, 0);
}

void TPing::SendRawEcho()
{
    if (rawSocket_ == INVALID_SOCKET) {
        rawSocket_ = winsock::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
        if (rawSocket_ != INVALID_SOCKET)
            winsock::WSAAsyncSelect(rawSocket_, window_.get(), WM_RAW_ICMP, FD_READ);
    }
    if (cancelled_)
        return;

    // The raw socket sends with the time-to-live asked for (0 is not sendable).
    const int ttl = TimeToLive;
    winsock::setsockopt(rawSocket_, IPPROTO_IP, IP_TTL, reinterpret_cast<const char*>(&ttl), sizeof ttl);

    const uint16_t sequence = NextRawSequence();
    outstanding_.push_back(sequence);
    if (outstanding_.size() > MaxOutstanding)
        outstanding_.pop_front();
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
    // A failed send is not reported: no reply simply means no event.
    winsock::sendto(rawSocket_, reinterpret_cast<const char*>(echo.data()), int(echo.size()), 0,
                    &to, 16);
}

void TPing::WndProc(Message& m)
{
    if (m.Msg == WM_RAW_ICMP && LOWORD(m.LParam) == unsigned(FD_READ)) {
        ReceiveRawReply();
        return;
    }
    TICMP::WndProc(m);
}

void TPing::ReceiveRawReply()
{
    std::vector<uint8_t> datagram(size_t(Blocksize) + 32, 0);
    sockaddr_in from{};
    int fromLength = 16;
    const int n = winsock::recvfrom(rawSocket_, reinterpret_cast<char*>(datagram.data()),
                                    int(datagram.size()), 0, &from, &fromLength);
    // A raw socket also sees the requests on their way out (on loopback) and
    // other ICMP traffic: only an echo reply with our identifier counts.
    if (n < 32 || datagram[0] != 0x45 || datagram[20] != IcmpEchoReply)
        return;
    if (Get<uint16_t>(datagram, 24) != Identifier())
        return;
    const auto sent = std::find(outstanding_.begin(), outstanding_.end(), Get<uint16_t>(datagram, 26));
    if (sent == outstanding_.end())
        return; // a duplicate, or an echo this component did not send
    outstanding_.erase(sent);
    Report(0, Get<uint32_t>(datagram, 12), ElapsedSince(Get<uint32_t>(datagram, 28), IcmpClock()));
}

void TPing::Report(int status, uint32_t ip, int roundtime)
{
    if (OnPing)
        OnPing(this, status, ip, roundtime);
}
