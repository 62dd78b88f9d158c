// Recording files and card directories made byte by byte for the viewer's tests, with the times
// each test needs (the recorder's own writer takes them from the clock).
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "le.hpp"

namespace viewtest {

namespace fs = std::filesystem;

struct When {
    uint32_t sec = 0;
    uint32_t usec = 0;
};

// When `seconds` after t0 (1 800 000 000 s since 1970, 2027-01-15 08:00:00 UTC).
inline When at(double seconds) {
    const auto us = static_cast<uint64_t>(seconds * 1e6 + 0.5);
    return {static_cast<uint32_t>(1800000000 + us / 1000000), static_cast<uint32_t>(us % 1000000)};
}

// A JPEG-like frame: start of image, `n` bytes that tell frames apart, end of image.
inline std::vector<uint8_t> jpeg(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n + 4, seed);
    v[0] = 0xFF;
    v[1] = 0xD8;
    for (size_t i = 2; i < n + 2; ++i) v[i] = static_cast<uint8_t>(seed + i);
    v[n + 2] = 0xFF;
    v[n + 3] = 0xD9;
    return v;
}

class Asd {
  public:
    // The header; `closed` completes it as the recorder does when it closes the file.
    explicit Asd(When start) : start_(start) { bytes_.resize(84); }

    Asd& video(uint8_t channel, When t, const std::vector<uint8_t>& jpegBytes) {
        auto r = begin(0x01, 26 + jpegBytes.size());
        le::put_u16(r, 6, 640);
        le::put_u16(r, 8, 480);
        r[10] = channel;
        le::put_u32(r, 14, static_cast<uint32_t>(jpegBytes.size()));
        put_time(r, 18, t);
        std::copy(jpegBytes.begin(), jpegBytes.end(), r.begin() + 26);
        ++videos_;
        return end(r, t);
    }
    Asd& accel(When t, int16_t x, int16_t y, int16_t z) {
        auto r = begin(0x00, 22);
        le::put_i16(r, 6, x);
        le::put_i16(r, 8, y);
        le::put_i16(r, 10, z);
        le::put_i16(r, 12, 255);
        put_time(r, 14, t);
        return end(r, t);
    }
    // A GPS record (fix 'A' unless `status` says otherwise) at ddmm.mmmm / dddmm.mmmm.
    Asd& gps(When t, const std::string& lat, const std::string& lon, int speed, int heading,
             char status = 'A') {
        auto r = begin(0x02, 94);
        r[6] = static_cast<uint8_t>(status);
        r[7] = 'N';
        r[8] = 'E';
        le::put_i32(r, 10, 9);  // satellites
        le::put_i32(r, 14, speed);
        le::put_i32(r, 18, heading);
        le::put_i32(r, 22, 255);
        le::put_i32(r, 26, 417);
        std::copy(lat.begin(), lat.end(), r.begin() + 30);
        std::copy(lon.begin(), lon.end(), r.begin() + 45);
        put_time(r, 62, t);
        return end(r, t);
    }
    Asd& audio(When t, size_t samples, uint8_t value) {
        auto r = begin(0x03, 18 + samples);
        put_time(r, 6, t);
        le::put_u32(r, 14, static_cast<uint32_t>(samples));
        std::fill(r.begin() + 18, r.end(), value);
        return end(r, t);
    }

    // The file as the recorder leaves it: closed (count and end time written) or not.
    std::vector<uint8_t> bytes(bool closed = true) const {
        std::vector<uint8_t> b = bytes_;
        b[0] = 0x11;
        b[1] = 0x08;
        b[6] = 4;
        le::put_u32(b, 8, closed ? videos_ : 0);
        put_time(b, 12, start_);
        put_time(b, 20, closed ? last_ : start_);
        b[28 + 53] = 1;
        return b;
    }
    void write(const fs::path& path, bool closed = true) const {
        fs::create_directories(path.parent_path());
        const auto b = bytes(closed);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    }

  private:
    std::vector<uint8_t> begin(uint8_t kind, size_t size) {
        std::vector<uint8_t> r(size);
        r[0] = kind;
        r[1] = 0xFF;
        le::put_u32(r, 2, static_cast<uint32_t>(prev_));
        return r;
    }
    Asd& end(const std::vector<uint8_t>& r, When t) {
        prev_ = bytes_.size();
        bytes_.insert(bytes_.end(), r.begin(), r.end());
        last_ = t;
        return *this;
    }
    static void put_time(std::span<uint8_t> b, size_t off, When t) {
        le::put_u32(b, off, t.sec);
        le::put_u32(b, off + 4, t.usec);
    }

    When start_;
    When last_{};
    std::vector<uint8_t> bytes_;
    size_t prev_ = 0;
    uint32_t videos_ = 0;
};

// The recording index: next file, lock count, lock entries (type << 16 | generation).
inline void write_recinfo(const fs::path& path, uint32_t next,
                          const std::vector<std::pair<size_t, uint32_t>>& locks) {
    std::vector<uint8_t> b(5608);
    le::put_u32(b, 0, next);
    uint32_t generations = 0;
    for (const auto& [file, entry] : locks) {
        le::put_u32(b, 8 + 4 * file, entry);
        generations = std::max(generations, entry & 0xFFFF);
    }
    le::put_u32(b, 4, generations);
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

inline void write_text(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

}  // namespace viewtest
