#include "audio_playback.hpp"

#include <algorithm>

#include "../input_file.hpp"

namespace simboard::peers {

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxPromptFile = 4u << 20;  // prompt files are short; larger files never match

}  // namespace

std::optional<std::string> PromptLibrary::match(std::span<const uint8_t> bytes) {
    std::error_code ec;
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(dir_, ec)) {
        if (e.path().extension() == ".wav" && e.is_regular_file(ec)) files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    std::lock_guard lock(mutex_);
    for (const auto& path : files) {
        const auto size = fs::file_size(path, ec);
        if (ec || size != bytes.size() || size > kMaxPromptFile) continue;
        const auto mtime = fs::last_write_time(path, ec);
        if (ec) continue;
        Entry& entry = cache_[path.filename().string()];
        if (entry.bytes.size() != size || entry.mtime != mtime) {
            entry.mtime = mtime;
            std::string text, error;
            entry.bytes.clear();
            if (read_input_file(path, kMaxPromptFile, text, error))
                entry.bytes.assign(text.begin(), text.end());
        }
        if (std::equal(bytes.begin(), bytes.end(), entry.bytes.begin(), entry.bytes.end()))
            return path.filename().string();
    }
    return std::nullopt;
}

PlaybackStream::PlaybackStream(PromptLibrary& library, Sink sink, std::string via, bool header_rate,
                               uint32_t device_byte_rate)
    : library_(library),
      sink_(std::move(sink)),
      via_(std::move(via)),
      header_rate_(header_rate),
      device_rate_(device_byte_rate) {}

uint32_t PlaybackStream::byte_rate() const {
    if (header_rate_ && wave_) return wave_->byte_rate;
    return device_rate_;
}

void PlaybackStream::feed(std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        size_t take = bytes.size();
        if (wave_) take = std::min(take, wave_->total_size - current_size_);
        const auto part = bytes.first(take);
        bytes = bytes.subspan(take);
        const size_t keep =
            std::min(part.size(), kKeepForMatching - std::min(kKeepForMatching, current_.size()));
        current_.insert(current_.end(), part.begin(), part.begin() + static_cast<long>(keep));
        current_size_ += part.size();
        if (!wave_ && !not_wave_) {
            bool incomplete = false;
            wave_ = parse_wave(std::span<const uint8_t>(current_), nullptr, &incomplete);
            if (!wave_ && (!incomplete || current_size_ > current_.size())) not_wave_ = true;
            if (wave_ && current_size_ > wave_->total_size) {
                // Taken past its end before the header was known: the rest is the next sound.
                std::vector<uint8_t> rest(current_.begin() + static_cast<long>(wave_->total_size),
                                          current_.end());
                current_.resize(wave_->total_size);
                current_size_ = wave_->total_size;
                complete(current_size_);
                feed(std::span<const uint8_t>(rest));
                continue;
            }
        }
        if (wave_ && current_size_ >= wave_->total_size) complete(current_size_);
    }
}

void PlaybackStream::finish() {
    if (current_size_ > 0) complete(current_size_);
}

void PlaybackStream::complete(size_t size) {
    PlayedSound s;
    s.bytes = size;
    s.via = via_;
    std::optional<std::string> name;
    if (current_.size() == size) name = library_.match(std::span<const uint8_t>(current_));
    s.name = name ? *name : wave_ ? "unknown-wave" : "unknown-sound";
    uint64_t sound_bytes = size;
    uint32_t rate = device_rate_;
    if (wave_ && header_rate_) {
        sound_bytes = size > wave_->data_offset
                          ? std::min<uint64_t>(wave_->data_size, size - wave_->data_offset)
                          : 0;
        rate = wave_->byte_rate;
    }
    s.length_ms = rate == 0 ? 0 : static_cast<unsigned>((sound_bytes * 1000 + rate / 2) / rate);
    current_.clear();
    current_size_ = 0;
    wave_.reset();
    not_wave_ = false;
    sink_(s);
}

bool PlaybackLog::open(const fs::path& path, std::string& error) {
    return file_.open(path, "playback log", error);
}

void PlaybackLog::close() {
    file_.close();
}

void PlaybackLog::add(const PlayedSound& sound) {
    file_.add(sound.name + " " + std::to_string(sound.length_ms) + " ms " +
              std::to_string(sound.bytes) + " bytes " + sound.via);
    std::lock_guard lock(mutex_);
    last_ = sound;
    ++count_;
}

std::optional<PlayedSound> PlaybackLog::last() const {
    std::lock_guard lock(mutex_);
    return last_;
}

unsigned PlaybackLog::count() const {
    std::lock_guard lock(mutex_);
    return count_;
}

}  // namespace simboard::peers
