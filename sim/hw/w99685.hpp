// W99685 camera/JPEG coprocessor, one per camera: rear at 0x10000000 (frame-ready interrupt on
// GPF0 = EINT0), front at 0x18000000 (GPF1 = EINT1); both reset by a rising edge on GPF2.
//
// Host window (256 bytes):
//   0x00, 0x02       16-bit LCD bypass (w99685_lcd.hpp).
//   0x10 + 2n        8-bit host registers n = 0..7: 0 data port (512-byte blocks), 2..5 the
//                    parameters P0..P3 and the reply bytes, 6 the sub-command, 7 command (write)
//                    and status (read).
// Status: 0x00 in the boot loader; once the program runs 0x50, with bit 7 (busy) while a command
// runs and bit 3 while a block transfer is on. Bit 3 with bit 7 clear (0x58) is "data ready":
// the data port takes or gives the next block; bit 3 with bit 7 set (0xD8) is a block under way
// (the port's 512-byte buffer being filled or emptied), 0xD0 a command under way.
//
// Life of the chip: after power-on or a rising edge on its reset line it sits in its boot
// loader (the program is lost). The unlock sequence opens the download: 4-byte records (bytes at
// 0x16, 0x14, 0x12, 0x10, committed by 0x1E := 0) and the start (0x1C, 0x1A, 0x18 := 0xFF, then
// 0x1E := 0). The boot loader checks the image (w99685_program.hpp) and runs it, or refuses a
// damaged one and stays in the boot loader.
//
// Commands of the program: group 0x57 (camera, encoder, sensor bus, LCD; the codes of the
// driver's table) and group 0x58 (internal register bytes; block moves to and from the internal
// memory for the host-interface tests). A command runs from the write of register 7 until busy
// clears, as long as the chip takes for it (Timing): a setting briefly, a sensor-bus transfer the
// bytes it moves on that bus, a plain snapshot until its frame is encoded. A command written while
// the chip is busy is ignored. Replies land in registers 2..5 when busy clears; before that they
// still read what the host wrote there. Every block of a transfer takes the port a while to fill
// (reads) or empty (writes); a data-port read before the block is ready gets 0xFF and moves
// nothing, a write then is lost. Bytes of a block the host leaves unread stay in the port and come
// out first in the next transfer.
//
// Sensor bus (0x0C write, 0x0D read; P3 the device's bus address, P2 the register, P1 (8-bit) or
// P1:P0 (16-bit) the value): SetSensorSlaveAddress (0x7E) declares the protocol of a device,
// type 1 SCCB with 8-bit values, type 0 I2C with 16-bit values, the protocol of any device not
// declared. Port 31 powers the sensor and port 30 is its reset (low active): the sensor answers
// only after a reset of at least Timing::reset_pulse with its supply settled, and
// Timing::sensor_wakeup after it; a shorter pulse leaves it unanswering until the next.
//
// Captures: a snapshot takes the sensor's next frame (the sensor runs at the frame rate, 15 a
// second by default; 0 = unlimited) and encodes it on the model's own thread. There is a frame
// only in operating mode 0 with JPEG output (SetOpMode(0, 2, onoff)), with a known image format
// (0x04 160 x 120, 0x08 320 x 240, 0x20 640 x 480, 0x40 640 x 240) and JPEG format (0 4:2:2,
// 1 4:2:0), from a sensor that answers, with an input format (0x7F; w99685_regs.hpp) that frames
// on the sensor's sync. The sensor's registers shape the picture (size, orientation, test
// pattern); an input format with the wrong component order or clock edge garbles it. With onoff 1
// the frame-ready interrupt is a low pulse on the chip's interrupt pin. A "fast" snapshot returns
// at once; a plain one keeps the chip busy until the frame is encoded. The frame length query then
// starts the block transfer of the frame.
//
// Faults for the scenario: no interrupt, busy for ever, garbage frame length.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "camera_scene.hpp"
#include "hw.hpp"
#include "image_sensor.hpp"
#include "s3c2410_gpio.hpp"
#include "w99685_lcd.hpp"
#include "w99685_program.hpp"

namespace hw {

class W99685 : public Device {
  public:
    static constexpr uint32_t kRearBase = 0x10000000;
    static constexpr uint32_t kFrontBase = 0x18000000;
    static constexpr uint32_t kWindowSize = 0x100;
    static constexpr double kDefaultFrameRate = 15.0;

    struct Config {
        std::string name;   // "rear", "front": the model's name and its log prefix
        std::string label;  // written into the frames: "REAR", "FRONT"
        uint32_t base = 0;
        unsigned irq_pin = 0;
        unsigned reset_pin = 0;
        bool rear = false;
    };
    static Config rear_config();
    static Config front_config();

    enum class Fault { kNone, kNoInterrupt, kBusy, kBusyAfterCommand, kGarbageLength };

