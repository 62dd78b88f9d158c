#include "recfile.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>

#include "config.h"
#include "event.h"
#include "le.hpp"
#include "os.h"

int rec_fd = -1;
int write_size = 0;
int g_preFrameSize = 0;
int g_totalVFrame = 0;
RecTime g_endtime{0, 0};
std::array<uint8_t, recfmt::STAGING_SIZE> g_szBufferTest{};

void reset_recfile_globals() {
    if (rec_fd >= 0) os::close(rec_fd);
    rec_fd = -1;
    write_size = 0;
    g_preFrameSize = 0;
    g_totalVFrame = 0;
    g_endtime = {0, 0};
}

namespace {

using namespace recfmt;

void put_time(std::span<uint8_t> buf, size_t off, RecTime t) {
    le::put_u32(buf, off, t.sec);
    le::put_u32(buf, off + 4, t.usec);
}

void encode_exheader(std::span<uint8_t> out) {
    static_assert(EX_HEADER_SIZE == sizeof(ExFileHeader));
    const ExFileHeader& h = g_exFileHeader;
    le::put_u8(out, 0, h.speedUnit);
    le::put_u8(out, 1, h.usePassword);
    le::put_u8(out, 2, h.tzIndex);
    le::put_u8(out, 3, h.useDST);
    std::memcpy(out.data() + 4, h.password, sizeof h.password);
    out[4 + sizeof h.password - 1] = 0;
    std::memcpy(out.data() + 14, h.vehicleNumber, sizeof h.vehicleNumber);
    out[14 + sizeof h.vehicleNumber - 1] = 0;
    le::put_u8(out, 53, h.headerFlag);
    le::put_u8(out, 54, h.reserved[0]);
    le::put_u8(out, 55, h.reserved[1]);
}

// Puts the file back to `length` bytes after a write that came up short. A write that failed
// outright (`written` < 0) added nothing, so there is nothing to cut: on a full card the cut
// itself could be refused and only confuse the console.
void cut_back(off_t length, ssize_t written) {
    if (written > 0 && os::ftruncate(rec_fd, length) != 0) {
        std::printf("recording file: cannot cut back to %ld bytes - %m\n",
                    static_cast<long>(length));
    }
    os::lseek(rec_fd, length, SEEK_SET);
}

// The common path of all four record kinds: previous-record offset, one write, the bookkeeping.
// The record's head (`headSize` bytes) is built in the staging buffer, `fill` writing its fields
// behind the tag and the offset (bytes 6..headSize-1); the payload (JPEG, samples) follows it
// from where it lies, in the same write: a frame is not copied out of the frame area first.
template <typename Fill>
int append_record(uint8_t kind, size_t headSize, std::span<const uint8_t> payload, Fill fill) {
    if (rec_fd < 0) return -1;
    std::span<uint8_t> head(g_szBufferTest.data(), headSize);
    le::put_u8(head, 0, kind);
    le::put_u8(head, 1, TAG_MARK);
    le::put_u32(head, 2, static_cast<uint32_t>(write_size - g_preFrameSize));
    fill(head);

    const size_t size = headSize + payload.size();
    const std::array<iovec, 2> parts = {
        iovec{head.data(), headSize},
        iovec{const_cast<uint8_t*>(payload.data()), payload.size()},
    };
    const off_t start = write_size;
    ssize_t n = os::writev(rec_fd, parts.data(), payload.empty() ? 1 : 2);
    if (n == static_cast<ssize_t>(size)) {
        g_preFrameSize = static_cast<int>(size);
        write_size += static_cast<int>(size);
        if (kind == KIND_VIDEO) ++g_totalVFrame;
        return 0;
    }
    if (n < 0) {
        std::printf("record 0x%02x write error at %ld - %m\n", kind, static_cast<long>(start));
    } else {
        std::printf("record 0x%02x short write at %ld: %zd of %zu bytes\n", kind,
                    static_cast<long>(start), n, size);
    }
    cut_back(start, n);
    return -1;
}

}  // namespace

int open_recfile(const char* path) {
    if (rec_fd >= 0) close_recfile();
    rec_fd = os::open(path, O_RDWR | O_CREAT | O_TRUNC, 0644);
    write_size = 0;
    g_preFrameSize = 0;
    g_totalVFrame = 0;
    return rec_fd >= 0 ? 0 : -1;
}

void close_recfile() {
    if (rec_fd >= 0) {
        // A file closed before its first record has no header to complete.
        if (write_size >= static_cast<int>(HEADER_SIZE)) complete_fileheader();
        os::close(rec_fd);
        rec_fd = -1;
    }
    write_size = 0;
}

