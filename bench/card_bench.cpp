// The crash-faithful card's costs: a record written through the os seam with and without the
// journal (the recorder writes about 30 a second), statfs on a card of a small and of the
// largest ring (it counts the card's use afresh), and what a power cut takes to apply to a
// typical journal (a fifth of a second of recording and an index save).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/statfs.h>

#include <string>
#include <vector>

#include "board_root.hpp"
#include "card.hpp"
#include "card_crash.hpp"
#include "os.h"

namespace {

constexpr size_t kRecord = 35000;  // a video record at the recorder's default quantiser
constexpr int kRecordsAFile = 500;

// A board root with a card of `durability`.
struct CardRoot {
    explicit CardRoot(simboard::Durability durability) {
        std::string error;
        if (!card.open(root.root(), 8ull << 30, durability, 1, error)) std::abort();
        os::init();
        os::mkdir("/mnt/mmcblk0p1/data", 0755);
    }
    simboard::CardPaths paths() const {
        return {root.card(), root.root() / "run/card.journal", root.root() / "run/card-undo"};
    }
    testsupport::BoardRoot root;
    simboard::Card card;
};

void CardWrite(benchmark::State& state) {
    CardRoot card(state.range(0) != 0 ? simboard::Durability::kFaithful
                                      : simboard::Durability::kHost);
    const std::vector<uint8_t> record(kRecord, 0x5A);
    int fd = -1;
    int written = kRecordsAFile;
    for (auto _ : state) {
        if (written == kRecordsAFile) {  // a file change, as the recorder's at 20 MiB
            state.PauseTiming();
            if (fd >= 0) os::close(fd);
            os::sync();
            fd = os::open("/mnt/mmcblk0p1/data/rec00000000.asd", O_RDWR | O_CREAT | O_TRUNC, 0644);
            written = 0;
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(os::write(fd, record.data(), record.size()));
        ++written;
        if (written % 10 == 0) os::sync();  // the recorder flushes every three rear frames
    }
    os::close(fd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kRecord));
}
BENCHMARK(CardWrite)->Arg(0)->Arg(1)->ArgName("faithful");

void CardStatfs(benchmark::State& state) {
    CardRoot card(simboard::Durability::kFaithful);
    const std::vector<uint8_t> bytes(4096, 1);
    for (int i = 0; i < state.range(0); ++i) {
        const std::string name = "/mnt/mmcblk0p1/data/rec" + std::to_string(i) + ".asd";
        const int fd = os::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        os::write(fd, bytes.data(), bytes.size());
        os::close(fd);
    }
    os::sync();
    struct statfs st {};
    for (auto _ : state) benchmark::DoNotOptimize(os::statfs("/mnt/mmcblk0p1", &st));
}
BENCHMARK(CardStatfs)->Arg(23)->Arg(1400)->ArgName("files");

void PowerCut(benchmark::State& state) {
    CardRoot card(simboard::Durability::kFaithful);
    const std::vector<uint8_t> record(kRecord, 0x5A);
    const std::vector<uint8_t> index(5608, 0);
    uint64_t seed = 0;
    for (auto _ : state) {
        state.PauseTiming();
        int fd = os::open("/mnt/mmcblk0p1/data/rec00000001.asd", O_RDWR | O_CREAT | O_TRUNC, 0644);
        os::write(fd, record.data(), record.size());
        os::sync();
        for (int i = 0; i < 10; ++i) os::write(fd, record.data(), record.size());
        os::close(fd);
        fd = os::open("/mnt/mmcblk0p1/data/recinfo.tmp", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        os::write(fd, index.data(), index.size());
        os::fsync(fd);
        os::close(fd);
        os::rename("/mnt/mmcblk0p1/data/recinfo.tmp", "/mnt/mmcblk0p1/data/recinfo");
        state.ResumeTiming();
        benchmark::DoNotOptimize(simboard::apply_power_cut(card.paths(), ++seed));
    }
}
BENCHMARK(PowerCut);

}  // namespace

BENCHMARK_MAIN();
