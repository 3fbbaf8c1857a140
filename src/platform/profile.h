#pragma once

// The two private-profile calls, with Windows INI semantics: sections and entry
// names match without regard to case, the default text comes back for what is
// missing. A bare file name lives in the settings folder, beside the hive.
// Writers take flock on a lock file beside the profile and replace the file by
// rename, so two running copies never leave half a file.

#include <cstdint>
#include <string>

uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* defaultText,
                                  char* buffer, uint32_t size, const char* fileName);
// Writes or replaces one entry (a null value removes it); false when the file
// cannot be written or the text cannot be kept on one line.
bool WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                const char* fileName);

std::string ProfilePath(const std::string& fileName);
