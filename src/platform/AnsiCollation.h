#pragma once

// Comparisons of the program's 8-bit text (code page 1252) as Windows makes
// them for key names and sorted lists.

#include <string>
#include <string_view>

// Upper case across the whole code page ("été" to "ÉTÉ").
std::string AnsiUpper(std::string_view text);

// Case-insensitive equality over the whole code page ("Été" equals "été"),
// accents kept: <0, 0, >0.
int AnsiCompareNoCase(std::string_view a, std::string_view b);

// Sort order of lstrcmpA's word sort: hyphens and apostrophes are ignored,
// punctuation sorts before digits and digits before letters, an accented
// letter sorts beside its base letter, lower case before upper case when all
// else is equal.
int AnsiCompareWords(std::string_view a, std::string_view b);

// A byte string whose plain order is that word sort: computed once, it makes
// sorting many names cheap.
std::string AnsiWordKey(std::string_view text);
