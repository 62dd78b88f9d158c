#include "audio_fifo.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>

#include "audio_dsp.hpp"

namespace simboard::peers {

namespace fs = std::filesystem;

DspFifo::~DspFifo() {
    stop();
}

bool DspFifo::reopen() {
    // The new end is open before the old one closes: a writer never finds the FIFO without a
    // reader (which would end it with SIGPIPE).
    const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    return true;
}

bool DspFifo::start(const fs::path& path, std::string& error) {
    path_ = path;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISFIFO(st.st_mode)) ::unlink(path.c_str());
    if (::mkfifo(path.c_str(), 0666) != 0 && errno != EEXIST) {
        error = "cannot make the FIFO " + path.string() + ": " + std::strerror(errno);
        return false;
    }
    if (!reopen()) {
        error = "cannot open the FIFO " + path.string() + ": " + std::strerror(errno);
        return false;
    }
    // One page: a writer stays within that of the sound.
    ::fcntl(fd_, F_SETPIPE_SZ, static_cast<int>(::sysconf(_SC_PAGESIZE)));
    stop_fd_ = ::eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { run(); });
    return true;
}

void DspFifo::stop() {
    if (thread_.joinable()) {
        const uint64_t one = 1;
        if (::write(stop_fd_, &one, sizeof one) < 0) {
            // Cannot fail on an eventfd short of overflow.
        }
        thread_.join();
    }
    if (fd_ >= 0) ::close(fd_);
    if (stop_fd_ >= 0) ::close(stop_fd_);
    fd_ = stop_fd_ = -1;
}

void DspFifo::run() {
    using Clock = std::chrono::steady_clock;
    constexpr AudioFormat kDefault;          // what the FIFO plays a raw stream at
    constexpr double kLead = 0.05;           // seconds taken ahead of the sound
    std::unique_ptr<PlaybackStream> stream;  // while a writer plays
    Clock::time_point played_until{};
    std::array<uint8_t, 4096> buf{};
    const auto stream_done = [&] {
        stream->finish();
        stream.reset();
        reopen();  // clears the hang-up of the writer that left
    };
    for (;;) {
        const auto now = Clock::now();
        const double ahead =
            stream ? std::chrono::duration<double>(played_until - now).count() : 0.0;
        // Ahead of the sound: wait without looking at the FIFO (its data would wake us at once).
        const bool take = ahead < kLead;
        std::array<pollfd, 2> fds{{{stop_fd_, POLLIN, 0}, {fd_, POLLIN, 0}}};
        const int timeout = take ? -1 : static_cast<int>(std::ceil((ahead - kLead) * 1000));
        if (::poll(fds.data(), take ? 2 : 1, timeout) < 0 && errno != EINTR) return;
        if (fds[0].revents != 0) break;
        if (!take) continue;
        if (!stream) {
            if ((fds[1].revents & POLLIN) == 0) {
                if ((fds[1].revents & (POLLHUP | POLLERR)) != 0 && !reopen()) {
                    // The FIFO is gone from the root: wait before trying again.
                    std::array<pollfd, 1> stop{{{stop_fd_, POLLIN, 0}}};
                    if (::poll(stop.data(), 1, 1000) > 0) break;
                }
                continue;
            }
            stream = std::make_unique<PlaybackStream>(
                library_, [this](const PlayedSound& s) { log_.add(s); }, "shell", true,
                kDefault.byte_rate());
            played_until = Clock::now();
        }
        const uint32_t rate = stream->byte_rate();
        const size_t want = std::clamp<size_t>(rate / 50, 1, buf.size());  // 20 ms of sound
        const ssize_t n = ::read(fd_, buf.data(), want);
        if (n > 0) {
            if (played_until < Clock::now()) played_until = Clock::now();
            stream->feed(std::span<const uint8_t>(buf.data(), static_cast<size_t>(n)));
            played_until += std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(static_cast<double>(n) / rate));
        } else if (n == 0) {
            // Every writer has gone and the FIFO is empty: the sound ends when it has played.
            const auto left = played_until - Clock::now();
            if (left > Clock::duration::zero()) {
                std::array<pollfd, 1> stop{{{stop_fd_, POLLIN, 0}}};
                const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
                if (::poll(stop.data(), 1, static_cast<int>(ms)) > 0) break;
            }
            stream_done();
        }
        // n < 0 (EAGAIN): a writer is there but slow; poll waits for its bytes.
    }
    if (stream) stream->finish();
}

}  // namespace simboard::peers
