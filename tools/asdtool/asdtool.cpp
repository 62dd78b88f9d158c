// asdtool: looks into recording files.
//   asdtool info FILE...          header, settings, time range and records of each file
//   asdtool check FILE...         verifies every record
//   asdtool summary CARD_DIR      the card's recordings, events and snapshots
//   asdtool export FILE... DIR    frames as JPEG files, GPS as GPX, accelerometer, audio as WAV,
//                                 a video per camera; --event N, --combined (export_command.hpp)
//   asdtool view CARD_DIR         the card in a browser (view_server.hpp)
// Exit status: 0 success; 1 a file or the card could not be read, a recording is damaged (info,
// check, export) or the command failed; 2 the command line is wrong.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "asd_reader.hpp"
#include "asdtool.hpp"
#include "card_summary.hpp"
#include "export_command.hpp"
#ifdef ASDTOOL_VIEW
#include "view_server.hpp"
#endif

namespace {

std::string utc(asd::Time t) {
    time_t secs = t.sec;
    struct tm tm {};
    gmtime_r(&secs, &tm);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    char full[80];
    std::snprintf(full, sizeof full, "%s.%06u UTC", text, t.usec);
    return full;
}

// ", last write cut short at byte N" for a file whose last write the power interrupted.
std::string cut_short(const asd::Recording& rec) {
    if (!rec.cutShort) return "";
    return ", last write cut short at byte " + std::to_string(rec.cutShort->offset);
}

void print_damage(const std::string& path, const asd::Recording& rec) {
    std::printf("%s: damaged at byte %llu: %s\n", path.c_str(),
                static_cast<unsigned long long>(rec.damage->offset), rec.damage->reason.c_str());
}

// One line on stderr for a file that could not be read at all.
bool unreadable(const char* command, const std::string& path, const asd::Recording& rec) {
    if (rec.readError.empty()) return false;
    std::fprintf(stderr, "asdtool %s: %s: %s\n", command, path.c_str(), rec.readError.c_str());
    return true;
}

// 1 when the file cannot be read or is damaged.
int info(const std::string& path) {
    const asd::Recording rec = asd::read_file(path);
    if (unreadable("info", path, rec)) return 1;
    std::printf("%s\n", path.c_str());
    std::printf("  size        %llu bytes\n", static_cast<unsigned long long>(rec.fileSize));
    if (rec.fileSize >= 84 && !(rec.damage && rec.damage->offset == 0)) {
        std::printf("  quantiser   %u\n", rec.base.quantiser);
        std::printf("  start       %s\n", utc(rec.base.start).c_str());
        std::printf("  end         %s%s\n", utc(rec.base.end).c_str(),
                    rec.closed() ? "" : " (not closed: power lost)");
        std::printf(
            "  settings    speed unit %u, time zone %u, DST %u, password %s, vehicle \"%s\"\n",
            rec.ext.speedUnit, rec.ext.tzIndex, rec.ext.useDST, rec.ext.usePassword ? "on" : "off",
            rec.ext.vehicleNumber.c_str());
        std::printf("  records     %zu: video %zu, GPS %zu, accelerometer %zu, audio %zu\n",
                    rec.records.size(), rec.count(asd::Kind::Video), rec.count(asd::Kind::Gps),
                    rec.count(asd::Kind::Accel), rec.count(asd::Kind::Audio));
        std::set<std::pair<int, std::pair<int, int>>> streams;
        for (const asd::Record& r : rec.records) {
            if (const auto* v = std::get_if<asd::VideoRecord>(&r.body)) {
                streams.insert({v->channel, {v->width, v->height}});
            }
        }
        for (const auto& [channel, size] : streams) {
            std::printf("  video       channel %d (%s camera), %dx%d\n", channel,
                        channel == 0 ? "rear" : "front", size.first, size.second);
        }
        std::printf("  header      video count %u\n", rec.base.videoRecords);
    }
    if (rec.damage) {
        print_damage(path, rec);
        return 1;
    }
    std::printf("  state       %s%s\n", asd::ending_name(rec.ending()), cut_short(rec).c_str());
    return 0;
}

// Files that were never closed or never written are normal in the ring: only damage fails.
int check(const std::string& path) {
    const asd::Recording rec = asd::read_file(path);
    if (unreadable("check", path, rec)) return 1;
    if (rec.damage) {
        print_damage(path, rec);
        return 1;
    }
    switch (rec.ending()) {
        case asd::Ending::Empty:
            std::printf("%s: %s\n", path.c_str(), asd::ending_name(rec.ending()));
            break;
        case asd::Ending::NotClosed:
            std::printf("%s: ok, %zu records, %s%s\n", path.c_str(), rec.records.size(),
                        asd::ending_name(rec.ending()), cut_short(rec).c_str());
            break;
        case asd::Ending::Closed:
            std::printf("%s: ok, %zu records\n", path.c_str(), rec.records.size());
            break;
    }
    return 0;
}

int summary(const std::string& card) {
    const asd::CardSummary s = asd::summarize_card(card);
    std::fputs(asd::format_summary(s).c_str(), stdout);
    const bool unreadable =
        std::any_of(s.files.begin(), s.files.end(),
                    [](const asd::FileSummary& f) { return !f.readError.empty(); });
    return s.error.empty() && !unreadable ? 0 : 1;
}

int usage() {
    std::fprintf(stderr,
                 "usage: asdtool info FILE...        headers, settings and records of each file\n"
                 "       asdtool check FILE...       exit status 1 when a file is damaged\n"
                 "       asdtool summary CARD_DIR    recordings, events and snapshots of a card\n"
                 "       asdtool export FILE... DIR  frames (JPEG), track (GPX), accelerometer\n"
                 "                                   (CSV), audio (WAV) and a video per camera\n"
                 "                                   (MKV) into a new directory\n"
                 "       asdtool export CARD_DIR DIR --event N\n"
                 "                                   the same for the files event N locked\n"
                 "         --combined                also one clip of both cameras (MP4, H.264)\n"
                 "         --layout side|pip         side by side (default), or the rear inset\n"
                 "         --quality CRF             0 (best) .. 51, default 23\n"
                 "         --fps N                   frames a second of the clip, default 15\n"
                 "       asdtool view CARD_DIR [--port N] [--listen ADDRESS] [--tiles URL|none]\n"
                 "                                   the card in a browser\n");
    return 2;
}

}  // namespace

int asdtool_main(int argc, char** argv) {
    if (argc < 3) return usage();
    std::string_view command = argv[1];
    int status = 0;
    if (command == "info") {
        for (int i = 2; i < argc; ++i) status |= info(argv[i]);
    } else if (command == "check") {
        for (int i = 2; i < argc; ++i) status |= check(argv[i]);
    } else if (command == "summary" && argc == 3) {
        status = summary(argv[2]);
    } else if (command == "export") {
        asd::ExportArgs args;
        const std::string why = asd::parse_export_args({argv + 2, argv + argc}, args);
        if (!why.empty()) {
            std::fprintf(stderr, "asdtool export: %s\n", why.c_str());
            return usage();
        }
        status = asd::run_export(args, stdout, stderr);
    } else if (command == "view") {
#ifdef ASDTOOL_VIEW
        status = asd::view::view_main(std::span<char* const>(argv + 2, argc - 2));
#else
        std::fprintf(stderr, "asdtool view: this asdtool was built without the viewer\n");
        status = 2;
#endif
    } else {
        return usage();
    }
    return status;
}
