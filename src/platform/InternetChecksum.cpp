#include "platform/InternetChecksum.h"

#include <cstring>

uint16_t InternetChecksum(const void* data, size_t length)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    uint32_t sum = 0;
    size_t i = 0;
    for (; i + 1 < length; i += 2) {
        uint16_t word;
        std::memcpy(&word, bytes + i, 2);
        sum += word;
    }
    if (i < length) {
        const uint8_t last[2] = {bytes[i], 0};
        uint16_t word;
        std::memcpy(&word, last, 2);
        sum += word;
    }
    // Two folds are enough for any sum of up to 2^16 words.
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum += sum >> 16;
    return uint16_t(~sum & 0xFFFF);
}
