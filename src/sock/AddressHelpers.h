#pragma once

#include <cstdint>
#include <string>

// The address-helper module. Its start-up never reports a failure.
void StartAddressHelpers();
void EndAddressHelpers();

constexpr uint32_t NoAddress = 0xFFFFFFFFu;

// Name or dotted text to an address (network order); all ones on failure.
uint32_t ResolveAddress(const std::string& host);
std::string DottedAddress(uint32_t address);
// The address's host name, or its dotted text when none is found.
std::string ReverseLookup(uint32_t address);
// The first address of this machine's own name, else 127.0.0.1.
uint32_t LocalAddress();
// Minutes such that UTC = local time + bias.
int TimeZoneBias();
// 1-based position of the n-th (possibly overlapping) occurrence of search in subject.
int PosN(const std::string& search, const std::string& subject, int n);
