#include "view_paths.hpp"

#include <algorithm>

namespace asd::view {

namespace {

CardPath refuse(PathVerdict verdict, std::string why) {
    return {verdict, {}, std::move(why)};
}

// The first reason the text alone makes `relative` unusable, or "".
std::string malformed(std::string_view relative) {
    if (relative.empty()) return "empty path";
    if (relative.size() > kMaxRequestPath) return "path longer than 255 characters";
    if (relative.front() == '/') return "absolute path";
    for (const char c : relative) {
        if (c == '\0') return "NUL in the path";
        if (c == '\\') return "backslash in the path";
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return "control character in path";
    }
    size_t start = 0;
    while (start <= relative.size()) {
        const size_t end = std::min(relative.find('/', start), relative.size());
        const std::string_view part = relative.substr(start, end - start);
        if (part.empty()) return "empty path component";
        if (part == "..") return "'..' in the path";
        if (part == ".") return "'.' in the path";
        start = end + 1;
    }
    return "";
}

}  // namespace

bool is_below(const fs::path& root, const fs::path& path) {
    auto r = root.begin();
    auto p = path.begin();
    for (; r != root.end(); ++r, ++p) {
        if (p == path.end() || *r != *p) return false;
    }
    return true;
}

CardPath resolve_below(const fs::path& root, std::string_view relative) {
    if (const std::string why = malformed(relative); !why.empty()) {
        return refuse(PathVerdict::Malformed, why);
    }
    std::error_code ec;
    const fs::path joined = root / fs::path(relative);
    const fs::path resolved = fs::canonical(joined, ec);
    if (ec) {
        // A link out of the card that points nowhere is still a way out: tell it apart from a
        // file that is simply not there.
        std::error_code linkEc;
        if (fs::is_symlink(joined, linkEc)) {
            const fs::path target = fs::read_symlink(joined, linkEc);
            const fs::path where =
                fs::weakly_canonical(joined.parent_path() / target, linkEc);  // absolute stays
            if (!linkEc && !is_below(root, where)) {
                return refuse(PathVerdict::Outside, "leads out of the card");
            }
        }
        return refuse(PathVerdict::Missing, "no such file on the card");
    }
    if (!is_below(root, resolved)) return refuse(PathVerdict::Outside, "leads out of the card");
    if (!fs::is_regular_file(resolved, ec)) return refuse(PathVerdict::Missing, "not a file");
    return {PathVerdict::Ok, resolved, ""};
}

CardPath resolve_below(const fs::path& root, std::string_view dir, std::string_view name) {
    if (const std::string why = malformed(name); !why.empty()) {
        return refuse(PathVerdict::Malformed, why);
    }
    return resolve_below(root, std::string(dir) + "/" + std::string(name));
}

}  // namespace asd::view
