#include "video_combined.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "recording_export.hpp"
#include "text_format.hpp"
#include "video_av.hpp"
#include "video_caption.hpp"
#include "video_strip.hpp"

namespace asd::video {

namespace {

constexpr int kAudioBitRate = 32000;
constexpr int64_t kLargestPicture = 2048 * 2048;  // pixels of a recorded frame we decode
constexpr int kInsetMargin = 8;
constexpr int kInsetBorder = 2;

struct Slot {
    int x, y, w, h;
};

// Where each camera goes: [0] rear, [1] front.
std::array<Slot, 2> slots_of(Layout layout) {
    if (layout == Layout::SideBySide) return {{{640, 0, 640, 480}, {0, 0, 640, 480}}};
    return {{{640 - 208 - kInsetMargin, kInsetMargin, 208, 156}, {0, 0, 640, 480}}};
}

Picture picture_of(AVFrame* f) {
    return {f->width,
            f->height,
            {f->data[0], f->data[1], f->data[2]},
            {f->linesize[0], f->linesize[1], f->linesize[2]}};
}

av::Frame picture_frame(int w, int h) {
    av::Frame f(av_frame_alloc());
    if (!f) return nullptr;
    f->format = AV_PIX_FMT_YUV420P;
    f->width = w;
    f->height = h;
    if (av_frame_get_buffer(f.get(), 0) < 0) return nullptr;
    return f;
}

// A JPEG's planar format as the scaler takes it, and whether its levels are full range.
std::pair<AVPixelFormat, bool> scaler_input(const AVFrame* f) {
    const bool full = f->color_range == AVCOL_RANGE_JPEG;
    switch (static_cast<AVPixelFormat>(f->format)) {
        case AV_PIX_FMT_YUVJ420P:
            return {AV_PIX_FMT_YUV420P, true};
        case AV_PIX_FMT_YUVJ422P:
            return {AV_PIX_FMT_YUV422P, true};
        case AV_PIX_FMT_YUVJ444P:
            return {AV_PIX_FMT_YUV444P, true};
        case AV_PIX_FMT_YUVJ440P:
            return {AV_PIX_FMT_YUV440P, true};
        default:
            return {static_cast<AVPixelFormat>(f->format), full};
    }
}

// One camera's picture: the latest recorded JPEG, decoded and scaled only when a frame shows it.
struct Camera {
    Slot slot{};
    av::Codec decoder;
    av::Scale scale;
    av::Frame decoded;
    av::Frame picture;  // slot size
    std::vector<uint8_t> jpeg;
    bool pending = false;  // jpeg is newer than picture
    bool shown = false;    // picture holds a frame
    size_t nextFrame = 0;
};

class Combiner {
  public:
    Combiner(const Plan& plan, const CombinedOptions& options, const std::filesystem::path& path)
        : plan_(plan), options_(options), out_(path, "mp4") {
        size_ = layout_size(options.layout);
        total_ = combined_frames(plan, options.fps);
    }

    std::string run(CombinedFile& written) {
        if (auto why = open(); !why.empty()) return why;
        const std::string why =
            for_each_record(plan_, [this](size_t f, size_t r, const Record& rec) {
                if (const auto* v = std::get_if<VideoRecord>(&rec.body)) return frame(f, r, *v);
                if (const auto* s = std::get_if<AudioRecord>(&rec.body)) {
                    if (sound_ && !s->samples.empty()) return block(f, r, *s);
                }
                return std::string();
            });
        if (!why.empty()) return why;
        if (auto w = pictures_until(INT64_MAX); !w.empty()) return w;
        if (auto w = close(); !w.empty()) return w;
        written.path = out_.path();
        written.size = size_;
        written.frames = next_;
        written.audioSamples = audioSamples_;
        written.undecodable = undecodable_;
        return "";
    }

