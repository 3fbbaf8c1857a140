#pragma once

// The folder of this user's settings: the hive and the profile files
// ($XDG_CONFIG_HOME, default ~/.config, folder "VexmorPing").

#include <string>

std::string SettingsFolder();
// Creates the folder (mode 0700) and its parent when missing; true when it is there.
bool EnsureSettingsFolder();
