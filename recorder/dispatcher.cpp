#include "dispatcher.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>

#include "RTCnVolume.h"
#include "capture.h"
#include "cardpaths.h"
#include "clock.h"
#include "config.h"
#include "event.h"
#include "gps.h"
#include "gsensor.h"
#include "le.hpp"
#include "os.h"
#include "recfile.h"
#include "recinfo.h"
#include "recstate.h"
#include "rotation.h"
#include "snapshot.h"
#include "sndout.h"

std::atomic<int> g_eventEnable{0};
int g_GSFirst = 0;
int g_preX = 0, g_preY = 0, g_preZ = 0;
int tCnt = 0;
int tCnt_stop = 0;
int ss_flag = 0;

void reset_dispatcher_globals() {
    g_eventEnable = 0;
    g_GSFirst = 0;
    g_preX = g_preY = g_preZ = 0;
    tCnt = 0;
    tCnt_stop = 0;
    ss_flag = 0;
}

namespace {

constexpr int kKeyNone = 255;
constexpr int kKeyErase = 254;

constexpr int kMarker = 255;  // Y of a marker record
constexpr int kMarkerEmergency = 254;
constexpr int kMarkerAlarm = 253;
constexpr int kMarkerPowerOff = 255;
constexpr int kVolumeUnchanged = 255;

constexpr useconds_t kStepPause = 1000;
constexpr int kSecondsPerDay = 86400;

using GpsRecordView = std::span<const uint8_t, gpsrec::SIZE>;
using AccelRecordView = std::span<const uint8_t, gsrec::SIZE>;
using IbcRecordView = std::span<const uint8_t, ibcrec::SIZE>;

void reboot() {
    std::printf("System rebooting..\n");
    os::system("reboot");
}

// Stops recording and closes the file (its header completed).
void close_recording() {
    RecLock hold;
    g_bRec = 0;
    stop_record();
}

void open_recording() {
    RecLock hold;
    start_record();
}

// --- Type 0: GPS record and front-panel keys -------------------------------------------------

void gps_record(GpsRecordView r) {
    if (r[gpsrec::STATUS] == 'A') {
        RecLock hold;
        OfferGPSTime(le::get_i32(r, gpsrec::YEAR), le::get_i32(r, gpsrec::MONTH),
                     le::get_i32(r, gpsrec::DAY), le::get_i32(r, gpsrec::HOUR),
                     le::get_i32(r, gpsrec::MINUTE), le::get_i32(r, gpsrec::SECOND));
        if (g_bRec != 0) {
            std::span<uint8_t, gpsrec::SIZE> pending(g_gpsData);
            std::copy(r.begin(), r.end(), pending.begin());
            const RecTime now = current_rectime();
            le::put_u32(pending, gpsrec::RECV_SEC, now.sec);
            le::put_u32(pending, gpsrec::RECV_USEC, now.usec);
            g_gpsRecv = 1;
        }
    }

    const int key = le::get_i32(r, gpsrec::KEY);
    if (key == kKeyErase) {
        if (g_disableEraseButton == 1 || g_eventEnable == 0) return;
        std::printf("clear lock file\n");
        SetSoundOutFile(PROMPT_KEY);
        RecLock hold;
        clear_all_locks();
    } else if (key != kKeyNone) {
        std::printf("__callback function Ack Message\n");
        if (key == 0) SetSoundOutFile(PROMPT_KEY);
    }
}

// --- Type 1: accelerometer record ------------------------------------------------------------

// Power is going away: quiet the codec and the audio clock, tell the sub-board, stop the links,
// close the recording file whole, and reboot.
void power_off() {
    SetVolume(0);
    os::ioctl(w99685fd[FRONT_CAMERA], CAMERA_IOC_AUDIO_CLOCK_OFF);
    SendShutdown();
    release_gps();
    release_gsensor();
    close_recording();
    os::sync();
    std::printf("shutdown\n");
    os::system("reboot");
}

void marker(int z) {
    switch (z) {
        case kMarkerEmergency: {
            std::printf("Emergency Recording....\n");
            RecLock hold;
            event_proc(LOCK_EMERGENCY);
            break;
        }
        case kMarkerAlarm: {
            std::printf("External Alram....\n");
            RecLock hold;
            event_proc(LOCK_ALARM);
            break;
        }
        case kMarkerPowerOff:
            if (g_subVer_flag != 0) power_off();
            break;
        default:
            break;
    }
}

bool outside(int difference, int threshold) {
    return difference < -threshold || difference > threshold;
}

// Caller holds rec_mutex.
void impact_test(int x, int y, int z) {
    if (g_GSFirst == 0) {
        g_GSFirst = 1;
        g_preX = x;
        g_preY = y;
        g_preZ = z;
        return;
    }
    const int dX = g_preX - x;
    const int dY = g_preY - y;
    const int dZ = g_preZ - z;
    g_preX = x;
    g_preY = y;
    g_preZ = z;
    // The Y change is held against the third threshold and the Z change against the second.
    const bool impact =
        outside(dX, g_gsCSValueX) || outside(dY, g_gsCSValueZ) || outside(dZ, g_gsCSValueY);
    if (impact && g_drMode == 2) {
        std::printf("Gsensor value over critical section area...\n");
        event_proc(LOCK_IMPACT);
    }
}

// The knob is read by the ADC, whose clock the slow clock mode of parking switches off: a level
// read from the switch to parking on means nothing. (The request is set before the clocks
// change and cleared after the mode is, so it is read first.)
bool knob_readable() {
    return g_modeChange != 1 && g_drMode == 2;
}

void gsensor_record(AccelRecordView r) {
    if (g_eventEnable == 0) return;
    const int x = le::get_i16(r, gsrec::X);
    const int y = le::get_i16(r, gsrec::Y);
    const int z = le::get_i16(r, gsrec::Z);
    const int w = le::get_i16(r, gsrec::W);
    if (y == kMarker) {
        marker(z);
        return;
    }
    if (w != kVolumeUnchanged && knob_readable()) SetVolume(static_cast<uint8_t>(w & 0xFF));
    RecLock hold;
    if (g_bRec == 0) return;
    impact_test(x, y, z);
    std::copy(r.begin(), r.end(), std::begin(g_gsCapData));
    g_gsCap = 1;
}

// --- Type 4: IBC commands --------------------------------------------------------------------

// 'C': back to driving mode, by a reboot.
void to_driving() {
    if (g_drMode != 1 || g_modeChange != 0) return;
    SendShutdown();
    close_recording();
    usleep(kStepPause);
    g_modeChange = 2;
    ChangeDRMode();
    usleep(kStepPause);
    FndON(FND_LEVEL_DRIVING);
    os::sync();
    usleep(kStepPause);
    reboot();
}

// The switch into parking mode: clocks slowed, display off. The accelerometer is not stopped:
// its driver hands over the emergency button, the external alarm and the power-detect line only
// as markers among the samples, and all three still count while parking (impacts do not).
void enter_parking() {
    g_modeChange = 1;
    ChangeDRMode();
    FndOFF_delay();
}

// 'B': to parking mode, recording on in a new file.
void to_parking() {
    if (g_drMode != 2 || g_modeChange != 0) return;
    close_recording();
    enter_parking();
    open_recording();
}

void make_snapshot_dir() {
    if (ss_flag != 0) return;
    if (os::mkdir(cardpath::kSnapshotDir, 0755) == 0 || errno == EEXIST) {
        ss_flag = 1;
    } else {
        std::printf("%s cannot be created - %m\n", cardpath::kSnapshotDir);
    }
}

// 'A': the end of a timed period (reboot), snapshot requests and set ends.
void state_a(char second) {
    make_snapshot_dir();
    if (tCnt > TIMED_REBOOT_AFTER) {
        // The clocks stay as they are: the reset of the reboot brings the board up in normal
        // mode whatever mode it was left in.
        SendShutdown();
        close_recording();
        usleep(kStepPause);
        g_modeChange = 2;
        os::sync();
        usleep(kStepPause);
        reboot();
    }
    if (second == 'O') {
        RecLock hold;
        request_snapshot();
    } else if (second == 'F') {
        RecLock hold;
        end_snapshot_set();
    }
    tCnt = 0;
}

int seconds_of_day(IbcRecordView r, size_t hour, size_t minute, size_t second) {
    return 3600 * le::get_i32(r, hour) + 60 * le::get_i32(r, minute) + le::get_i32(r, second);
}

// Length of the timed period from its first to its second time. A period that runs over
// midnight ends on the next day.
int period_length(IbcRecordView r) {
    const int first = seconds_of_day(r, ibcrec::HOUR1, ibcrec::MIN1, ibcrec::SEC1);
    const int second = seconds_of_day(r, ibcrec::HOUR2, ibcrec::MIN2, ibcrec::SEC2);
    int length = second - first;
    if (length < 0) length += kSecondsPerDay;
    return length;
}

// 'T' and 'F': one command per second of a timed period.
void timed_period(char kind, IbcRecordView r) {
    ++tCnt;
    if (tCnt == 1) tCnt_stop = period_length(r);

    if (tCnt == TIMED_SWITCH_COUNT) {
        close_recording();
        if (kind == 'T') {
            enter_parking();
        } else {
            std::printf("Full fps...\n");
            RecLock hold;
            g_modeChange = 2;  // stays pending: driving mode, mode commands refused
            g_gsCSValueX = g_gsCSValueY = g_gsCSValueZ = FULL_FPS_THRESHOLD;
        }
        open_recording();
    }
    if (tCnt == tCnt_stop - 10) {
        close_recording();
        usleep(kStepPause);
        std::printf("stop_recording....\n");
        os::sync();
    }
}

void ibc_record(IbcRecordView r) {
    const char command = static_cast<char>(r[ibcrec::LETTER1]);
    switch (command) {
        case 'C':
            to_driving();
            break;
        case 'B':
            to_parking();
            break;
        case 'A':
            state_a(static_cast<char>(r[ibcrec::LETTER2]));
            break;
        case 'T':
        case 'F':
            timed_period(command, r);
            break;
        default:
            break;
    }
}

}  // namespace

int __callback_proc(int type, void* record) {
    const auto* bytes = static_cast<const uint8_t*>(record);
    switch (type) {
        case EVENT_GPS:
            if (bytes != nullptr) gps_record(GpsRecordView(bytes, gpsrec::SIZE));
            break;
        case EVENT_GSENSOR:
            if (bytes != nullptr) gsensor_record(AccelRecordView(bytes, gsrec::SIZE));
            break;
        case EVENT_SND_DONE:
            std::printf("snd out done\n");
            SendAckMessageToGPS();
            break;
        case EVENT_SND078_DONE:
            SendRecordCommand(0);
            break;
        case EVENT_IBC:
            if (bytes != nullptr) ibc_record(IbcRecordView(bytes, ibcrec::SIZE));
            break;
        default:
            break;
    }
    return 0;
}
