#include "root.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <span>
#include <string_view>

#include "../../common/le.hpp"

namespace simboard {

namespace fs = std::filesystem;

namespace {

constexpr std::array<const char*, 9> kDirs = {
    "mnt/mmcblk0p1",
    "mnt/jffs_user/config",
    "mnt/jffs_user/wave",
    "mnt/jffs_user/DR",
    "dev",
    "run",
    "log",
    "state",
    "lost+found",
};

// What a board keeps at the top of its root and under mnt/ (the removed card waits beside the
// mount point). A folder without the marker that holds nothing else is a board's root too.
constexpr std::array<std::string_view, 7> kTopNames = {"mnt",   "dev",        "run",      "log",
                                                       "state", "lost+found", kRootMarker};
constexpr std::array<std::string_view, 3> kMntNames = {"mmcblk0p1", "jffs_user",
                                                       ".mmcblk0p1.removed"};

constexpr std::string_view kMarkerText =
    "This folder is the root of a simulated board (simboard): its SD card, flash, devices, "
    "logs and state.\n";

// Why `dir` holds what is no part of a board: a name not among `names` (any name when `names`
// is empty), a device node, or a folder where `folders` is false; or why it cannot be read.
// "" when everything in it may be a board's. `shown` is how `dir` is named in the answer.
std::string foreign_entry(const fs::path& dir, std::string_view shown,
                          std::span<const std::string_view> names, bool folders) {
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    for (const fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const auto type = it->symlink_status(ec).type();
        if ((!names.empty() && std::find(names.begin(), names.end(), name) == names.end()) ||
            type == fs::file_type::character || type == fs::file_type::block ||
            (!folders && type == fs::file_type::directory))
            return std::string(1, '\'').append(shown).append(name).append(
                "' is no part of a board");
    }
    if (ec) return std::string(shown.empty() ? "it" : shown) + " cannot be read: " + ec.message();
    return "";
}

bool write_file(const fs::path& path, const std::vector<uint8_t>& bytes, std::string& error) {
    const fs::path tmp = path.string() + ".tmp";
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    std::error_code ec;
    if (!out) {
        error = "cannot write " + tmp.string();
        fs::remove(tmp, ec);
        return false;
    }
    fs::rename(tmp, path, ec);
    if (ec) {
        error = "cannot create " + path.string() + ": " + ec.message();
        fs::remove(tmp, ec);
        return false;
    }
    return true;
}

bool make_dirs(const fs::path& root, std::string& error) {
    for (const char* sub : kDirs) {
        std::error_code ec;
        fs::create_directories(root / sub, ec);
        if (ec || !fs::is_directory(root / sub)) {
            error = "cannot create " + (root / sub).string() + ": " +
                    (ec ? ec.message() : "not a directory");
            return false;
        }
    }
    // The sockets in run/ let whoever reaches them power the board off or open its devices.
    if (::chmod((root / "run").c_str(), 0700) != 0) {
        error = "cannot keep " + (root / "run").string() + " to its owner: " + std::strerror(errno);
        return false;
    }
    const fs::path marker = root / kRootMarker;
    std::error_code ec;
    if (!fs::exists(marker, ec) &&
        !write_file(marker, std::vector<uint8_t>(kMarkerText.begin(), kMarkerText.end()), error))
        return false;
    return true;
}

bool fill_flash(const fs::path& root, Model model, std::string& error) {
    for (const int n : kPromptNumbers) {
        char name[16];
        std::snprintf(name, sizeof name, "%03d.wav", n);
        const fs::path wave = root / "mnt/jffs_user/wave" / name;
        if (fs::exists(wave)) continue;
        // A different pitch for each prompt, so that they can be told apart when played.
        if (!write_file(wave, make_prompt_wave(400 + 10 * static_cast<unsigned>(n), 300), error))
            return false;
    }
    const fs::path marker = root / "mnt/jffs_user/DR/TK500";
    std::error_code ec;
    if (model == Model::kTK500) {
        if (!fs::exists(marker) && !write_file(marker, {}, error)) return false;
    } else {
        fs::remove(marker, ec);
        if (ec) {
            error = "cannot remove the model marker " + marker.string() + ": " + ec.message();
            return false;
        }
    }
    return true;
}

// Removes the directories that prepare_root() created on the way to a new root.
void remove_created(const std::vector<fs::path>& created) {
    std::error_code ec;
    for (auto it = created.rbegin(); it != created.rend(); ++it) fs::remove_all(*it, ec);
}

}  // namespace

std::vector<uint8_t> make_prompt_wave(unsigned hz, unsigned ms) {
    constexpr uint32_t kRate = 8000;
    const uint32_t samples = kRate * ms / 1000;
    std::vector<uint8_t> wav(44 + samples);
    std::span<uint8_t> b(wav);
    std::memcpy(&wav[0], "RIFF", 4);
    le::put_u32(b, 4, 36 + samples);
    std::memcpy(&wav[8], "WAVEfmt ", 8);
    le::put_u32(b, 16, 16);     // fmt chunk size
    le::put_u16(b, 20, 1);      // PCM
    le::put_u16(b, 22, 1);      // mono
    le::put_u32(b, 24, kRate);  // sample rate
    le::put_u32(b, 28, kRate);  // byte rate
    le::put_u16(b, 32, 1);      // block align
    le::put_u16(b, 34, 8);      // bits per sample
    std::memcpy(&wav[36], "data", 4);
    le::put_u32(b, 40, samples);
    const double fade = kRate / 100.0;  // 10 ms in and out, so that the tone does not click
    for (uint32_t i = 0; i < samples; ++i) {
        const double envelope = std::min({1.0, i / fade, (samples - i) / fade});
        const double s = std::sin(2.0 * M_PI * hz * i / kRate) * 80.0 * envelope;
        wav[44 + i] = static_cast<uint8_t>(128 + std::lround(s));
    }
    return wav;
}

std::string check_root(const fs::path& root_in) {
    std::error_code ec;
    const fs::path root = fs::absolute(root_in, ec).lexically_normal();
    const fs::path resolved = fs::weakly_canonical(root, ec);
    if (root == root.root_path() || (!ec && resolved == resolved.root_path())) {
        return "board root " + root.string() +
               ": refused: the file system's root cannot be a board's root (give --root a folder "
               "of its own, such as ./board)";
    }
    if (!fs::exists(root, ec)) return "";
    if (!fs::is_directory(root, ec))
        return "board root " + root.string() + " exists and is not a directory";
    if (fs::exists(root / kRootMarker, ec)) return "";
    // Without the marker: only the board's own layout, with no device node in it.
    std::string foreign = foreign_entry(root, "", kTopNames, true);
    if (foreign.empty() && fs::is_directory(root / "mnt", ec))
        foreign = foreign_entry(root / "mnt", "mnt/", kMntNames, true);
    if (foreign.empty() && fs::is_directory(root / "dev", ec))
        foreign = foreign_entry(root / "dev", "dev/", {}, false);
    if (foreign.empty()) return "";
    return "board root " + root.string() +
           ": refused: the folder is not empty and is not a board's root (" + foreign +
           "); give --root a new or empty folder, or a board's root";
}

bool prepare_root(const fs::path& root_in, Model model, std::string& error) {
    const fs::path root = fs::absolute(root_in).lexically_normal();
    if (std::string why = check_root(root); !why.empty()) {
        error = std::move(why);
        return false;
    }
    std::error_code ec;
    if (fs::exists(root, ec)) return make_dirs(root, error) && fill_flash(root, model, error);
    // A new root: create missing parents (remembered, to take them away again on failure), build
    // the root beside its place and rename it in one step.
    std::vector<fs::path> created;
    fs::path parent = root.parent_path();
    std::vector<fs::path> missing;
    for (fs::path p = parent; !p.empty() && !fs::exists(p, ec); p = p.parent_path()) {
        missing.push_back(p);
        if (p == p.parent_path()) break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (!fs::create_directory(*it, ec) || ec) {
            error = "cannot create board root " + root.string() + ": cannot create " +
                    it->string() + ": " + (ec ? ec.message() : "failed");
            remove_created(created);
            return false;
        }
        created.push_back(*it);
    }
    const std::string tmpl = (parent / ("." + root.filename().string() + ".new-XXXXXX")).string();
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr) {
        error = "cannot create board root " + root.string() + ": " + std::strerror(errno);
        remove_created(created);
        return false;
    }
    const fs::path building(name.data());
    created.push_back(building);
    ::chmod(building.c_str(), 0755);
    if (!make_dirs(building, error) || !fill_flash(building, model, error)) {
        error = "cannot create board root " + root.string() + ": " + error;
        remove_created(created);
        return false;
    }
    fs::rename(building, root, ec);
    if (ec) {
        error = "cannot create board root " + root.string() + ": " + ec.message();
        remove_created(created);
        return false;
    }
    return true;
}

bool write_node_table(const fs::path& root, const std::vector<DeviceNode>& nodes,
                      std::string& error) {
    std::string text;
    for (const auto& n : nodes) {
        text += n.box_path + " c " + std::to_string(n.major) + " " + std::to_string(n.minor) + "\n";
        const fs::path placeholder = root / n.box_path.substr(n.box_path.find_first_not_of('/'));
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(placeholder, ec))) {
            std::ofstream touch(placeholder);
            if (!touch) {
                error = "cannot create " + placeholder.string();
                return false;
            }
        }
    }
    return write_file(root / "dev/.nodes", std::vector<uint8_t>(text.begin(), text.end()), error);
}

}  // namespace simboard
