#include "IcmpFixture.h"
#include "icmp/EHostNotResolved.h"
#include "icmp/TPing.h"
#include "icmp/TTraceRoute.h"
#include "support/FakeIcmp.h"
#include "support/Raised.h"

#include <string>

namespace {

class Modes : public IcmpFixture {};

std::string MessageOf(const std::function<void()>& run)
{
    return testsupport::Raised<EICMPError>(run);
}

} // namespace

TEST_F(Modes, WithoutAFacilityOrAnAddressEveryPathRaisesBeforeAnythingIsSent)
{
    testsupport::FakeIcmp library;
    TPing ping;
    TTraceRoute trace;
    int events = 0;
    ping.OnPing = [&](TObject*, int, uint32_t, int) { ++events; };
    trace.OnRoute = [&](TObject*, uint8_t, uint32_t, int) { ++events; };
    ping.Hostname = trace.Hostname = "127.0.0.1";

    ForceIcmpMode(imNone);
    EXPECT_EQ(MessageOf([&] { ping.Execute(); }), "No ICMP available");
    EXPECT_EQ(MessageOf([&] { trace.Execute(); }), "No ICMP.DLL found");
    ForceIcmpMode(imRaw);
    EXPECT_EQ(MessageOf([&] { trace.Execute(); }), "Not yet implemented");
    ForceIcmpMode(imRawPingNoTrace);
    EXPECT_EQ(MessageOf([&] { trace.Execute(); }), "No ICMP.DLL found");
    EXPECT_TRUE(trace.HopList.empty());

    const std::string unknown = std::string(70, 'n') + ".invalid";
    for (TIcmpMode mode : {imLibrary, imRawPingLibraryTrace}) {
        ForceIcmpMode(mode);
        ping.Hostname = trace.Hostname = unknown;
        EXPECT_EQ(MessageOf([&] { ping.Execute(); }),
                  "Cannot resolve " + unknown + ": nothing was sent. Check the name, or type the host's address.");
        EXPECT_THROW(trace.Execute(), EHostNotResolved);
        ping.Hostname = "";
        EXPECT_EQ(MessageOf([&] { ping.Execute(); }), "No host given: nothing was sent. Type a host name or an address.");
        EXPECT_EQ(ping.Awaiting(), 0u);
    }
    EXPECT_TRUE(library.sent.empty()) << "never to the all-ones address";
    EXPECT_EQ(events, 0);
}

TEST_F(Modes, BlocksizeIsEightBitsAndSizesTheReplyBuffer)
{
    ForceIcmpMode(imNone);
    TPing ping;
    EXPECT_EQ(ping.Blocksize, 64);
    EXPECT_EQ(ping.Timeout, 5000u);
    EXPECT_EQ(ping.TimeToLive, 255);
    int requested = 300;
    ping.Blocksize = requested;
    EXPECT_EQ(ping.Blocksize, 44);
    EXPECT_THROW(ping.Execute(), EICMPError);
    EXPECT_EQ(ping.ReplySize(), 88) << "prepared before the mode check";
    ping.Blocksize = 0;
    EXPECT_THROW(ping.Execute(), EICMPError);
    EXPECT_EQ(ping.ReplySize(), 44);
}

TEST_F(Modes, TheProbeChoosesRawPingAndLibraryTraceForRoot)
{
    REQUIRE_ROOT("a raw ICMP socket");
    // The kernel refuses IP option 4 with a 32-bit value, so mode 1 never occurs here.
    EXPECT_EQ(IcmpMode(), imRawPingLibraryTrace);
    EXPECT_NE(IcmpLibrary().IcmpSendEcho, nullptr);
}