  private:
    std::string open() {
        if (!out_.error().empty()) return out_.error();
        const AVCodec* h264 = avcodec_find_encoder_by_name("libx264");
        if (h264 == nullptr) h264 = avcodec_find_encoder(AV_CODEC_ID_H264);
        if (h264 == nullptr) return "this FFmpeg has no H.264 encoder";
        video_.reset(avcodec_alloc_context3(h264));
        if (!video_) return "out of memory";
        video_->width = size_.width;
        video_->height = size_.height;
        video_->pix_fmt = AV_PIX_FMT_YUV420P;
        video_->time_base = AVRational{1, options_.fps};
        video_->framerate = AVRational{options_.fps, 1};
        video_->gop_size = options_.fps * 2;
        video_->color_range = AVCOL_RANGE_MPEG;
        video_->colorspace = AVCOL_SPC_SMPTE170M;
        if (out_.context()->oformat->flags & AVFMT_GLOBALHEADER)
            video_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        AVDictionary* opts = nullptr;
        av_dict_set(&opts, "preset", "veryfast", 0);
        av_dict_set_int(&opts, "crf", options_.quality, 0);
        int err = avcodec_open2(video_.get(), h264, &opts);
        av_dict_free(&opts);
        if (err < 0) return "cannot open the H.264 encoder: " + av::error_text(err);
        videoStream_ = out_.add_stream();
        if (videoStream_ == nullptr) return "cannot add a video stream";
        avcodec_parameters_from_context(videoStream_->codecpar, video_.get());
        videoStream_->time_base = video_->time_base;
        videoStream_->avg_frame_rate = video_->framerate;

        if (!plan_.audio.empty()) {
            const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
            if (aac == nullptr) return "this FFmpeg has no AAC encoder";
            audio_.reset(avcodec_alloc_context3(aac));
            if (!audio_) return "out of memory";
            audio_->sample_fmt = AV_SAMPLE_FMT_FLTP;
            audio_->sample_rate = kAudioRate;
            av_channel_layout_default(&audio_->ch_layout, 1);
            audio_->bit_rate = kAudioBitRate;
            audio_->time_base = AVRational{1, static_cast<int>(kAudioRate)};
            if (out_.context()->oformat->flags & AVFMT_GLOBALHEADER)
                audio_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
            err = avcodec_open2(audio_.get(), aac, nullptr);
            if (err < 0) return "cannot open the AAC encoder: " + av::error_text(err);
            audioStream_ = out_.add_stream();
            if (audioStream_ == nullptr) return "cannot add an audio stream";
            avcodec_parameters_from_context(audioStream_->codecpar, audio_.get());
            audioStream_->time_base = audio_->time_base;
            sound_.emplace(plan_);
            audioPts_ = sound_->position();
        }
        av_dict_set(&out_.context()->metadata, "title", "Front and rear camera", 0);
        av_dict_set(&out_.context()->metadata, "creation_time",
                    iso_time(time_of(plan_.start)).c_str(), 0);
        if (auto why = out_.start("movflags=+faststart"); !why.empty()) return why;

        const AVCodec* mjpeg = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
        if (mjpeg == nullptr) return "this FFmpeg has no JPEG decoder";
        const auto slots = slots_of(options_.layout);
        for (size_t c = 0; c < 2; ++c) {
            Camera& cam = cams_[c];
            cam.slot = slots[c];
            cam.decoder.reset(avcodec_alloc_context3(mjpeg));
            cam.decoded.reset(av_frame_alloc());
            cam.picture = picture_frame(cam.slot.w, cam.slot.h);
            if (!cam.decoder || !cam.decoded || !cam.picture) return "out of memory";
            // A damaged JPEG header must not make the decoder allocate a giant picture.
            cam.decoder->max_pixels = kLargestPicture;
            err = avcodec_open2(cam.decoder.get(), mjpeg, nullptr);
            if (err < 0) return "cannot open the JPEG decoder: " + av::error_text(err);
        }
        canvas_ = picture_frame(size_.width, size_.height);
        if (!canvas_) return "out of memory";
        marks_.reserve(plan_.marks.size());
        for (const Mark& m : plan_.marks) marks_.push_back(fraction(m.at));
        return "";
    }

    int64_t time_of_frame(size_t k) const {
        return static_cast<int64_t>(k) * 1'000'000 / options_.fps;
    }

    double fraction(int64_t at) const {
        return plan_.end > 0 ? static_cast<double>(at) / static_cast<double>(plan_.end) : 0;
    }

    // A recorded frame: the output frames before it show what came before.
    std::string frame(size_t file, size_t record, const VideoRecord& v) {
        Camera& cam = cams_[v.channel == 0 ? 0 : 1];
        const auto& frames = plan_.frames[v.channel == 0 ? 0 : 1];
        if (cam.nextFrame >= frames.size() || frames[cam.nextFrame].file != file ||
            frames[cam.nextFrame].record != record)
            return "frame out of the plan's order";
        const int64_t at = frames[cam.nextFrame++].at;
        if (auto why = pictures_until(at); !why.empty()) return why;
        cam.jpeg = v.jpeg;
        cam.pending = true;
        return "";
    }

