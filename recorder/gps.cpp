// Front sub-board link: configuration at start-up, the version query, the "$GPSTX" reader with
// its silence supervision, and the commands other parts send to the sub-board.
#include "gps.h"

#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "gsensor.h"
#include "le.hpp"
#include "os.h"
#include "sentence.h"

uint8_t g_subVer_flag = 0;
const int forCorrectT[34] = {-12, -11, -10, -9, -8, -7, -6, -5, -5, -4, -4, -3, -2, -1, 0,  1,  2,
                             3,   4,   4,   5,  5,  6,  6,  6,  7,  7,  8,  9,  10, 10, 11, 12, 13};

int ttySAC1_fd = -1;
int iHeading = 0;
std::array<uint8_t, gpsrec::SIZE> g_gpsdata{};

namespace {

using sentence::Row;

const Row GMT[34] = {
    "$PZVK,#GMT-1200,00*cc\r\n", "$PZVK,#GMT-1100,00*cc\r\n", "$PZVK,#GMT-1000,00*cc\r\n",
    "$PZVK,#GMT-0900,00*cc\r\n", "$PZVK,#GMT-0800,00*cc\r\n", "$PZVK,#GMT-0700,00*cc\r\n",
    "$PZVK,#GMT-0600,00*cc\r\n", "$PZVK,#GMT-0500,00*cc\r\n", "$PZVK,#GMT-0430,00*cc\r\n",
    "$PZVK,#GMT-0400,00*cc\r\n", "$PZVK,#GMT-0330,00*cc\r\n", "$PZVK,#GMT-0300,00*cc\r\n",
    "$PZVK,#GMT-0200,00*cc\r\n", "$PZVK,#GMT-0100,00*cc\r\n", "$PZVK,#GMT+0000,00*cc\r\n",
    "$PZVK,#GMT+0100,00*cc\r\n", "$PZVK,#GMT+0200,00*cc\r\n", "$PZVK,#GMT+0300,00*cc\r\n",
    "$PZVK,#GMT+0330,00*cc\r\n", "$PZVK,#GMT+0400,00*cc\r\n", "$PZVK,#GMT+0430,00*cc\r\n",
    "$PZVK,#GMT+0500,00*cc\r\n", "$PZVK,#GMT+0530,00*cc\r\n", "$PZVK,#GMT+0545,00*cc\r\n",
    "$PZVK,#GMT+0600,00*cc\r\n", "$PZVK,#GMT+0630,00*cc\r\n", "$PZVK,#GMT+0700,00*cc\r\n",
    "$PZVK,#GMT+0800,00*cc\r\n", "$PZVK,#GMT+0900,00*cc\r\n", "$PZVK,#GMT+0930,00*cc\r\n",
    "$PZVK,#GMT+1000,00*cc\r\n", "$PZVK,#GMT+1100,00*cc\r\n", "$PZVK,#GMT+1200,00*cc\r\n",
    "$PZVK,#GMT+1300,00*cc\r\n",
};

// Zones whose sub-board setting never takes daylight saving.
constexpr uint8_t kNoDSTZones[] = {0, 1, 2, 8, 18, 20, 22, 23, 25, 31, 33};

const Row DST[2] = {"$PZVK,#DSTOFF,00*cc\r\n", "$PZVK,#DSTON,00*cc\r\n"};
const Row SPEED[3] = {"$PZVK,#SPEEDK,00*cc\r\n", "$PZVK,#SPEEDM,00*cc\r\n",
                      "$PZVK,#SPEEDKN,00*cc\r\n"};
const Row FNDbright[9] = {
    "$PZVK,#FND0,00*cc\r\n", "$PZVK,#FND1,00*cc\r\n", "$PZVK,#FND2,00*cc\r\n",
    "$PZVK,#FND3,00*cc\r\n", "$PZVK,#FND4,00*cc\r\n", "$PZVK,#FND5,00*cc\r\n",
    "$PZVK,#FND6,00*cc\r\n", "$PZVK,#FND7,00*cc\r\n", "$PZVK,#FND8,00*cc\r\n",
};

const Row DRSTART = "$PZVK,#DRSTART,00*cc\r\n";
const Row SUB35 = "$PZVK,#SUB35,00*cc\r\n";
const Row VOK = "$PZVK,#VOK,00*cc\r\n";
const Row REC0 = "$PZVK,#REC0,00*cc\r\n";
const Row REC1 = "$PZVK,#REC1,00*cc\r\n";
const Row ERRSD = "$PZVK,#ERRSD,00*cc\r\n";
const Row GETNOGPS = "$PZVK,#GETNOGPS,00*cc\r\n";
const Row REBOOT = "$PZVK,#REBOOT,00*cc\r\n";

constexpr unsigned long kOneMillisecond = 1000;
constexpr unsigned long kOneSecond = 1000000;
constexpr unsigned long kReadWait = 3 * kOneSecond;  // what a silent read waits

EventCallback __callbackfuc = nullptr;
ExFileHeader* g_pExFileHeader = nullptr;
int m_model = 1;
std::atomic<uint8_t> gps_thread_run{1};
std::atomic<uint8_t> g_gpsMode{1};
sem_t gps_wake;  // posted whenever gps_thread_run or g_gpsMode changes
pthread_t gps_thread_handle;
bool gps_thread_started = false;
sentence::LineGatherer strGPSMsg;
int silent_reads = 0;  // consecutive reads that returned nothing

int SendRow(const char* row) {
    return static_cast<int>(sentence::Send(ttySAC1_fd, std::string_view(row)));
}

template <size_t N>
const char* RowOf(const Row (&table)[N], unsigned index, const char* what) {
    if (index < N) return table[index];
    std::printf("gps: %s %u has no sub-board command\n", what, index);
    return nullptr;
}

void SendTableRow(const char* row) {
    if (row != nullptr) SendRow(row);
}

bool IsNoDSTZone(unsigned tz) {
    for (uint8_t z : kNoDSTZones) {
        if (z == tz) return true;
    }
    return false;
}

void WriteInt(std::span<uint8_t, gpsrec::SIZE> record, size_t offset, int value) {
    le::put_i32(record, offset, value);
}

// Latitude and longitude travel as "%lf" text in fields of fixed size. A value that is not a
// number, or whose text would not fit its field, is stored as 0.
void WriteCoordinate(std::span<uint8_t, gpsrec::SIZE> record, size_t offset, size_t size,
                     std::string_view field) {
    double value = 0.0;
    if (!sentence::FieldEmpty(field)) {
        if (const auto v = sentence::ScanFraction(field)) value = *v;
    }
    char text[gpsrec::LON_TEXT_SIZE + 1];
    int n = std::snprintf(text, sizeof text, "%lf", value);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        std::printf("### gps coordinate out of range\n");
        n = std::snprintf(text, sizeof text, "%lf", 0.0);
    }
    std::memcpy(record.data() + offset, text, static_cast<size_t>(n) + 1);
}

