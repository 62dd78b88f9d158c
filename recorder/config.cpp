// User configuration: basic_conf, read by line position once at start-up.
//
// Lines are taken by position (the key in front of the first ':' is never examined). A number is
// the decimal integer after the ':', a text starts two characters after it (the ':' and the blank
// that follows) and runs to the line end. The settings that index tables elsewhere (PRERECTIME,
// TZ, DST, SPUNIT) are brought into their valid range here, so every user of a setting and the
// recording file header see the same value.
#include "config.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "cardpaths.h"
#include "os.h"

namespace {
// The settings before the configuration is read.
constexpr uint8_t kInitialRes = 32;
constexpr int kInitialQp = 4;
constexpr uint8_t kInitialAudioRec = 1;
constexpr int kInitialPreRecTime = 1;
constexpr int kInitialHistoryDepth = 4;
constexpr int kInitialThresholdX = 800, kInitialThresholdY = 800, kInitialThresholdZ = 1200;
}  // namespace

ExFileHeader g_exFileHeader{};

uint8_t g_res = kInitialRes;
int g_qp = kInitialQp;
uint8_t g_audioRec = kInitialAudioRec;
int g_preRecTime = kInitialPreRecTime;
int g_recHistoryDepth = kInitialHistoryDepth;
int g_disableEraseButton = 0;
int g_fpsParking = 0;
int g_gsCSValueX = kInitialThresholdX, g_gsCSValueY = kInitialThresholdY,
    g_gsCSValueZ = kInitialThresholdZ;

void reset_config_globals() {
    g_exFileHeader = ExFileHeader{};
    g_res = kInitialRes;
    g_qp = kInitialQp;
    g_audioRec = kInitialAudioRec;
    g_preRecTime = kInitialPreRecTime;
    g_recHistoryDepth = kInitialHistoryDepth;
    g_disableEraseButton = 0;
    g_fpsParking = 0;
    g_gsCSValueX = kInitialThresholdX;
    g_gsCSValueY = kInitialThresholdY;
    g_gsCSValueZ = kInitialThresholdZ;
}

const int GSVAL_X[4] = {400, 600, 800, 1500};
const int GSVAL_Y[4] = {400, 600, 800, 1500};
const int GSVAL_Z[4] = {800, 1000, 1200, 1900};

