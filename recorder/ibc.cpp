// IBC link: one start command, then every "$APW" sentence becomes an IBC record for the
// event callback.
#include "ibc.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "le.hpp"
#include "sentence.h"

int ttySAC2_fd = -1;
std::array<uint8_t, ibcrec::SIZE> g_ibcdata{};

namespace {

const sentence::Row APWSTART = "$PIB,#APWSTART,00*cc\r\n";

constexpr unsigned long kOneMillisecond = 1000;
constexpr unsigned long kReadWait = 3000000;  // what a silent read waits

EventCallback __callbackfuc = nullptr;
std::atomic<uint8_t> ibc_thread_run{1};
pthread_t ibc_thread_handle;
bool ibc_thread_started = false;
sentence::LineGatherer strIBCMsg;

// Fields 1 to 4: one state letter each.
constexpr struct {
    size_t offset;
    char empty;
} kLetters[] = {
    {ibcrec::LETTER1, 'B'}, {ibcrec::LETTER2, 'F'}, {ibcrec::LETTER3, 'F'}, {ibcrec::LETTER4, 'F'}};

// Fields 5 to 7: two two-digit numbers each.
constexpr struct {
    size_t first, second;
} kPairs[] = {
    {ibcrec::HOUR1, ibcrec::HOUR2}, {ibcrec::MIN1, ibcrec::MIN2}, {ibcrec::SEC1, ibcrec::SEC2}};

void* ibc_thread(void*) {
    while (ibc_thread_run.load()) IBCReadTurn();
    return nullptr;
}

}  // namespace

int init_ibc(EventCallback callback) {
    std::printf("init ibc start\n");
    __callbackfuc = callback;
    strIBCMsg = {};
    ttySAC2_fd = sentence::OpenPort("/dev/ttySAC2");
    if (ttySAC2_fd < 0) {
        std::printf("Serial Open Fail [/dev/ttySAC2]\r\n ");
        return -1;
    }
    std::printf("init ibc success\n");
    return 0;
}

int start_ibc() {
    std::printf("Start ibc...\n");
    for (int i = 0; i < 3; ++i) {
        sentence::Send(ttySAC2_fd, APWSTART);
        sentence::Pause(kOneMillisecond);
    }
    ibc_thread_run = 1;
    if (!ibc_thread_started) {
        ibc_thread_started = pthread_create(&ibc_thread_handle, nullptr, ibc_thread, nullptr) == 0;
    }
    return 0;
}

void release_ibc() {
    ibc_thread_run = 0;
    if (!ibc_thread_started || pthread_equal(ibc_thread_handle, pthread_self())) return;
    pthread_join(ibc_thread_handle, nullptr);
    ibc_thread_started = false;
}

void ParseAPW(std::string_view line, std::span<uint8_t, ibcrec::SIZE> record) {
    std::fill(record.begin(), record.end(), 0);
    int k = 1;
    for (const auto& letter : kLetters) {
        const auto field = sentence::Field(line, k++);
        record[letter.offset] = static_cast<uint8_t>(
            field ? sentence::FieldLetter(*field, letter.empty) : letter.empty);
    }
    for (const auto& pair : kPairs) {
        const auto field = sentence::Field(line, k++);
        std::array<int, 2> v{};
        if (field) sentence::ScanPairs(*field, v);
        le::put_i32(record, pair.first, v[0]);
        le::put_i32(record, pair.second, v[1]);
    }
}

bool ProcessIBCMessage(std::string_view line) {
    if (!line.starts_with("$APW")) return false;
    ParseAPW(line, g_ibcdata);
    if (__callbackfuc != nullptr) __callbackfuc(EVENT_IBC, g_ibcdata.data());
    return true;
}

void IBCReadTurn() {
    sentence::Chunk chunk;
    const ssize_t count = sentence::ReadChunk(ttySAC2_fd, chunk);
    if (count < 0 && errno != EINTR) {
        // No port, or a broken one: wait as long as a silent read would instead of spinning.
        sentence::Pause(kReadWait);
    }
    strIBCMsg.Feed(sentence::ChunkText(chunk, count), ProcessIBCMessage);
}
