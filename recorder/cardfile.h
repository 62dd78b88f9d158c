// Small files on the card that must survive a power cut: written whole into a temporary file in
// the same directory ("<name>.tmp"), flushed, renamed over the old one, and the directory flushed
// too, so that the new name is on the card when replace() returns. A cut before that leaves the
// old file whole, or (a rename over a file is not atomic on FAT) no file but a whole temporary
// one, which the reader of the file may take instead.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace cardfile {

// Replaces the file at box path `path` with `bytes`. Returns 0, or -1 (the old file is intact).
// A directory that cannot be flushed after the rename is reported; the file is replaced.
int replace(const char* path, std::span<const uint8_t> bytes);

// The temporary file that replace() writes for `path`.
std::string temporary_path(const char* path);

// Puts the temporary file of `path` in its place, as the rename of a replace() cut short by a
// power cut would have, and flushes the directory. The caller has read it whole. Returns 0, or
// -1 (the temporary file stays).
int adopt_temporary(const char* path);

// Reads exactly bytes.size() bytes from the start of `path`. Returns the count read (short when
// the file is shorter), or -1 when the file cannot be opened or read (a directory included).
long read_exact(const char* path, std::span<uint8_t> bytes);

// Called between the flushed temporary file and its rename. Tests put a power cut there; the
// program leaves it empty.
extern void (*before_rename)(const char* tmpPath);

// Every global of this file back at its start value (tests).
void reset_globals();

}  // namespace cardfile
