#include "framework/LineReader.h"
#include "framework/Lines.h"

bool LineReader::Next(std::string& line)
{
    const size_t end = buffer_.find('\n', start_ + scanned_);
    if (end != std::string::npos && end - start_ <= cap_ + 1) { // +1: a CR before the LF
        const size_t length = LineLength(std::string_view(buffer_), start_, end);
        if (length > cap_) { // exactly cap_ plus a CR that is not part of the line end
            line.assign(buffer_, start_, cap_);
            start_ += cap_;
            scanned_ = 0;
            cut_ = true;
            return true;
        }
        line.assign(buffer_, start_, length);
        start_ = end + 1;
        scanned_ = 0;
        cut_ = false;
        return true;
    }
    if (Pending() > cap_) {
        line.assign(buffer_, start_, cap_);
        start_ += cap_;
        scanned_ = 0;
        cut_ = true;
        return true;
    }
    scanned_ = Pending();
    // Drop what was handed out once it is most of the buffer: linear overall.
    if (start_ > 0 && start_ >= buffer_.size() / 2) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    return false;
}

std::string LineReader::TakeRest()
{
    std::string rest = buffer_.substr(start_);
    Clear();
    return rest;
}

void LineReader::Clear()
{
    cut_ = false;
    buffer_.clear();
    start_ = 0;
    scanned_ = 0;
}