// A date or time field: three two-digit numbers, all 0 unless the three convert.
void WriteTriple(std::span<uint8_t, gpsrec::SIZE> record, std::string_view field, size_t first,
                 size_t second, size_t third) {
    std::array<int, 3> v{};
    if (sentence::ScanPairs(field, v) != v.size()) v = {0, 0, 0};
    WriteInt(record, first, v[0]);
    WriteInt(record, second, v[1]);
    WriteInt(record, third, v[2]);
}

int IntField(std::string_view field) {
    int v = 0;
    sentence::ScanInt(field, 0, v);
    return v;
}

// The version answer "$SUBOK" / "$SUB24" followed by the firmware date yyyymmdd: rewrites the
// stamp files and returns the sub-board kind (1 or 2), or 0 for any other text.
int JudgeVersionAnswer(std::string_view chunk) {
    const bool sub35 = chunk.starts_with("$SUBOK");
    const bool sub24 = chunk.starts_with("$SUB24");
    if (!sub35 && !sub24) return 0;

    std::string_view digits = chunk.substr(6);
    int year = 0, month = 0, day = 0;
    if (sentence::ScanInt(digits, 4, year) && sentence::ScanInt(digits, 2, month)) {
        sentence::ScanInt(digits, 2, day);
    }
    os::system("/bin/rm /mnt/mmcblk0p1/DB_version.txt");
    bool written = false;
    if (FILE* f = os::fopen("/mnt/mmcblk0p1/GPS_version.txt", "w")) {
        written = std::fprintf(f, sub35 ? "SUB3.5_Ver : %04d%02d%02d" : "SUB2.4_Ver : %04d%02d%02d",
                               year, month, day) > 0;
        written = (std::fclose(f) == 0) && written;
    }
    if (sub35) {
        if (written && !(year == 2010 && month == 4 && day == 30)) g_subVer_flag = 1;
        return 1;
    }
    if (written) g_subVer_flag = 2;
    return 2;
}

