// Voice prompts. One request slot holds the number of the next prompt; the prompt thread sleeps
// on a semaphore until a request or the system-error mark arrives, plays the prompt with the
// microphone turned down, and reports the end of the prompt to the event callback.
#include "sndout.h"

#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "RTCnVolume.h"
#include "os.h"

SoundCommandFunction g_soundCommand = os::system;

namespace {

constexpr int kNoRequest = -1;
constexpr int kSpecialPrompt = 255;  // plays 078, reported as its own event
constexpr uint8_t kMicLevelDuringPrompt = 16;
constexpr uint8_t kMicLevelNormal = 56;

std::atomic<int> snd_idx{kNoRequest};
std::atomic<int> g_sysError{0};
std::atomic<int> snd_thread_run{0};
EventCallback __sndcallback = nullptr;
sem_t snd_wake;  // posted by every request, by the error mark and by release
pthread_t snd_thread_handle;
bool snd_thread_started = false;

struct WakeInit {
    WakeInit() { sem_init(&snd_wake, 0, 0); }
} wake_init;

void WaitForWork() {
    while (sem_wait(&snd_wake) != 0 && errno == EINTR) {
    }
}

// The error prompt, back to back. When it cannot be played (no audio device, no file) the shell
// returns at once; a pause then keeps the thread from spinning on shell starts.
void PlayErrorPrompt() {
    if (g_soundCommand("cat /mnt/jffs_user/wave/079.wav > /dev/dsp") != 0) {
        timespec pause{1, 0};
        nanosleep(&pause, nullptr);
    }
}

void PlayPrompt(int number) {
    char command[64];
    if (number == kSpecialPrompt) {
        std::snprintf(command, sizeof command, "cat /mnt/jffs_user/wave/078.wav > /dev/dsp");
    } else {
        std::snprintf(command, sizeof command, "cat /mnt/jffs_user/wave/%03d.wav > /dev/dsp",
                      number);
    }
    SetMICVolume(kMicLevelDuringPrompt);
    g_soundCommand(command);
    SetMICVolume(kMicLevelNormal);
    if (__sndcallback != nullptr) {
        __sndcallback(number == kSpecialPrompt ? EVENT_SND078_DONE : EVENT_SND_DONE, nullptr);
    }
}

void* snd_thread(void*) {
    while (snd_thread_run.load()) {
        if (g_sysError.load()) {
            PlayErrorPrompt();
            continue;
        }
        // Taking the request empties the slot, so a request made while this prompt plays is
        // kept for the next turn; of several, the newest.
        const int number = snd_idx.exchange(kNoRequest);
        if (number == kNoRequest) {
            WaitForWork();
            continue;
        }
        PlayPrompt(number);
    }
    return nullptr;
}

}  // namespace

int init_snd(EventCallback callback, int /*audio_fd*/) {
    __sndcallback = callback;
    snd_thread_run = 1;
    if (!snd_thread_started) {
        g_sysError = 0;
        snd_idx = kNoRequest;
        snd_thread_started = pthread_create(&snd_thread_handle, nullptr, snd_thread, nullptr) == 0;
    }
    return 0;
}

void SetSoundOutFile(int number) {
    snd_idx = number;
    sem_post(&snd_wake);
}

void sndout_sysError() {
    g_sysError = 1;
    sem_post(&snd_wake);
}

void release_snd() {
    snd_thread_run = 0;
    sem_post(&snd_wake);
    if (!snd_thread_started || pthread_equal(snd_thread_handle, pthread_self())) return;
    pthread_join(snd_thread_handle, nullptr);
    snd_thread_started = false;
}