RecTime current_rectime() {
    struct timeval tv {};
    os::gettimeofday(&tv);
    return {static_cast<uint32_t>(tv.tv_sec), static_cast<uint32_t>(tv.tv_usec)};
}

int write_fileheader(RecTime start) {
    std::array<uint8_t, HEADER_SIZE> header{};
    std::span<uint8_t> h(header);
    le::put_u8(h, 0, MAGIC0);
    le::put_u8(h, 1, MAGIC1);
    le::put_u8(h, OFF_QP, static_cast<uint8_t>(g_qp));
    put_time(h, OFF_START_TIME, start);
    put_time(h, OFF_END_TIME, start);
    g_exFileHeader.headerFlag = 1;
    encode_exheader(h.subspan(BASE_HEADER_SIZE));

    ssize_t n = os::write(rec_fd, header.data(), header.size());
    if (n != static_cast<ssize_t>(header.size())) {
        if (n < 0) {
            std::printf("recording file header write error - %m\n");
        } else {
            std::printf("recording file header short write: %zd of %zu bytes\n", n, header.size());
        }
        cut_back(0, n);
        return -1;
    }
    write_size = static_cast<int>(HEADER_SIZE);
    g_preFrameSize = static_cast<int>(HEADER_SIZE);
    return 0;
}

RecTime gps_record_time(const uint8_t* gpsRecord) {
    std::span<const uint8_t> src(gpsRecord, gpsrec::SIZE);
    return {le::get_u32(src, gpsrec::RECV_SEC), le::get_u32(src, gpsrec::RECV_USEC)};
}

int put_videoframe(int width, int height, int channel, const uint8_t* jpeg, size_t length,
                   RecTime t) {
    static_assert(video_record_size(0) == VIDEO_HEAD_SIZE);
    return append_record(KIND_VIDEO, VIDEO_HEAD_SIZE, {jpeg, length}, [&](std::span<uint8_t> rec) {
        le::put_u16(rec, 6, static_cast<uint16_t>(width));
        le::put_u16(rec, 8, static_cast<uint16_t>(height));
        le::put_u8(rec, 10, static_cast<uint8_t>(channel));
        le::put_u8(rec, 11, 0);
        le::put_u16(rec, 12, 0);
        le::put_u32(rec, 14, static_cast<uint32_t>(length));
        put_time(rec, 18, t);
    });
}

int put_gpsframe(const uint8_t* gpsRecord) {
    std::span<const uint8_t> src(gpsRecord, gpsrec::SIZE);
    static_assert(GPS_RECORD_SIZE == 2 + gpsrec::SIZE);
    return append_record(KIND_GPS, GPS_RECORD_SIZE, {}, [&](std::span<uint8_t> rec) {
        std::memcpy(rec.data() + 6, src.data() + 4, gpsrec::SIZE - 4);
    });
}

int put_gsensorframe(uint8_t* gsensorRecord, RecTime t) {
    std::span<uint8_t> src(gsensorRecord, gsrec::SIZE);
    put_time(src, gsrec::TIME_SEC, t);
    static_assert(GSENSOR_RECORD_SIZE == 2 + gsrec::SIZE);
    return append_record(KIND_GSENSOR, GSENSOR_RECORD_SIZE, {}, [&](std::span<uint8_t> rec) {
        std::memcpy(rec.data() + 6, src.data() + 4, gsrec::SIZE - 4);
    });
}

int put_audioframe(const uint8_t* samples, size_t length, RecTime t) {
    static_assert(audio_record_size(0) == AUDIO_HEAD_SIZE);
    return append_record(KIND_AUDIO, AUDIO_HEAD_SIZE, {samples, length},
                         [&](std::span<uint8_t> rec) {
                             put_time(rec, 6, t);
                             le::put_u32(rec, 14, static_cast<uint32_t>(length));
                         });
}

int complete_fileheader() {
    std::array<uint8_t, 4> count{};
    le::put_u32(count, 0, static_cast<uint32_t>(g_totalVFrame));
    std::array<uint8_t, 8> end{};
    put_time(end, 0, g_endtime);
    bool ok = os::lseek(rec_fd, OFF_FRAME_COUNT, SEEK_SET) == static_cast<off_t>(OFF_FRAME_COUNT) &&
              os::write(rec_fd, count.data(), count.size()) == 4 &&
              os::lseek(rec_fd, OFF_END_TIME, SEEK_SET) == static_cast<off_t>(OFF_END_TIME) &&
              os::write(rec_fd, end.data(), end.size()) == 8;
    if (!ok) {
        std::printf("recording file header cannot be completed - %m\n");
        return -1;
    }
    return 0;
}
