// The two serial links' readers on any byte stream: the line gatherer with the "$GPSTX" parser
// (front sub-board), the "$APW" parser (IBC controller), and the sub-board's version answer
// ("$SUBOK..." / "$SUB24...") that the start-up query waits for.
//
// The input's first byte picks the link (value % 3: sub-board reader, IBC reader, version query)
// and the size of each read (1 + value / 3 % 85 bytes); the rest is what the port delivers. The
// port is one end of a SOCK_SEQPACKET pair, so that each read returns one such piece, as a serial
// port returns what has arrived; what the recorder sends back is drained and dropped.
#include <sys/socket.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "event.h"
#include "fuzz_root.hpp"
#include "gps.h"
#include "ibc.h"
#include "sentence.h"

namespace {

constexpr size_t kVersionReads = 64;  // the query gives up long before

int g_port = -1;  // the recorder's side
int g_peer = -1;  // the controller's side

void no_pause(unsigned long) {}

int text_fits(const uint8_t* record, size_t offset, size_t size) {
    return std::memchr(record + offset, '\0', size) != nullptr;
}

bool two_digits(int32_t v) {
    return v >= -9 && v <= 99;  // "%2d": a sign and a digit, or two digits
}

int32_t i32_at(const uint8_t* record, size_t offset) {
    int32_t v = 0;
    std::memcpy(&v, record + offset, sizeof v);  // both ends are little-endian here
    return v;
}

// What the dispatcher gets must be a record it can use as it is.
int check_record(int type, void* data) {
    const auto* r = static_cast<const uint8_t*>(data);
    if (type == EVENT_GPS) {
        FUZZ_CHECK(r[gpsrec::STATUS] == 'A' || r[gpsrec::STATUS] == 'V');
        FUZZ_CHECK(r[gpsrec::LAT_HEMI] == 'N' || r[gpsrec::LAT_HEMI] == 'S');
        FUZZ_CHECK(r[gpsrec::LON_HEMI] == 'E' || r[gpsrec::LON_HEMI] == 'W');
        FUZZ_CHECK(text_fits(r, gpsrec::LAT_TEXT, gpsrec::LAT_TEXT_SIZE));
        FUZZ_CHECK(text_fits(r, gpsrec::LON_TEXT, gpsrec::LON_TEXT_SIZE));
        for (const size_t at : {gpsrec::YEAR, gpsrec::MONTH, gpsrec::DAY, gpsrec::HOUR,
                                gpsrec::MINUTE, gpsrec::SECOND}) {
            FUZZ_CHECK(two_digits(i32_at(r, at)));
        }
        FUZZ_CHECK(std::all_of(r, r + 4, [](uint8_t b) { return b == 0; }));
    } else if (type == EVENT_IBC) {
        for (const size_t at : {ibcrec::HOUR1, ibcrec::HOUR2, ibcrec::MIN1, ibcrec::MIN2,
                                ibcrec::SEC1, ibcrec::SEC2}) {
            FUZZ_CHECK(two_digits(i32_at(r, at)));
        }
    } else {
        FUZZ_CHECK(!"an event the links do not send");
    }
    return 0;
}

void drain(int fd) {
    char sink[512];
    while (::recv(fd, sink, sizeof sink, MSG_DONTWAIT) >= 0) {
    }
}

void deliver(std::string_view piece) {
    FUZZ_CHECK(::send(g_peer, piece.data(), piece.size(), 0) == static_cast<ssize_t>(piece.size()));
}

void setup() {
    fuzz::root();
    int pair[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) == 0);
    g_port = pair[0];
    g_peer = pair[1];
    const int big = 1 << 22;
    ::setsockopt(g_peer, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    sentence::g_pause = no_pause;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (setup(), true);
    (void)ready;
    if (size == 0) return 0;
    const unsigned link = data[0] % 3;
    const size_t piece = 1 + data[0] / 3 % sentence::kChunkSize;
    std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);

    reset_gps_globals();
    if (link == 0) {
        init_gps(check_record);  // the port is not there: the pair stands in for it
        ttySAC1_fd = g_port;
        for (; !stream.empty(); stream.remove_prefix(std::min(piece, stream.size()))) {
            deliver(stream.substr(0, piece));
            GPSReadTurn();
            drain(g_peer);
        }
        for (int silent = 0; silent < 3; ++silent) {  // the silence supervision
            deliver("");
            GPSReadTurn();
            drain(g_peer);
        }
        ttySAC1_fd = -1;
    } else if (link == 1) {
        init_ibc(check_record);
        ttySAC2_fd = g_port;
        for (; !stream.empty(); stream.remove_prefix(std::min(piece, stream.size()))) {
            deliver(stream.substr(0, piece));
            IBCReadTurn();
        }
        ttySAC2_fd = -1;
    } else {
        ttySAC1_fd = g_port;
        for (size_t n = 0; n < kVersionReads && !stream.empty();
             ++n, stream.remove_prefix(std::min(piece, stream.size()))) {
            deliver(stream.substr(0, piece));
        }
        deliver("");  // then silence: the query ends
        const int kind = subCheck();
        FUZZ_CHECK(kind >= 0 && kind <= 2);
        FUZZ_CHECK(g_subVer_flag <= 2);
        drain(g_port);
        drain(g_peer);
        ttySAC1_fd = -1;
    }
    return 0;
}
