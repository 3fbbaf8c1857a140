#pragma once

#include <cstddef>
#include <cstdint>

// RFC 1071: the one's-complement sum of the 16-bit words as they lie in memory
// (a trailing odd byte padded with zero), folded and complemented. Storing the
// result as it lies in memory gives the right bytes on any byte order.
uint16_t InternetChecksum(const void* data, size_t length);
