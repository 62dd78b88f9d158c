// Reading a file the board is given (a scenario, a GPS track, a WAV file): a regular file, read
// whole up to a size limit. A device such as /dev/zero, a FIFO or a folder is refused before a
// byte is read, and so is a file above the limit, so that no input can exhaust the memory.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace simboard {

// The whole of `path` into `out`. False with one line in `error` saying why not ("<path>: not
// a regular file (a folder)", "<path>: larger than 4 MiB", "cannot read <path>: ...").
bool read_input_file(const std::filesystem::path& path, size_t limit, std::string& out,
                     std::string& error);

}  // namespace simboard