// Silence supervision: the second silent read in a row pulses the power-detect line and asks
// for GPS again, the third reports the error and starts the count afresh.
void SuperviseSilence(ssize_t count) {
    if (count > 0) {
        silent_reads = 0;
        return;
    }
    if (count < 0) return;
    if (++silent_reads > 2) {
        SendErrorCmd(2);
        silent_reads = 0;
    }
    if (silent_reads > 1) {
        pwrDetectControl();
        sentence::Pause(5 * kOneSecond);
        sentence::Pause(5 * kOneSecond);
        SendRow(GETNOGPS);
        sentence::Pause(5 * kOneSecond);
    }
}

void* gps_thread(void*) {
    while (gps_thread_run.load()) {
        if (g_gpsMode.load() == 0) {
            // Parking mode: nothing to read until the mode changes or the link is released.
            sem_wait(&gps_wake);
            continue;
        }
        GPSReadTurn();
    }
    return nullptr;
}

struct WakeInit {
    WakeInit() { sem_init(&gps_wake, 0, 0); }
} wake_init;

}  // namespace

void reset_gps_globals() {
    g_subVer_flag = 0;
    iHeading = 0;
    g_gpsdata.fill(0);
    g_pExFileHeader = nullptr;
    m_model = 1;
    strGPSMsg = {};
    silent_reads = 0;
}

int init_gps(EventCallback callback) {
    std::printf("init gps start\n");
    __callbackfuc = callback;
    strGPSMsg = {};
    silent_reads = 0;
    ttySAC1_fd = sentence::OpenPort("/dev/ttySAC1");
    if (ttySAC1_fd < 0) {
        std::printf("Serial Open Fail [/dev/ttySAC1]\r\n ");
        return -1;
    }
    std::printf("init gps success\n");
    return 0;
}

void SendGPSConfiguration(const ExFileHeader& settings) {
    const unsigned tz = settings.tzIndex;
    for (int pass = 0; pass < 3; ++pass) {
        SendRow(DRSTART);
        SendTableRow(RowOf(GMT, tz, "time zone"));
        SendTableRow(IsNoDSTZone(tz) ? DST[0] : RowOf(DST, settings.useDST, "daylight saving"));
        SendTableRow(RowOf(SPEED, settings.speedUnit, "speed unit"));
        SendRow(FNDbright[5]);
        sentence::Pause(kOneMillisecond);
    }
    SendRow(FNDbright[5]);
}

int start_gps(ExFileHeader* settings, int model) {
    g_pExFileHeader = settings;
    m_model = model;
    std::printf("Start gps...\n");
    if (settings != nullptr) SendGPSConfiguration(*settings);
    gps_thread_run = 1;
    if (!gps_thread_started) {
        gps_thread_started = pthread_create(&gps_thread_handle, nullptr, gps_thread, nullptr) == 0;
    }
    return 0;
}

void setgpsMode(int flag) {
    g_gpsMode = static_cast<uint8_t>(flag);
    sem_post(&gps_wake);
}

void release_gps() {
    gps_thread_run = 0;
    sem_post(&gps_wake);
}

void join_gps_thread() {
    if (!gps_thread_started || pthread_equal(gps_thread_handle, pthread_self())) return;
    pthread_join(gps_thread_handle, nullptr);
    gps_thread_started = false;
}

