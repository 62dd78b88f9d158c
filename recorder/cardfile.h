// Small files on the card that must survive a power cut: written whole into a temporary file in
// the same directory, flushed, then renamed over the old one, so a reader finds either the old
// content or the new one, never a mix or a short file.
#pragma once

#include <cstdint>
#include <span>

namespace cardfile {

// Replaces the file at box path `path` with `bytes`. Returns 0, or -1 (the old file is intact).
int replace(const char* path, std::span<const uint8_t> bytes);

// Reads exactly bytes.size() bytes from the start of `path`. Returns the count read (short when
// the file is shorter), or -1 when the file cannot be opened or read.
long read_exact(const char* path, std::span<uint8_t> bytes);

// Called between the flushed temporary file and its rename. Tests put a power cut there; the
// program leaves it empty.
extern void (*before_rename)(const char* tmpPath);

// Every global of this file back at its start value (tests).
void reset_globals();

}  // namespace cardfile
