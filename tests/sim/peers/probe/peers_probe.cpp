// A program for the whole-board tests of the serial peers and the board's devices, run by
// simboard in place of volcheck and recorder. It uses the recorder's own link and device code
// (recorder_core, common), so what it shows is what the recorder would see.
//
//   peers_probe links TZ DST SPEED   init_gps, the version query, start_gps with these
//                                    settings, init_ibc and start_ibc; prints every GPS and IBC
//                                    record it receives; waits to be ended
//   peers_probe rtc-read             prints the RTC's date as ReadRTC gives it
//   peers_probe rtc-set Y M D h m s  sets the RTC with SetRTC, then reads it back
//   peers_probe watchdog SECONDS     arms the watchdog with that timeout and never feeds it
//   peers_probe prompt N...          plays the prompts through the recorder's prompt thread
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <semaphore>
#include <string>

#include "RTCnVolume.h"
#include "config.h"
#include "gps.h"
#include "ibc.h"
#include "le.hpp"
#include "os.h"
#include "sndout.h"
#include "wdt.h"

namespace {

[[noreturn]] void wait_for_end() {
    for (;;) ::pause();
}

int32_t field(const void* record, size_t offset) {
    std::span<const uint8_t> bytes(static_cast<const uint8_t*>(record), 92);
    return le::get_i32(bytes, offset);
}

int on_gps(int type, void* record) {
    if (type != EVENT_GPS || record == nullptr) return 0;
    const auto* r = static_cast<const char*>(record);
    std::printf("GPS %c %s%c %s%c speed %d heading %d key %d date %02d-%02d-%02d %02d:%02d:%02d\n",
                r[gpsrec::STATUS], r + gpsrec::LAT_TEXT, r[gpsrec::LAT_HEMI], r + gpsrec::LON_TEXT,
                r[gpsrec::LON_HEMI], field(record, gpsrec::HEADING_GATE),
                field(record, gpsrec::HEADING), field(record, gpsrec::KEY),
                field(record, gpsrec::YEAR), field(record, gpsrec::MONTH),
                field(record, gpsrec::DAY), field(record, gpsrec::HOUR),
                field(record, gpsrec::MINUTE), field(record, gpsrec::SECOND));
    return 0;
}

int on_ibc(int type, void* record) {
    if (type != EVENT_IBC || record == nullptr) return 0;
    const auto* r = static_cast<const uint8_t*>(record);
    std::span<const uint8_t> b(r, ibcrec::SIZE);
    std::printf("IBC %c%c%c%c %02d:%02d:%02d %02d:%02d:%02d\n", r[ibcrec::LETTER1],
                r[ibcrec::LETTER2], r[ibcrec::LETTER3], r[ibcrec::LETTER4],
                le::get_i32(b, ibcrec::HOUR1), le::get_i32(b, ibcrec::MIN1),
                le::get_i32(b, ibcrec::SEC1), le::get_i32(b, ibcrec::HOUR2),
                le::get_i32(b, ibcrec::MIN2), le::get_i32(b, ibcrec::SEC2));
    return 0;
}

std::counting_semaphore<16> prompts_done{0};

int on_prompt(int type, void*) {
    std::printf("prompt done (event %d)\n", type);
    prompts_done.release();
    return 0;
}

int links(int argc, char** argv) {
    if (argc != 5) return 2;
    static ExFileHeader settings{};
    settings.tzIndex = static_cast<uint8_t>(std::atoi(argv[2]));
    settings.useDST = static_cast<uint8_t>(std::atoi(argv[3]));
    settings.speedUnit = static_cast<uint8_t>(std::atoi(argv[4]));
    init_gps(on_gps);
    const int kind = subCheck();
    std::printf("version query: %d (flag %d)\n", kind, g_subVer_flag);
    start_gps(&settings, 1);
    init_ibc(on_ibc);
    start_ibc();
    wait_for_end();
}

int read_rtc() {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    const int r = ReadRTC(&y, &mo, &d, &h, &mi, &s);
    std::printf("ReadRTC %d: %04d-%02d-%02d %02d:%02d:%02d\n", r, y, mo, d, h, mi, s);
    return r == 0 ? 0 : 1;
}

int watchdog(int seconds) {
    // The recorder's own arming asks for 30 s; the probe asks for its own timeout the same way.
    wdt_fd = os::open("/dev/watchdog", O_RDWR | O_NONBLOCK);
    if (wdt_fd < 0) {
        std::printf("no watchdog: %s\n", std::strerror(errno));
        return 1;
    }
    int timeout = seconds;
    const int r = os::ioctl(wdt_fd, WDIOC_SETTIMEOUT, &timeout);
    std::printf("watchdog armed (%d): %d s\n", r, timeout);
    wait_for_end();
}

int prompts(int argc, char** argv) {
    OpenIICDevice();
    init_snd(on_prompt, -1);
    for (int i = 2; i < argc; ++i) {
        SetSoundOutFile(std::atoi(argv[i]));
        prompts_done.acquire();
    }
    std::printf("all prompts played\n");
    release_snd();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    os::init();
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "links") return links(argc, argv);
    if (mode == "rtc-read") {
        OpenIICDevice();
        return read_rtc();
    }
    if (mode == "rtc-set" && argc == 8) {
        OpenIICDevice();
        const int r = SetRTC(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]),
                             std::atoi(argv[5]), std::atoi(argv[6]), std::atoi(argv[7]));
        std::printf("SetRTC %d\n", r);
        return read_rtc();
    }
    if (mode == "watchdog" && argc == 3) return watchdog(std::atoi(argv[2]));
    if (mode == "prompt") return prompts(argc, argv);
    std::fprintf(stderr, "peers_probe: unknown mode '%s'\n", mode.c_str());
    return 2;
}
