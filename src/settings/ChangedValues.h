#pragma once

#include "settings/Regi1632.h"

#include <string>
#include <vector>

// One value a dialog's Ok writes. Only what changed in the dialog is written,
// so values another copy of the program saved meanwhile stay; a value never
// stored is written unless it was stored meanwhile (unlessStored).
struct ChangedValue {
    std::string name, value;
    bool unlessStored;
};

// Writes the values below the configuration key, inside the caller's
// transaction (creating the key where start-up could not). Raises Exception
// saying the settings were not saved when a write fails.
void WriteChangedValues(TRegistry1632& settings, const std::vector<ChangedValue>& values);