    std::string block(size_t file, size_t record, const AudioRecord& s) {
        const std::optional<int64_t> silence = sound_->block(file, record);
        if (!silence) return "audio out of the plan's order";
        if (auto why = sound(std::nullopt, *silence); !why.empty()) return why;
        return sound(s.samples, static_cast<int64_t>(s.samples.size()));
    }

    // Encodes the output frames whose time is before `at` (all that are left with INT64_MAX).
    // The last one waits for the end, so that it shows the last recorded frames.
    std::string pictures_until(int64_t at) {
        const size_t until = at == INT64_MAX ? total_ : total_ - 1;
        while (next_ < until && time_of_frame(next_) < at) {
            const int64_t t = time_of_frame(next_);
            if (sound_) {
                const int64_t silence = sound_->silence_until(t * kAudioRate / 1'000'000);
                if (silence > 0) {
                    if (auto why = sound(std::nullopt, silence); !why.empty()) return why;
                }
            }
            if (auto why = compose(t); !why.empty()) return why;
            canvas_->pts = static_cast<int64_t>(next_);
            if (auto why = encode(video_.get(), videoStream_, canvas_.get()); !why.empty())
                return why;
            ++next_;
        }
        return "";
    }

    std::string compose(int64_t t) {
        if (av_frame_make_writable(canvas_.get()) < 0) return "out of memory";
        Picture pic = picture_of(canvas_.get());
        fill(pic, 0, 0, pic.width, pic.height, Colour{16, 128, 128});
        for (size_t c : {size_t{1}, size_t{0}}) {
            Camera& cam = cams_[c];
            if (cam.pending) decode(cam);
            if (!cam.shown) {
                // Side by side, an empty half says why it is empty; the inset is left out.
                if (options_.layout == Layout::SideBySide)
                    draw_text(pic, cam.slot.x + (cam.slot.w - text_width("NO PICTURE", 2)) / 2,
                              cam.slot.y + cam.slot.h / 2 - 8, "NO PICTURE", kGrey, 2);
                continue;
            }
            if (options_.layout == Layout::Inset && c == 0)
                fill(pic, cam.slot.x - kInsetBorder, cam.slot.y - kInsetBorder,
                     cam.slot.w + 2 * kInsetBorder, cam.slot.h + 2 * kInsetBorder, kWhite);
            copy_into(cam);
        }
        draw_strip(pic, strip_at(t));
        return "";
    }

    StripState strip_at(int64_t t) const {
        StripState s;
        s.clock = clock_text(plan_.time_at(t));
        if (const GpsPoint* g = gps_at(plan_, t)) {
            s.motion = format("%d km/h  %d\u00b0 %s", g->gps.headingGate,
                              ((g->gps.heading % 360) + 360) % 360, compass(g->gps.heading));
        } else {
            s.motion = "no GPS";
        }
        if (const AccelPoint* a = accel_at(plan_, t)) {
            s.accel = std::array<double, 3>{static_cast<double>(a->x) / kCountsPerG,
                                            static_cast<double>(a->y) / kCountsPerG,
                                            static_cast<double>(a->z) / kCountsPerG};
        }
        s.progress = fraction(t);
        s.marks = marks_;
        for (const Mark& m : plan_.marks) {
            if (t >= m.at - kLabelNear && t <= m.at + kLabelNear) s.label = m.label;
        }
        return s;
    }

    // Decodes the camera's latest JPEG into its picture; a frame that does not decode leaves the
    // picture before it.
    void decode(Camera& cam) {
        cam.pending = false;
        av::Packet packet = av::packet_of(cam.jpeg);
        if (!packet || avcodec_send_packet(cam.decoder.get(), packet.get()) < 0 ||
            avcodec_receive_frame(cam.decoder.get(), cam.decoded.get()) < 0) {
            ++undecodable_;
            return;
        }
        const AVFrame* f = cam.decoded.get();
        const auto [format, full] = scaler_input(f);
        cam.scale.reset(sws_getCachedContext(cam.scale.release(), f->width, f->height, format,
                                             cam.slot.w, cam.slot.h, AV_PIX_FMT_YUV420P,
                                             SWS_BILINEAR, nullptr, nullptr, nullptr));
        if (!cam.scale || av_frame_make_writable(cam.picture.get()) < 0) {
            ++undecodable_;
            return;
        }
        const int* coefficients = sws_getCoefficients(SWS_CS_ITU601);
        sws_setColorspaceDetails(cam.scale.get(), coefficients, full ? 1 : 0, coefficients, 0, 0,
                                 1 << 16, 1 << 16);
        sws_scale(cam.scale.get(), f->data, f->linesize, 0, f->height, cam.picture->data,
                  cam.picture->linesize);
        av_frame_unref(cam.decoded.get());
        cam.shown = true;
    }

