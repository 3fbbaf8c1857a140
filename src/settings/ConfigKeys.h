#pragma once

// Where the configuration lives, below HKEY_LOCAL_MACHINE.
constexpr const char* ConfigPath = "SOFTWARE\\Zembrova!\\VexmorPing!\\Config";
constexpr const char* HostsPath = "SOFTWARE\\Zembrova!\\VexmorPing!\\Config\\Hosts";

// Creates the configuration key and its "Hosts" subkey when missing (the
// install step a fresh machine has not had); writes no values.
void EnsureConfigurationKeys();
