// A throw-away board root for in-process tests of code that goes through the os seam.
//
// Creates a temporary directory laid out like simboard's root (card, flash, dev, run), points
// SIMBOARD_ROOT at it (no device socket: the board's devices are absent) and re-initialises the
// seam. The directory is removed again when the fixture ends.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include "os.h"

namespace testsupport {

class BoardRoot {
public:
    // The root is made in `base` (a directory of the PC: /tmp unless a caller wants another
    // file system under the card).
    explicit BoardRoot(const std::string& base = "/tmp") {
        std::string tmpl = base + "/boardroot-XXXXXX";
        const char* dir = ::mkdtemp(tmpl.data());
        if (dir == nullptr) std::abort();
        root_ = dir;
        for (const char* sub : {"mnt/mmcblk0p1", "mnt/jffs_user/config", "mnt/jffs_user/wave",
                                "mnt/jffs_user/DR", "dev", "run"}) {
            std::filesystem::create_directories(root_ / sub);
        }
        ::setenv("SIMBOARD_ROOT", root_.c_str(), 1);
        ::unsetenv("SIMBOARD_SOCKET");
        os::init();
    }
    ~BoardRoot() {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    BoardRoot(const BoardRoot&) = delete;
    BoardRoot& operator=(const BoardRoot&) = delete;

    const std::filesystem::path& root() const { return root_; }
    // Host path of a box path such as "/mnt/mmcblk0p1/data".
    std::filesystem::path host(const std::string& box_path) const {
        return root_ / box_path.substr(box_path.find_first_not_of('/'));
    }
    std::filesystem::path card() const { return host("/mnt/mmcblk0p1"); }
    std::filesystem::path flash() const { return host("/mnt/jffs_user"); }

private:
    std::filesystem::path root_;
};

}  // namespace testsupport
