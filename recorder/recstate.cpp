#include "recstate.h"

#include <condition_variable>
#include <cstring>
#include <mutex>

namespace {

constexpr uint8_t kInitialRec = 0;
constexpr int kInitialMode = 2;  // driving
constexpr int kInitialModeChange = 0;
constexpr int kInitialDrEv = 1;

// Whether this thread holds rec_mutex.
thread_local bool t_holdsRecMutex = false;

// Where the capture threads wait. Never destroyed: threads still wait on it when the process
// ends, and destroying a condition variable with waiters blocks the exit.
struct CaptureGate {
    std::mutex mutex;
    std::condition_variable changed;
};

CaptureGate& gate() {
    static CaptureGate* const g = new CaptureGate;
    return *g;
}

}  // namespace

std::atomic<uint8_t> g_bRec{kInitialRec};
std::atomic<int> g_drMode{kInitialMode};
std::atomic<int> g_modeChange{kInitialModeChange};
std::atomic<int> g_drEv{kInitialDrEv};

std::atomic<int> g_gpsRecv{0};
uint8_t g_gpsData[gpsrec::SIZE] = {};
std::atomic<int> g_gsCap{0};
uint8_t g_gsCapData[gsrec::SIZE] = {};

pthread_mutex_t rec_mutex = PTHREAD_MUTEX_INITIALIZER;

RecLock::RecLock() {
    pthread_mutex_lock(&rec_mutex);
    t_holdsRecMutex = true;
}

RecLock::~RecLock() {
    give_back_rec_mutex();
}

bool rec_mutex_held() {
    return t_holdsRecMutex;
}

void give_back_rec_mutex() {
    if (!t_holdsRecMutex) return;
    t_holdsRecMutex = false;
    pthread_mutex_unlock(&rec_mutex);
}

void notify_capture_state() {
    { std::lock_guard<std::mutex> hold(gate().mutex); }
    gate().changed.notify_all();
}

void wait_capture_state(CaptureCondition allowed) {
    std::unique_lock<std::mutex> hold(gate().mutex);
    gate().changed.wait(hold, allowed);
}

void pause_capture_state(CaptureCondition allowed, std::chrono::milliseconds period) {
    std::unique_lock<std::mutex> hold(gate().mutex);
    gate().changed.wait_for(hold, period, [allowed] { return !allowed(); });
}

void reset_recstate_globals() {
    g_bRec = kInitialRec;
    g_drMode = kInitialMode;
    g_modeChange = kInitialModeChange;
    g_drEv = kInitialDrEv;
    g_gpsRecv = 0;
    std::memset(g_gpsData, 0, sizeof g_gpsData);
    g_gsCap = 0;
    std::memset(g_gsCapData, 0, sizeof g_gsCapData);
}
