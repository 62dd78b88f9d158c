// Which files a request of the card viewer may read: only files below the card's directory.
//
// A request names a file by a path relative to the card ("data/rec00000003.asd",
// "snapshot/001-1.jpg"), already URL-decoded. The path is refused before it touches the file
// system when it is empty, too long, absolute, holds a NUL, a backslash or a control character,
// or has an empty, "." or ".." component; what remains is resolved with its symbolic links, and a
// path that ends outside the card (a link out of it) is refused too.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace asd::view {

namespace fs = std::filesystem;

enum class PathVerdict {
    Ok,
    Malformed,  // the request itself is wrong: 400
    Outside,    // it leads out of the card: 403
    Missing,    // no such file below the card: 404
};

struct CardPath {
    PathVerdict verdict = PathVerdict::Malformed;
    fs::path path;    // the resolved path (no links left) when Ok
    std::string why;  // for the log and the answer when not Ok
};

// The longest relative path a request may give; the card's own names are far shorter.
constexpr size_t kMaxRequestPath = 255;

// `root` must be canonical (fs::canonical of the card's directory). Only regular files are Ok.
CardPath resolve_below(const fs::path& root, std::string_view relative);
// The same for `name` as a request gave it, in the card's directory `dir`: the name is judged on
// its own first, so that "/etc/passwd" is an absolute path and not an empty component.
CardPath resolve_below(const fs::path& root, std::string_view dir, std::string_view name);

// True when `path` (canonical) is `root` (canonical) or lies below it.
bool is_below(const fs::path& root, const fs::path& path);

}  // namespace asd::view
