// The recording file writer against plain write(2), in-process on a board root of its own.
//
//   writer_throughput  the real writer path (admission check, header, chain, file changes at
//                      20 MiB, index saves) writing the mix of a drive with both cameras at
//                      15 fps: per second 30 video frames (JPEGs of the camera model, rear and
//                      front in turn), about one 8192-byte audio block, one GPS record and
//                      three accelerometer records; against a plain write(2) loop of the same
//                      byte sizes into the same directory, a new file at the same 20 MiB bound.
//                      Rounds alternate between the two; the median of each is compared.
//   file_change        one file change with a full recording index (1400 files, every one but
//                      the file being reopened locked, so the search for the next file goes all
//                      the way round) and 1400 files on the card; against the writer's cost per
//                      record from the row above.
//
// The card lies on a RAM file system (/dev/shm) when the PC has one: what is measured is the
// recorder's path, not the PC disk's journal (replacing a small file there takes about 0.2 ms,
// a cost the card's FAT does not share). The file change is measured once more on the PC's disk
// (/tmp) and given in the note.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "board_root.hpp"
#include "camera_scene.hpp"
#include "capture.h"
#include "config.h"
#include "halt.h"
#include "recfile.h"
#include "recinfo.h"
#include "recstate.h"
#include "report.hpp"
#include "rotation.h"
#include "sim_card.h"
#include "sim_card_io.h"
#include "storage.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kSeconds = 60;  // of recording per round: about 60 MiB, three file changes
constexpr int kRounds = 41;
constexpr int kFileChanges = 40;
constexpr int kFps = 15;

// The console of the recorder goes to /dev/null while it is measured.
class QuietStdout {
  public:
    QuietStdout() {
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        const int null = ::open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        ::close(null);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
    }

  private:
    int saved_ = -1;
};

enum class Kind { Video, Audio, Gps, Accel };
struct Item {
    Kind kind;
    int channel = 0;   // video
    size_t frame = 0;  // index into the frames of its camera
    size_t size = 0;   // bytes of the whole record
};

// The records of `seconds` of driving, in the order the capture threads write them: a rear
// frame, then the pending GPS and accelerometer records, then the front frame; an audio block
// every 8192 samples of 8 kHz.
std::vector<Item> drive_mix(int seconds, const std::vector<std::vector<uint8_t>>& rear,
                            const std::vector<std::vector<uint8_t>>& front) {
    std::vector<Item> items;
    long samples = 0;
    for (int s = 0; s < seconds; ++s) {
        for (int f = 0; f < kFps; ++f) {
            const size_t n = static_cast<size_t>(s * kFps + f);
            items.push_back({Kind::Video, REAR_CAMERA, n % rear.size(),
                             recfmt::VIDEO_HEAD_SIZE + rear[n % rear.size()].size()});
            if (f == 0) items.push_back({Kind::Gps, 0, 0, recfmt::GPS_RECORD_SIZE});
            if (f % 5 == 0) items.push_back({Kind::Accel, 0, 0, recfmt::GSENSOR_RECORD_SIZE});
            items.push_back({Kind::Video, FRONT_CAMERA, n % front.size(),
                             recfmt::VIDEO_HEAD_SIZE + front[n % front.size()].size()});
            samples += 8000 / kFps;
            if (samples >= static_cast<long>(AUDIO_BLOCK_SIZE)) {
                samples -= AUDIO_BLOCK_SIZE;
                items.push_back({Kind::Audio, 0, 0, recfmt::AUDIO_HEAD_SIZE + AUDIO_BLOCK_SIZE});
            }
        }
    }
    return items;
}

std::vector<std::vector<uint8_t>> camera_frames(bool rear, int count) {
    std::vector<std::vector<uint8_t>> frames;
    hw::camera_scene::Params p;
    p.label = rear ? "REAR" : "FRONT";
    p.sensor = rear ? "MT9V111" : "OV7725";
    p.rear = rear;
    p.quality = 60;  // the model's picture at the recorder's quantiser 4
    for (int i = 0; i < count; ++i) {
        p.frame = static_cast<uint64_t>(i) * 7;
        frames.push_back(hw::camera_scene::render_jpeg(p));
    }
    return frames;
}

void never_halt(int code) {
    std::fprintf(stderr, "bench_writer: the recorder entered the error halt (code %d)\n", code);
    std::_Exit(1);
}

