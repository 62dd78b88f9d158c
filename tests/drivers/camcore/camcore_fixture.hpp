// A powered-on board for camcore: the S3C2410, the two W99685 coprocessors with their sensors,
// the kernel booted, console lines captured; camcore loaded with the test's parameters.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "hw.hpp"
#include "jpeg_decode.hpp"
#include "kernel_board.hpp"
#include "s3c2410.hpp"
#include "simk.hpp"
#include "w99685.hpp"

extern "C" {
#include "w99685.h"
}

namespace camtest {

constexpr unsigned kMajor = W99685_MAJOR;
constexpr size_t kArea = W99685_AREA_SIZE;
constexpr size_t kHalf = W99685_FRAME_SIZE;

struct BoardModels {
    BoardModels(hw::SensorKind rear_sensor, hw::SensorKind front_sensor)
        : rear(soc.gpio, hw::W99685::rear_config(), rear_sensor),
          front(soc.gpio, hw::W99685::front_config(), front_sensor) {}

    hw::S3c2410 soc;
    hw::W99685 rear;
    hw::W99685 front;
};

// The models, then the kernel booted on them.
class Board : public BoardModels, public testsupport::BootedKernel {
  public:
    Board(hw::SensorKind rear_sensor, hw::SensorKind front_sensor)
        : BoardModels(rear_sensor, front_sensor) {}
};

// A function of the loaded module, by its name.
template <typename F>
F* module_fn(const char* name) {
    void* handle = ::dlopen(CAMCORE_PATH, RTLD_NOW | RTLD_NOLOAD);
    EXPECT_NE(handle, nullptr) << "camcore is not loaded";
    if (handle == nullptr) return nullptr;
    void* fn = ::dlsym(handle, name);
    ::dlclose(handle);
    EXPECT_NE(fn, nullptr) << name;
    return reinterpret_cast<F*>(fn);
}
#define CAMCORE_FN(name) (*camtest::module_fn<decltype(name)>(#name))

// The board with camcore loaded (the module at `module`: camcore.so, or a test build).
class CamcoreTest : public ::testing::Test {
  protected:
    explicit CamcoreTest(hw::SensorKind rear_sensor = hw::SensorKind::kMt9v111,
                         hw::SensorKind front_sensor = hw::SensorKind::kOv7725,
                         std::string module = CAMCORE_PATH)
        : board(rear_sensor, front_sensor), module_(std::move(module)) {}

    void SetUp() override { load(params()); }
    void TearDown() override {
        for (simk::OpenFile* f : files_) simk::dev_release(f, task);
        files_.clear();
        if (loaded_) {
            EXPECT_EQ(simk::rmmod(std::filesystem::path(module_).stem().string()), 0);
        }
    }
    virtual std::vector<std::string> params() { return {"selftest_rounds=1"}; }

    void load(const std::vector<std::string>& p) {
        std::string error;
        ASSERT_EQ(simk::insmod(module_, p, error), 0) << error;
        loaded_ = true;
    }

    simk::OpenFile* open_minor(unsigned minor) {
        simk::OpenFile* f = nullptr;
        const int r = simk::dev_open(kMajor, minor, 02 /* O_RDWR */, task, &f);
        EXPECT_EQ(r, 0) << "open of minor " << minor;
        if (r == 0) files_.push_back(f);
        return f;
    }
    void close_file(simk::OpenFile* f) {
        std::erase(files_, f);
        simk::dev_release(f, task);
    }

    long read_frame(simk::OpenFile* f) { return simk::dev_read(f, 0, 0, task); }
    long ioctl(simk::OpenFile* f, unsigned cmd, unsigned long arg = 0) {
        return simk::dev_ioctl(f, cmd, arg, task);
    }
    template <typename T>
    long ioctl(simk::OpenFile* f, unsigned cmd, T* arg) {
        return simk::dev_ioctl(f, cmd, reinterpret_cast<unsigned long>(arg), task);
    }

    Board board;
    simk::Task task{::getpid()};

  private:
    std::string module_;
    std::vector<simk::OpenFile*> files_;
    bool loaded_ = false;
};

// Both cameras open, as the recorder has them, with the frame area mapped.
class Cameras : public CamcoreTest {
  protected:
    explicit Cameras(hw::SensorKind rear_sensor = hw::SensorKind::kMt9v111,
                     hw::SensorKind front_sensor = hw::SensorKind::kOv7725,
                     std::string module = CAMCORE_PATH)
        : CamcoreTest(rear_sensor, front_sensor, std::move(module)) {}
    void SetUp() override {
        CamcoreTest::SetUp();
        rear = open_minor(W99685_MINOR_REAR);
        front = open_minor(W99685_MINOR_FRONT);
        ASSERT_NE(rear, nullptr);
        ASSERT_NE(front, nullptr);
        simk::MmapResult m;
        ASSERT_EQ(simk::dev_mmap(rear, 0, kArea, PROT_READ | PROT_WRITE, &m, task), 0);
        ASSERT_EQ(m.valid_length, kArea);
        area = static_cast<uint8_t*>(
            ::mmap(nullptr, kArea, PROT_READ, MAP_SHARED, m.memfd, m.memfd_offset));
        ASSERT_NE(area, MAP_FAILED);
    }
    void TearDown() override {
        if (area != nullptr && area != MAP_FAILED) ::munmap(area, kArea);
        CamcoreTest::TearDown();
    }

    // A frame of `length` bytes at `offset` in the area is a 640 x 480 JPEG.
    bool frame_at(size_t offset, long length) {
        Picture pic;
        return length > 0 && decode_jpeg(area + offset, size_t(length), pic) && pic.width == 640 &&
               pic.height == 480;
    }
    // The front camera's next frame, decoded (an empty picture when there is none).
    Picture front_picture() {
        Picture pic;
        const long length = read_frame(front);
        if (length <= 0 || !decode_jpeg(area + W99685_FRONT_OFFSET, size_t(length), pic)) {
            return {};
        }
        return pic;
    }

    simk::OpenFile* rear = nullptr;
    simk::OpenFile* front = nullptr;
    uint8_t* area = nullptr;
};

}  // namespace camtest
