// The recorder on the whole simulated board (build-release/bin/simboard with the real modules and
// programs), each row on a board root of its own, judged from the outside: the recorder's
// processor time from /proc, the card read back by the recording reader, the board's clock.
//
//   bench_board [ROW...]   rows: cpu fps lost impact parking halt (default: all)
//
//   cpu      processor time of the recorder per recorded frame, 2 x 15 fps with GPS,
//            accelerometer and audio, over a 40 s run: user + system time of all its threads
//            divided by the video records on the card; against ffmpeg stream-copying the same
//            frames (exported as JPEG files) into 20-second segment files (median of 3 runs);
//            and as a row of its own the least any recorder of paced frames spends here:
//            bin/paced_writer fed the same frames at the same pace (the capture threads' share
//            of the recorder's figure goes into its note, to be held against this one)
//   fps      frames recorded per second per camera with the cameras unlimited (--camera-fps 0),
//            against the camera model's own output rate (its picture rendered and encoded)
//   lost     frames lost at 2 x 30 fps over 60 s: the gaps in the cameras' frame numbers on
//            the card (each JPEG carries its sensor frame number in a comment)
//   impact   impact to lock: from the impact on the accelerometer (the board's action) to the
//            recording index on the card holding the lock, 50 impacts, each lock erased with
//            the erase key before the next impact; against the driver's sampling period
//   parking  the recorder's share of one core in parking mode (30 s)
//   halt     the recorder's share of one core in the error halt (20 s, front camera failed)
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "asd_reader.hpp"
#include "board_probe.hpp"
#include "camera_scene.hpp"
#include "frame_gaps.hpp"
#include "frame_number.hpp"
#include "le.hpp"
#include "paced_area.hpp"
#include "record_heads.hpp"
#include "report.hpp"
#include "sim_board.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;
using testsupport::read_file;

constexpr double kCpuRunSeconds = 40;
constexpr double kLostRunSeconds = 60;
constexpr double kFpsRunSeconds = 20;
constexpr int kImpacts = 50;
constexpr double kSamplingPeriodMs = 1000.0 / 3;  // accelmon samples three times a second
constexpr double kParkingSeconds = 30;
constexpr double kHaltSeconds = 20;
constexpr int kFfmpegRuns = 3;
constexpr double kFloorSeconds = 20;

void sleep_for(double seconds) {
    std::this_thread::sleep_for(Seconds(seconds));
}

double since(Clock::time_point t0) {
    return Seconds(Clock::now() - t0).count();
}

// ---- The recorder as a process -------------------------------------------------------------

// The recorder that the board on `root` runs: its executable is bin/recorder and its
// environment names the root. 0 when there is none.
pid_t find_recorder(const fs::path& root) {
    const std::string exe = fs::weakly_canonical(fs::path(BIN_DIR) / "recorder").string();
    const std::string env = "SIMBOARD_ROOT=" + root.string();
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code ec;
        const std::string target = fs::read_symlink(entry.path() / "exe", ec).string();
        if (ec || target.rfind(exe, 0) != 0) continue;
        if (benchprobe::has_env_entry(read_file(entry.path() / "environ"), env))
            return static_cast<pid_t>(std::stol(name));
    }
    return 0;
}

struct CpuTime {
    double threads = 0;   // sum of the live threads' run time (schedstat, ns resolution)
    double process = 0;   // utime + stime of /proc/PID/stat (clock ticks)
    double children = 0;  // cutime + cstime: the shell commands it ran and waited for
    double busiest = 0;   // the two busiest threads' run time (the capture threads when recording)
};

std::optional<CpuTime> cpu_time(pid_t pid) {
    const fs::path dir = "/proc/" + std::to_string(pid);
    const auto stat = benchprobe::parse_stat(read_file(dir / "stat"));
    if (!stat) return std::nullopt;
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    CpuTime t;
    t.process = static_cast<double>(stat->utime + stat->stime) / tick;
    t.children = static_cast<double>(stat->cutime + stat->cstime) / tick;
    std::error_code ec;
    std::vector<double> each;
    for (const auto& task : fs::directory_iterator(dir / "task", ec)) {
        std::istringstream s(read_file(task.path() / "schedstat"));
        double ns = 0;
        if (s >> ns) each.push_back(ns / 1e9);
    }
    std::sort(each.rbegin(), each.rend());
    for (size_t i = 0; i < each.size(); ++i) {
        t.threads += each[i];
        if (i < 2) t.busiest += each[i];
    }
    return t;
}

