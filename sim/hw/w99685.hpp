// W99685 camera/JPEG coprocessor, one per camera: rear at 0x10000000 (frame-ready interrupt on
// GPF0 = EINT0), front at 0x18000000 (GPF1 = EINT1); both reset by a rising edge on GPF2.
//
// Host window (256 bytes):
//   0x00, 0x02       16-bit LCD bypass: controller register select, register data (after
//                    register 0x22 is selected, pixel words into the LCD's 240 x 320 memory).
//   0x10 + 2n        8-bit host registers n = 0..7: 0 data port (512-byte blocks), 2..5 the
//                    parameters P0..P3 and the reply bytes, 6 the sub-command, 7 command (write)
//                    and status (read).
// Status: bit 7 busy while a command runs; data ready (status & 0x88 == 0x08) while a block
// transfer has bytes to move; 0x50 idle once the program runs; 0x00 in the boot loader.
//
// Life of the chip: after power-on or a rising edge on its reset line it sits in its boot
// loader (the program is lost). The unlock sequence opens the download: 4-byte records (bytes at
// 0x16, 0x14, 0x12, 0x10, committed by 0x1E := 0) and the start (0x1C, 0x1A, 0x18 := 0xFF, then
// 0x1E := 0). The boot loader checks the image (w99685_program.hpp) and runs it, or refuses a
// damaged one and stays in the boot loader.
//
// Commands of the program: group 0x57 (camera, encoder, sensor bus, LCD; the codes of the
// driver's table) and group 0x58 (internal register bytes; block moves to and from the internal
// memory for the host-interface tests). Captures: a snapshot takes the sensor's next frame (the
// sensor runs at the frame rate, 15 a second by default; 0 = unlimited) and encodes it on the
// model's own thread; the frame-ready interrupt is a low pulse on the chip's interrupt pin. A
// "fast" snapshot returns at once; a plain one keeps the chip busy until the frame is encoded.
// The frame length query then starts the block transfer of the frame. Without a powered sensor
// no frame ever comes.
//
// Faults for the scenario: no interrupt, busy for ever, garbage frame length.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
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
#include "w99685_program.hpp"

namespace hw {

class W99685 : public Device {
  public:
    static constexpr uint32_t kRearBase = 0x10000000;
    static constexpr uint32_t kFrontBase = 0x18000000;
    static constexpr uint32_t kWindowSize = 0x100;
    static constexpr double kDefaultFrameRate = 15.0;
    static constexpr size_t kLcdPixels = 240 * 320;

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

    struct CommandFrame {
        uint8_t cmd;
        uint8_t sub;
        std::array<uint8_t, 4> p;
    };

    struct Stats {
        uint64_t frames = 0;  // frames captured and encoded
        double fps = 0;       // over the last frames
        bool running = false;
        uint8_t major = 0, minor = 0;
        std::string last_error;
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
    void set_fault(Fault fault);  // kNone: the camera recovers
    Fault fault() const;
    Stats stats() const;
    const Config& config() const { return config_; }

    // ---- Inspection (tests, diagnostics) ----------------------------------------------------
    std::vector<CommandFrame> command_log() const;
    void clear_command_log();
    uint64_t parameter_writes() const;       // writes to host registers 2..7
    uint64_t data_bytes_read() const;        // bytes the host read from the data port
    std::vector<uint8_t> bitstream() const;  // bytes received after the last bitstream command
    uint8_t internal_byte(uint16_t address) const;
    uint16_t lcd_register(uint8_t reg) const;
    uint16_t lcd_pixel(size_t index) const;
    uint64_t lcd_pixel_writes() const;
    uint8_t qp() const;
    uint8_t image_format() const;
    uint8_t jpeg_format() const;
    unsigned resets() const;  // chip resets by the reset line
    bool sensor_powered() const;
    // Starts a block transfer of `bytes` to the host, as a command would (tests of the block read).
    void load_data_for_host(std::vector<uint8_t> bytes);
    // The next command answers with these reply bytes instead of its own (tests of replies).
    void force_next_reply(std::array<uint8_t, 4> reply);

  private:
    enum class State { kBoot, kDownload, kStarting, kRunning };
    enum class Phase { kNone, kOut, kIn };
    enum class InTarget { kBitstream, kMemory };

