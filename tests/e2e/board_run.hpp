// One whole-board run for the end-to-end tests: build/bin/simboard with the real modules,
// volcheck and recorder on a root of its own under /tmp, prepared before the boot (the user's
// configuration, a recording index, files on the card), driven by `simboard ctl` actions once
// the console shows what the test waits for, and judged from the outside afterwards: the card's
// files, the peers' transcripts, the codec and playback logs and the console.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "asd_reader.hpp"
#include "sim_board.hpp"

namespace e2e {

namespace fs = std::filesystem;

using testsupport::count;
using testsupport::read_file;

// The recorder's console line when it starts recording file `index`.
std::string rec_file(int index);
// Gives whatever a step could still cause time to show, before a check that it did not happen.
void settle();

// One line of a transcript or log of the board: `<board time> <text>`; '#' lines are left out.
struct LogLine {
    double time = 0;
    std::string text;
};
std::vector<LogLine> log_lines(const fs::path& path);
std::vector<LogLine> with_text(const std::vector<LogLine>& lines, std::string_view text);

// The times of the lines that are exactly `text`.
std::vector<double> times_of(const std::vector<LogLine>& lines, const std::string& text);

// The user's configuration file, line by line as the recorder reads it.
struct BasicConf {
    int resolution = 32;
    int qp = 4;
    int gsensor = 2;
    int useAudio = 0;  // 1 switches audio off
    int preRecord = 1;
    std::string vehicle;
    std::optional<int> impactDetection;  // line 12: 0 switches impact detection off
    std::optional<int> eraseDisabled;    // line 13: 1 ignores the erase key
    std::optional<int> fpsParking;       // line 14: 1 gives 3 frames a second when parking

    std::string text() const;
};

// The recording index as stored: next index, lock count, a lock entry per file.
struct Recinfo {
    static constexpr size_t kFiles = 1400;
    uint32_t next = 0;
    uint32_t lockCount = 0;
    std::array<uint32_t, kFiles> entry{};

    static uint32_t lock(unsigned type, unsigned generation) { return type << 16 | generation; }
    unsigned generation(size_t file) const { return entry[file] & 0xFFFF; }
    unsigned type(size_t file) const { return (entry[file] >> 16) & 0xFF; }
    std::vector<size_t> locked() const;

    std::vector<uint8_t> bytes() const;
    static std::optional<Recinfo> parse(const std::vector<uint8_t>& bytes);
};

// The board with the real programs and modules; the run itself (start, wait_for, act, quit,
// console, ...) is the shared SimBoard's.
class BoardRun : public testsupport::SimBoard {
  public:
    // `name` makes the root recognisable: /tmp/e2e-<name>-XXXXXX/board.
    explicit BoardRun(const std::string& name);

    // --- Before the boot ---
    void write_card(const std::string& card_path, const std::vector<uint8_t>& bytes);
    void write_card(const std::string& card_path, const std::string& text);
    void configure(const BasicConf& conf) { write_card("configs/basic_conf", conf.text()); }
    void write_recinfo(const Recinfo& info) { write_card("data/recinfo", info.bytes()); }
    // A directory holding one JPEG file of `size` bytes (a picture padded with comments), for
    // --front-jpegs / --rear-jpegs: the largest frames the recorder takes.
    std::string big_jpeg_dir(size_t size = 98000);

    // The operator flushes the card (the shell's sync), then the board stops: what the recorder
    // wrote until then is on the card, whatever the power cut at the end takes back of the rest.
    int flush_and_quit();

    // --- What the run left ---
    fs::path card() const { return root() / "mnt/mmcblk0p1"; }
    fs::path data() const { return card() / "data"; }
    fs::path recording_path(int index) const;
    asd::Recording recording(int index, bool payloads = false) const;
    // Indexes of the recording files on the card, in increasing order.
    std::vector<int> recordings() const;
    std::optional<Recinfo> recinfo() const;
    // The sentences the recorder sent to the sub-board and the IBC controller, with their times.
    std::vector<LogLine> subboard() const { return log_lines(root() / "log/subboard.log"); }
    std::vector<LogLine> ibc() const { return log_lines(root() / "log/ibc.log"); }
    std::vector<LogLine> playback() const { return log_lines(root() / "log/playback.log"); }
    std::vector<LogLine> codec() const { return log_lines(root() / "log/codec.log"); }
    // The prompts played, by file name ("074.wav", ...).
    std::vector<std::string> prompts() const;
};

// A running board in the error halt: it repeats `sentence` to the sub-board every half second
// and keeps the watchdog fed (30 s timeout, far from expiring).
void expect_halting(BoardRun& board, const std::string& sentence);

}  // namespace e2e