// ---- The board -----------------------------------------------------------------------------

class Board : public testsupport::SimBoard {
  public:
    explicit Board(const std::string& name) : SimBoard("bench-" + name) {
        bin_dir = BIN_DIR;
        module_dir = MODULE_DIR;
    }

    // Starts the board and waits for the first recording file; false when it did not come.
    bool boot(std::vector<std::string> options) {
        if (host_durability()) options.insert(options.end(), {"--card-durability", "host"});
        start(options);
        return wait_for("rec file /mnt/mmcblk0p1/data/", 0, 1, Seconds(60)).has_value();
    }

    pid_t recorder() {
        if (pid_ == 0) pid_ = find_recorder(root());
        return pid_;
    }

    fs::path data() const { return root() / "mnt/mmcblk0p1/data"; }

    // The recordings on the card, in the order they were recorded (a fresh card: by index).
    std::vector<asd::Recording> recordings(bool payloads = false) const {
        std::vector<fs::path> files;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(data(), ec)) {
            const std::string n = e.path().filename().string();
            if (n.rfind("rec", 0) == 0 && e.path().extension() == ".asd") files.push_back(e.path());
        }
        std::sort(files.begin(), files.end());
        std::vector<asd::Recording> out;
        for (const auto& f : files) out.push_back(asd::read_file(f.string(), {payloads}));
        return out;
    }

    // Video records on the card now, counted from the record heads alone (quick enough to
    // take while the recorder writes: a record still being written ends the count of its file).
    size_t video_records() const {
        size_t n = 0;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(data(), ec)) {
            if (e.path().extension() == ".asd")
                n += benchrec::count_video_records(e.path().c_str());
        }
        return n;
    }

    // Whether this simboard has the card model that keeps everything the host keeps.
    static bool host_durability() {
        static const bool has = [] {
            Board probe("help");
            std::string text;
            probe.command({"--help"}, text);
            return text.find("--card-durability") != std::string::npos;
        }();
        return has;
    }

  private:
    pid_t pid_ = 0;
};

// ---- cpu: processor time per frame against ffmpeg ------------------------------------------

struct RunTimes {
    double cpu = 0;
    int status = -1;
};

double cpu_seconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs argv to its end with its output in `log`: its user + system time.
RunTimes run_measured(const std::vector<std::string>& args, const fs::path& log,
                      const fs::path& cwd) {
    std::vector<std::string> argv = args;
    std::vector<char*> p;
    for (auto& a : argv) p.push_back(a.data());
    p.push_back(nullptr);
    const fs::path here = fs::current_path();
    fs::current_path(cwd);
    const pid_t pid = testsupport::spawn(argv, log);
    fs::current_path(here);
    RunTimes t;
    if (pid <= 0) return t;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) return t;
    t.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    t.cpu = cpu_seconds(usage);
    return t;
}

std::string ffmpeg_path() {
    for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"}) {
        const fs::path p = fs::path(dir) / "ffmpeg";
        if (::access(p.c_str(), X_OK) == 0) return p.string();
    }
    return "";
}

// Every video frame of the card as 000000.jpg, 000001.jpg, ... in recording order.
size_t export_frames(const Board& board, const fs::path& dir) {
    fs::create_directories(dir);
    size_t n = 0;
    for (const auto& rec : board.recordings(true)) {
        for (const auto& r : rec.records) {
            const auto* v = std::get_if<asd::VideoRecord>(&r.body);
            if (v == nullptr) continue;
            char name[32];
            std::snprintf(name, sizeof name, "%06zu.jpg", n++);
            std::ofstream(dir / name, std::ios::binary)
                .write(reinterpret_cast<const char*>(v->jpeg.data()),
                       static_cast<std::streamsize>(v->jpeg.size()));
        }
    }
    return n;
}

// ---- The floor: a program that only waits for each frame and writes it ----------------------

struct Floor {
    double perFrame = NAN;  // us of processor time per frame written
    size_t frames = 0;
    std::string why;  // why there is no figure
};

// Waits until the FIFO at `path` has a reader (the writer just started): its write end, or -1.
int open_fifo_for_writing(const fs::path& path, Seconds limit) {
    const auto t0 = Clock::now();
    for (;;) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            ::fcntl(fd, F_SETFL, 0);
            return fd;
        }
        if (errno != ENXIO || since(t0) > limit.count()) return -1;
        sleep_for(0.01);
    }
}