struct Fixture {
    explicit Fixture(const std::string& base) : board(base) {
        for (const char* d : {"/mnt/mmcblk0p1/data", "/mnt/mmcblk0p1/configs"}) {
            fs::create_directories(board.host(d));
        }
        std::ofstream(board.host("/mnt/mmcblk0p1/Firmware_version.txt"))
            << "FW_VERSION : Firmware 2.75W";
        write_card_state();
        set_halt_hook(never_halt);
        g_exFileHeader = {};
        g_exFileHeader.tzIndex = 14;
        g_qp = 4;
        g_recHistoryDepth = 2;
        gps.fill(0);
        gps[gpsrec::STATUS] = 'A';
        accel.fill(0);
    }
    ~Fixture() {
        RecLock hold;
        stop_record();
        set_halt_hook(nullptr);
    }

    // The card's state file as the board leaves it: a healthy 32 GiB card (1400 files).
    void write_card_state() {
        std::array<uint8_t, os::simcard::kFileSize> f{};
        const uint64_t capacity = 32ull << 30;
        const uint32_t block = 512;
        std::memcpy(f.data(), os::simcard::kMagic, sizeof os::simcard::kMagic);
        std::memcpy(f.data() + os::simcard::kOffCapacity, &capacity, sizeof capacity);
        std::memcpy(f.data() + os::simcard::kOffBlockSize, &block, sizeof block);
        std::ofstream(board.root() / "run/card", std::ios::binary)
            .write(reinterpret_cast<const char*>(f.data()), static_cast<long>(f.size()));
        os::init();  // maps it
    }

    fs::path data() const { return board.host("/mnt/mmcblk0p1/data"); }
    void clear_data() const {
        for (const auto& e : fs::directory_iterator(data())) fs::remove(e.path());
    }

    testsupport::BoardRoot board;
    std::array<uint8_t, gpsrec::SIZE> gps{};
    std::array<uint8_t, gsrec::SIZE> accel{};
    std::array<uint8_t, AUDIO_BLOCK_SIZE> audio{};
};

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// One round of the writer: a new ring, every record of `items` through the writer as the
// capture threads call it. Returns the seconds it took.
double writer_round(Fixture& fx, const std::vector<Item>& items,
                    const std::vector<std::vector<uint8_t>>& rear,
                    const std::vector<std::vector<uint8_t>>& front) {
    fx.clear_data();
    g_recinfo.fill(0);
    g_maxFileCount = 90;
    const auto t0 = Clock::now();
    {
        RecLock hold;
        start_record();
    }
    for (const Item& it : items) {
        RecLock hold;
        switch (it.kind) {
            case Kind::Video: {
                const auto& jpeg = it.channel == REAR_CAMERA ? rear[it.frame] : front[it.frame];
                write_videoframe(640, 480, it.channel, jpeg.data(), static_cast<int>(jpeg.size()));
                break;
            }
            case Kind::Audio:
                write_audioframe(fx.audio.data(), static_cast<int>(fx.audio.size()));
                break;
            case Kind::Gps: {
                const RecTime now = current_rectime();
                std::memcpy(fx.gps.data() + gpsrec::RECV_SEC, &now.sec, 4);
                std::memcpy(fx.gps.data() + gpsrec::RECV_USEC, &now.usec, 4);
                write_gpsframe(fx.gps.data());
                break;
            }
            case Kind::Accel:
                write_gsensorframe(fx.accel.data());
                break;
        }
    }
    {
        RecLock hold;
        stop_record();
    }
    return seconds_since(t0);
}

// The anchor: the same records with write(2), a new file where the writer changes files. Each
// video record is written from a buffer of its own, built before the clock starts (the frame's
// bytes behind room for its head), so that the anchor reads as much memory as the writer does;
// the small records come from one buffer.
double plain_round(Fixture& fx, const std::vector<Item>& items,
                   const std::vector<std::vector<uint8_t>>& rearRecords,
                   const std::vector<std::vector<uint8_t>>& frontRecords) {
    fx.clear_data();
    static std::vector<uint8_t> bytes(recfmt::STAGING_SIZE, 0x5A);
    const auto t0 = Clock::now();
    int fd = -1;
    size_t inFile = 0;
    int file = 0;
    for (const Item& it : items) {
        if (fd < 0 || inFile + it.size > recfmt::MAX_FILE_SIZE) {
            if (fd >= 0) ::close(fd);
            char name[32];
            std::snprintf(name, sizeof name, "raw%08d", file++);
            fd = ::open((fx.data() / name).c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || ::write(fd, bytes.data(), recfmt::HEADER_SIZE) < 0) std::abort();
            inFile = recfmt::HEADER_SIZE;
        }
        const uint8_t* from = bytes.data();
        if (it.kind == Kind::Video) {
            from = (it.channel == REAR_CAMERA ? rearRecords : frontRecords)[it.frame].data();
        }
        if (::write(fd, from, it.size) != static_cast<ssize_t>(it.size)) std::abort();
        inFile += it.size;
    }
    ::close(fd);
    return seconds_since(t0);
}