namespace {

constexpr const char* kFirmwareVersion = "Firmware 2.75W";
constexpr int kLineBufferSize = 1024;
constexpr int kSettingLines = 14;
constexpr int kTzDefault = 14;     // GMT+0000
constexpr int kImpactOff = 20000;  // a threshold no reading reaches

// The number after the first ':' as atoi reads it: blanks skipped, optional sign, digits up to
// the first other character, no digits gives 0. Saturates like the box's 32-bit strtol.
bool number_value(std::string_view line, int& out) {
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    size_t i = colon + 1;
    while (i < line.size() && (line[i] == ' ' || (line[i] >= '\t' && line[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < line.size() && (line[i] == '+' || line[i] == '-')) negative = line[i++] == '-';
    long long v = 0;
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
        v = v * 10 + (line[i] - '0');
        if (v > static_cast<long long>(INT_MAX) + 1) v = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) v = -v;
    if (v > INT_MAX) v = INT_MAX;
    out = static_cast<int>(v);
    return true;
}

// The text two characters after the first ':' up to the line end. Exactly the line end (a LF,
// and a CR right before it) is removed: a CR LF line loses both, a last line without LF keeps
// every character.
bool text_value(std::string_view line, std::string_view& out) {
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    std::string_view rest = line.substr(colon + 1);
    if (!rest.empty()) rest.remove_prefix(1);  // the blank after ':' (or the line feed itself)
    if (!rest.empty() && rest.back() == '\n') {
        rest.remove_suffix(1);
        if (!rest.empty() && rest.back() == '\r') rest.remove_suffix(1);
    }
    out = rest;
    return true;
}

// Copies text into a fixed field, cut to the field's size minus one, NUL-terminated.
template <size_t N>
void set_text_field(char (&field)[N], std::string_view text) {
    size_t len = text.size() < N - 1 ? text.size() : N - 1;
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), len);
}

// A byte setting outside lo..hi is replaced by its default, with a message.
uint8_t in_range_or_default(const char* name, int value, int lo, int hi, int fallback) {
    auto byte = static_cast<uint8_t>(value);
    if (byte < lo || byte > hi) {
        std::printf("basic_conf: %s %d is out of range %d..%d, using %d\n", name, byte, lo, hi,
                    fallback);
        return static_cast<uint8_t>(fallback);
    }
    return byte;
}

void set_thresholds(int index) {
    g_gsCSValueX = GSVAL_X[index];
    g_gsCSValueY = GSVAL_Y[index];
    g_gsCSValueZ = GSVAL_Z[index];
}

void apply_line(int lineNo, std::string_view line) {
    int n = 0;
    std::string_view text;
    switch (lineNo) {
        case 1:  // RESOLUTION
            if (!number_value(line, n)) return;
            g_res = static_cast<uint8_t>(n);
            if (g_res != 64 && g_res != 32) g_res = 32;
            return;
        case 2:  // QPVAL
            if (!number_value(line, n)) return;
            g_qp = static_cast<unsigned>(n) > 5 ? 4 : n;
            return;
        case 3:  // GSENSOR
            if (!number_value(line, n)) return;
            set_thresholds(static_cast<unsigned>(n) > 3 ? 2 : n);
            return;
        case 4:  // USEAUDIO
            if (!number_value(line, n)) return;
            g_audioRec = static_cast<uint8_t>(n) == 1 ? 0 : 1;
            return;
        case 5:  // PRERECTIME: the lock table has three columns, the history five places
            if (!number_value(line, n)) return;
            if (n < 1 || n > 3) {
                std::printf("basic_conf: PRERECTIME %d is out of range 1..3, using 1\n", n);
                n = 1;
            }
            g_preRecTime = n;
            g_recHistoryDepth = n + 1;
            return;
        case 6:  // USEPW
            if (number_value(line, n)) g_exFileHeader.usePassword = static_cast<uint8_t>(n);
            return;
        case 7:  // PW
            if (text_value(line, text)) set_text_field(g_exFileHeader.password, text);
            return;
        case 8:  // TZ: 34 time zones
            if (number_value(line, n))
                g_exFileHeader.tzIndex = in_range_or_default("TZ", n, 0, 33, kTzDefault);
            return;
        case 9:  // DST
            if (number_value(line, n))
                g_exFileHeader.useDST = in_range_or_default("DST", n, 0, 1, 0);
            return;
        case 10:  // SPUNIT: km/h, mph, knots
            if (number_value(line, n))
                g_exFileHeader.speedUnit = in_range_or_default("SPUNIT", n, 0, 2, 0);
            return;
        case 11:  // NUMOFVEHICLE
            if (text_value(line, text)) set_text_field(g_exFileHeader.vehicleNumber, text);
            return;
        case 12:  // impact detection switch
            if (number_value(line, n) && n == 0) {
                g_gsCSValueX = g_gsCSValueY = g_gsCSValueZ = kImpactOff;
            }
            return;
        case 13:
            if (number_value(line, n)) g_disableEraseButton = n;
            return;
        case 14:
            if (number_value(line, n)) g_fpsParking = (n == 0 || n == 1) ? n : 0;
            return;
        default:
            return;
    }
}

void write_version_stamp() {
    int fd = os::open(cardpath::kVersionStamp, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return;
    char text[64];
    int len = std::snprintf(text, sizeof text, "FW_VERSION : %s", kFirmwareVersion);
    if (os::write(fd, text, len) != len) {
        std::printf("%s: write failed - %m\n", cardpath::kVersionStamp);
    }
    os::close(fd);
}

void read_settings(FILE* f) {
    std::array<char, kLineBufferSize> line{};
    for (int lineNo = 1; lineNo <= kSettingLines; ++lineNo) {
        line.fill(0);
        if (std::fgets(line.data(), line.size(), f) == nullptr) break;
        apply_line(lineNo, std::string_view(line.data()));
    }
}

void print_summary() {
    std::printf("******* User configuration Value... ******************************\n");
    std::printf("***** resolution %x, qp %x GS value %d %d %d audio %d***********\n", g_res, g_qp,
                g_gsCSValueX, g_gsCSValueY, g_gsCSValueZ, g_audioRec);
    std::printf("***** preRecTime %d, usePassword %d, Password %s *********\n", g_preRecTime,
                g_exFileHeader.usePassword, g_exFileHeader.password);
    std::printf(
        "***** tzIndex %d, useDST %d, unit of speed %d, Vehicle Number %s, frame for parking %d "
        "*****\n",
        g_exFileHeader.tzIndex, g_exFileHeader.useDST, g_exFileHeader.speedUnit,
        g_exFileHeader.vehicleNumber, g_fpsParking);
}

int write_default_file() {
    std::printf("config file not found\n");
    g_res = 32;
    g_qp = 4;
    g_audioRec = 1;
    FILE* f = os::fopen(cardpath::kBasicConf, "a");
    if (f == nullptr) {
        std::printf("config file creat error...\n");
        return -1;
    }
    std::fprintf(f, "RESOLUTION : %d\n", 32);
    std::fprintf(f, "QPVAL : %d\n", 4);
    std::fprintf(f, "GSENSOR : %d\n", 2);
    std::fprintf(f, "USEAUDIO : %d\n", 0);
    std::fprintf(f, "PRERECTIME : %d\n", g_preRecTime);
    std::fprintf(f, "USEPW : %d\n", g_exFileHeader.usePassword);
    std::fprintf(f, "PW : %s\n", g_exFileHeader.password);
    std::fprintf(f, "TZ : %d\n", g_exFileHeader.tzIndex);
    std::fprintf(f, "DST : 0\n");
    std::fprintf(f, "SPUNIT : %d\n", g_exFileHeader.speedUnit);
    std::fprintf(f, "NUMOFVEHICLE : %s\n", g_exFileHeader.vehicleNumber);
    if (std::fclose(f) != 0) std::printf("%s: write failed - %m\n", cardpath::kBasicConf);
    return 0;
}

}  // namespace

int ParseBasicConf() {
    for (const char* dir : {cardpath::kDataDir, cardpath::kConfigDir, cardpath::kUpdateDir}) {
        os::mkdir(dir, 0755);
    }
    write_version_stamp();

    std::memset(&g_exFileHeader, 0, sizeof g_exFileHeader);
    g_exFileHeader.tzIndex = kTzDefault;

    FILE* f = os::fopen(cardpath::kBasicConf, "r");
    if (f == nullptr) {
        os::system("cp -a /mnt/jffs_user/config/basic_conf /mnt/mmcblk0p1/configs/basic_conf");
        f = os::fopen(cardpath::kBasicConf, "r");
    }
    if (f == nullptr) return write_default_file();

    read_settings(f);
    print_summary();
    std::fclose(f);
    os::system("cp -a /mnt/mmcblk0p1/configs/basic_conf /mnt/jffs_user/config/basic_conf");
    return 0;
}
