// The playback FIFO: the shell's way to the board's sound.
#pragma once

#include <filesystem>
#include <string>
#include <thread>

#include "audio_playback.hpp"

namespace simboard::peers {

// The FIFO at <root>/dev/dsp that the shell's "cat FILE > /dev/dsp" writes into, read in real
// time by a thread of its own. Its pipe holds one page, so a writer is never far ahead of the
// sound; it returns when its last bytes are in the pipe, at most that page before the end.
class DspFifo {
  public:
    DspFifo(PromptLibrary& library, PlaybackLog& log) : library_(library), log_(log) {}
    ~DspFifo();

    // Makes the FIFO (replacing whatever is at `path`) and starts reading it.
    bool start(const std::filesystem::path& path, std::string& error);
    void stop();

  private:
    void run();
    bool reopen();

    PromptLibrary& library_;
    PlaybackLog& log_;
    std::filesystem::path path_;
    int fd_ = -1;
    int stop_fd_ = -1;
    std::thread thread_;
};

}  // namespace simboard::peers