    void copy_into(const Camera& cam) {
        for (int p = 0; p < 3; ++p) {
            const int shift = p == 0 ? 0 : 1;
            const int w = cam.slot.w >> shift, h = cam.slot.h >> shift;
            const int x = cam.slot.x >> shift, y = cam.slot.y >> shift;
            for (int row = 0; row < h; ++row) {
                std::memcpy(canvas_->data[p] + (y + row) * canvas_->linesize[p] + x,
                            cam.picture->data[p] + row * cam.picture->linesize[p],
                            static_cast<size_t>(w));
            }
        }
    }

    // Audio into the encoder: `count` samples, silence when there are no `samples`.
    std::string sound(std::optional<std::span<const uint8_t>> samples, int64_t count) {
        for (int64_t i = 0; i < count; ++i) {
            const uint8_t s = samples ? (*samples)[static_cast<size_t>(i)] : 0x80;
            pcm_.push_back(static_cast<float>(s - 128) / 128.0f);
        }
        audioSamples_ += count;
        const auto frameSize = static_cast<size_t>(audio_->frame_size);
        while (pcm_.size() >= frameSize) {
            if (auto why = sound_frame(frameSize); !why.empty()) return why;
        }
        return "";
    }

    std::string sound_frame(size_t n) {
        av::Frame f(av_frame_alloc());
        if (!f) return "out of memory";
        f->format = AV_SAMPLE_FMT_FLTP;
        f->sample_rate = kAudioRate;
        av_channel_layout_default(&f->ch_layout, 1);
        f->nb_samples = static_cast<int>(n);
        if (av_frame_get_buffer(f.get(), 0) < 0) return "out of memory";
        std::memcpy(f->data[0], pcm_.data(), n * sizeof(float));
        pcm_.erase(pcm_.begin(), pcm_.begin() + static_cast<long>(n));
        f->pts = audioPts_;
        audioPts_ += static_cast<int64_t>(n);
        return encode(audio_.get(), audioStream_, f.get());
    }

    // Sends a frame (nothing: the end) to an encoder and writes what comes out.
    std::string encode(AVCodecContext* enc, AVStream* st, AVFrame* frame) {
        int err = avcodec_send_frame(enc, frame);
        if (err < 0) return "cannot encode: " + av::error_text(err);
        av::Packet packet(av_packet_alloc());
        if (!packet) return "out of memory";
        for (;;) {
            err = avcodec_receive_packet(enc, packet.get());
            if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return "";
            if (err < 0) return "cannot encode: " + av::error_text(err);
            av_packet_rescale_ts(packet.get(), enc->time_base, st->time_base);
            packet->stream_index = st->index;
            if (auto why = out_.write(packet.get()); !why.empty()) return why;
        }
    }

    std::string close() {
        if (sound_) {
            if (!pcm_.empty()) {
                if (auto why = sound_frame(pcm_.size()); !why.empty()) return why;
            }
            if (auto why = encode(audio_.get(), audioStream_, nullptr); !why.empty()) return why;
        }
        if (auto why = encode(video_.get(), videoStream_, nullptr); !why.empty()) return why;
        return out_.finish();
    }

    const Plan& plan_;
    const CombinedOptions options_;
    av::Output out_;
    Size size_{};
    size_t total_ = 0;
    size_t next_ = 0;  // the next output frame
    av::Codec video_, audio_;
    AVStream* videoStream_ = nullptr;
    AVStream* audioStream_ = nullptr;
    std::array<Camera, 2> cams_;
    av::Frame canvas_;
    std::vector<double> marks_;
    std::optional<AudioCursor> sound_;
    std::vector<float> pcm_;
    int64_t audioPts_ = 0;
    int64_t audioSamples_ = 0;
    size_t undecodable_ = 0;
};

}  // namespace

Size layout_size(Layout layout) {
    return layout == Layout::SideBySide ? Size{1280, 480} : Size{640, 480};
}

size_t combined_frames(const Plan& plan, int fps) {
    return static_cast<size_t>(plan.end * fps / 1'000'000) + 1;
}

std::string write_combined(const Plan& plan, const CombinedOptions& options,
                           const std::filesystem::path& dir, CombinedFile& written) {
    Combiner combiner(plan, options, dir / kCombinedName);
    return combiner.run(written);
}

}  // namespace asd::video
