// Any header value decodes without fault, into text no longer than twice its
// bytes; unlabelled UTF-8 reads as itself, anything else through the code page.
#include "framework/Ansi.h"
#include "fuzz/FuzzCheck.h"
#include "mail/HeaderText.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    const QString text = DecodeHeaderText(input);
    Check(size_t(text.size()) <= 2 * size);
    if (input.find("=?") == std::string::npos) {
        if (IsUtf8(input.data(), input.size())) {
            Check(text == QString::fromUtf8(input.data(), qsizetype(size)));
            Check(text.toUtf8().toStdString() == input);
        } else {
            Check(text == FromAnsi(input));
        }
    }
    return 0;
}
