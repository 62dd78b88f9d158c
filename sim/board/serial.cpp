#include "serial.hpp"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace simboard {

namespace fs = std::filesystem;

SerialPort::~SerialPort() {
    stop();
    if (slave_keep_fd_ >= 0) ::close(slave_keep_fd_);
    if (master_fd_ >= 0) ::close(master_fd_);
    if (stop_fd_ >= 0) ::close(stop_fd_);
    std::error_code ec;
    if (!link_.empty()) fs::remove(link_, ec);
}

std::string check_outside(int number, const std::string& path) {
    const std::string option = "--tty" + std::to_string(number) + " " + path;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return option + ": no such device";
    if (S_ISFIFO(st.st_mode)) return "";
    if (S_ISCHR(st.st_mode)) {
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return option + ": cannot open: " + std::strerror(errno);
        const bool tty = ::isatty(fd) == 1;
        ::close(fd);
        if (tty) return "";
    }
    const char* what = S_ISDIR(st.st_mode)   ? "a folder"
                       : S_ISREG(st.st_mode) ? "a regular file"
                       : S_ISCHR(st.st_mode) ? "a device that is no terminal"
                                             : "neither a terminal nor a FIFO";
    return option + ": " + what + "; a serial port is attached to a terminal (a serial device " +
           "or a PTY) or a FIFO";
}

bool SerialPort::open(const std::string& outside, std::string& error) {
    if (!outside.empty()) {
        if (std::string why = check_outside(number_, outside); !why.empty()) {
            error = std::move(why);
            return false;
        }
        outside_ = true;
        slave_path_ = fs::absolute(outside).string();
        return true;
    }
    master_fd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    std::array<char, 128> name{};
    if (master_fd_ < 0 || ::grantpt(master_fd_) < 0 || ::unlockpt(master_fd_) < 0 ||
        ::ptsname_r(master_fd_, name.data(), name.size()) != 0) {
        error = std::string("cannot create a PTY for ttySAC") + std::to_string(number_) + ": " +
                std::strerror(errno);
        return false;
    }
    slave_path_ = name.data();
    slave_keep_fd_ = ::open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_keep_fd_ >= 0) {
        // Raw until the program sets the port up, so that nothing is echoed back to a peer.
        termios t{};
        if (::tcgetattr(slave_keep_fd_, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(slave_keep_fd_, TCSANOW, &t);
        }
    }
    return true;
}

bool SerialPort::link(const fs::path& root, std::string& error) {
    link_ = root / ("dev/ttySAC" + std::to_string(number_));
    std::error_code ec;
    fs::remove(link_, ec);
    fs::create_symlink(slave_path_, link_, ec);
    if (ec) {
        error = "cannot link " + link_.string() + " to " + slave_path_ + ": " + ec.message();
        return false;
    }
    return true;
}

void SerialPort::start(Board& board, std::unique_ptr<SerialPeer> peer) {
    if (outside_ || master_fd_ < 0) return;
    if (peer) {
        peer_ = std::move(peer);
        peer_->start(board, master_fd_);
        return;
    }
    stop_fd_ = ::eventfd(0, EFD_CLOEXEC);
    drainer_ = std::thread([this] { drain(); });
}

void SerialPort::stop() {
    if (peer_) {
        peer_->stop();
        peer_.reset();
    }
    if (drainer_.joinable()) {
        const uint64_t one = 1;
        if (::write(stop_fd_, &one, sizeof one) < 0) { /* the drainer is stuck in nothing else */
        }
        drainer_.join();
    }
}

void SerialPort::drain() {
    std::array<char, 512> buf{};
    for (;;) {
        std::array<pollfd, 2> fds{{{master_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}}};
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        if (::read(master_fd_, buf.data(), buf.size()) < 0 && errno != EINTR && errno != EAGAIN)
            return;
    }
}

std::string SerialPort::describe() const {
    if (outside_) return "ttySAC" + std::to_string(number_) + " -> " + slave_path_;
    return "ttySAC" + std::to_string(number_) + " " + slave_path_ + " (" +
           (peer_ ? peer_name_ : std::string("drained")) + ")";
}

}  // namespace simboard
