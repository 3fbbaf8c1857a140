// Every encoder's output decodes back to its input, and dot-stuffing never
// leaves a line that begins with a single dot.
#include "mail/MimeEncoders.h"
#include "support/MimeDecoders.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string b64, qp, uu;
    EncodeBase64(input.data(), input.size(), b64);
    QuotedPrintableEncoder q;
    q.Encode(input.data(), input.size() / 2, qp); // in two blocks: the column runs on
    q.Encode(input.data() + input.size() / 2, input.size() - input.size() / 2, qp);
    EncodeUuencode(input.data(), input.size(), uu);
    if (testsupport::DecodeBase64(b64) != input || testsupport::DecodeQuotedPrintable(qp) != input ||
        testsupport::DecodeUuencode(uu) != input)
        std::abort();
    for (size_t at = 0, next; (next = qp.find("\r\n", at)) != std::string::npos; at = next + 2)
        if (next - at > 75)
            std::abort();
    const std::string word = EncodeHeaderWord(input);
    if (word != input && word.find_first_of("\r\n") != std::string::npos)
        std::abort();
    DotStuffer stuffer;
    const std::string stuffed = stuffer.Stuff(input);
    for (size_t at = 0; at < stuffed.size(); at = stuffed.find('\n', at) + 1) {
        if (stuffed[at] == '.' && (at + 1 >= stuffed.size() || stuffed[at + 1] != '.'))
            std::abort();
        if (stuffed.find('\n', at) == std::string::npos)
            break;
    }
    return 0;
}
