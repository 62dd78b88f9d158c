#include "recording_export.hpp"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <span>

#include "le.hpp"
#include "text_format.hpp"

namespace asd {

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kSampleRate = 8000;

std::string unix_time(Time t) {
    return format("%u.%06u", t.sec, t.usec);
}

std::string xml_escaped(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// Writes a whole file; "" or why not.
std::string write_file(const fs::path& path, std::span<const uint8_t> bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out)
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    if (out) out.close();
    if (!out) return "cannot write " + path.string() + ": " + std::strerror(errno);
    return "";
}

std::string write_text(const fs::path& path, const std::string& text) {
    return write_file(path, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

// A card the recorder uses holds its firmware stamp or a recording index in data/.
bool is_card(const fs::path& dir) {
    std::error_code ec;
    return fs::exists(dir / "Firmware_version.txt", ec) || fs::exists(dir / "data/recinfo", ec);
}

std::string prepare_dir(const fs::path& dir) {
    std::error_code ec;
    if (fs::exists(dir, ec)) {
        if (!fs::is_directory(dir, ec)) return dir.string() + " is not a directory";
        if (!fs::is_empty(dir, ec))
            return dir.string() + " is not empty: give a new or an empty directory";
    }
    for (const char* sub : {"front", "rear"}) {
        fs::create_directories(dir / sub, ec);
        if (ec) return "cannot create " + (dir / sub).string() + ": " + ec.message();
    }
    return "";
}

// The GPS receiver's own date and time, when the record holds a real one.
std::optional<std::string> gps_time(const GpsRecord& g) {
    if (g.year < 0 || g.year > 99 || g.month < 1 || g.month > 12 || g.day < 1 || g.day > 31 ||
        g.hour < 0 || g.hour > 23 || g.minute < 0 || g.minute > 59 || g.second < 0 || g.second > 60)
        return std::nullopt;
    return format("%04d-%02d-%02dT%02d:%02d:%02dZ", 2000 + g.year, g.month, g.day, g.hour, g.minute,
                  g.second);
}

class Exporter {
  public:
    Exporter(const fs::path& dir, std::string_view fileName, ExportReport& report)
        : dir_(dir), fileName_(fileName), report_(report) {}

    std::string run(const Recording& rec) {
        frames_ = "camera,number,time_utc,time_unix,width,height,bytes,file\n";
        gps_ =
            "time_utc,time_unix,status,latitude,longitude,gps_time,satellites,speed_kmh,heading,"
            "key,altitude_m\n";
        accel_ = "time_utc,time_unix,x,y,z,knob\n";
        track_ = format(
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<gpx version=\"1.1\" creator=\"asdtool\" "
            "xmlns=\"http://www.topografix.com/GPX/1/1\">\n"
            "  <trk>\n    <name>%s</name>\n    <trkseg>\n",
            xml_escaped(fileName_).c_str());
        for (const Record& r : rec.records) {
            std::string why;
            if (const auto* v = std::get_if<VideoRecord>(&r.body)) {
                why = frame(*v);
            } else if (const auto* g = std::get_if<GpsRecord>(&r.body)) {
                gps(*g);
            } else if (const auto* a = std::get_if<AccelRecord>(&r.body)) {
                accel(*a);
            } else if (const auto* s = std::get_if<AudioRecord>(&r.body)) {
                report_.audioBytes += s->samples.size();
            }
            if (!why.empty()) return why;
        }
        track_ += "    </trkseg>\n  </trk>\n</gpx>\n";
        for (const auto& [name, text] : {std::pair{"frames.csv", &frames_},
                                         {"gps.csv", &gps_},
                                         {"accel.csv", &accel_},
                                         {"track.gpx", &track_}}) {
            if (auto why = write_text(dir_ / name, *text); !why.empty()) return why;
        }
        return audio(rec);
    }

  private:
    std::string frame(const VideoRecord& v) {
        const bool front = v.channel != 0;
        const size_t number = ++report_.frames[front ? 1 : 0];
        const std::string name = format(
            "%s/%05zu_%sZ.jpg", front ? "front" : "rear", number,
            (utc(v.time.sec, "%Y%m%dT%H%M%S") + format(".%03u", v.time.usec / 1000)).c_str());
        frames_ += format("%s,%zu,%s,%s,%u,%u,%u,%s\n", front ? "front" : "rear", number,
                          iso_time(v.time).c_str(), unix_time(v.time).c_str(), v.width, v.height,
                          v.length, name.c_str());
        return write_file(dir_ / name, v.jpeg);
    }

    void gps(const GpsRecord& g) {
        ++report_.gpsRecords;
        const auto lat = gps_degrees(g.latitude, g.latHemisphere, false);
        const auto lon = gps_degrees(g.longitude, g.lonHemisphere, true);
        const auto own = gps_time(g);
        gps_ +=
            format("%s,%s,%c,%s,%s,%s,%d,%d,%d,%d,%d\n", iso_time(g.received).c_str(),
                   unix_time(g.received).c_str(), g.status, lat ? format("%.6f", *lat).c_str() : "",
                   lon ? format("%.6f", *lon).c_str() : "", own ? own->c_str() : "", g.field8,
                   g.headingGate, g.heading, g.key, g.field12);
        if (g.status != 'A' || !lat || !lon) return;
        ++report_.gpsPoints;
        const std::string when = own ? *own : utc(g.received.sec, "%Y-%m-%dT%H:%M:%SZ");
        track_ += format(
            "      <trkpt lat=\"%.6f\" lon=\"%.6f\"><ele>%d</ele><time>%s</time>"
            "<desc>%d km/h, heading %d</desc><sat>%d</sat></trkpt>\n",
            *lat, *lon, g.field12, when.c_str(), g.headingGate, g.heading,
            g.field8 < 0 ? 0 : g.field8);
    }

    void accel(const AccelRecord& a) {
        ++report_.accel;
        accel_ += format("%s,%s,%d,%d,%d,%d\n", iso_time(a.time).c_str(), unix_time(a.time).c_str(),
                         a.x, a.y, a.z, a.w);
    }

    std::string audio(const Recording& rec) {
        const fs::path path = dir_ / "audio.wav";
        if (report_.audioBytes > UINT32_MAX - 64) return "too much audio for one WAV file";
        const uint32_t bytes = static_cast<uint32_t>(report_.audioBytes);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        const auto header = wav_header(bytes);
        out.write(reinterpret_cast<const char*>(header.data()), header.size());
        for (const Record& r : rec.records) {
            if (const auto* s = std::get_if<AudioRecord>(&r.body)) {
                out.write(reinterpret_cast<const char*>(s->samples.data()),
                          static_cast<long>(s->samples.size()));
            }
        }
        if (bytes % 2 != 0) out.put(0);  // RIFF chunks end on an even byte
        out.close();
        if (!out) return "cannot write " + path.string() + ": " + std::strerror(errno);
        return "";
    }

    fs::path dir_;
    std::string fileName_;
    ExportReport& report_;
    std::string frames_, gps_, accel_, track_;
};

}  // namespace

std::string card_around(const fs::path& dir) {
    std::error_code ec;
    fs::path p = fs::weakly_canonical(fs::absolute(dir, ec), ec);
    if (ec) return "";
    for (;; p = p.parent_path()) {
        if (is_card(p)) {
            return dir.string() + " is inside the card " + p.string() +
                   ": give a directory outside the card";
        }
        if (p == p.parent_path()) return "";
    }
}

std::optional<double> gps_degrees(std::string_view text, char hemisphere, bool longitude) {
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || !std::isfinite(value) || value < 0)
        return std::nullopt;
    const double whole = std::floor(value / 100);
    const double minutes = value - whole * 100;
    const double degrees = whole + minutes / 60;
    if (minutes >= 60 || degrees > (longitude ? 180 : 90)) return std::nullopt;
    const bool negative = longitude ? hemisphere == 'W' : hemisphere == 'S';
    return negative ? -degrees : degrees;
}

std::array<uint8_t, 44> wav_header(uint32_t dataBytes) {
    std::array<uint8_t, 44> h{};
    const auto tag = [&h](size_t off, const char(&text)[5]) { std::memcpy(&h[off], text, 4); };
    const uint32_t padded = dataBytes + (dataBytes % 2);
    tag(0, "RIFF");
    le::put_u32(h, 4, 36 + padded);
    tag(8, "WAVE");
    tag(12, "fmt ");
    le::put_u32(h, 16, 16);           // size of the format chunk
    le::put_u16(h, 20, 1);            // PCM
    le::put_u16(h, 22, 1);            // mono
    le::put_u32(h, 24, kSampleRate);  // samples a second
    le::put_u32(h, 28, kSampleRate);  // bytes a second
    le::put_u16(h, 32, 1);            // bytes a sample
    le::put_u16(h, 34, 8);            // bits a sample: unsigned 8-bit
    tag(36, "data");
    le::put_u32(h, 40, dataBytes);
    return h;
}

std::string iso_time(Time t) {
    return utc(t.sec, "%Y-%m-%dT%H:%M:%S") + format(".%06uZ", t.usec);
}

std::string export_recording(const std::string& file, const fs::path& dir, ExportReport& report) {
    report = {};
    if (std::string why = card_around(dir); !why.empty()) return why;
    const Recording rec = read_file(file, {.payloads = true});
    if (!rec.readError.empty()) return file + ": " + rec.readError;
    if (rec.damage && (rec.damage->offset == 0 || rec.fileSize < 84))
        return file + ": nothing to export: " + rec.damage->reason;
    // Opened and never written, or the power went while its header was written.
    if (rec.ending() == Ending::Empty || rec.fileSize < 84)
        return file + ": nothing to export: " +
               (rec.cutShort ? rec.cutShort->reason : ending_name(rec.ending()));
    report.damage = rec.damage;
    if (auto why = prepare_dir(dir); !why.empty()) return why;
    return Exporter(dir, fs::path(file).filename().string(), report).run(rec);
}

}  // namespace asd
