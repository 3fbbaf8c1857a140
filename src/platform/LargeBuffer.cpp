#include "platform/LargeBuffer.h"

#include <cstdint>
#include <sys/mman.h>

void AdviseLargeBuffer(void* data, size_t size)
{
    constexpr uintptr_t huge = uintptr_t(2) << 20;
    if (size < 2 * huge)
        return;
    const uintptr_t from = (reinterpret_cast<uintptr_t>(data) + huge - 1) & ~(huge - 1);
    const uintptr_t to = (reinterpret_cast<uintptr_t>(data) + size) & ~(huge - 1);
    if (to > from)
        ::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
}
