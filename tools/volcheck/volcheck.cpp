#include "volcheck.h"

#include <fcntl.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "RTCnVolume.h"
#include "os.h"

namespace {

constexpr unsigned long GSENSOR_IOC_GET_VOLUME = 0x80044B02;
constexpr int kExitNoDevice = 255;

// The knob's level as the accelerometer driver reads it from the ADC; 0 when the request fails.
std::optional<int> ReadKnobLevel() {
    const int fd = os::open("/dev/LIS3LV02DQ", O_RDWR);
    if (fd < 0) return std::nullopt;
    int32_t level = 0;
    os::ioctl(fd, GSENSOR_IOC_GET_VOLUME, &level);
    os::close(fd);
    return level;
}

}  // namespace

std::optional<int> LevelFromArguments(int argc, const char* const* argv) {
    if (argc == 2) return std::atoi(argv[1]);
    return std::nullopt;
}

int volcheck_main(int argc, const char* const* argv) {
    OpenIICDevice();  // on failure its message is printed and SetVolume does nothing
    std::optional<int> level = LevelFromArguments(argc, argv);
    if (!level) {
        level = ReadKnobLevel();
        if (!level) return kExitNoDevice;
    }
    std::printf("APP LEVEL = %d\n", *level);
    SetVolume(static_cast<uint8_t>(*level & 0xFF));
    CloseIICDevice();
    return 0;
}
