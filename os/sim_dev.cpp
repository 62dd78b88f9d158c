// Device half of the simulated os seam, without a board transport yet: the board's device nodes
// are known, and every open of one fails with ENXIO as on a board whose drivers are absent.
#include "sim_dev.h"

#include <cerrno>
#include <fstream>
#include <set>
#include <sstream>

namespace os::simdev {

namespace {

std::set<std::string> g_nodes;

// The nodes every board has; used when the board has not written its node table.
const char* const kDefaultNodes[] = {"/dev/winbond0",  "/dev/winbond1", "/dev/LIS3LV02DQ",
                                     "/dev/i2c-0",     "/dev/watchdog", "/dev/dsp"};

}  // namespace

void init(const std::string& root, const std::string& /*socket_path*/) {
    g_nodes.clear();
    std::ifstream table(root + "/dev/.nodes");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string path;
        if (fields >> path) g_nodes.insert(path);
    }
    if (g_nodes.empty()) g_nodes.insert(std::begin(kDefaultNodes), std::end(kDefaultNodes));
}

bool is_device_path(const std::string& box_path) { return g_nodes.count(box_path) != 0; }

int open(const std::string&, int) {
    errno = ENXIO;
    return -1;
}

bool owns(int) { return false; }

int close(int) {
    errno = EBADF;
    return -1;
}

ssize_t read(int, void*, size_t) {
    errno = EBADF;
    return -1;
}

ssize_t write(int, const void*, size_t) {
    errno = EBADF;
    return -1;
}

int ioctl(int, unsigned long, unsigned long) {
    errno = EBADF;
    return -1;
}

void* mmap(void*, size_t, int, int, int, off_t) {
    errno = EBADF;
    return reinterpret_cast<void*>(-1);
}

int fcntl(int, int, long) {
    errno = EBADF;
    return -1;
}

int request_reboot() {
    errno = ENXIO;
    return -1;
}

}  // namespace os::simdev
