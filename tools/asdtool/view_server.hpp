// asdtool view CARD_DIR: the card in a browser.
//
// A read-only HTTP server, on the loopback address unless told otherwise, that serves one page
// (embedded in the program, with its chart and map libraries) and a small JSON API over the
// card:
//
//   GET /                                        the page
//   GET /assets/NAME                             its scripts and style sheets
//   GET /api/card                                recordings (headers), events, snapshots, use
//   GET /api/recordings/NAME/details             a recording's record counts (read on demand)
//   GET /api/recordings/NAME/timeline            frame times, GPS track, accelerometer, events
//   GET /api/recordings/NAME/frame?cam=C&t=S     the JPEG of camera C (front, rear) at S seconds
//   GET /api/recordings/NAME/audio.wav           the sound on the recording's time line (ranges)
//   GET /api/events/N                            event N: its files and, for an impact, when
//   GET /api/snapshots/NAME                      a snapshot's JPEG
//
// Frames and sound come from the .asd file through the recording reader as they are asked for:
// nothing is exported or converted, no file is written. Requests that are not GET or HEAD, that
// name a path outside the card (.., absolute paths, links out of it) or that are malformed are
// refused with a 4xx status, and every refusal is logged on stderr.
#pragma once

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

#include "view_card.hpp"

namespace httplib {
class Server;
}

namespace asd::view {

// The tile servers' usual address scheme; {z}/{x}/{y} are filled in by the map.
inline constexpr const char* kDefaultTiles = "https://tile.openstreetmap.org/{z}/{x}/{y}.png";
inline constexpr int kDefaultPort = 8080;

struct Options {
    fs::path card;
    std::string listen = "127.0.0.1";
    int port = kDefaultPort;
    std::string tiles = kDefaultTiles;  // "" without tiles: the track on a grid
};

// Reads the arguments after "view"; "" or what is wrong with them.
std::string parse_options(std::span<char* const> args, Options& options);

// True for the loopback addresses (127.0.0.0/8, ::1, localhost).
bool is_loopback(const std::string& host);

class Server {
  public:
    // Refusals and problems go to `log`.
    Server(const Options& options, std::FILE* log);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds the listening socket: the port (a free one for port 0), or -1 with `why`.
    int bind(std::string& why);
    // Serves until stop(); false when the server could not run.
    bool run();
    void stop();

    Card& card() { return card_; }

  private:
    void routes();

    Options options_;
    std::FILE* log_;
    Card card_;
    std::unique_ptr<httplib::Server> http_;
};

// The command: asdtool view CARD_DIR [--port N] [--listen ADDRESS] [--tiles URL|none].
int view_main(std::span<char* const> args);

}  // namespace asd::view