// Each frame behind room for its record head: what the anchor writes for a video record.
std::vector<std::vector<uint8_t>> as_records(const std::vector<std::vector<uint8_t>>& frames) {
    std::vector<std::vector<uint8_t>> records;
    for (const auto& f : frames) {
        std::vector<uint8_t> r(recfmt::VIDEO_HEAD_SIZE, 0);
        r.insert(r.end(), f.begin(), f.end());
        records.push_back(std::move(r));
    }
    return records;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// A full index: 1400 files, the largest lock count, every file locked but `free`.
void fill_index(int free) {
    g_sdtype = 6;
    g_maxFileCount = MAX_REC_FILES;
    g_maxLockCount = 200;
    g_recinfo.fill(0);
    g_recinfo[RECINFO_NEXT] = static_cast<uint32_t>(free);
    g_recinfo[RECINFO_LOCKCOUNT] = 200;
    for (int i = 0; i < MAX_REC_FILES; ++i) {
        if (i == free) continue;
        lock_entry(i) = (static_cast<uint32_t>(i % 3) << 16) | static_cast<uint32_t>(1 + i % 200);
    }
}

struct FileChanges {
    std::vector<double> changes, statfsMs, indexSaveMs;  // ms each
};

// kFileChanges changes with a full index on the card of `fx`, less the cost of the record that
// makes each.
FileChanges file_changes(Fixture& fx, const std::vector<uint8_t>& jpeg, double perRecordUs) {
    FileChanges out;
    auto& [changes, statfsMs, indexSaveMs] = out;
    {
        QuietStdout quiet;
        fx.clear_data();
        for (int i = 0; i < MAX_REC_FILES; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "rec%08d.asd", i);
            std::ofstream(fx.data() / name).put('\0');
        }
        os::simcardio::recount();  // put there behind the seam
        const int free = 700;
        fill_index(free);
        {
            RecLock hold;
            start_record();
            write_videoframe(640, 480, FRONT_CAMERA, jpeg.data(), static_cast<int>(jpeg.size()));
        }
        for (int i = 0; i < kFileChanges; ++i) {
            RecLock hold;
            // The open file looks full: the next frame does not fit and changes files.
            write_size = static_cast<int>(recfmt::MAX_FILE_SIZE) - 100;
            const auto t0 = Clock::now();
            write_videoframe(640, 480, FRONT_CAMERA, jpeg.data(), static_cast<int>(jpeg.size()));
            write_videoframe(640, 480, FRONT_CAMERA, jpeg.data(), static_cast<int>(jpeg.size()));
            changes.push_back(seconds_since(t0) * 1e3 - perRecordUs / 1e3);
        }
        // Two parts of a change: the free-space query and the index save (the index and its
        // backup replaced by renames on the PC's file system).
        for (int i = 0; i < kFileChanges; ++i) {
            int total = 0, used = 0, freeMb = 0;
            auto t0 = Clock::now();
            getFreeSize(&total, &used, &freeMb, "/mnt/mmcblk0p1");
            statfsMs.push_back(seconds_since(t0) * 1e3);
            t0 = Clock::now();
            write_recinfo();
            indexSaveMs.push_back(seconds_since(t0) * 1e3);
        }
        RecLock hold;
        stop_record();
    }
    fx.clear_data();
    return out;
}

}  // namespace

