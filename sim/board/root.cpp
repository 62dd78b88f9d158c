#include "root.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>

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

bool prepare_root(const fs::path& root_in, Model model, std::string& error) {
    const fs::path root = fs::absolute(root_in).lexically_normal();
    std::error_code ec;
    if (fs::exists(root, ec)) {
        if (!fs::is_directory(root, ec)) {
            error = "board root " + root.string() + " exists and is not a directory";
            return false;
        }
        return make_dirs(root, error) && fill_flash(root, model, error);
    }
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
