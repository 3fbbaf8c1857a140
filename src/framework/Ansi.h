#pragma once

#include <QString>

#include <string>

// The program's 8-bit text and the widgets' text meet here, as Latin-1, byte
// for byte (zero bytes included).
inline std::string ToAnsi(const QString& text)
{
    return text.toLatin1().toStdString();
}

inline QString FromAnsi(const std::string& text)
{
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}
