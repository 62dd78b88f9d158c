#include "board_run.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "le.hpp"
#include "recording_checks.hpp"

namespace e2e {

namespace {

constexpr size_t kRecinfoWords = 2 + Recinfo::kFiles;

// A JPEG of exactly `size` bytes: start of image, comment segments, end of image.
std::vector<uint8_t> padded_jpeg(size_t size) {
    std::vector<uint8_t> b = {0xFF, 0xD8};
    const size_t body_end = size - 2;
    uint8_t fill = 0;
    while (b.size() + 4 < body_end) {
        const size_t n = std::min<size_t>(65533, body_end - b.size() - 4);
        b.insert(b.end(), {0xFF, 0xFE, static_cast<uint8_t>((n + 2) >> 8),
                           static_cast<uint8_t>((n + 2) & 0xFF)});
        for (size_t i = 0; i < n; ++i) b.push_back(fill += 7);
    }
    b.resize(body_end, 0);
    b.insert(b.end(), {0xFF, 0xD9});
    return b;
}

void write_bytes(const fs::path& p, const std::vector<uint8_t>& bytes) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

std::string rec_file(int index) {
    char line[64];
    std::snprintf(line, sizeof line, "rec file /mnt/mmcblk0p1/data/rec%08d.asd", index);
    return line;
}

void settle() {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
}

std::vector<LogLine> log_lines(const fs::path& path) {
    std::vector<LogLine> out;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        const size_t space = line.find(' ');
        if (space == std::string::npos) continue;
        out.push_back({std::strtod(line.c_str(), nullptr), line.substr(space + 1)});
    }
    return out;
}

std::vector<LogLine> with_text(const std::vector<LogLine>& lines, std::string_view text) {
    std::vector<LogLine> out;
    for (const auto& l : lines) {
        if (l.text.find(text) != std::string::npos) out.push_back(l);
    }
    return out;
}

std::vector<double> times_of(const std::vector<LogLine>& lines, const std::string& text) {
    std::vector<double> out;
    for (const auto& l : lines) {
        if (l.text == text) out.push_back(l.time);
    }
    return out;
}

std::string BasicConf::text() const {
    std::ostringstream s;
    s << "RESOLUTION : " << resolution << "\n"
      << "QPVAL : " << qp << "\n"
      << "GSENSOR : " << gsensor << "\n"
      << "USEAUDIO : " << useAudio << "\n"
      << "PRERECTIME : " << preRecord << "\n"
      << "USEPW : 0\n"
      << "PW : \n"
      << "TZ : 14\n"
      << "DST : 0\n"
      << "SPUNIT : 0\n"
      << "NUMOFVEHICLE : " << vehicle << "\n";
    if (impactDetection || eraseDisabled || fpsParking) {
        s << "IMPACT : " << impactDetection.value_or(1) << "\n"
          << "NOERASE : " << eraseDisabled.value_or(0) << "\n"
          << "PARKFPS : " << fpsParking.value_or(0) << "\n";
    }
    return s.str();
}

std::vector<size_t> Recinfo::locked() const {
    std::vector<size_t> out;
    for (size_t i = 0; i < kFiles; ++i) {
        if (entry[i] != 0) out.push_back(i);
    }
    return out;
}

std::vector<uint8_t> Recinfo::bytes() const {
    std::vector<uint8_t> b(4 * kRecinfoWords);
    le::put_u32(b, 0, next);
    le::put_u32(b, 4, lockCount);
    for (size_t i = 0; i < kFiles; ++i) le::put_u32(b, 8 + 4 * i, entry[i]);
    return b;
}

std::optional<Recinfo> Recinfo::parse(const std::vector<uint8_t>& bytes) {
    if (bytes.size() != 4 * kRecinfoWords) return std::nullopt;
    Recinfo r;
    r.next = le::get_u32(bytes, 0);
    r.lockCount = le::get_u32(bytes, 4);
    for (size_t i = 0; i < kFiles; ++i) r.entry[i] = le::get_u32(bytes, 8 + 4 * i);
    return r;
}

BoardRun::BoardRun(const std::string& name) : SimBoard("e2e-" + name) {
    bin_dir = BIN_DIR;
    module_dir = MODULE_DIR;
}

int BoardRun::flush_and_quit() {
    act("card sync");
    return quit();
}

void BoardRun::write_card(const std::string& card_path, const std::vector<uint8_t>& bytes) {
    write_bytes(card() / card_path, bytes);
}

void BoardRun::write_card(const std::string& card_path, const std::string& text) {
    write_card(card_path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::string BoardRun::big_jpeg_dir(size_t size) {
    const fs::path dir = this->dir() / "jpegs";
    write_bytes(dir / "frame.jpg", padded_jpeg(size));
    return dir.string();
}

fs::path BoardRun::recording_path(int index) const {
    char name[32];
    std::snprintf(name, sizeof name, "rec%08d.asd", index);
    return data() / name;
}

asd::Recording BoardRun::recording(int index, bool payloads) const {
    return asd::read_file(recording_path(index).string(), {.payloads = payloads});
}

std::vector<int> BoardRun::recordings() const {
    std::vector<int> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(data(), ec)) {
        const std::string name = e.path().filename().string();
        if (name.size() == 15 && name.starts_with("rec") && name.ends_with(".asd")) {
            out.push_back(std::atoi(name.c_str() + 3));
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::optional<Recinfo> BoardRun::recinfo() const {
    const std::string bytes = read_file(data() / "recinfo");
    return Recinfo::parse(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

std::vector<std::string> BoardRun::prompts() const {
    std::vector<std::string> out;
    for (const auto& l : playback()) out.push_back(l.text.substr(0, l.text.find(' ')));
    return out;
}

void expect_halting(BoardRun& board, const std::string& sentence) {
    ASSERT_TRUE(board.until([&] { return times_of(board.subboard(), sentence).size() >= 6; }))
        << board.console();
    const std::string status = board.status();
    const size_t at = status.find("watchdog running, 30 s timeout, ");
    ASSERT_NE(at, std::string::npos) << status;
    EXPECT_GT(std::atof(status.c_str() + at + 32), 25.0) << status;
    expect_paced(times_of(board.subboard(), sentence), 0.5, 6, sentence);
}

}  // namespace e2e
