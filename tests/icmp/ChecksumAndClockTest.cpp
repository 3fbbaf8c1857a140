#include "icmp/IcmpModule.h"
#include "platform/InternetChecksum.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

std::vector<uint8_t> Stored(uint16_t sum)
{
    std::vector<uint8_t> bytes(2);
    std::memcpy(bytes.data(), &sum, 2);
    return bytes;
}

} // namespace

TEST(InternetChecksum, MatchesKnownVectorsAndAMessageCarryingItSumsToZero)
{
    // The worked example of RFC 1071: words 0001 f203 f4f5 f6f7 give 220d.
    const uint8_t rfc[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    EXPECT_EQ(Stored(InternetChecksum(rfc, sizeof rfc)), (std::vector<uint8_t>{0x22, 0x0d}));

    // Echo request, identifier 1, sequence 1, no payload: ~0x0802.
    const uint8_t echo[] = {0x08, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01};
    EXPECT_EQ(Stored(InternetChecksum(echo, sizeof echo)), (std::vector<uint8_t>{0xf7, 0xfd}));

    // A trailing odd byte counts as the high byte of a last word.
    const uint8_t odd[] = {0x01};
    EXPECT_EQ(Stored(InternetChecksum(odd, 1)), (std::vector<uint8_t>{0xfe, 0xff}));
    EXPECT_EQ(Stored(InternetChecksum(nullptr, 0)), (std::vector<uint8_t>{0xff, 0xff}));

    // A message carrying its checksum sums to zero.
    for (size_t length : {9u, 12u, 44u, 267u}) {
        std::vector<uint8_t> message(length, 0xA7);
        message[0] = 8;
        message[2] = message[3] = 0;
        const uint16_t sum = InternetChecksum(message.data(), message.size());
        std::memcpy(message.data() + 2, &sum, 2);
        EXPECT_EQ(InternetChecksum(message.data(), message.size()), 0) << length;
    }
}

TEST(IcmpClock, RoundTripsAreCorrectedAcrossTheHour)
{
    EXPECT_EQ(ElapsedSince(1000, 1250), 250);
    EXPECT_EQ(ElapsedSince(3599990, 5), 15);
    EXPECT_EQ(ElapsedSince(0, 0), 0);
    const uint32_t now = IcmpClock();
    EXPECT_LT(now, 3600000u);
}

TEST(RawSequence, IsSharedAndWrapsAtSixteenBits)
{
    const uint16_t first = NextRawSequence();
    EXPECT_EQ(NextRawSequence(), uint16_t(first + 1));
    for (int i = 0; i < 65535; ++i)
        NextRawSequence();
    EXPECT_EQ(NextRawSequence(), uint16_t(first + 1)) << "65536 steps come full circle";
}
