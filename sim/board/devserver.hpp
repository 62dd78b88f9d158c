// The board's device server: serves the board's character devices to the programs over the
// device socket (message layout in os/sim_dev_wire.h).
//
// Every connection gets one thread, which runs the program's requests one after the other in
// process context, as the program's system calls would run in the kernel. A connection is one
// open file, or joins the open file of another connection of the same program (so that threads
// of the program can make system calls on one descriptor at the same time).
// The current task of a request is the program's process id, taken from the socket's peer
// credentials, so the kernel reaches the program's own memory for user copies. A program of
// another user than the board's is refused at once (the socket is its owner's alone as well).
//
// A program that goes away (close, exit, crash) hangs the socket up: the server releases its file,
// and a request still sleeping on its behalf is interrupted first, as a signal would interrupt it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>

namespace simboard {

// What the server needs from the kernel. The board's implementation is the simulated kernel
// (simk_kernel.cpp); tests may put a kernel of their own behind the same calls.
class DeviceKernel {
  public:
    using Handle = uintptr_t;  // one open file
    struct MmapArea {
        int memfd = -1;  // stays owned by the kernel
        off_t offset = 0;
        size_t valid_length = 0;
    };

    virtual ~DeviceKernel() = default;
    // All return the system call's result or -errno.
    virtual int open(unsigned major, unsigned minor, int flags, pid_t task, Handle* out) = 0;
    virtual long read(Handle f, uintptr_t user_buf, size_t count, pid_t task) = 0;
    virtual long write(Handle f, uintptr_t user_buf, size_t count, pid_t task) = 0;
    virtual long ioctl(Handle f, unsigned int cmd, unsigned long arg, pid_t task) = 0;
    virtual int mmap(Handle f, unsigned long pgoff, size_t length, int prot, MmapArea* out,
                     pid_t task) = 0;
    virtual void set_owner(Handle f, pid_t owner) = 0;
    virtual int get_flags(Handle f) = 0;
    virtual int set_flags(Handle f, int flags, pid_t task) = 0;
    virtual int release(Handle f, pid_t task) = 0;
    // The program `task` has gone while a request on `f` was running: its sleep (and any later
    // one on `f`) returns early, as if a signal had arrived.
    virtual void interrupt(Handle f, pid_t task) = 0;
};

class DeviceServer {
  public:
    struct Hooks {
        // A program asked for a reboot (its pid).
        std::function<void(pid_t)> reboot;
        // Lines worth a place on the board's console (refused requests and the like).
        std::function<void(std::string_view)> log;
    };

    DeviceServer(DeviceKernel& kernel, Hooks hooks);
    ~DeviceServer();
    DeviceServer(const DeviceServer&) = delete;
    DeviceServer& operator=(const DeviceServer&) = delete;

    // Creates the socket at `path` (a stale one is replaced) and starts accepting.
    bool listen(const std::string& path, std::string& error);
    // While not powered, every open (and reboot request) is refused with ENXIO.
    void set_powered(bool on);
    // Hangs up every connection, interrupts their requests, releases their files and waits
    // until all of that is done (power off, reboot).
    void close_all();
    // close_all(), then stops accepting and removes the socket.
    void stop();

    size_t connections() const;
    const std::string& path() const { return path_; }

  private:
    struct Conn;
    struct OpenRef;

    void accept_loop();
    void watch_loop();
    void serve(const std::shared_ptr<Conn>& conn);
    bool handle(Conn& conn, const uint8_t* msg, size_t len);
    void reap_finished();
    int attach(Conn& conn, uint64_t token);
    int end_file(Conn& conn);
    void log(std::string_view line);

    DeviceKernel& kernel_;
    Hooks hooks_;
    std::string path_;
    int listen_fd_ = -1;
    int stop_fd_ = -1;   // eventfd that ends the accept and watch threads
    int epoll_fd_ = -1;  // hang-ups of connected sockets
    std::atomic<bool> powered_{false};
    std::thread acceptor_;
    std::thread watcher_;
    std::mutex join_mutex_;  // held by whoever joins connection threads (reap, power-off)
    mutable std::mutex conns_mutex_;
    std::list<std::shared_ptr<Conn>> conns_;
    std::unordered_map<uint64_t, std::weak_ptr<OpenRef>> files_;  // by attach token
    std::mt19937_64 token_source_;
};

}  // namespace simboard