// bin/paced_writer fed the frames in `framesDir` (000000.jpg, ...; the cameras take turns) at
// `fps` per camera for `seconds`, both cameras on the same tick as the board's: its user +
// system time per frame. The source is this process, so none of its work is counted.
Floor paced_floor(const fs::path& work, const fs::path& framesDir, size_t count, double fps,
                  double seconds) {
    Floor f;
    std::vector<std::vector<uint8_t>> frames;
    for (size_t i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "%06zu.jpg", i);
        const std::string bytes = read_file(framesDir / name);
        if (bytes.empty() || bytes.size() > pacedarea::kFrameBytes) continue;
        frames.emplace_back(bytes.begin(), bytes.end());
    }
    if (frames.size() < 2) {
        f.why = "no frames to write";
        return f;
    }
    fs::create_directories(work / "out");
    const fs::path areaPath = work / "area";
    const int areaFd = ::open(areaPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    void* area = MAP_FAILED;
    if (areaFd >= 0 && ::ftruncate(areaFd, pacedarea::kAreaBytes) == 0) {
        area =
            ::mmap(nullptr, pacedarea::kAreaBytes, PROT_READ | PROT_WRITE, MAP_SHARED, areaFd, 0);
    }
    if (areaFd >= 0) ::close(areaFd);
    if (area == MAP_FAILED) {
        f.why = "no shared frame area";
        return f;
    }
    auto* bytes = static_cast<uint8_t*>(area);
    const std::array<fs::path, 2> fifoPaths = {work / "fifo0", work / "fifo1"};
    for (const auto& p : fifoPaths) ::mkfifo(p.c_str(), 0600);
    const pid_t pid =
        testsupport::spawn({(fs::path(BIN_DIR) / "paced_writer").string(), (work / "out").string(),
                            areaPath.string(), fifoPaths[0].string(), fifoPaths[1].string()},
                           work / "paced_writer.log");
    std::array<int, 2> fifos = {-1, -1};
    if (pid > 0) {
        for (int c = 0; c < 2; ++c) fifos[c] = open_fifo_for_writing(fifoPaths[c], Seconds(10));
    }
    // A writer that ends early must not end this process with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    const auto perCamera = static_cast<size_t>(fps * seconds);
    const auto period = Seconds(1.0 / fps);
    const auto t0 = Clock::now();
    auto source = [&](int camera) {
        for (size_t n = 0; n < perCamera && fifos[camera] >= 0; ++n) {
            std::this_thread::sleep_until(t0 + std::chrono::duration_cast<Clock::duration>(
                                                   period * static_cast<double>(n + 1)));
            const auto& frame = frames[(2 * n + static_cast<size_t>(camera)) % frames.size()];
            const int slot = static_cast<int>(n % 2);
            uint8_t* at = bytes + pacedarea::slot_offset(camera, slot);
            le::put_u32({at, 4}, 0, static_cast<uint32_t>(frame.size()));
            std::memcpy(at + 4, frame.data(), frame.size());
            const auto s = static_cast<uint8_t>(slot);
            if (::write(fifos[camera], &s, 1) != 1) break;
        }
        if (fifos[camera] >= 0) ::close(fifos[camera]);
    };
    if (pid > 0 && fifos[0] >= 0 && fifos[1] >= 0) {
        std::thread rear(source, 0);
        std::thread front(source, 1);
        rear.join();
        front.join();
    } else {
        // A writer that never opened both FIFOs would wait in its open for ever.
        for (int fd : fifos) {
            if (fd >= 0) ::close(fd);
        }
        if (pid > 0) ::kill(pid, SIGKILL);
    }
    ::munmap(area, pacedarea::kAreaBytes);
    if (pid <= 0) {
        f.why = "paced_writer did not start";
        return f;
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        f.why = "paced_writer failed (" + (work / "paced_writer.log").string() + ")";
        return f;
    }
    std::istringstream log(read_file(work / "paced_writer.log"));
    log >> f.frames;
    if (f.frames > 0) f.perFrame = cpu_seconds(usage) * 1e6 / static_cast<double>(f.frames);
    fs::remove_all(work / "out");
    return f;
}

