// card_soak: the recorder for a long time on a small card (`make soak`).
//
// Boots the board with unlimited cameras on a type 0 card (a ring of 23 files) and lets it record
// until the ring has wrapped five times (five rings' worth of files recorded), with an event every
// few files so that the locks rotate.
// The resident memory and the open descriptors of the recorder and of the board are sampled;
// from the first wrap on they must stay flat (the last wrap's highest within 5 % of the second
// wrap's). At every sample the card is judged as the torture judges it (card_check.hpp): no lock
// lost, no locked file recorded over, no closed file damaged. At the end every recording on the
// card must pass the recording reader.
//
//   card_soak [--wraps N]
#include <dirent.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "asd_reader.hpp"
#include "board_watch.hpp"
#include "card_check.hpp"

namespace {

using endurance::Seconds;

constexpr const char* kCard = "700M";
constexpr int kRingFiles = 23;  // a type 0 card
constexpr int kFilesBetweenEvents = 5;
constexpr Seconds kSamplePeriod{5};
constexpr Seconds kLimit{8 * 3600};  // a run that gets nowhere ends

struct Sample {
    int wrap = 0;
    long recorderKb = 0, boardKb = 0;
    int recorderFds = 0, boardFds = 0;
};

// VmRSS of a process in kB, or -1.
long resident_kb(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

int parent_of(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("PPid:", 0) == 0) return std::atoi(line.c_str() + 5);
    }
    return -1;
}

int open_fds(int pid) {
    DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
    return n;
}

// The highest of each measure over the samples of one wrap.
Sample highest(const std::vector<Sample>& samples, int wrap) {
    Sample h;
    h.wrap = wrap;
    for (const Sample& s : samples) {
        if (s.wrap != wrap) continue;
        h.recorderKb = std::max(h.recorderKb, s.recorderKb);
        h.boardKb = std::max(h.boardKb, s.boardKb);
        h.recorderFds = std::max(h.recorderFds, s.recorderFds);
        h.boardFds = std::max(h.boardFds, s.boardFds);
    }
    return h;
}

bool within(long last, long first) {
    return static_cast<double>(last) <= std::ceil(static_cast<double>(first) * 1.05);
}

}  // namespace

