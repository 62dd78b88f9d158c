// Frames fetched per second per camera minor, with the W99685 models' frame rate unlimited (each
// capture is served from the frame the model encoded last), so that what is measured is the
// driver's capture cycle (command frames, interrupt, 512-byte block read of the JPEG) and the
// device transport, not the camera.
//
//   BM_FrameFetch/MINOR                  in-process: the file operation as the board calls it
//   BM_FrameFetchThroughTransport/MINOR  a program's read() through the device socket
//   BM_FrameFetchBothMinors              both minors at once through the transport (one thread
//                                        each, as the recorder's two capture threads)
//   BM_ModelFrame                        the coprocessor model alone: a frame of its picture
//                                        rendered and encoded, as its own thread makes each one
//
// After the table, the row of the benchmark table: frames fetched per second per minor through
// the driver and the transport (the slower minor), against the model's own output rate.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "camera_scene.hpp"
#include "devserver.hpp"
#include "hw.hpp"
#include "os.h"
#include "report.hpp"
#include "s3c2410.hpp"
#include "sim_dev.h"
#include "simk.hpp"
#include "simk_kernel.hpp"
#include "w99685.hpp"

namespace {

constexpr unsigned kMajor = 240;

// A powered board with camcore loaded and both cameras open, once for all benchmarks.
class Bench {
  public:
    Bench() {
        simk::set_console([](std::string_view) {});
        hw::reset_all();
        rear.set_frame_rate(0);
        front.set_frame_rate(0);
        simk::boot();
        std::string error;
        if (simk::insmod(CAMCORE_PATH, {"device_type=1"}, error) != 0) {
            std::fprintf(stderr, "insmod camcore: %s\n", error.c_str());
            std::abort();
        }
        for (unsigned minor = 0; minor < 2; ++minor) {
            if (simk::dev_open(kMajor, minor, O_RDWR, task, &files[minor]) != 0) std::abort();
        }
    }
    ~Bench() {
        for (int fd : fds) {
            if (fd >= 0) os::simdev::close(fd);
        }
        server.stop();
        for (simk::OpenFile* f : files) {
            if (f != nullptr) simk::dev_release(f, task);
        }
        simk::rmmod("camcore");
        simk::shutdown();
        simk::set_console(nullptr);
        if (!dir.empty()) std::filesystem::remove_all(dir);
    }

    // Each minor is opened once at a time, as the recorder does (an open of minor 0 resets both
    // chips, and a second open of a minor gets no interrupt): the in-process files are closed
    // before the program-side ones are opened.
    void use_transport() {
        if (fds[0] >= 0) return;
        for (simk::OpenFile*& f : files) {
            simk::dev_release(f, task);
            f = nullptr;
        }
        char tmpl[] = "/tmp/camcore-bench-XXXXXX";
        dir = ::mkdtemp(tmpl);
        std::filesystem::create_directories(dir / "dev");
        std::ofstream(dir / "dev/.nodes") << "/dev/winbond0 c 240 0\n/dev/winbond1 c 240 1\n";
        std::string error;
        if (!server.listen((dir / "dev.sock").string(), error)) std::abort();
        server.set_powered(true);
        os::simdev::init(dir.string(), (dir / "dev.sock").string());
        for (unsigned minor = 0; minor < 2; ++minor) {
            const std::string path = "/dev/winbond" + std::to_string(minor);
            fds[minor] = os::simdev::open(path, O_RDWR | O_NONBLOCK);
            if (fds[minor] < 0) std::abort();
        }
    }