void bench_cpu() {
    const char* kId = "recorder_cpu_per_frame";
    const char* kFigure =
        "recorder processor time per recorded frame (2 x 15 fps, GPS, "
        "accelerometer, audio)";
    Board board("cpu");
    if (!board.boot({"--duration", std::to_string(kCpuRunSeconds + 60)})) {
        benchreport::emit_missing(kId, kFigure, "the board did not start recording");
        return;
    }
    const pid_t pid = board.recorder();
    const auto t0 = Clock::now();
    // Steady state too: from 5 s after the first file to the end, against the frames between.
    sleep_for(5);
    const auto steadyFrom = cpu_time(pid);
    const size_t framesFrom = board.video_records();
    sleep_for(kCpuRunSeconds - since(t0));
    const auto total = cpu_time(pid);
    const size_t framesTo = board.video_records();
    board.quit();
    const size_t frames = board.video_records();
    if (!total || !steadyFrom || frames == 0) {
        benchreport::emit_missing(kId, kFigure, "the recorder's times or frames were not found");
        return;
    }
    const double perFrame = total->threads * 1e6 / static_cast<double>(frames);
    const double steadyFrames = static_cast<double>(std::max<size_t>(1, framesTo - framesFrom));
    const double steady = (total->threads - steadyFrom->threads) * 1e6 / steadyFrames;
    const double steadyCapture = (total->busiest - steadyFrom->busiest) * 1e6 / steadyFrames;
    size_t audio = 0, gps = 0, accel = 0;
    for (const auto& r : board.recordings()) {
        audio += r.count(asd::Kind::Audio);
        gps += r.count(asd::Kind::Gps);
        accel += r.count(asd::Kind::Accel);
    }

    // The anchor: ffmpeg's segment muxer over the same frames.
    const std::string ffmpeg = ffmpeg_path();
    const fs::path work = board.dir() / "ffmpeg";
    const size_t exported = export_frames(board, work / "frames");
    std::vector<double> runs;
    if (!ffmpeg.empty()) {
        for (int i = 0; i < kFfmpegRuns; ++i) {
            const fs::path out = work / ("out" + std::to_string(i));
            fs::create_directories(out);
            const RunTimes t = run_measured({ffmpeg,
                                             "-nostdin",
                                             "-hide_banner",
                                             "-loglevel",
                                             "error",
                                             "-f",
                                             "image2",
                                             "-framerate",
                                             "30",
                                             "-i",
                                             (work / "frames/%06d.jpg").string(),
                                             "-c",
                                             "copy",
                                             "-f",
                                             "segment",
                                             "-segment_time",
                                             "20",
                                             "-reset_timestamps",
                                             "1",
                                             (out / "seg%03d.mkv").string()},
                                            work / "ffmpeg.log", work);
            if (t.status == 0) runs.push_back(t.cpu * 1e6 / static_cast<double>(exported));
            fs::remove_all(out);
        }
    }
    std::sort(runs.begin(), runs.end());
    const double anchor = runs.empty() ? NAN : runs[runs.size() / 2];
    const Floor floor =
        paced_floor(board.dir() / "paced", work / "frames", exported, 15, kFloorSeconds);

    benchreport::Row row{
        .id = kId,
        .figure = kFigure,
        .value = perFrame,
        .unit = "us/frame",
        .anchor = ffmpeg.empty() ? "ffmpeg segment muxer (ffmpeg not installed)"
                                 : "ffmpeg -c copy -f segment, same frames, median of 3",
        .anchorValue = anchor,
        .anchorUnit = "us/frame",
        .goal = benchreport::Goal::RatioAtMost,
        .bound = 0.5,
        .note = std::to_string(frames) + " frames, " + std::to_string(audio) + " audio, " +
                std::to_string(gps) + " GPS, " + std::to_string(accel) +
                " accelerometer records in " + benchreport::format(kCpuRunSeconds) +
                " s; recorder " + benchreport::format(total->threads * 1e3) +
                " ms (/proc stat: " + benchreport::format(total->process * 1e3) +
                " ms); steady state " + benchreport::format(steady) + " us/frame, of which " +
                benchreport::format(steadyCapture) + " in the two capture threads",
        .extra = {{"frames", static_cast<double>(frames)},
                  {"recorder_cpu_s", total->threads},
                  {"recorder_stat_cpu_s", total->process},
                  {"steady_us_per_frame", steady},
                  {"steady_capture_us_per_frame", steadyCapture},
                  {"ffmpeg_runs", static_cast<double>(runs.size())},
                  {"floor_us_per_frame", floor.perFrame}},
    };
    if (!std::isnan(floor.perFrame)) {
        row.note += "; " + benchreport::format(perFrame / floor.perFrame) +
                    " x the least a paced writer spends (next row)";
    }
    benchreport::emit(row);

    const char* kFloorId = "paced_writer_cpu_per_frame";
    const char* kFloorFigure =
        "the least per frame: two threads that only wait for their camera's frame and write "
        "it (one writev, 2 x 15 fps)";
    if (std::isnan(floor.perFrame)) {
        benchreport::emit_missing(kFloorId, kFloorFigure, floor.why);
        return;
    }
    benchreport::emit(benchreport::Row{
        .id = kFloorId,
        .figure = kFloorFigure,
        .value = floor.perFrame,
        .unit = "us/frame",
        .anchor = row.anchor,
        .anchorValue = anchor,
        .anchorUnit = "us/frame",
        .note = std::to_string(floor.frames) + " frames of the recorder's run in " +
                benchreport::format(kFloorSeconds) +
                " s, fed through a shared area and a FIFO per camera, into files of 20 MiB "
                "beside the board's card; what any recorder of paced frames pays for the "
                "wake-up and the write on this machine",
        .extra = {{"frames", static_cast<double>(floor.frames)}},
    });
}

