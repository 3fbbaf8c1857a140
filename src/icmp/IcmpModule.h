#pragma once

#include "platform/icmplib.h"

#include <cstdint>

// Which ICMP facility the program can use, decided once at start.
enum TIcmpMode {
    imLibrary = 0,             // ping and trace through the ICMP library
    imRaw = 1,                 // raw ping; no trace
    imRawPingLibraryTrace = 2, // raw ping, library trace
    imRawPingNoTrace = 3,      // raw ping; the library is missing
    imNone = 4,                // nothing
};

// Runs the capability probe (Winsock must be started) and loads the library
// when the mode needs it.
void ProbeIcmp();
// Unloads the library if the probe loaded it.
void EndIcmpModule();

TIcmpMode IcmpMode();
// Tests pin a mode so every path can be exercised whatever the privileges.
void ForceIcmpMode(TIcmpMode mode);

// The library's entry points; null members when it is not loaded.
const IcmpEntryPoints& IcmpLibrary();
// Tests put a stand-in behind the entry points; EndIcmpModule takes it away.
void UseIcmpEntryPoints(const IcmpEntryPoints& stand_in);

// The sequence counter shared by all raw echoes: returns the current value and
// advances it, wrapping at 16 bits.
uint16_t NextRawSequence();

// Milliseconds within the current hour of the local clock (0 .. 3599999).
uint32_t IcmpClock();
// Round trip from a stamp of IcmpClock, corrected when the hour turned between.
int32_t ElapsedSince(uint32_t stamp, uint32_t now);
