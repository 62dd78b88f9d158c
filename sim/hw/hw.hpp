// Register-level hardware models of the simulated board: the framework.
//
// A model is written like a QEMU device: a class derived from hw::Device with a state struct, a
// register read/write handler for the address range it owns, output lines, and a reset.
//
//   class Adc : public hw::Device {
//   public:
//       Adc() : Device("s3c2410-adc"), mmio_(hw::map_mmio(0x58000000, 0x20, *this)) {}
//       uint32_t read(uint32_t offset, unsigned size) override;          // offset from 0x58000000
//       void write(uint32_t offset, uint32_t value, unsigned size) override;
//       void reset() override { state_ = {}; conversion_.cancel(); }
//   private:
//       struct State { uint32_t adccon = 0x3FC4; ... } state_;
//       hw::Timer conversion_{[this] { finish_conversion(); }};
//       hw::MmioMapping mmio_;
//   };
//
// Rules every model follows:
//   - One machine lock serialises all of the hardware. Register handlers, line and pin callbacks,
//     timer callbacks and reset() always run with it held, so a model needs no lock of its own
//     for its state. A model that has a thread of its own (or the board, driving an input from
//     its scenario) takes hw::MachineGuard before it touches any model. The lock is recursive: a
//     handler may call other models directly.
//   - A model never calls the simulated kernel (it is the hardware): it talks to the kernel only
//     through registers and interrupt lines. The kernel takes the machine lock while it holds
//     its own "interrupts off" lock, never the other way round.
//   - Never block or do long work with the lock held (no sleeping, no file I/O of any size, no
//     JPEG encoding): prepare outside, then take the lock and publish. Register handlers are
//     called from process context and from interrupt handlers alike.
//   - Time: hw::Timer calls back after a delay (on the hardware clock thread, under the machine
//     lock). Use it for conversions, transfers, frame rates.
//   - Output lines: hw::Line (an interrupt request, a chip's ready output) that other models or
//     the board connect to. Interrupt sources into the S3C2410 are its GPIO pins (external
//     interrupts EINT0..23: drive the pin, see s3c2410_gpio.hpp) and the internal sources of
//     its interrupt controller (s3c2410_intc.hpp).
//   - reset() returns the model to its power-on state; the board calls hw::reset_all() at every
//     power-on (boot and reboot). Construction maps the model's registers (keep the
//     hw::MmioMapping as a member: it unmaps in its destructor).
//   - Log what a person watching the board wants to know (a mode change, a reset, a fault), with
//     hw::log(), never per register access.
//
// A model of another chip on the board puts its file pair in sim/hw/ (one device per file); every
// sim/hw/*.cpp is built into the `simhw` library. Extra libraries go in sim/hw/<name>.cmake
// (for example `target_link_libraries(simhw PRIVATE JPEG::JPEG)`).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace hw {

// ---- The machine lock ------------------------------------------------------------------------

std::recursive_mutex& machine_lock();
using MachineGuard = std::lock_guard<std::recursive_mutex>;

// ---- Devices and the physical address space --------------------------------------------------

class Device {
  public:
    explicit Device(std::string name);
    virtual ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    const std::string& name() const { return name_; }

    // A register access of `size` bytes (1, 2 or 4) at `offset` from the start of the mapping.
    virtual uint32_t read(uint32_t offset, unsigned size) = 0;
    virtual void write(uint32_t offset, uint32_t value, unsigned size) = 0;
    // Back to the power-on state.
    virtual void reset() {}

  private:
    std::string name_;
};

// A device's claim on [base, base + size) of the physical address space; unmaps when destroyed.
class MmioMapping {
  public:
    MmioMapping() = default;
    MmioMapping(uint32_t base, uint32_t size, Device* device);
    MmioMapping(MmioMapping&& other) noexcept;
    MmioMapping& operator=(MmioMapping&& other) noexcept;
    ~MmioMapping();

    uint32_t base() const { return base_; }
    uint32_t size() const { return size_; }

  private:
    void release();
    uint32_t base_ = 0;
    uint32_t size_ = 0;
    Device* device_ = nullptr;
};

// Maps `device` at `base`. Overlapping an existing mapping is a programming error (aborts).
[[nodiscard]] MmioMapping map_mmio(uint32_t base, uint32_t size, Device& device);

// The bus: an access to a physical address, as the processor makes it (the kernel's register
// accessors come here). An address no device owns reads as 0 and is logged once per page.
uint32_t mmio_read(uint32_t phys, unsigned size);
void mmio_write(uint32_t phys, uint32_t value, unsigned size);
// The device that owns `phys`, or nullptr (for diagnostics).
const Device* device_at(uint32_t phys);

// Resets every live device (power-on).
void reset_all();

// ---- Lines -----------------------------------------------------------------------------------

// An output line of a model (an interrupt request, a chip's status output). Listeners are
// called, under the machine lock, on every change of level.
class Line {
  public:
    explicit Line(bool initial = false) : level_(initial) {}
    void connect(std::function<void(bool level)> listener);
    void set(bool level);
    void raise() { set(true); }
    void lower() { set(false); }
    // A short pulse: high, then low again.
    void pulse();
    bool level() const { return level_; }

  private:
    bool level_;
    std::vector<std::function<void(bool)>> listeners_;
};

// ---- Time ------------------------------------------------------------------------------------

using Clock = std::chrono::steady_clock;

// A one-shot callback at a point in time, run on the hardware clock thread with the machine lock
// held. Arming an armed timer moves it. Cancelling (or destroying) it under the machine lock
// guarantees that the callback does not run afterwards.
class Timer {
  public:
    explicit Timer(std::function<void()> callback);
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    void arm_at(Clock::time_point when);
    void arm_after(std::chrono::nanoseconds delay) { arm_at(Clock::now() + delay); }
    void cancel();
    bool armed() const;

  private:
    friend class Scheduler;
    std::function<void()> callback_;
    uint64_t id_;
};

// ---- The processor's interrupt input ---------------------------------------------------------

// The interrupt controller drives the processor's IRQ input through this; the simulated kernel
// installs the receiver when it boots. Called under the machine lock; the receiver must only
// note the level and wake its thread.
void set_cpu_irq_receiver(std::function<void(bool level)> receiver);
void set_cpu_irq(bool level);
bool cpu_irq_level();

// ---- Log -------------------------------------------------------------------------------------

// Where model messages go (one line per call, no newline). Default: stderr. The simulated
// kernel's set_console() points it at the board's console too.
void set_log_sink(std::function<void(std::string_view line)> sink);
void log(std::string_view line);
void logf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace hw