// ---- fps: unlimited cameras ----------------------------------------------------------------

// Frames a second that one camera model makes: its picture rendered and encoded, as its worker
// thread does for every frame.
double model_output_rate() {
    hw::camera_scene::Params p;
    p.label = "FRONT";
    p.sensor = "OV7725";
    p.quality = 60;
    const auto t0 = Clock::now();
    int n = 0;
    while (since(t0) < 3) {
        p.frame = static_cast<uint64_t>(n++);
        hw::camera_scene::render_jpeg(p);
    }
    return n / since(t0);
}

void bench_fps() {
    const char* kId = "unlimited_fps";
    const char* kFigure = "frames recorded per second per camera, cameras unlimited";
    const double model = model_output_rate();
    Board board("fps");
    if (!board.boot({"--camera-fps", "0", "--duration", std::to_string(kFpsRunSeconds + 60)})) {
        benchreport::emit_missing(kId, kFigure, "the board did not start recording");
        return;
    }
    sleep_for(3);
    const size_t before = board.video_records();
    const auto t0 = Clock::now();
    sleep_for(kFpsRunSeconds);
    const size_t after = board.video_records();
    const double seconds = since(t0);
    board.quit();
    // Repeated pictures: an unlimited camera hands out the frame encoded last.
    std::map<int, std::set<uint64_t>> distinct;
    size_t frames = 0;
    for (const auto& rec : board.recordings(true)) {
        for (const auto& r : rec.records) {
            const auto* v = std::get_if<asd::VideoRecord>(&r.body);
            if (v == nullptr) continue;
            ++frames;
            if (auto n = benchframe::frame_number(v->jpeg)) distinct[v->channel].insert(*n);
        }
    }
    const double perCamera = static_cast<double>(after - before) / seconds / 2;
    const size_t unique = distinct[0].size() + distinct[1].size();
    benchreport::Row row{
        .id = kId,
        .figure = kFigure,
        .value = perCamera,
        .unit = "fps",
        .anchor = "the camera model's own output rate: render and encode, one thread",
        .anchorValue = model,
        .anchorUnit = "fps",
        .note = benchreport::format(seconds) + " s measured; " + std::to_string(unique) +
                " distinct pictures among " + std::to_string(frames) + " frames on the card",
        .extra = {{"frames", static_cast<double>(frames)},
                  {"distinct", static_cast<double>(unique)}},
    };
    benchreport::emit(row);
}

// ---- lost: frame numbers at 2 x 30 fps -----------------------------------------------------

