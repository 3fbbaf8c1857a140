#pragma once

#include <cstddef>
#include <string>

// Assembles lines from the blocks a peer sends. A line ends at LF; a CR just
// before it is dropped. What a peer sends is bounded by us: a line longer than
// the cap is handed out in pieces of the cap's size, so memory never grows
// with a line that has no end.
class LineReader final {
public:
    static constexpr size_t DefaultCap = 64 * 1024;

    explicit LineReader(size_t cap = DefaultCap) : cap_(cap) {}

    void Feed(const char* data, size_t size) { buffer_.append(data, size); }
    void Feed(const std::string& data) { buffer_ += data; }
    // The next complete line (or a full piece of a long one); false when none.
    bool Next(std::string& line);
    // The unfinished last line, e.g. when the connection ends; empties the reader.
    std::string TakeRest();
    // Whether the line last handed out was a piece cut at the cap (its rest
    // follows as further pieces).
    bool Cut() const { return cut_; }
    // Bytes received but not yet handed out.
    size_t Pending() const { return buffer_.size() - start_; }
    void Clear();

private:
    std::string buffer_;
    size_t start_ = 0;   // first byte not yet handed out
    size_t scanned_ = 0; // bytes after start_ already known to hold no LF
    size_t cap_;
    bool cut_ = false;
};
