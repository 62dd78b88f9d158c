// FFmpeg's objects with owners, and an output file that is either finished or removed again.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

namespace asd::video::av {

struct CodecFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ScaleFree {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using Codec = std::unique_ptr<AVCodecContext, CodecFree>;
using Frame = std::unique_ptr<AVFrame, FrameFree>;
using Packet = std::unique_ptr<AVPacket, PacketFree>;
using Scale = std::unique_ptr<SwsContext, ScaleFree>;

// FFmpeg's message for an error code.
std::string error_text(int err);

// One output file written by a muxer. Streams are added before start(); packets carry the
// stream's index and times in the stream's time base (as start() left it). finish() writes the
// trailer; a file that was not finished is removed when the object goes.
class Output {
  public:
    // `format` is the muxer's name ("matroska", "mp4").
    Output(const std::filesystem::path& path, const char* format);
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // "" once the muxer is there, else why not.
    const std::string& error() const { return error_; }
    AVStream* add_stream();
    // Opens the file and writes the header with the muxer's `options` ("movflags=+faststart").
    std::string start(const char* options = nullptr);
    // Writes one packet (taken over) in the interleaved order.
    std::string write(AVPacket* packet);
    std::string finish();
    AVFormatContext* context() { return ctx_; }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
    AVFormatContext* ctx_ = nullptr;
    std::string error_;
    bool opened_ = false;
    bool finished_ = false;
};

// A packet holding a copy of `bytes`, or nothing when memory runs out.
Packet packet_of(std::span<const uint8_t> bytes);

}  // namespace asd::video::av