    // How long the chip takes. The defaults are the chip's: a 400 kHz sensor bus, a port that
    // moves a block in about 10 us, a sensor that wants a millisecond of reset.
    struct Timing {
        Clock::duration command = std::chrono::microseconds(10);  // a setting, a register byte
        Clock::duration sensor_bus_byte = std::chrono::microseconds(25);  // 9 bits at 400 kHz
        Clock::duration block = std::chrono::microseconds(10);  // one 512-byte block in the port
        Clock::duration supply_settle = std::chrono::milliseconds(1);  // port 31 to a valid reset
        Clock::duration reset_pulse = std::chrono::milliseconds(1);    // shortest reset on port 30
        Clock::duration sensor_wakeup = std::chrono::milliseconds(1);  // reset end to first answer
        Clock::duration snapshot_give_up = std::chrono::milliseconds(500);  // plain, no frame
    };

    struct CommandFrame {
        uint8_t cmd;
        uint8_t sub;
        std::array<uint8_t, 4> p;
    };

    // For the board's status line.
    struct Stats {
        uint64_t frames = 0;  // frames captured and encoded
        double fps = 0;       // over the last frames
        bool running = false;
        uint8_t major = 0, minor = 0;
        std::string last_error;
    };

    // The chip as a test or a diagnosis sees it.
    struct Snapshot {
        bool running = false;
        uint8_t status = 0;
        std::vector<CommandFrame> commands;  // commands run, oldest first (the last 8192)
        uint64_t ignored_commands = 0;       // written while busy
        uint64_t parameter_writes = 0;       // host writes to registers 2..7
        uint64_t data_bytes_read = 0;        // bytes the host took from the data port
        uint64_t early_data_reads = 0;       // data-port reads before the block was ready
        uint64_t lost_data_writes = 0;       // data-port writes the port did not take
        uint64_t leftover_transfers = 0;     // transfers begun behind bytes left in the port
        std::vector<uint8_t> bitstream;      // bytes received after the last bitstream command
        std::vector<uint8_t> internal;       // the 64 KiB of internal register bytes
        uint8_t qp = 0, image_format = 0, jpeg_format = 0;
        uint8_t op_mode = 0, op_output = 0;
        bool frame_interrupt = false;  // SetOpMode's onoff
        uint8_t input_format = 0;
        std::array<uint8_t, 256> bus_protocol{};  // by bus address (write form)
        bool sensor_answering = false;
        std::string capture_problem;  // why a snapshot would get no frame, "" if none
        unsigned resets = 0;          // chip resets by the reset line
        uint64_t frames = 0;
        W99685Lcd::State lcd;
    };

    W99685(S3c2410Gpio& gpio, Config config, SensorKind sensor);
    ~W99685() override;

    uint32_t read(uint32_t offset, unsigned size) override;
    void write(uint32_t offset, uint32_t value, unsigned size) override;
    void reset() override;  // power-on

    // ---- Board options and scenario (any thread; they take the machine lock) ----------------
    void set_sensor(SensorKind kind);  // replaces (or removes) the sensor at once
    SensorKind sensor() const;
    void set_frame_rate(double fps);  // 0: unlimited
    double frame_rate() const;
    // JPEG files that replace the synthetic scene (empty: the scene again).
    void set_jpeg_source(std::vector<std::vector<uint8_t>> frames);
    void set_fault(Fault fault);  // kNone: the camera recovers, a command held busy completes
    Fault fault() const;
    void set_timing(const Timing& timing);
    Timing timing() const;
    Stats stats() const;
    const Config& config() const { return config_; }

    // ---- Inspection and test hooks ----------------------------------------------------------
    Snapshot snapshot() const;
    void clear_command_log();
    // Starts a block transfer of `bytes` to the host, as a command would (tests of the block read).
    void load_data_for_host(std::vector<uint8_t> bytes);
    // The next command answers with these reply bytes instead of its own (tests of replies).
    void force_next_reply(std::array<uint8_t, 4> reply);

  private:
    enum class State { kBoot, kDownload, kStarting, kRunning };
    enum class InTarget { kBitstream, kMemory };
    enum class SensorState { kOff, kUnset, kAwake };

    struct Frame {
        std::vector<uint8_t> jpeg;
        uint64_t number = 0;
    };
    struct Job {
        uint64_t generation = 0;
        Clock::time_point at;
        camera_scene::Params params;
        bool publish = true;  // false: only refresh the cache
    };

    // Host registers, the boot loader, busy and replies (w99685.cpp).
    void progress(Clock::time_point now);
    bool busy(Clock::time_point now) const;
    uint8_t status(Clock::time_point now);
    uint8_t status_at(Clock::time_point now) const;
    bool track_unlock(uint32_t offset, uint8_t value);
    void boot_write(uint32_t offset, uint8_t value);
    void start_program();
    void chip_reset(const char* why);
    void command(uint8_t cmd, Clock::time_point now);
    void camera_command(uint8_t sub, Clock::time_point now);
    void internal_command(uint8_t sub, Clock::time_point now);
    void reply(uint8_t p0, uint8_t p1, uint8_t p2, uint8_t p3);
    void take(Clock::duration duration, Clock::time_point now);
    uint8_t param(unsigned n) const { return regs_[2 + n]; }
    std::array<uint8_t, 4> params() const { return {regs_[2], regs_[3], regs_[4], regs_[5]}; }

