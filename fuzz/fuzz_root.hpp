// What the fuzz targets share: a throw-away board root for code that goes through the os seam,
// and a check that stops the run when a target's oracle finds a wrong result.
//
// The root lives on a RAM file system when there is one (/dev/shm), so that the card's flushes
// cost nothing; it holds the card, the flash, dev/ and run/ as simboard lays them out, and no
// device socket (the board's devices are absent). The programs' console goes to /dev/null: the
// fuzzer's own report is on stderr.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>

#include "os.h"

namespace fuzz {

namespace fs = std::filesystem;

class Root {
  public:
    Root() {
        std::string tmpl =
            std::string(fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp") + "/fuzzroot-XXXXXX";
        if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
        root_ = tmpl;
        for (const char* sub : {"mnt/mmcblk0p1/data", "mnt/mmcblk0p1/snapshot",
                                "mnt/jffs_user/config", "mnt/jffs_user/wave", "dev", "run"}) {
            fs::create_directories(root_ / sub);
        }
        ::setenv("SIMBOARD_ROOT", root_.c_str(), 1);
        ::unsetenv("SIMBOARD_SOCKET");
        os::init();
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) {
            std::fflush(stdout);
            ::dup2(null, STDOUT_FILENO);
            ::close(null);
        }
    }
    ~Root() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    Root(const Root&) = delete;
    Root& operator=(const Root&) = delete;

    const fs::path& path() const { return root_; }
    fs::path card() const { return root_ / "mnt/mmcblk0p1"; }
    fs::path flash() const { return root_ / "mnt/jffs_user"; }

  private:
    fs::path root_;
};

// The one root of the process, made at the first call and removed at exit.
inline Root& root() {
    static Root r;
    return r;
}

inline void write_file(const fs::path& path, std::span<const uint8_t> bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
}

// A wrong result, not a crash of the code under test: said, then the run stops as a crash does
// (libFuzzer keeps the input).
#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

}  // namespace fuzz
