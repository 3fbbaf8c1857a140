// Replies cut at random places through the line reader and the reply rules of
// both protocols: no crash, no sanitizer report, no line past the cap, and
// every byte but the line ends accounted for.
#include "mail/SmtpReply.h"
#include "framework/LineReader.h"
#include "tcpip/Pop3Reply.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    constexpr size_t Cap = 64;
    LineReader reader(Cap);
    size_t kept = 0, ends = 0;
    for (size_t i = 0; i < size; ++i)
        ends += data[i] == '\n';
    std::string line;
    for (size_t at = 0; at < size;) {
        const size_t piece = 1 + data[at] % 17; // the input also decides where it is cut
        const size_t n = piece < size - at ? piece : size - at;
        reader.Feed(reinterpret_cast<const char*>(data + at), n);
        at += n;
        while (reader.Next(line)) {
            if (line.size() > Cap)
                std::abort();
            kept += line.size();
            SmtpReplyIsFinal(line);
            ClassifyPop3Reply(line);
            std::string data_line = line;
            Pop3DataLine(data_line);
        }
    }
    kept += reader.TakeRest().size();
    // Only line ends and the CR before them may be missing.
    if (kept > size || kept + 2 * ends < size)
        std::abort();
    return 0;
}