void bench_lost() {
    const char* kId = "frames_lost_2x30";
    const char* kFigure = "frames lost at 2 x 30 fps over 60 s";
    Board board("lost");
    if (!board.boot({"--camera-fps", "30", "--duration", std::to_string(kLostRunSeconds + 60)})) {
        benchreport::emit_missing(kId, kFigure, "the board did not start recording");
        return;
    }
    sleep_for(kLostRunSeconds);
    board.quit();

    benchframe::FrameGaps gaps;
    const auto recs = board.recordings(true);
    for (size_t file = 0; file < recs.size(); ++file) {
        for (const auto& r : recs[file].records) {
            const auto* v = std::get_if<asd::VideoRecord>(&r.body);
            if (v != nullptr) gaps.add(v->channel, file, benchframe::frame_number(v->jpeg));
        }
    }
    const benchframe::GapCount g = gaps.count();
    benchreport::Row row{
        .id = kId,
        .figure = kFigure,
        .value = static_cast<double>(g.lost()),
        .unit = "frames",
        .anchor = "frames the two sensors made meanwhile",
        .anchorValue = static_cast<double>(g.expected),
        .anchorUnit = "frames",
        .goal = benchreport::Goal::FigureAtMost,
        .bound = 0,
        .note = std::to_string(g.frames) + " frames in " + std::to_string(recs.size()) +
                " files; lost inside files " + std::to_string(g.lostInFile) + ", at file changes " +
                std::to_string(g.lostAtChange) +
                (g.repeated ? "; repeated " + std::to_string(g.repeated) : "") +
                (g.unnumbered ? "; without a number " + std::to_string(g.unnumbered) : ""),
        .extra = {{"frames", static_cast<double>(g.frames)},
                  {"lost_in_file", static_cast<double>(g.lostInFile)},
                  {"lost_at_file_change", static_cast<double>(g.lostAtChange)},
                  {"files", static_cast<double>(recs.size())}},
    };
    benchreport::emit(row);
}

// ---- impact: impact to lock ----------------------------------------------------------------

// Watches the card's data directory for a new recording index.
class IndexWatch {
  public:
    explicit IndexWatch(const fs::path& data) : data_(data) {
        fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (fd_ >= 0) inotify_add_watch(fd_, data.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
    }
    ~IndexWatch() {
        if (fd_ >= 0) ::close(fd_);
    }
    IndexWatch(const IndexWatch&) = delete;
    IndexWatch& operator=(const IndexWatch&) = delete;

    // Locked files in the index now.
    size_t locked() const {
        std::ifstream in(data_ / "recinfo", std::ios::binary);
        const std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), {});
        return benchprobe::locked_files(b);
    }

    // Waits until the index says `locked` (true: some file locked, false: none). The time it
    // was seen, or nullopt after `limit`.
    std::optional<Clock::time_point> wait(bool wantLocked, double limit) {
        const auto end = Clock::now() + Seconds(limit);
        for (;;) {
            if ((locked() != 0) == wantLocked) return Clock::now();
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) > 0) {
                alignas(inotify_event) char buf[4096];
                while (::read(fd_, buf, sizeof buf) > 0) {
                }
            }
        }
    }

  private:
    fs::path data_;
    int fd_ = -1;
};

void bench_impact() {
    const char* kP50 = "impact_lock_p50";
    const char* kP99 = "impact_lock_p99";
    const char* kFigure50 = "impact to lock, p50 of 50 impacts";
    const char* kFigure99 = "impact to lock, p99 of 50 impacts";
    Board board("impact");
    if (!board.boot({"--duration", "600"})) {
        benchreport::emit_missing(kP99, kFigure99, "the board did not start recording");
        return;
    }
    IndexWatch index(board.data());
    sleep_for(3);  // the accelerometer's first samples, the events enabled
    std::vector<double> ms;
    int missed = 0;
    for (int i = 0; i < kImpacts && board.alive(); ++i) {
        if (index.locked() != 0) {
            board.act("key erase");
            if (!index.wait(false, 10)) break;
        }
        // The impacts fall at every phase of the driver's sampling: a delay spread evenly
        // (golden-ratio steps) over one period.
        const double phase = std::fmod(0.6180339887 * i, 1.0);
        sleep_for(phase * kSamplingPeriodMs / 1000);
        const auto t0 = Clock::now();
        board.act(i % 2 == 0 ? "impact 3 x" : "impact -3 y");
        const auto seen = index.wait(true, 5);
        if (!seen) {
            ++missed;
            continue;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(*seen - t0).count());
        // The impact ends 0.4 s after it began; its end is a change the next sample sees too,
        // which must fall inside this event, not start the next one.
        sleep_for(1.0);
        board.act("key erase");
        if (!index.wait(false, 10)) break;
        sleep_for(0.3);
    }
    board.quit();
    if (ms.empty()) {
        benchreport::emit_missing(kP99, kFigure99, "no impact was locked");
        return;
    }
    std::sort(ms.begin(), ms.end());
    auto pct = [&](double p) { return benchprobe::percentile(ms, p); };
    const std::string note = std::to_string(ms.size()) + " impacts locked" +
                             (missed ? ", " + std::to_string(missed) + " not within 5 s" : "") +
                             "; min " + benchreport::format(ms.front()) + " ms, max " +
                             benchreport::format(ms.back()) + " ms";
    benchreport::Row p50{
        .id = kP50,
        .figure = kFigure50,
        .value = pct(0.5),
        .unit = "ms",
        .anchor = "one sampling period of the driver",
        .anchorValue = kSamplingPeriodMs,
        .anchorUnit = "ms",
        .note = note,
        .extra = {},
    };
    benchreport::emit(p50);
    benchreport::Row p99 = p50;
    p99.id = kP99;
    p99.figure = kFigure99;
    p99.value = pct(0.99);
    p99.goal = benchreport::Goal::FigureAtMost;
    p99.bound = 400;
    p99.extra = {{"impacts", static_cast<double>(ms.size())},
                 {"missed", static_cast<double>(missed)}};
    benchreport::emit(p99);
}

