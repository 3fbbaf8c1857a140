#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Host name -> IPv4 address pairs, matched without regard to letter case,
// filled by successful look-ups and never purged.
class HostNameCache final {
public:
    std::optional<uint32_t> Find(const std::string& name) const;
    void Add(const std::string& name, uint32_t address);
    size_t Count() const { return entries_.size(); }

private:
    std::vector<std::pair<std::string, uint32_t>> entries_;
};
