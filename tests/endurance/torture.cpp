// card_torture: power cuts against the recorder on the crash-faithful card (`make torture`).
//
// Boots the board on a small card (type 0: a ring of 23 files, 6 events, so that the ring wraps
// and the locks rotate) and repeats: record for a random time, sometimes raise an impact, a
// button press or an external alarm, cut the power (at a random moment, or inside an index save
// or a file change: at the Nth card operation of the kind, during the boot or at an event), look
// at the card, power on. Each look checks from the card alone that the recorder kept its
// promises (card_check.hpp). At the end it prints the counts and exits 1 when a lock was lost, a
// locked file overwritten, a closed file damaged, or the recorder died.
//
//   card_torture [--cuts N] [--seed N]
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "board_watch.hpp"
#include "card_check.hpp"

namespace {

using endurance::Seconds;

constexpr int kRingFiles = 23;  // a type 0 card
constexpr const char* kCard = "700M";
constexpr Seconds kBootLimit{120};
constexpr Seconds kTriggerLimit{60};

struct Tally {
    int cutsAtMoment = 0;
    int cutsInIndexSave = 0;
    int cutsInFileChange = 0;
    int events = 0;
    int repairs = 0;  // boots that mended the recording index
    int crashes = 0;
    int halts = 0;
    int stuckBoots = 0;
};

bool parse_number(const char* text, uint64_t& out) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0') return false;
    out = v;
    return true;
}

enum class CutKind { kMoment, kIndexSave, kFileChange };