int main(int argc, char** argv) {
    int wraps_wanted = 5;
    if (argc == 3 && std::string(argv[1]) == "--wraps" && std::atoi(argv[2]) >= 2) {
        wraps_wanted = std::atoi(argv[2]);
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: card_soak [--wraps N]   (N from 2)\n");
        return 2;
    }
    testsupport::SimBoard board("soak");
    endurance::use_build(board);
    int wraps = 0, files = 0, events_due = 0, events = 0, rotations = 0;
    int halts = 0, boots = 0, full_ring_rotations = 0;
    endurance::ConsoleFollower console(board.root() / "log/console.log");
    console.on_line([&](std::string_view line) {
        constexpr std::string_view kFile = "[recorder] rec file /mnt/mmcblk0p1/data/rec";
        if (line.find(kFile) != std::string_view::npos) {
            // A wrap is a ring's worth of files recorded: with most of the ring locked, the
            // recorder crosses the ring's end after a few files.
            if (++files % kRingFiles == 0) ++wraps;
            if (files % kFilesBetweenEvents == 0) ++events_due;
        }
        if (line.find("Lock Rotation") != std::string_view::npos) ++rotations;
        if (line.find("every file is locked") != std::string_view::npos) ++full_ring_rotations;
        if (line.find("***** error halt") != std::string_view::npos) ++halts;
        if (line.find("[board] power on: boot") != std::string_view::npos) ++boots;
    });
    board.start({"--card", kCard, "--camera-fps", "0", "--duration", "100000"});
    if (!console.await(board, "[recorder] rec file ", Seconds(120))) {
        std::printf("soak: the recorder did not start recording:\n%s", console.tail().c_str());
        return 1;
    }
    const int recorder = endurance::program_pid(board, "recorder");
    const int simboard = parent_of(recorder);
    std::printf("soak: %d wraps of a %s card; recorder pid %d, simboard pid %d\n", wraps_wanted,
                kCard, recorder, simboard);
    std::fflush(stdout);

    std::vector<Sample> samples;
    endurance::CardReader reader(kRingFiles);
    endurance::Checker checker;
    const auto judge = [&] {
        for (const auto& p : checker.check(reader.read(board.root() / "mnt/mmcblk0p1")))
            std::printf("soak: %s\n", p.c_str());
    };
    static const char* const kEvents[] = {"impact 4 x", "button", "alarm"};
    const auto start = std::chrono::steady_clock::now();
    int reported_wrap = 0;
    while (wraps < wraps_wanted && board.alive() &&
           std::chrono::steady_clock::now() - start < kLimit) {
        std::this_thread::sleep_for(kSamplePeriod);
        console.skip();
        for (; events_due > 0; --events_due) board.act(kEvents[events++ % 3]);
        samples.push_back({wraps, resident_kb(recorder), resident_kb(simboard), open_fds(recorder),
                           open_fds(simboard)});
        judge();
        if (wraps != reported_wrap) {
            reported_wrap = wraps;
            const double minutes =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
                60;
            std::printf("soak: wrap %d after %.1f min, %d files, %d events, %d rotations\n", wraps,
                        minutes, files, events, rotations);
            std::fflush(stdout);
        }
    }
    const bool reached = wraps >= wraps_wanted;
    board.quit();
    console.skip();
    judge();

    const auto& c = checker.counts();
    bool ok = reached && halts == 0 && boots == 1 && c.locksLost == 0 && c.lockedOverwritten == 0 &&
              c.closedDamaged == 0;
    std::printf(
        "soak: %d wraps, %d files, %d events, %d lock rotations (%d with every file locked), %d "
        "error halts, %d boots\n",
        wraps, files, events, rotations, full_ring_rotations, halts, boots);
    std::printf(
        "soak: %zu looks at the card: locks seen %zu, lost %zu, locked files overwritten %zu, "
        "closed files damaged %zu\n",
        c.checks, c.locksSeen, c.locksLost, c.lockedOverwritten, c.closedDamaged);
    std::printf("soak: highest per wrap   recorder RSS  fds   simboard RSS  fds\n");
    for (int w = 0; w <= std::min(wraps, wraps_wanted); ++w) {
        const Sample h = highest(samples, w);
        std::printf("soak:   wrap %d %17ld kB %4d %13ld kB %4d\n", w, h.recorderKb, h.recorderFds,
                    h.boardKb, h.boardFds);
    }
    if (reached) {
        const Sample first = highest(samples, 1);
        const Sample last = highest(samples, wraps_wanted - 1);
        const bool flat =
            within(last.recorderKb, first.recorderKb) && within(last.boardKb, first.boardKb) &&
            within(last.recorderFds, first.recorderFds) && within(last.boardFds, first.boardFds);
        std::printf("soak: memory and descriptors %s after the first wrap\n",
                    flat ? "flat (within 5 %)" : "GROWING");
        ok = ok && flat;
    } else {
        std::printf("soak: the ring did not wrap %d times\n", wraps_wanted);
    }

    // The card, read back whole.
    int recordings = 0, damaged = 0, not_closed = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(board.root() / "mnt/mmcblk0p1/data")) {
        const std::string name = entry.path().filename();
        if (name.rfind("rec", 0) != 0 || !name.ends_with(".asd")) continue;
        ++recordings;
        const asd::Recording rec = asd::read_file(entry.path().string());
        if (rec.damage) {
            ++damaged;
            std::printf("soak: %s damaged at %llu: %s\n", name.c_str(),
                        static_cast<unsigned long long>(rec.damage->offset),
                        rec.damage->reason.c_str());
        }
        not_closed += rec.ending() == asd::Ending::NotClosed;
    }
    std::printf("soak: card: %d recordings, %d damaged, %d not closed\n", recordings, damaged,
                not_closed);
    ok = ok && damaged == 0;
    if (!ok) ::setenv("E2E_KEEP", "1", 1);
    std::printf("soak: %s\n", ok ? "passed" : "FAILED");
    return ok ? 0 : 1;
}
