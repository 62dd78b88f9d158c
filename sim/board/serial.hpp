// The recorder's two serial ports. Each is a PTY pair: <root>/dev/ttySACn links to the slave,
// which the program opens (so its termios settings are real), and the master belongs to the
// port's peer (the front sub-board on port 1, the IBC controller on port 2). A port without a
// peer is drained. --tty1/--tty2 link the port to an outside device or PTY instead.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "board.hpp"

namespace simboard {

// "" when `path` may stand for serial port `number` (--tty1, --tty2): a terminal or a FIFO.
// Otherwise why not; a regular file would be overwritten with serial traffic.
std::string check_outside(int number, const std::string& path);

class SerialPort {
  public:
    SerialPort(int number, std::string peer_name)
        : number_(number), peer_name_(std::move(peer_name)) {}
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Creates the PTY, or with `outside` set takes that terminal or FIFO instead (check_outside).
    // Changes nothing in the root.
    bool open(const std::string& outside, std::string& error);
    // Makes <root>/dev/ttySACn link to the port (replacing what was there).
    bool link(const std::filesystem::path& root, std::string& error);
    // Hands the master to `peer` (null: drain it). Not for an outside port.
    void start(Board& board, std::unique_ptr<SerialPeer> peer);
    void stop();

    int number() const { return number_; }
    const std::string& slave_path() const { return slave_path_; }
    std::string describe() const;

  private:
    void drain();

    int number_;
    std::string peer_name_;
    std::filesystem::path link_;
    std::string slave_path_;
    bool outside_ = false;
    int master_fd_ = -1;
    int slave_keep_fd_ = -1;  // keeps the slave open: the master never sees a hang-up
    int stop_fd_ = -1;
    std::unique_ptr<SerialPeer> peer_;
    std::thread drainer_;
};

}  // namespace simboard