const char* class_of(CutKind kind) {
    return kind == CutKind::kIndexSave ? "index" : "names";
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t cuts = 200;
    uint64_t seed = static_cast<uint64_t>(std::time(nullptr)) % 1000000;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--cuts" || arg == "--seed") && i + 1 < argc &&
            parse_number(argv[i + 1], arg == "--cuts" ? cuts : seed)) {
            ++i;
        } else {
            std::fprintf(stderr, "usage: card_torture [--cuts N] [--seed N]\n");
            return 2;
        }
    }
    std::printf("torture: %llu cuts, seed %llu, card %s\n", static_cast<unsigned long long>(cuts),
                static_cast<unsigned long long>(seed), kCard);
    std::fflush(stdout);

    endurance::Random random(seed);
    testsupport::SimBoard board("torture");
    endurance::use_build(board);
    Tally tally;
    endurance::ConsoleFollower console(board.root() / "log/console.log");
    bool repaired_this_boot = false;
    bool first_boot = true;
    console.on_line([&](std::string_view line) {
        if (line.find("[board] power on: boot") != std::string_view::npos) {
            first_boot = line.find("boot 1 ") != std::string_view::npos;
            repaired_this_boot = false;
        }
        // A boot that had to mend the recording index (or make a new one, after the first),
        // whatever it said about it.
        for (const char* repair : {"Now fix recinfo file", "recinfo recovered from",
                                   "recinfo repaired", "create recinfo file"}) {
            if (first_boot && std::string_view(repair) == "create recinfo file") continue;
            if (!repaired_this_boot && line.find(repair) != std::string_view::npos) {
                repaired_this_boot = true;
                ++tally.repairs;
            }
        }
        if (line.find("[board] recorder killed by signal") != std::string_view::npos ||
            line.find("[board] recorder exited") != std::string_view::npos)
            ++tally.crashes;
        if (line.find("***** error halt") != std::string_view::npos) ++tally.halts;
    });
    endurance::CardReader reader(kRingFiles);
    endurance::Checker checker;
    board.start(
        {"--card", kCard, "--card-crash-seed", std::to_string(seed), "--duration", "1000000"});

    bool failed = false;
    for (uint64_t cut = 1; cut <= cuts && board.alive(); ++cut) {
        const double kind_draw = random.between(0, 1);
        const CutKind kind = kind_draw < 0.5    ? CutKind::kMoment
                             : kind_draw < 0.75 ? CutKind::kIndexSave
                                                : CutKind::kFileChange;
        // A cut inside an index save or a file change comes at the Nth operation of the kind,
        // during the boot's first file (armed before the power comes) or at an event.
        const bool at_boot = kind != CutKind::kMoment && cut > 1 && random.chance(0.5);
        const uint64_t nth = 1 + random.below(kind == CutKind::kIndexSave ? 6 : 3);
        const std::string trigger =
            "card at " + std::to_string(nth) + " " + class_of(kind) + " cut";
        std::string how;
        bool cut_done = false;
        if (cut > 1) {
            if (at_boot) board.act(trigger);
            board.act("power on");
        }
        if (at_boot) {
            cut_done = console.await(board, "card: power cut at card operation", kBootLimit);
            how = std::string(kind == CutKind::kIndexSave ? "inside an index save"
                                                          : "inside a file change") +
                  " at boot (operation " + std::to_string(nth) + ")";
        }
        if (!cut_done) {
            if (!console.await(board, "[recorder] rec file ", kBootLimit)) {
                ++tally.stuckBoots;
                std::printf("cut %llu: the recorder did not start recording; console:\n%s",
                            static_cast<unsigned long long>(cut), console.tail().c_str());
            }
            std::this_thread::sleep_for(Seconds(random.between(0.3, 4.0)));
            const bool trigger_at_event = kind != CutKind::kMoment;
            if (trigger_at_event) board.act(trigger);
            if (trigger_at_event || random.chance(0.35)) {
                static const char* const kEvents[] = {"impact 4 x", "button", "alarm"};
                board.act(kEvents[random.below(3)]);
                ++tally.events;
            }
            if (trigger_at_event) {
                cut_done = console.await(board, "card: power cut at card operation", kTriggerLimit);
                how = std::string(kind == CutKind::kIndexSave ? "inside an index save"
                                                              : "inside a file change") +
                      " at an event (operation " + std::to_string(nth) + ")";
            } else {
                std::this_thread::sleep_for(Seconds(random.between(0.0, 2.0)));
            }
        }
        if (!cut_done) {
            board.act("power off");
            how = "at a random moment";
        }
        (how == "at a random moment"   ? tally.cutsAtMoment
         : kind == CutKind::kIndexSave ? tally.cutsInIndexSave
                                       : tally.cutsInFileChange)++;
        // The board is off once the card has met the cut.
        console.await(board, "] card: power cut ", kTriggerLimit);
        const auto problems = checker.check(reader.read(board.root() / "mnt/mmcblk0p1"));
        const auto& c = checker.counts();
        std::printf("cut %llu %s: locks seen %zu, lost %zu%s\n",
                    static_cast<unsigned long long>(cut), how.c_str(), c.locksSeen, c.locksLost,
                    problems.empty() ? "" : ", PROBLEMS:");
        for (const auto& p : problems) std::printf("    %s\n", p.c_str());
        if (!problems.empty()) std::printf("  console before the cut:\n%s", console.tail().c_str());
        std::fflush(stdout);
    }
    if (!board.alive()) {
        std::printf("torture: the board ended early; console:\n%s", console.tail().c_str());
        failed = true;
    }
    board.quit();
    console.skip();

    const auto& c = checker.counts();
    const int total = tally.cutsAtMoment + tally.cutsInIndexSave + tally.cutsInFileChange;
    std::printf(
        "torture: seed %llu: %d cuts (%d at a random moment, %d inside an index save, %d inside "
        "a file change)\n",
        static_cast<unsigned long long>(seed), total, tally.cutsAtMoment, tally.cutsInIndexSave,
        tally.cutsInFileChange);
    std::printf(
        "torture: events %d, locks seen %zu, locks lost %zu, locked files overwritten %zu\n",
        tally.events, c.locksSeen, c.locksLost, c.lockedOverwritten);
    std::printf("torture: files damaged %zu (closed), %zu (left open), index repairs %d\n",
                c.closedDamaged, c.openDamaged, tally.repairs);
    std::printf("torture: recorder crashes %d, error halts %d, boots without recording %d\n",
                tally.crashes, tally.halts, tally.stuckBoots);
    failed = failed || c.locksLost > 0 || c.lockedOverwritten > 0 || c.closedDamaged > 0 ||
             tally.crashes > 0;
    if (failed) {
        ::setenv("E2E_KEEP", "1", 1);  // the board's root stays for a look
        std::printf("torture: FAILED (the board's root and its log/card.log stay for a look)\n");
    } else {
        std::printf("torture: passed\n");
    }
    return failed ? 1 : 0;
}