bool ParseGPSTX(std::string_view line, std::span<uint8_t, gpsrec::SIZE> record, int& heading) {
    std::array<std::string_view, 13> field;
    for (int k = 1; k <= 12; ++k) {
        const auto f = sentence::Field(line, k);
        if (!f) return false;
        field[k] = *f;
    }
    std::fill(record.begin(), record.end(), 0);
    WriteTriple(record, field[1], gpsrec::DAY, gpsrec::MONTH, gpsrec::YEAR);
    WriteTriple(record, field[2], gpsrec::HOUR, gpsrec::MINUTE, gpsrec::SECOND);
    record[gpsrec::STATUS] = field[3].starts_with('A') ? 'A' : 'V';
    WriteCoordinate(record, gpsrec::LAT_TEXT, gpsrec::LAT_TEXT_SIZE, field[4]);
    record[gpsrec::LAT_HEMI] = field[5].starts_with('S') ? 'S' : 'N';
    WriteCoordinate(record, gpsrec::LON_TEXT, gpsrec::LON_TEXT_SIZE, field[6]);
    record[gpsrec::LON_HEMI] = field[7].starts_with('W') ? 'W' : 'E';
    WriteInt(record, gpsrec::FIELD8, IntField(field[8]));
    const int gate = IntField(field[9]);
    WriteInt(record, gpsrec::HEADING_GATE, gate);
    // The heading counts only with a gate above 7; otherwise, or when the field holds no number,
    // the last accepted heading is carried on.
    int new_heading = heading;
    if (!sentence::FieldEmpty(field[10]) && gate > 7) {
        std::string_view text = field[10];
        sentence::ScanInt(text, 0, new_heading);
    }
    heading = new_heading;
    WriteInt(record, gpsrec::HEADING, heading);
    WriteInt(record, gpsrec::KEY, sentence::FieldEmpty(field[11]) ? 255 : IntField(field[11]));
    WriteInt(record, gpsrec::FIELD12, IntField(field[12]));
    return true;
}

bool ProcessGPSMessage(std::string_view line, ssize_t chunk_length) {
    if (!line.starts_with("$GPSTX")) return false;
    if (!ParseGPSTX(line, g_gpsdata, iHeading)) {
        std::printf("### gps %d \n", static_cast<int>(chunk_length));
        return false;
    }
    if (__callbackfuc != nullptr) __callbackfuc(EVENT_GPS, g_gpsdata.data());
    return true;
}

void GPSReadTurn() {
    sentence::Chunk chunk;
    const ssize_t count = sentence::ReadChunk(ttySAC1_fd, chunk);
    if (count < 0 && errno != EINTR) {
        // No port, or a broken one: wait as long as a silent read would instead of spinning.
        sentence::Pause(kReadWait);
    }
    SuperviseSilence(count);
    strGPSMsg.Feed(sentence::ChunkText(chunk, count),
                   [count](std::string_view line) { return ProcessGPSMessage(line, count); });
    if (m_model == 0) os::sync();
}

int subCheck() {
    SendRow(SUB35);
    int retries = 0;
    for (;;) {
        sentence::Chunk chunk;
        const ssize_t count = sentence::ReadChunk(ttySAC1_fd, chunk);
        if (count == 0) return 0;
        if (count < 0) {
            if (errno == EINTR) continue;
            return 0;  // no port: there is no answer to wait for
        }
        const std::string_view text = sentence::ChunkText(chunk, count);
        for (char c : text) {
            if (c != '\n') continue;
            if (const int kind = JudgeVersionAnswer(text)) return kind;
            SendRow(SUB35);
            if (retries > 4) return 0;
            ++retries;
            sentence::Pause(100 * kOneMillisecond);
        }
    }
}

int SendAckMessageToGPS() {
    std::printf("Ack message Send...\n");
    return SendRow(VOK);
}

int SendRecordCommand(int state) {
    switch (static_cast<uint8_t>(state)) {
        case 1:
            std::printf("Record start Message %s\n", REC0);
            SendRow(REC0);
            break;
        case 0:
            std::printf("Record stop Message\n");
            SendRow(REC1);
            break;
        default:
            break;
    }
    return 0;
}

int SendErrorCmd(int code) {
    const uint8_t c = static_cast<uint8_t>(code);
    if (c == 255) {
        SendRow(ERRSD);
        return 0;
    }
    char text[sentence::kRowSize];
    std::snprintf(text, sizeof text, "$PZVK,#ERR%d,00*cc\r\n", c);
    SendRow(text);
    return 0;
}

int SendShutdown() {
    SendRow(REBOOT);
    return 0;
}

void FndOFF_delay() {
    std::printf("FND OFF.....\n");
    for (int i = 0; i < 9; ++i) {
        SendRow(FNDbright[0]);
        sentence::Pause(kOneSecond);
    }
}

void FndON(int level) {
    std::printf("FND ON.....\n");
    const char* row = RowOf(FNDbright, static_cast<unsigned>(level), "display level");
    if (row == nullptr) return;
    for (int i = 0; i < 4; ++i) {
        SendRow(row);
        sentence::Pause(kOneSecond);
    }
}
