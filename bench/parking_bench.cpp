// The recorder in parking mode: what one timer expiry costs (two frame fetches, two video records,
// file changes included), and the processor share of the whole recorder while it parks at three
// frames a second with every worker thread running. The cameras are replaced by a fetch that
// fills the frame area at once, so the figures are the recorder's own, without the board.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "board_root.hpp"
#include "capture.h"
#include "config.h"
#include "recfile.h"
#include "startup.h"

namespace {

constexpr ssize_t kFrameLength = 30000;  // a typical VGA JPEG

std::vector<uint8_t> frame_area(FRAME_AREA_SIZE, 0);

ssize_t InstantFrame(int device) {
    uint8_t* area = frame_area.data() + (device == REAR_CAMERA ? REAR_FRAME_OFFSET : 0);
    std::fill(area, area + kFrameLength, static_cast<uint8_t>(device));
    return kFrameLength;
}

// A parking recorder on a fresh board root: console quiet, a file open, parking mode.
struct ParkedRecorder {
    ParkedRecorder() {
        std::fflush(stdout);
        saved_stdout = dup(STDOUT_FILENO);
        std::freopen("/dev/null", "w", stdout);
        std::filesystem::create_directories(root.host("/mnt/mmcblk0p1/data"));
        g_buf = frame_area.data();
        g_frameFetch = InstantFrame;
        RecLock hold;
        start_record();
        g_drMode = 1;
        g_drEv = 0;
        notify_capture_state();
    }
    ~ParkedRecorder() {
        {
            RecLock hold;
            stop_record();
        }
        std::fflush(stdout);
        dup2(saved_stdout, STDOUT_FILENO);
        close(saved_stdout);
    }
    testsupport::BoardRoot root;
    int saved_stdout = -1;
};

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_ParkingExpiry(benchmark::State& state) {
    ParkedRecorder recorder;
    for (auto _ : state) ParkingCapture();
    state.SetItemsProcessed(state.iterations());
}
// 500 expiries write about 30 MB: one file change included, the disk not flooded.
BENCHMARK(BM_ParkingExpiry)->Iterations(500)->Unit(benchmark::kMicrosecond);

// Runs once per process: the worker threads and the timer, once started, stay for its lifetime.
void BM_ParkingRecorderShare(benchmark::State& state) {
    ParkedRecorder recorder;
    g_fpsParking = 1;
    block_async_signals();  // as main does: only this thread takes the timer's signal
    start_workers();
    initSignal();
    unblock_async_signals();
    for (auto _ : state) {
        const double cpuBefore = ProcessCpuSeconds();
        const auto wallBefore = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(3));
        const double cpu = ProcessCpuSeconds() - cpuBefore;
        const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wallBefore;
        state.counters["cpu_percent_of_one_core"] = 100.0 * cpu / wall.count();
    }
    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
}
BENCHMARK(BM_ParkingRecorderShare)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