    hw::S3c2410 soc;
    hw::W99685 rear{soc.gpio, hw::W99685::rear_config(), hw::SensorKind::kMt9v111};
    hw::W99685 front{soc.gpio, hw::W99685::front_config(), hw::SensorKind::kOv7725};
    simk::Task task{::getpid()};
    simk::OpenFile* files[2] = {nullptr, nullptr};
    std::filesystem::path dir;
    simboard::SimkKernel kernel;
    simboard::DeviceServer server{kernel, {}};
    int fds[2] = {-1, -1};
};

Bench* bench = nullptr;

void count_frames(benchmark::State& state, long bytes, int64_t frames) {
    state.SetItemsProcessed(frames);
    state.SetBytesProcessed(bytes);
    state.counters["frame_bytes"] = frames ? static_cast<double>(bytes) / frames : 0;
}

void BM_FrameFetch(benchmark::State& state) {
    simk::OpenFile* f = bench->files[state.range(0)];
    if (f == nullptr) {
        state.SkipWithError("the in-process files were closed for the transport runs");
        return;
    }
    long bytes = 0;
    int64_t frames = 0;
    for (auto _ : state) {
        const long n = simk::dev_read(f, 0, 0, bench->task);
        if (n <= 0) {
            state.SkipWithError("no frame");
            break;
        }
        bytes += n;
        ++frames;
    }
    count_frames(state, bytes, frames);
}
BENCHMARK(BM_FrameFetch)->Arg(0)->Arg(1)->UseRealTime()->Repetitions(3)->ReportAggregatesOnly();

void BM_FrameFetchThroughTransport(benchmark::State& state) {
    bench->use_transport();
    const int fd = bench->fds[state.range(0)];
    long bytes = 0;
    int64_t frames = 0;
    for (auto _ : state) {
        const ssize_t n = os::simdev::read(fd, nullptr, 0);
        if (n <= 0) {
            state.SkipWithError("no frame");
            break;
        }
        bytes += n;
        ++frames;
    }
    count_frames(state, bytes, frames);
}
BENCHMARK(BM_FrameFetchThroughTransport)
    ->Arg(0)
    ->Arg(1)
    ->UseRealTime()
    ->Repetitions(3)
    ->ReportAggregatesOnly();

void BM_FrameFetchBothMinors(benchmark::State& state) {
    if (state.thread_index() == 0) bench->use_transport();
    const int fd = bench->fds[state.thread_index() % 2];
    long bytes = 0;
    int64_t frames = 0;
    for (auto _ : state) {
        const ssize_t n = os::simdev::read(fd, nullptr, 0);
        if (n <= 0) {
            state.SkipWithError("no frame");
            break;
        }
        bytes += n;
        ++frames;
    }
    count_frames(state, bytes, frames);
}
BENCHMARK(BM_FrameFetchBothMinors)->Threads(2)->UseRealTime();

void BM_ModelFrame(benchmark::State& state) {
    // The front camera's picture at the model's quantiser after reset (4, quality 60).
    hw::camera_scene::Params p;
    p.label = "FRONT";
    p.sensor = "OV7725";
    p.quality = 60;
    int64_t frames = 0;
    for (auto _ : state) {
        p.frame = static_cast<uint64_t>(frames);
        benchmark::DoNotOptimize(hw::camera_scene::render_jpeg(p));
        ++frames;
    }
    state.SetItemsProcessed(frames);
}
BENCHMARK(BM_ModelFrame)->UseRealTime()->Repetitions(3)->ReportAggregatesOnly();

// The console table as usual, and the frames a second of every run by name (the median of the
// repetitions where there are some).
class Rates : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            const auto it = r.counters.find("items_per_second");
            if (r.error_occurred || it == r.counters.end()) continue;
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name != "median") continue;
            std::string name = r.benchmark_name();
            const std::string suffix = "_median";
            if (name.size() > suffix.size() && name.ends_with(suffix)) {
                name.resize(name.size() - suffix.size());
            }
            const size_t repeats = name.find("/repeats:");
            if (repeats != std::string::npos) {
                name.erase(repeats, name.find('/', repeats + 1) - repeats);
            }
            rate[name] = it->second;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double get(const std::string& name) const {
        const auto it = rate.find(name);
        return it == rate.end() ? NAN : it->second;
    }
    std::map<std::string, double> rate;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    bench = new Bench;
    Rates rates;
    benchmark::RunSpecifiedBenchmarks(&rates);
    delete bench;
    benchmark::Shutdown();

    const double minor0 = rates.get("BM_FrameFetchThroughTransport/0/real_time");
    const double minor1 = rates.get("BM_FrameFetchThroughTransport/1/real_time");
    const double model = rates.get("BM_ModelFrame/real_time");
    const double inProcess =
        std::min(rates.get("BM_FrameFetch/0/real_time"), rates.get("BM_FrameFetch/1/real_time"));
    if (std::isnan(minor0) || std::isnan(minor1) || std::isnan(model)) return 0;  // filtered
    benchreport::Row row{
        .id = "frame_fetch_transport",
        .figure = "frame fetch per minor through driver and transport",
        .value = std::min(minor0, minor1),
        .unit = "frames/s",
        .anchor = "the coprocessor model alone: its picture rendered and encoded",
        .anchorValue = model,
        .anchorUnit = "frames/s",
        .goal = benchreport::Goal::RatioAtLeast,
        .bound = 0.9,
        .note = "minor 0 " + benchreport::format(minor0) + ", minor 1 " +
                benchreport::format(minor1) + " frames/s; the driver in-process (no transport) " +
                benchreport::format(inProcess) + " frames/s",
        .extra = {{"minor0", minor0}, {"minor1", minor1}, {"in_process", inProcess}},
    };
    benchreport::emit(row);
    return 0;
}
