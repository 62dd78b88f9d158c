#include "video_plan.hpp"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include "text_format.hpp"

namespace asd::video {

namespace {

// Where a file joins the one before when its clock went back: about one frame after it.
constexpr int64_t kJoinAfterStepBack = 66'667;

// The recorder's default impact thresholds as it applies them: the change of X against the first,
// of Y against the third and of Z against the second of 800, 800, 1200.
constexpr int kImpactX = 800;
constexpr int kImpactY = 1200;
constexpr int kImpactZ = 800;

std::string name_of(const Input& in) {
    return std::filesystem::path(in.path).filename().string();
}

std::string seconds_text(int64_t micros) {
    const double s = static_cast<double>(micros) / 1e6;
    if (s >= 3600) return format("%.1f h", s / 3600);
    if (s >= 120) return format("%.0f min", s / 60);
    return format("%.1f s", s);
}

// The time a record has on the box's clock; for an audio block, the end of its samples.
int64_t record_time(const Record& r) {
    return std::visit(
        [](const auto& body) -> int64_t {
            using T = std::decay_t<decltype(body)>;
            if constexpr (std::is_same_v<T, GpsRecord>) {
                return micros(body.received);
            } else {
                return micros(body.time);
            }
        },
        r.body);
}

int64_t audio_micros(uint32_t samples) {
    return static_cast<int64_t>(samples) * 1'000'000 / kAudioRate;
}

int64_t samples_at(int64_t at) {
    // Rounded to the nearest sample; `at` is never negative here.
    return (at * kAudioRate + 500'000) / 1'000'000;
}

// The clip times of every record, before the clip's start is known: real time less the time
// taken out at shortened pauses and clock steps.
struct Placement {
    std::vector<std::vector<int64_t>> times;  // by input, by record
    std::vector<std::pair<int64_t, int64_t>> segments;
};

Placement place(const std::vector<Input>& inputs, std::vector<std::string>& notes) {
    Placement p;
    int64_t shift = 0;
    std::optional<int64_t> cursor;  // the latest placed time
    for (size_t f = 0; f < inputs.size(); ++f) {
        const Recording& rec = inputs[f].rec;
        std::vector<int64_t>& times = p.times.emplace_back();
        times.reserve(rec.records.size());
        for (size_t r = 0; r < rec.records.size(); ++r) {
            const int64_t real = record_time(rec.records[r]);
            int64_t at = real - shift;
            if (!cursor) {
                p.segments.emplace_back(at, real);
            } else if (at > *cursor + kLongestPause) {
                notes.push_back(
                    format("%s: %s without a record before it; the video pauses %s there",
                           name_of(inputs[f]).c_str(), seconds_text(at - *cursor).c_str(),
                           seconds_text(kShortenedPause).c_str()));
                shift = real - (*cursor + kShortenedPause);
            } else if (at < *cursor - kClockStepBack || (r == 0 && at < *cursor)) {
                // The clock was set back: the file goes on after what came before it.
                if (at < *cursor - kClockStepBack)
                    notes.push_back(format("%s: the box's clock went back %s; the video goes on",
                                           name_of(inputs[f]).c_str(),
                                           seconds_text(*cursor - at).c_str()));
                shift = real - (*cursor + (r == 0 ? kJoinAfterStepBack : kShortenedPause));
            }
            if (at != real - shift) {
                at = real - shift;
                p.segments.emplace_back(at, real);
            }
            times.push_back(at);
            cursor = std::max(*cursor, at);
        }
    }
    return p;
}

}  // namespace

int64_t micros(Time t) {
    return static_cast<int64_t>(t.sec) * 1'000'000 + t.usec;
}

Time time_of(int64_t m) {
    if (m < 0) return {};
    return {static_cast<uint32_t>(m / 1'000'000), static_cast<uint32_t>(m % 1'000'000)};
}

Time Plan::time_at(int64_t at) const {
    auto it = std::upper_bound(segments.begin(), segments.end(), at,
                               [](int64_t v, const auto& s) { return v < s.first; });
    if (it == segments.begin()) return time_of(start + at);
    --it;
    return time_of(it->second + (at - it->first));
}

std::optional<Plan> plan_clip(std::vector<Input> inputs, std::string& error) {
    Plan plan;
    std::erase_if(inputs, [&plan](const Input& in) {
        if (!in.rec.records.empty()) return false;
        plan.notes.push_back(name_of(in) + ": no records, left out");
        return true;
    });
    std::stable_sort(inputs.begin(), inputs.end(), [](const Input& a, const Input& b) {
        return micros(a.rec.base.start) < micros(b.rec.base.start);
    });
    Placement placed = place(inputs, plan.notes);

    // The clip starts at its first frame or at the first sample of sound, whichever is earlier.
    std::optional<int64_t> origin;
    const auto earliest = [&origin](int64_t t) { origin = origin ? std::min(*origin, t) : t; };
    for (size_t f = 0; f < inputs.size(); ++f) {
        const auto& records = inputs[f].rec.records;
        for (size_t r = 0; r < records.size(); ++r) {
            if (records[r].kind() == Kind::Video) {
                earliest(placed.times[f][r]);
            } else if (const auto* s = std::get_if<AudioRecord>(&records[r].body)) {
                earliest(placed.times[f][r] - audio_micros(s->length));
            }
        }
    }
    if (!origin || std::none_of(inputs.begin(), inputs.end(),
                                [](const Input& in) { return in.rec.count(Kind::Video) > 0; })) {
        error = "no video frames to export";
        return std::nullopt;
    }

    std::array<std::optional<int64_t>, 2> last;
    int64_t nextSample = 0;
    for (size_t f = 0; f < inputs.size(); ++f) {
        const auto& records = inputs[f].rec.records;
        for (size_t r = 0; r < records.size(); ++r) {
            const int64_t at = placed.times[f][r] - *origin;
            const Record& rec = records[r];
            if (const auto* v = std::get_if<VideoRecord>(&rec.body)) {
                const size_t c = v->channel == 0 ? 0 : 1;
                const int64_t t = last[c] ? std::max(at, *last[c] + 1) : at;
                plan.frames[c].push_back({f, r, t});
                last[c] = t;
                plan.end = std::max(plan.end, t);
            } else if (const auto* s = std::get_if<AudioRecord>(&rec.body)) {
                if (s->length == 0) continue;
                const int64_t ideal = std::max<int64_t>(0, samples_at(at) - s->length);
                const bool hole = plan.audio.empty() || ideal > nextSample + kAudioSlack;
                const int64_t first = hole ? std::max(ideal, nextSample) : nextSample;
                plan.audio.push_back({f, r, first, s->length});
                nextSample = first + s->length;
            } else if (const auto* g = std::get_if<GpsRecord>(&rec.body)) {
                plan.gps.push_back({std::max<int64_t>(0, at), g->received, *g});
            } else if (const auto* a = std::get_if<AccelRecord>(&rec.body)) {
                plan.accel.push_back({std::max<int64_t>(0, at), a->time, a->x, a->y, a->z});
            }
        }
    }
    plan.start = *origin;
    for (const auto& [at, real] : placed.segments) plan.segments.emplace_back(at - *origin, real);
    plan.inputs = std::move(inputs);
    return plan;
}

std::vector<int64_t> impact_moments(const Plan& plan) {
    std::vector<int64_t> out;
    for (size_t i = 1; i < plan.accel.size(); ++i) {
        const AccelPoint& a = plan.accel[i - 1];
        const AccelPoint& b = plan.accel[i];
        if (std::abs(a.x - b.x) > kImpactX || std::abs(a.y - b.y) > kImpactY ||
            std::abs(a.z - b.z) > kImpactZ)
            out.push_back(b.at);
    }
    return out;
}

std::optional<int64_t> strongest_jolt(const Plan& plan) {
    std::optional<int64_t> at;
    int best = -1;
    for (size_t i = 1; i < plan.accel.size(); ++i) {
        const AccelPoint& a = plan.accel[i - 1];
        const AccelPoint& b = plan.accel[i];
        const int change =
            std::max({std::abs(a.x - b.x), std::abs(a.y - b.y), std::abs(a.z - b.z)});
        if (change > best) {
            best = change;
            at = b.at;
        }
    }
    return at;
}

std::string for_each_record(
    const Plan& plan,
    const std::function<std::string(size_t file, size_t record, const Record& r)>& visit) {
    for (size_t f = 0; f < plan.inputs.size(); ++f) {
        const Input& planned = plan.inputs[f];
        const Recording again = read_file(planned.path, {.payloads = true});
        const auto& before = planned.rec.records;
        bool same = again.records.size() >= before.size();
        for (size_t r = 0; same && r < before.size(); ++r) {
            same = again.records[r].offset == before[r].offset &&
                   again.records[r].kind() == before[r].kind();
        }
        if (!same) return planned.path + ": changed while it was exported";
        for (size_t r = 0; r < before.size(); ++r) {
            if (auto why = visit(f, r, again.records[r]); !why.empty()) return why;
        }
    }
    return "";
}

AudioCursor::AudioCursor(const Plan& plan) : plan_(plan) {
    if (!plan.audio.empty()) position_ = plan.audio.front().sample;
}

int64_t AudioCursor::silence_until(int64_t upto) {
    if (next_ >= plan_.audio.size()) return 0;
    const int64_t holeEnd = plan_.audio[next_].sample;
    const int64_t target = upto + kAudioSlack >= holeEnd ? holeEnd : upto;
    if (target <= position_ || (target < holeEnd && target - position_ < kAudioSlack)) return 0;
    const int64_t n = target - position_;
    position_ = target;
    return n;
}

std::optional<int64_t> AudioCursor::block(size_t file, size_t record) {
    if (next_ >= plan_.audio.size()) return std::nullopt;
    const AudioRef& ref = plan_.audio[next_];
    if (ref.file != file || ref.record != record) return std::nullopt;
    const int64_t silence = ref.sample - position_;
    position_ = ref.sample + ref.length;
    ++next_;
    return silence;
}

}  // namespace asd::video
