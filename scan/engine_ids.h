// The SNMPv3 engine IDs that targets reported, to name those that several
// targets share (cloned devices and images do this; it is worth knowing,
// since such targets share the library's keys and clock per engine ID).
//
// Thread safety: any thread; NoteEngineId may be called with the library
// lock held (it takes only its own short lock).
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// Records that target reported the engine ID of length bytes at id.
void NoteEngineId(const std::string& target, const unsigned char* id, size_t length);

// The engine ID (hex) that peer last reported; "" when none.
std::string EngineIdOf(const std::string& peer);

// Each engine ID (as hex digits) reported by more than one target, with those
// targets in sorted order; sorted by engine ID.
std::vector<std::pair<std::string, std::vector<std::string>>> SharedEngineIds();

// Logs "engine ID <hex> shared by <n> targets: <t1> <t2> ..." once per shared
// engine ID. Call once the scans are over.
void LogSharedEngineIds();
