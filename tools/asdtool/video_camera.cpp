#include "video_camera.hpp"

#include <algorithm>
#include <memory>
#include <optional>

#include "recording_export.hpp"
#include "video_av.hpp"
#include "video_caption.hpp"

namespace asd::video {

namespace {

constexpr AVRational kMicros{1, 1'000'000};
constexpr AVRational kSamples{1, static_cast<int>(kAudioRate)};
constexpr int64_t kSilenceChunk = kAudioRate;  // samples in one packet of silence

// One camera's file while it is written.
struct Camera {
    size_t channel = 0;
    std::unique_ptr<av::Output> out;
    AVStream* video = nullptr;
    AVStream* audio = nullptr;
    AVStream* subtitles = nullptr;
    std::vector<int64_t> pts;  // of every frame in the video stream's time base, increasing
    int64_t lastLength = 0;    // of the last frame, in that time base
    size_t nextFrame = 0;
    size_t nextCue = 0;
    int64_t lastCuePts = -1;
    int64_t lastAudioPts = -1;
    std::optional<AudioCursor> sound;
    CameraFile report;
};

std::string add_streams(const Plan& plan, Camera& cam) {
    const FrameRef& first = plan.frames[cam.channel].front();
    const auto& v = std::get<VideoRecord>(plan.inputs[first.file].rec.records[first.record].body);
    cam.video = cam.out->add_stream();
    if (cam.video == nullptr) return "cannot add a video stream";
    AVCodecParameters* par = cam.video->codecpar;
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = AV_CODEC_ID_MJPEG;
    // The size the first frame says it has (the JPEG inside says for itself).
    par->width = v.width != 0 ? v.width : 640;
    par->height = v.height != 0 ? v.height : 480;
    par->color_range = AVCOL_RANGE_JPEG;
    cam.video->time_base = kMicros;
    av_dict_set(&cam.video->metadata, "title", cam.channel == 1 ? "front camera" : "rear camera",
                0);

    if (cam.channel == 1 && !plan.audio.empty()) {
        cam.audio = cam.out->add_stream();
        if (cam.audio == nullptr) return "cannot add an audio stream";
        par = cam.audio->codecpar;
        par->codec_type = AVMEDIA_TYPE_AUDIO;
        par->codec_id = AV_CODEC_ID_PCM_U8;
        par->sample_rate = kAudioRate;
        av_channel_layout_default(&par->ch_layout, 1);
        par->bits_per_coded_sample = 8;
        par->block_align = 1;
        par->bit_rate = kAudioRate * 8;
        cam.audio->time_base = kSamples;
        av_dict_set(&cam.audio->metadata, "title", "cabin", 0);
        cam.sound.emplace(plan);
    }
    if (!plan.gps.empty()) {
        cam.subtitles = cam.out->add_stream();
        if (cam.subtitles == nullptr) return "cannot add a subtitle stream";
        par = cam.subtitles->codecpar;
        par->codec_type = AVMEDIA_TYPE_SUBTITLE;
        par->codec_id = AV_CODEC_ID_SUBRIP;
        cam.subtitles->time_base = AVRational{1, 1000};
        cam.subtitles->disposition = AV_DISPOSITION_DEFAULT;
        av_dict_set(&cam.subtitles->metadata, "title", "GPS and accelerometer", 0);
    }
    av_dict_set(&cam.out->context()->metadata, "title",
                cam.channel == 1 ? "Front camera" : "Rear camera", 0);
    av_dict_set(&cam.out->context()->metadata, "creation_time",
                iso_time(time_of(plan.start)).c_str(), 0);
    return "";
}

// Frame times in the stream's time base (what the muxer left after its header), each later than
// the one before.
void frame_times(const Plan& plan, Camera& cam) {
    const auto& frames = plan.frames[cam.channel];
    for (const FrameRef& f : frames) {
        int64_t pts = av_rescale_q(f.at, kMicros, cam.video->time_base);
        if (!cam.pts.empty()) pts = std::max(pts, cam.pts.back() + 1);
        cam.pts.push_back(pts);
    }
    // The last frame lasts as long as the one before it (a frame's worth at 15 a second alone).
    cam.lastLength = cam.pts.size() > 1 ? cam.pts.back() - cam.pts[cam.pts.size() - 2]
                                        : av_rescale_q(66'667, kMicros, cam.video->time_base);
    cam.lastLength = std::max<int64_t>(cam.lastLength, 1);
}

std::string write_packet(Camera& cam, av::Packet packet, AVStream* st, int64_t pts,
                         int64_t length) {
    if (!packet) return "out of memory";
    packet->stream_index = st->index;
    packet->pts = packet->dts = pts;
    packet->duration = length;
    return cam.out->write(packet.get());
}

std::string write_audio(Camera& cam, std::span<const uint8_t> samples, int64_t first) {
    const int64_t length = static_cast<int64_t>(samples.size());
    int64_t pts = av_rescale_q(first, kSamples, cam.audio->time_base);
    pts = std::max(pts, cam.lastAudioPts + 1);
    cam.lastAudioPts = pts;
    cam.report.audioSamples += length;
    return write_packet(cam, av::packet_of(samples), cam.audio, pts,
                        std::max<int64_t>(1, av_rescale_q(length, kSamples, cam.audio->time_base)));
}

std::string write_silence(Camera& cam, int64_t first, int64_t count) {
    const std::vector<uint8_t> quiet(static_cast<size_t>(std::min(count, kSilenceChunk)), 0x80);
    for (int64_t done = 0; done < count;) {
        const int64_t n = std::min(count - done, kSilenceChunk);
        if (auto why =
                write_audio(cam, std::span(quiet).first(static_cast<size_t>(n)), first + done);
            !why.empty())
            return why;
        done += n;
    }
    return "";
}

// The cues that start at or before `at`.
std::string write_cues(const Plan& plan, Camera& cam, int64_t at) {
    if (cam.subtitles == nullptr) return "";
    const AVRational tb = cam.subtitles->time_base;
    for (; cam.nextCue < plan.gps.size() && plan.gps[cam.nextCue].at <= at; ++cam.nextCue) {
        const std::string text = cue_text(plan, cam.nextCue);
        int64_t pts =
            std::max(av_rescale_q(plan.gps[cam.nextCue].at, kMicros, tb), cam.lastCuePts + 1);
        cam.lastCuePts = pts;
        const int64_t length =
            std::max<int64_t>(1, av_rescale_q(cue_length(plan, cam.nextCue), kMicros, tb));
        auto packet =
            av::packet_of(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
        if (auto why = write_packet(cam, std::move(packet), cam.subtitles, pts, length);
            !why.empty())
            return why;
        ++cam.report.cues;
    }
    return "";
}

std::string write_frame(const Plan& plan, Camera& cam, size_t file, size_t record,
                        const VideoRecord& v) {
    const auto& frames = plan.frames[cam.channel];
    const size_t k = cam.nextFrame;
    if (k >= frames.size() || frames[k].file != file || frames[k].record != record)
        return "frame out of the plan's order";
    const int64_t at = frames[k].at;
    if (auto why = write_cues(plan, cam, at); !why.empty()) return why;
    if (cam.sound) {
        const int64_t before = cam.sound->position();
        const int64_t silence = cam.sound->silence_until(at * kAudioRate / 1'000'000);
        if (silence > 0) {
            if (auto why = write_silence(cam, before, silence); !why.empty()) return why;
        }
    }
    const int64_t length = k + 1 < cam.pts.size() ? cam.pts[k + 1] - cam.pts[k] : cam.lastLength;
    auto packet = av::packet_of(v.jpeg);
    if (packet) packet->flags |= AV_PKT_FLAG_KEY;
    if (auto why = write_packet(cam, std::move(packet), cam.video, cam.pts[k], length);
        !why.empty())
        return why;
    ++cam.nextFrame;
    ++cam.report.frames;
    return "";
}

std::string write_block(Camera& cam, size_t file, size_t record, const AudioRecord& s) {
    const std::optional<int64_t> silence = cam.sound->block(file, record);
    if (!silence) return "audio out of the plan's order";
    const int64_t first = cam.sound->position() - static_cast<int64_t>(s.samples.size()) - *silence;
    if (*silence > 0) {
        if (auto why = write_silence(cam, first, *silence); !why.empty()) return why;
    }
    return write_audio(cam, s.samples, first + *silence);
}

}  // namespace

const char* camera_file_name(size_t channel) {
    return channel == 1 ? "front.mkv" : "rear.mkv";
}

std::string write_camera_files(const Plan& plan, const std::filesystem::path& dir,
                               std::vector<CameraFile>& written) {
    std::vector<std::unique_ptr<Camera>> cams;
    std::array<Camera*, 2> byChannel{};
    for (size_t c : {size_t{1}, size_t{0}}) {
        if (plan.frames[c].empty()) continue;
        auto cam = std::make_unique<Camera>();
        cam->channel = c;
        cam->report.channel = c;
        cam->report.path = dir / camera_file_name(c);
        cam->out = std::make_unique<av::Output>(cam->report.path, "matroska");
        if (!cam->out->error().empty()) return cam->out->error();
        if (auto why = add_streams(plan, *cam); !why.empty()) return why;
        if (auto why = cam->out->start(); !why.empty()) return why;
        frame_times(plan, *cam);
        byChannel[c] = cam.get();
        cams.push_back(std::move(cam));
    }

    Camera* front = byChannel[1];
    const std::string why = for_each_record(plan, [&](size_t f, size_t r, const Record& rec) {
        if (const auto* v = std::get_if<VideoRecord>(&rec.body)) {
            return write_frame(plan, *byChannel[v->channel == 0 ? 0 : 1], f, r, *v);
        }
        if (const auto* s = std::get_if<AudioRecord>(&rec.body)) {
            if (front != nullptr && front->sound && !s->samples.empty())
                return write_block(*front, f, r, *s);
        }
        return std::string();
    });
    if (!why.empty()) return why;

    for (auto& cam : cams) {
        if (auto w = write_cues(plan, *cam, INT64_MAX); !w.empty()) return w;
        if (auto w = cam->out->finish(); !w.empty()) return w;
        cam->report.length =
            av_rescale_q(cam->pts.back() + cam->lastLength, cam->video->time_base, kMicros);
        written.push_back(cam->report);
    }
    return "";
}

}  // namespace asd::video
