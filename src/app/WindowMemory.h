#pragma once

class TformVexmor;

// What the main window looked like when it was last closed: its geometry,
// toolbar layout, splitter positions and the host and packet fields, kept in
// the settings hive under a key of its own.
namespace WindowMemory {

constexpr const char* KeyPath = "SOFTWARE\\Zembrova!\\VexmorPing!\\Window";

void Save(const TformVexmor& window);
// Does nothing when nothing was saved yet, or what was saved cannot be used.
void Restore(TformVexmor& window);

} // namespace WindowMemory
