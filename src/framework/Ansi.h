#pragma once

#include "framework/Exception.h"

#include <QString>

#include <string>

// The program's 8-bit text is Windows code page 1252; the widgets' text meets
// it here and nowhere else. Every byte has one character, so text read from the
// hive or a peer survives a round trip through a widget unchanged.
QString FromAnsi(const std::string& text);

// Raised when typed text holds a character the code page has no byte for.
class EAnsiError : public Exception {
public:
    using Exception::Exception;
};

// Typed text to the program's 8-bit text. A character outside the code page is
// refused (EAnsiError naming what, the field), never stored as "?".
std::string ToAnsi(const QString& text, const std::string& what = "The text");

// Text from the system (file names, locale texts, error strings from the C
// library) is in the locale's encoding, which is UTF-8 here: these give its
// characters, and for a channel that is 8-bit by design (an exception's
// message, a status line) its code page form, with "?" for a character the code
// page has no byte for. Text that can take characters (the transcript, a
// widget) is given the QString itself.
QString FromSystem(const std::string& bytes);
std::string AnsiFromSystem(const QString& text);

// How the transcript and its log show 8-bit text: the code page's characters,
// and control bytes other than tab as their visible symbols (U+2400...), so a
// bare CR or a NUL from a peer looks the same on screen and in the log and
// never starts a new paragraph.
QString VisibleText(const QString& text);
