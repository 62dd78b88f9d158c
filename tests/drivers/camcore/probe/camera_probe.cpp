// Reads frames from both cameras of a running simulated board, as the recorder does: opens
// /dev/winbond0 and /dev/winbond1, maps the 409600-byte frame area through device 0, and fetches
// frames from both devices at once (one thread each) for the given number of seconds. Every
// frame must decode with libjpeg to 640 x 480 and show its camera: the front camera's name is
// written in green, the rear camera's in red.
//
//   camera_probe SECONDS
//
// Prints one line per camera and "camera_probe: ok" or "camera_probe: FAILED ...", and exits
// 0 or 1.
#include <fcntl.h>
#include <sys/mman.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "camcore.h"
#include "jpeg_decode.hpp"
#include "os.h"

namespace {

constexpr size_t kArea = W99685_AREA_SIZE;
constexpr size_t kHalf = W99685_REAR_OFFSET;

struct Result {
    const char* name;
    bool front;
    int frames = 0;
    int errors = 0;
    std::string first_error;
};

void fetch(int fd, const uint8_t* area, double seconds, Result& result) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    const uint8_t* frame = area + (result.front ? 0 : kHalf);
    while (std::chrono::steady_clock::now() < end) {
        const ssize_t length = os::read(fd, nullptr, 0);
        camtest::Picture pic;
        std::string error;
        if (length <= 0 || length > static_cast<ssize_t>(kHalf)) {
            error = "read returned " + std::to_string(length);
        } else if (!camtest::decode_jpeg(frame, static_cast<size_t>(length), pic)) {
            error = "frame does not decode";
        } else if (pic.width != 640 || pic.height != 480) {
            error = "frame of " + std::to_string(pic.width) + " x " + std::to_string(pic.height);
        } else if (result.front ? !(pic.green > 150 && pic.red < 150)
                                : !(pic.red > 150 && pic.green < 150)) {
            error = "frame shows the other camera";
        }
        if (error.empty()) {
            ++result.frames;
        } else if (result.errors++ == 0) {
            result.first_error = error;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    os::init();
    const int rear = os::open("/dev/winbond0", O_RDWR | O_NONBLOCK);
    const int front = os::open("/dev/winbond1", O_RDWR | O_NONBLOCK);
    if (rear < 0 || front < 0) {
        std::printf("camera_probe: FAILED to open the cameras\n");
        return 1;
    }
    void* map = os::mmap(nullptr, kArea, PROT_READ | PROT_WRITE, MAP_SHARED, rear, 0);
    if (map == MAP_FAILED) {
        std::printf("camera_probe: FAILED to map the frame area\n");
        return 1;
    }
    const auto* area = static_cast<const uint8_t*>(map);
    Result results[2] = {{"front", true, 0, 0, {}}, {"rear", false, 0, 0, {}}};
    std::thread front_thread(fetch, front, area, seconds, std::ref(results[0]));
    std::thread rear_thread(fetch, rear, area, seconds, std::ref(results[1]));
    front_thread.join();
    rear_thread.join();
    bool ok = true;
    for (const Result& r : results) {
        std::printf("camera_probe: %s %d frames (%.1f a second), %d bad%s%s\n", r.name, r.frames,
                    r.frames / seconds, r.errors, r.errors ? ": " : "", r.first_error.c_str());
        ok = ok && r.errors == 0 && r.frames > 0;
    }
    os::munmap(map, kArea);
    os::close(front);
    os::close(rear);
    std::printf("camera_probe: %s\n", ok ? "ok" : "FAILED");
    std::fflush(stdout);
    return ok ? 0 : 1;
}
