#pragma once

#include <cstddef>

// Asks the kernel to back a large buffer with huge pages (transparent huge
// pages, MADV_HUGEPAGE): filling 100 MB then costs some fifty page faults
// instead of twenty-five thousand. Only whole 2 MB pieces inside the buffer
// are advised; a kernel without the feature simply declines.
void AdviseLargeBuffer(void* data, size_t size);
