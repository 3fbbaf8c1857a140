#include "settings/Crypt32.h"

#include <cstdint>

namespace {

uint16_t NextKey(uint16_t key, uint8_t scrambled, int multiplier, int increment)
{
    // Full-width arithmetic; only the low 16 bits are kept.
    return uint16_t((int64_t(key) + scrambled) * multiplier + increment);
}

} // namespace

std::string Encrypt(const std::string& source, int key, int multiplier, int increment)
{
    std::string result;
    result.reserve(source.size());
    uint16_t k = uint16_t(key);
    for (char ch : source) {
        const uint8_t out = uint8_t(uint8_t(ch) ^ uint8_t(k >> 8));
        result.push_back(char(out));
        k = NextKey(k, out, multiplier, increment);
    }
    return result;
}

std::string Decrypt(const std::string& source, int key, int multiplier, int increment)
{
    std::string result;
    result.reserve(source.size());
    uint16_t k = uint16_t(key);
    for (char ch : source) {
        const uint8_t in = uint8_t(ch);
        result.push_back(char(in ^ uint8_t(k >> 8)));
        k = NextKey(k, in, multiplier, increment);
    }
    return result;
}