    // Sensor bus, port lines, the sensor's picture (w99685_sensor.cpp).
    void sensor_bus(bool write, Clock::time_point now);
    void set_port(unsigned port, bool level, Clock::time_point now);
    bool sensor_answering(Clock::time_point now) const;
    std::string pixel_problem(Clock::time_point now) const;
    std::string capture_problem(Clock::time_point now) const;
    camera_scene::Params scene_params() const;
    void note_problem(const std::string& problem);

    // Data port and captures (w99685_capture.cpp).
    uint8_t data_read();
    void data_write(uint8_t value, Clock::time_point now);
    void start_out(std::shared_ptr<const std::vector<uint8_t>> bytes, size_t length,
                   Clock::time_point now);
    void start_in(InTarget target, size_t length, Clock::time_point now);
    bool refill(Clock::time_point now);
    bool transfer_on() const;
    void start_capture(bool blocking, Clock::time_point now);
    Clock::time_point next_tick(Clock::time_point now, uint64_t& tick) const;
    void publish(std::shared_ptr<const Frame> frame);
    void preview_tick();
    void arm_preview();
    void worker();
    std::shared_ptr<const Frame> make_frame(const camera_scene::Params& params) const;

    S3c2410Gpio& gpio_;
    const Config config_;
    int reset_watch_ = 0;

    // ---- Everything below is under the machine lock ----
    Timing timing_;
    State state_ = State::kBoot;
    Clock::time_point start_at_{};
    std::array<uint8_t, 8> regs_{};  // host registers (index 7: last command written)
    size_t unlock_pos_ = 0;
    std::vector<uint8_t> image_;
    w99685_program::Version version_{};
    Clock::time_point busy_until_{};
    bool busy_hold_ = false;  // a plain snapshot until its frame is ready
    std::optional<std::array<uint8_t, 4>> pending_reply_;
    Fault fault_ = Fault::kNone;
    bool stuck_ = false;  // busy for ever (fault)

    // The data port: its buffer of one block, and where the next blocks come from or go.
    struct Port {
        std::array<uint8_t, 512> bytes{};
        size_t head = 0, tail = 0;  // the bytes not taken yet
        bool ready = false;         // seen ready since the block came in: no need to look again
        bool empty() const { return head == tail; }
        size_t size() const { return tail - head; }
        void clear() {
            head = tail = 0;
            ready = false;
        }
    } port_;
    Clock::time_point block_ready_at_{};
    std::shared_ptr<const std::vector<uint8_t>> out_bytes_;
    size_t out_pos_ = 0;
    size_t out_length_ = 0;  // whole blocks
    bool in_on_ = false;
    InTarget in_target_ = InTarget::kBitstream;
    size_t in_expected_ = 0;
    size_t in_pos_ = 0;
    uint32_t in_address_ = 0;
    std::vector<uint8_t> bitstream_;

    std::vector<uint8_t> regfile_ = std::vector<uint8_t>(0x10000);
    std::vector<uint8_t> memory_ = std::vector<uint8_t>(0x100000);

    // Program settings.
    uint8_t jpeg_format_ = 0, image_format_ = 0x20, qp_ = 4;
    uint8_t op_mode_ = 0xFF, op_output_ = 0;
    bool op_interrupt_ = false;
    uint8_t input_format_ = 0;
    std::array<uint8_t, 256> bus_protocol_{};
    bool port30_ = false, port31_ = false;

    std::unique_ptr<ImageSensor> sensor_;
    SensorKind sensor_kind_;
    SensorState sensor_state_ = SensorState::kOff;
    Clock::time_point power_at_{};
    Clock::time_point reset_low_at_{};
    Clock::time_point awake_at_{};

    W99685Lcd lcd_;
    Timer preview_timer_{[this] { preview_tick(); }};

    // Captures.
    double rate_ = kDefaultFrameRate;
    Clock::time_point epoch_ = Clock::now();
    std::shared_ptr<const Frame> held_;  // the frame the chip holds
    bool capture_pending_ = false;
    uint64_t next_number_ = 1;
    std::shared_ptr<const Frame> cache_;  // last frame, reused at an unlimited rate
    camera_scene::Params cache_params_;
    std::shared_ptr<const std::vector<std::vector<uint8_t>>> source_;
    uint64_t frames_ = 0;
    std::deque<Clock::time_point> frame_times_;
    std::string last_error_;
    unsigned resets_ = 0;

    // Inspection.
    std::optional<std::array<uint8_t, 4>> forced_reply_;
    std::deque<CommandFrame> log_;
    uint64_t ignored_commands_ = 0;
    uint64_t parameter_writes_ = 0;
    uint64_t data_bytes_read_ = 0;
    uint64_t early_data_reads_ = 0;
    uint64_t lost_data_writes_ = 0;
    uint64_t leftover_transfers_ = 0;

    // ---- The frame thread ----
    std::atomic<uint64_t> generation_{0};
    std::mutex jobs_mutex_;
    std::condition_variable jobs_cv_;
    std::deque<Job> jobs_;
    std::optional<camera_scene::Params> preview_job_;
    bool stop_ = false;
    std::thread thread_;

    MmioMapping mmio_;
};

}  // namespace hw