    struct Frame {
        std::vector<uint8_t> jpeg;
        uint64_t number = 0;
        unsigned width = 0, height = 0;
    };
    struct Job {
        uint64_t generation = 0;
        Clock::time_point at;
        camera_scene::Params params;
        bool publish = true;  // false: only refresh the cache
    };

    // Host registers and the boot loader.
    void update_state(Clock::time_point now);
    uint8_t status(Clock::time_point now);
    bool track_unlock(uint32_t offset, uint8_t value);
    void boot_write(uint32_t offset, uint8_t value);
    void start_program();
    void lcd_write(uint32_t offset, uint16_t value);

    // Commands.
    void command(uint8_t cmd, Clock::time_point now);
    void camera_command(uint8_t sub, Clock::time_point now);
    void internal_command(uint8_t sub);
    void sensor_bus_write();
    void sensor_bus_read();
    void set_port(unsigned port, bool level);
    void reply(uint8_t p0, uint8_t p1, uint8_t p2, uint8_t p3);
    uint8_t param(unsigned n) const { return regs_[2 + n]; }

    // Data port.
    uint8_t data_read();
    void data_write(uint8_t value);
    void start_out(std::shared_ptr<const std::vector<uint8_t>> bytes, size_t length);

    // Captures.
    bool sensor_ready() const;
    void start_capture(bool blocking, Clock::time_point now);
    camera_scene::Params scene_params() const;
    void publish(std::shared_ptr<const Frame> frame);
    void chip_reset(const char* why);
    void worker();
    std::shared_ptr<const Frame> make_frame(const camera_scene::Params& params) const;

    S3c2410Gpio& gpio_;
    const Config config_;
    int reset_watch_ = 0;

    // ---- Everything below is under the machine lock ----
    State state_ = State::kBoot;
    Clock::time_point start_at_{};
    std::array<uint8_t, 8> regs_{};  // host registers (index 7: last command written)
    size_t unlock_pos_ = 0;
    std::vector<uint8_t> image_;
    w99685_program::Version version_{};
    Clock::time_point busy_until_{};
    bool busy_hold_ = false;  // a plain snapshot until its frame is ready
    Fault fault_ = Fault::kNone;
    bool stuck_ = false;  // busy for ever (fault)

    Phase phase_ = Phase::kNone;
    std::shared_ptr<const std::vector<uint8_t>> out_bytes_;
    size_t out_length_ = 0;  // whole blocks
    size_t out_pos_ = 0;
    InTarget in_target_ = InTarget::kBitstream;
    size_t in_expected_ = 0;
    size_t in_pos_ = 0;
    uint32_t in_address_ = 0;
    std::vector<uint8_t> bitstream_;

    std::vector<uint8_t> regfile_ = std::vector<uint8_t>(0x10000);
    std::vector<uint8_t> memory_ = std::vector<uint8_t>(0x100000);

    // Program settings.
    uint8_t jpeg_format_ = 0, image_format_ = 0x20, qp_ = 4;
    uint8_t op_mode_ = 0, op_format_ = 0, op_on_ = 0, preview_ = 0;
    uint8_t sensor_address_ = 0, sensor_type_ = 0, sensor_format_ = 0;
    bool port30_ = false, port31_ = false;

    std::unique_ptr<ImageSensor> sensor_;
    SensorKind sensor_kind_;

    // LCD controller behind the bypass.
    uint16_t lcd_index_ = 0;
    std::array<uint16_t, 256> lcd_regs_{};
    std::vector<uint16_t> gram_ = std::vector<uint16_t>(kLcdPixels);
    size_t gram_addr_ = 0;
    uint64_t lcd_pixel_writes_ = 0;

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
    uint64_t parameter_writes_ = 0;
    uint64_t data_bytes_read_ = 0;

    // ---- The frame thread ----
    std::atomic<uint64_t> generation_{0};
    std::mutex jobs_mutex_;
    std::condition_variable jobs_cv_;
    std::deque<Job> jobs_;
    bool stop_ = false;
    std::thread thread_;

    MmioMapping mmio_;
};

}  // namespace hw
