// Small helpers the tests share for files: a throw-away directory, reading a whole file, and
// counting a text in another.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

namespace testsupport {

namespace fs = std::filesystem;

// A directory of its own under /tmp (/tmp/<prefix>-XXXXXX), removed with what it holds at the end.
class TempDir {
  public:
    explicit TempDir(const std::string& prefix = "test") {
        std::string tmpl = "/tmp/" + prefix + "-XXXXXX";
        if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

// The whole file; empty when it cannot be read.
inline std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// How often `what` stands in `text`, occurrences not overlapping.
inline size_t count(std::string_view text, std::string_view what) {
    if (what.empty()) return 0;
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string_view::npos;
         pos = text.find(what, pos + what.size())) {
        ++n;
    }
    return n;
}

}  // namespace testsupport