int main() {
    const auto rear = camera_frames(true, 30);
    const auto front = camera_frames(false, 30);
    const std::string card = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    Fixture fx(card);
    const std::vector<Item> items = drive_mix(kSeconds, rear, front);
    size_t bytes = 0;
    for (const Item& it : items) bytes += it.size;

    const auto rearRecords = as_records(rear);
    const auto frontRecords = as_records(front);
    std::vector<double> writer, plain;
    {
        QuietStdout quiet;
        for (int r = 0; r < kRounds; ++r) {
            writer.push_back(writer_round(fx, items, rear, front));
            plain.push_back(plain_round(fx, items, rearRecords, frontRecords));
        }
    }
    fx.clear_data();
    // The median round of each: on a loaded machine the best round of either is a matter of
    // luck, and the ratio of two lucky rounds swings further than that of two medians.
    const double mib = static_cast<double>(bytes) / (1 << 20);
    const double writerBest = *std::min_element(writer.begin(), writer.end());
    const double plainBest = *std::min_element(plain.begin(), plain.end());
    const double writerRate = mib / median(writer);
    const double plainRate = mib / median(plain);
    const double perRecordUs = median(writer) * 1e6 / static_cast<double>(items.size());
    benchreport::Row through{
        .id = "writer_throughput",
        .figure = "record writer throughput",
        .value = writerRate,
        .unit = "MiB/s",
        .anchor = "plain write(2) loop, same sizes, same directory",
        .anchorValue = plainRate,
        .anchorUnit = "MiB/s",
        .goal = benchreport::Goal::RatioAtLeast,
        .bound = 0.95,
        .note = std::to_string(items.size()) + " records, " + benchreport::format(mib) +
                " MiB per round (" + std::to_string(kSeconds) +
                " s of 2 x 15 fps with audio, GPS, accelerometer), median of " +
                std::to_string(kRounds) + " alternating rounds (best " +
                benchreport::format(mib / writerBest) + " and " +
                benchreport::format(mib / plainBest) + " MiB/s); " +
                benchreport::format(perRecordUs) + " us per record; card on " + card,
        .extra = {{"writer_us_per_record", perRecordUs},
                  {"writer_best_s", writerBest},
                  {"plain_best_s", plainBest}},
    };
    benchreport::emit(through);

    const FileChanges ram = file_changes(fx, front[0], perRecordUs);
    std::string onDiskNote;
    std::vector<double> onDiskMs;
    if (fx.board.root().parent_path() != "/tmp") {
        Fixture onDisk("/tmp");
        const FileChanges disk = file_changes(onDisk, front[0], perRecordUs);
        onDiskMs = {median(disk.changes), median(disk.indexSaveMs)};
        onDiskNote = "; with the card on the PC's disk (/tmp) " +
                     benchreport::format(onDiskMs[0]) + " ms, its index save " +
                     benchreport::format(onDiskMs[1]) + " ms";
    }
    const auto& changes = ram.changes;
    const auto& statfsMs = ram.statfsMs;
    const auto& indexSaveMs = ram.indexSaveMs;
    const double own = median(changes) - median(statfsMs) - median(indexSaveMs);
    benchreport::Row change{
        .id = "file_change",
        .figure = "one file change with a full index (1400 files, locks everywhere)",
        .value = median(changes),
        .unit = "ms",
        .anchor = "the writer's cost per record",
        .anchorValue = perRecordUs / 1e3,
        .anchorUnit = "ms",
        .goal = benchreport::Goal::FigureBelow,
        .bound = 1.0,
        .note = "median of " + std::to_string(kFileChanges) +
                " changes (close with the header completed, free-space check, open, index "
                "search and save, the new file's header); p90 " +
                benchreport::format(percentile(changes, 0.9)) + " ms, max " +
                benchreport::format(*std::max_element(changes.begin(), changes.end())) +
                " ms; of the median, the free-space query " +
                benchreport::format(median(statfsMs)) + " ms and the index save (two files " +
                "replaced on the PC) " + benchreport::format(median(indexSaveMs)) +
                " ms, the rest " + benchreport::format(own) + " ms; card on " + card +
                onDiskNote,
        .extra = {{"p90_ms", percentile(changes, 0.9)},
                  {"max_ms", *std::max_element(changes.begin(), changes.end())},
                  {"statfs_ms", median(statfsMs)},
                  {"index_save_ms", median(indexSaveMs)},
                  {"rest_ms", own}},
    };
    if (!onDiskMs.empty()) {
        change.extra.push_back({"on_disk_ms", onDiskMs[0]});
        change.extra.push_back({"on_disk_index_save_ms", onDiskMs[1]});
    }
    benchreport::emit(change);
    return 0;
}
