// A host entry packed into a caller's buffer of any size and alignment: a short
// buffer is reported and left untouched, nothing is written outside the buffer
// or past the size reported, and the entry read back is the one packed.
#include "fuzz/FuzzCheck.h"
#include "platform/linux/HostEntry.h"
#include "platform/winsock.h"

#include <netdb.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr uint8_t Untouched = 0xA5;

bool AllUntouched(const char* from, const char* to)
{
    for (; from < to; ++from)
        if (uint8_t(*from) != Untouched)
            return false;
    return true;
}

// Whether [p, p + n) lies inside [begin, end).
bool Inside(const char* p, size_t n, const char* begin, const char* end)
{
    return p >= begin && p <= end && n <= size_t(end - p);
}

template <typename T>
T Load(const char* p)
{
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// Packs into `size` bytes placed `offset` bytes into their own allocation, so
// ASan sees a write past the end and the bytes before it show one before.
void PackAndRead(const HostEntryData& entry, size_t offset, int size)
{
    const size_t room = size > 0 ? size_t(size) : 0;
    std::vector<char> block(offset + room, char(Untouched));
    char* buf = block.data() + offset;
    const int needed = PackHostEntry(entry, buf, size);
    Check(needed > 0);
    Check(AllUntouched(block.data(), buf));
    if (size < needed) {
        Check(AllUntouched(buf, buf + room));
        return;
    }
    const char* end = buf + needed;
    Check(AllUntouched(end, buf + room));

    const hostent h = Load<hostent>(buf);
    Check(h.h_addrtype == AF_INET && h.h_length == 4);
    Check(Inside(h.h_name, entry.name.size() + 1, buf, end));
    Check(std::memcmp(h.h_name, entry.name.c_str(), entry.name.size() + 1) == 0);
    const char* aliases = reinterpret_cast<const char*>(h.h_aliases);
    Check(Inside(aliases, sizeof(char*), buf, end) && Load<char*>(aliases) == nullptr);
    const char* list = reinterpret_cast<const char*>(h.h_addr_list);
    for (size_t i = 0;; ++i) {
        Check(Inside(list + i * sizeof(char*), sizeof(char*), buf, end));
        const char* address = Load<char*>(list + i * sizeof(char*));
        if (i == entry.addresses.size()) {
            Check(address == nullptr);
            break;
        }
        Check(Inside(address, 4, buf, end) && Load<uint32_t>(address) == entry.addresses[i]);
    }
    const uint32_t first = entry.addresses.empty() ? INADDR_NONE_VALUE : entry.addresses[0];
    Check(winsock::HostEntryFirstAddress(buf) == first);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    const size_t offset = data[0] % 8;
    const int fuzzedSize = int(int16_t(data[1] | data[2] << 8));
    HostEntryData entry;
    size_t at = 4;
    for (size_t n = data[3] % 40; n > 0 && at + 4 <= size; --n, at += 4)
        entry.addresses.push_back(Load<uint32_t>(reinterpret_cast<const char*>(data + at)));
    entry.name.assign(reinterpret_cast<const char*>(data + at), size - at);
    // A name is a C string in the entry: it ends at its first zero.
    entry.name.resize(std::strlen(entry.name.c_str()));

    PackAndRead(entry, offset, fuzzedSize);
    // Exactly the size it asks for, and one byte less.
    const int needed = PackHostEntry(entry, nullptr, -1);
    PackAndRead(entry, offset, needed);
    PackAndRead(entry, offset, needed - 1);
    return 0;
}
