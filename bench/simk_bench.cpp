// The simulated board's processor and bus: register access costs, how late a kernel timer runs
// after its expiry, how long an edge on a pin takes to reach its interrupt handler, and the cost
// of a user copy.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "hw.hpp"
#include "s3c2410.hpp"
#include "simk.hpp"

extern "C" {
#include <asm/arch/regs-gpio.h>
#include <asm/io.h>
#include <asm/irq.h>
#include <linux/interrupt.h>
#include <linux/timer.h>
}

namespace {

using Clock = std::chrono::steady_clock;

struct Powered {
    Powered() {
        simk::set_console([](std::string_view) {});
        hw::reset_all();
        simk::boot();
    }
    ~Powered() {
        simk::shutdown();
        simk::set_console(nullptr);
    }
    hw::S3c2410 soc;
};

void BM_BusRead(benchmark::State& state) {
    Powered board;
    for (auto _ : state) benchmark::DoNotOptimize(hw::mmio_read(0x56000054, 4));
}
BENCHMARK(BM_BusRead);

void BM_KernelAccessorRead(benchmark::State& state) {
    Powered board;
    for (auto _ : state) benchmark::DoNotOptimize(__raw_readl(S3C2410_GPFDAT));
}
BENCHMARK(BM_KernelAccessorRead);

std::atomic<int64_t> fired_ns{0};

void note_fire(unsigned long) {
    fired_ns = Clock::now().time_since_epoch().count();
}

// Lateness of a timer: from the moment jiffies reaches its expiry to the start of its function.
void BM_TimerLateness(benchmark::State& state) {
    Powered board;
    struct timer_list t;
    setup_timer(&t, note_fire, 0);
    double total_us = 0;
    for (auto _ : state) {
        fired_ns = 0;
        // Catch the start of a tick; the timer is due exactly one tick later.
        const unsigned long now = simk::jiffies();
        while (simk::jiffies() == now) {
        }
        const auto tick_start = Clock::now();
        mod_timer(&t, now + 2);
        while (fired_ns.load() == 0) std::this_thread::yield();
        const auto due = tick_start + std::chrono::milliseconds(1000 / HZ);
        const auto fired = Clock::time_point(Clock::duration(fired_ns.load()));
        total_us += std::chrono::duration<double, std::micro>(fired - due).count();
    }
    del_timer_sync(&t);
    state.counters["us_after_expiry"] = total_us / static_cast<double>(state.iterations());
}
BENCHMARK(BM_TimerLateness)->Iterations(20)->Unit(benchmark::kMillisecond);

std::atomic<int64_t> handled_ns{0};

irqreturn_t note_irq(int, void*) {
    handled_ns = Clock::now().time_since_epoch().count();
    return IRQ_HANDLED;
}

// From a falling edge driven on EINT16 to the start of its handler.
void BM_InterruptLatency(benchmark::State& state) {
    Powered board;
    const unsigned pin = hw::gpio_pin('G', 8);
    static int cookie;
    board.soc.gpio.drive(pin, true);
    request_irq(IRQ_EINT16, note_irq, IRQF_DISABLED, "bench", &cookie);
    set_irq_type(IRQ_EINT16, IRQT_FALLING);
    double total_us = 0;
    for (auto _ : state) {
        handled_ns = 0;
        const auto start = Clock::now();
        board.soc.gpio.drive(pin, false);
        while (handled_ns.load() == 0) std::this_thread::yield();
        total_us += std::chrono::duration<double, std::micro>(
                        Clock::time_point(Clock::duration(handled_ns.load())) - start)
                        .count();
        board.soc.gpio.drive(pin, true);
    }
    free_irq(IRQ_EINT16, &cookie);
    state.counters["latency_us"] = total_us / static_cast<double>(state.iterations());
}
BENCHMARK(BM_InterruptLatency)->Iterations(200);

void BM_CopyToUser4k(benchmark::State& state) {
    Powered board;
    static char src[4096];
    static char dst[4096];
    for (auto _ : state) {
        benchmark::DoNotOptimize(simk::copy_to_user(reinterpret_cast<uintptr_t>(dst), src, 4096));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 4096);
}
BENCHMARK(BM_CopyToUser4k);

}  // namespace

BENCHMARK_MAIN();
