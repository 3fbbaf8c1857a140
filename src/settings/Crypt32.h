#pragma once

#include <string>

// The constants every caller passes.
constexpr int CryptKey = 3857;
constexpr int CryptMultiplier = 183921;
constexpr int CryptIncrement = 140237;

// Byte-wise stream scrambling with a 16-bit running key fed by the scrambled
// bytes; Decrypt with the same constants undoes Encrypt. Texts of any length.
std::string Encrypt(const std::string& source, int key, int multiplier, int increment);
std::string Decrypt(const std::string& source, int key, int multiplier, int increment);
