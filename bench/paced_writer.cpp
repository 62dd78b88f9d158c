// paced_writer: the least that any recorder of two paced cameras does for each frame, for
// bench_board's cpu row to be held against on the same machine in the same run.
//
//   paced_writer OUT_DIR AREA_FILE FIFO_0 FIFO_1
//
// One thread per camera blocks in a read of its FIFO until the frame source (bench_board) has
// put a frame into the shared area and written the frame's slot number, as a capture thread
// blocks in the driver until the frame-ready interrupt; then, under one mutex, it writes a record
// head and the frame with one writev into the one recording file, and changes the file at
// 20 MiB. Nothing else: no index, no peripherals, no flushes, no device requests. The source
// ends by closing the FIFOs; the program then prints the frames it wrote and exits.
//
// The area holds, per camera, two slots of kSlotBytes: u32 length (little-endian), then the
// frame. The source fills slot n % 2 for its frame n and writes the byte n % 2.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "le.hpp"
#include "paced_area.hpp"

namespace {

constexpr size_t kFileLimit = 20u << 20;

struct Output {
    std::mutex mutex;
    std::string dir;
    int fd = -1;
    int files = 0;
    size_t size = 0;
    size_t frames = 0;
    bool failed = false;

    bool open_next() {
        if (fd >= 0) ::close(fd);
        char name[32];
        std::snprintf(name, sizeof name, "/rec%08d.asd", files++);
        fd = ::open((dir + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        size = 0;
        return fd >= 0;
    }
};

void camera_thread(Output& out, const uint8_t* area, int camera, int fifo) {
    for (;;) {
        uint8_t slot = 0;
        const ssize_t n = ::read(fifo, &slot, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n != 1 || slot > 1) return;
        const uint8_t* frame = area + pacedarea::slot_offset(camera, slot);
        const uint32_t length = le::get_u32({frame, 4}, 0);
        if (length > pacedarea::kFrameBytes) return;
        std::array<uint8_t, pacedarea::kHeadBytes> head{};
        le::put_u32(head, 0, length);
        head[4] = static_cast<uint8_t>(camera);
        const iovec parts[2] = {{head.data(), head.size()},
                                {const_cast<uint8_t*>(frame + 4), length}};
        const size_t bytes = head.size() + length;
        std::lock_guard lock(out.mutex);
        if (out.size + bytes > kFileLimit && !out.open_next()) {
            out.failed = true;
            return;
        }
        if (::writev(out.fd, parts, 2) != static_cast<ssize_t>(bytes)) {
            out.failed = true;
            return;
        }
        out.size += bytes;
        ++out.frames;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: paced_writer OUT_DIR AREA_FILE FIFO_0 FIFO_1\n");
        return 2;
    }
    Output out;
    out.dir = argv[1];
    const int areaFd = ::open(argv[2], O_RDONLY | O_CLOEXEC);
    if (areaFd < 0) {
        std::perror(argv[2]);
        return 1;
    }
    void* area = ::mmap(nullptr, pacedarea::kAreaBytes, PROT_READ, MAP_SHARED, areaFd, 0);
    if (area == MAP_FAILED) {
        std::perror("mmap");
        return 1;
    }
    std::array<int, 2> fifos{};
    for (int c = 0; c < 2; ++c) {
        fifos[c] = ::open(argv[3 + c], O_RDONLY | O_CLOEXEC);
        if (fifos[c] < 0) {
            std::perror(argv[3 + c]);
            return 1;
        }
    }
    if (!out.open_next()) {
        std::perror(out.dir.c_str());
        return 1;
    }
    const auto* bytes = static_cast<const uint8_t*>(area);
    std::thread rear(camera_thread, std::ref(out), bytes, 0, fifos[0]);
    std::thread front(camera_thread, std::ref(out), bytes, 1, fifos[1]);
    rear.join();
    front.join();
    ::close(out.fd);
    std::printf("%zu frames in %d files\n", out.frames, out.files);
    return out.failed ? 1 : 0;
}
