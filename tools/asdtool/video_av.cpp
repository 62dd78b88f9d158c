#include "video_av.hpp"

#include <cstring>
#include <system_error>

extern "C" {
#include <libavutil/dict.h>
}

namespace asd::video::av {

std::string error_text(int err) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, text, sizeof text);
    return text;
}

Output::Output(const std::filesystem::path& path, const char* format) : path_(path) {
    const int err = avformat_alloc_output_context2(&ctx_, nullptr, format, path.c_str());
    if (err < 0 || ctx_ == nullptr)
        error_ = "cannot make a " + std::string(format) + " muxer: " + error_text(err);
}

Output::~Output() {
    if (ctx_ != nullptr) {
        if (opened_) avio_closep(&ctx_->pb);
        avformat_free_context(ctx_);
    }
    if (opened_ && !finished_) {
        std::error_code ec;
        std::filesystem::remove(path_, ec);
    }
}

AVStream* Output::add_stream() {
    return ctx_ == nullptr ? nullptr : avformat_new_stream(ctx_, nullptr);
}

std::string Output::start(const char* options) {
    if (!error_.empty()) return error_;
    int err = avio_open(&ctx_->pb, path_.c_str(), AVIO_FLAG_WRITE);
    if (err < 0) return "cannot write " + path_.string() + ": " + error_text(err);
    opened_ = true;
    AVDictionary* opts = nullptr;
    if (options != nullptr) av_dict_parse_string(&opts, options, "=", ":", 0);
    err = avformat_write_header(ctx_, &opts);
    av_dict_free(&opts);
    if (err < 0) return "cannot start " + path_.string() + ": " + error_text(err);
    return "";
}

std::string Output::write(AVPacket* packet) {
    const int err = av_interleaved_write_frame(ctx_, packet);
    if (err < 0) return "cannot write " + path_.string() + ": " + error_text(err);
    return "";
}

std::string Output::finish() {
    int err = av_write_trailer(ctx_);
    if (err < 0) return "cannot finish " + path_.string() + ": " + error_text(err);
    err = avio_closep(&ctx_->pb);
    opened_ = false;
    if (err < 0) {
        std::error_code ec;
        std::filesystem::remove(path_, ec);
        return "cannot write " + path_.string() + ": " + error_text(err);
    }
    finished_ = true;
    return "";
}

Packet packet_of(std::span<const uint8_t> bytes) {
    Packet p(av_packet_alloc());
    if (!p || av_new_packet(p.get(), static_cast<int>(bytes.size())) < 0) return nullptr;
    if (!bytes.empty()) std::memcpy(p->data, bytes.data(), bytes.size());
    return p;
}

}  // namespace asd::video::av