// ---- parking and halt: share of one core ---------------------------------------------------

void share_row(const char* id, const char* figure, Board& board, double seconds,
               const std::string& how) {
    const pid_t pid = board.recorder();
    sleep_for(2);
    const auto before = cpu_time(pid);
    const auto t0 = Clock::now();
    sleep_for(seconds);
    const auto after = cpu_time(pid);
    const double wall = since(t0);
    board.quit();
    if (!before || !after) {
        benchreport::emit_missing(id, figure, "the recorder was not found");
        return;
    }
    const double share = 100 * (after->threads - before->threads) / wall;
    const double children = 100 * (after->children - before->children) / wall;
    benchreport::Row row{
        .id = id,
        .figure = figure,
        .value = share,
        .unit = "% of a core",
        .anchor = "",
        .anchorValue = NAN,
        .anchorUnit = "",
        .goal = benchreport::Goal::FigureBelow,
        .bound = 1,
        .note = how + ", " + benchreport::format(wall) +
                " s; the shell commands it ran: " + benchreport::format(children) + " %",
        .extra = {{"children_percent", children}},
    };
    benchreport::emit(row);
}

void bench_parking() {
    const char* kId = "parking_share";
    const char* kFigure = "parking mode: the recorder's share of one core";
    Board board("parking");
    if (!board.boot({"--duration", "300"})) {
        benchreport::emit_missing(kId, kFigure, "the board did not start recording");
        return;
    }
    sleep_for(2);
    board.act("ibc parking");
    const auto changed = board.wait_for("ChangeDRMode", 0, 1, Seconds(30));
    if (!changed || !board.wait_for("rec file /mnt/mmcblk0p1/data/", *changed, 1, Seconds(30))) {
        benchreport::emit_missing(kId, kFigure, "the recorder did not enter parking mode");
        return;
    }
    share_row(kId, kFigure, board, kParkingSeconds, "one frame a second from each camera");
}

void bench_halt() {
    const char* kId = "halt_share";
    const char* kFigure = "error halt: the recorder's share of one core";
    Board board("halt");
    if (!board.boot({"--duration", "300"})) {
        benchreport::emit_missing(kId, kFigure, "the board did not start recording");
        return;
    }
    board.act("camera fail front busy");
    if (!board.wait_for("error halt, code", 0, 1, Seconds(60))) {
        benchreport::emit_missing(kId, kFigure, "the recorder did not enter the error halt");
        return;
    }
    share_row(kId, kFigure, board, kHaltSeconds, "front camera failed (halt code 1)");
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::pair<std::string, void (*)()>> rows = {
        {"cpu", bench_cpu},       {"fps", bench_fps},         {"lost", bench_lost},
        {"impact", bench_impact}, {"parking", bench_parking}, {"halt", bench_halt},
    };
    std::set<std::string> wanted(argv + 1, argv + argc);
    for (const auto& w : wanted) {
        if (std::none_of(rows.begin(), rows.end(), [&](const auto& r) { return r.first == w; })) {
            std::fprintf(stderr, "bench_board: unknown row %s (cpu fps lost impact parking halt)\n",
                         w.c_str());
            return 2;
        }
    }
    for (const auto& [name, run] : rows) {
        if (wanted.empty() || wanted.count(name)) run();
    }
    return 0;
}
