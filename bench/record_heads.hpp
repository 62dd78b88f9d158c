// Counting the video records of a recording file from the record heads alone: quick enough to
// take while the recorder is writing the file, where reading and checking every record (the
// recording reader) would take a good part of a second per file.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace benchrec {

// Size of the record whose first 18 bytes are `head`, or 0 when they are no record head.
inline uint64_t record_size(const std::array<uint8_t, 18>& head) {
    if (head[1] != 0xFF) return 0;
    const uint64_t length = static_cast<uint64_t>(head[14]) | static_cast<uint64_t>(head[15]) << 8 |
                            static_cast<uint64_t>(head[16]) << 16 |
                            static_cast<uint64_t>(head[17]) << 24;
    switch (head[0]) {
        case 0x00:
            return 22;  // accelerometer
        case 0x01:
            return 26 + length;  // video: JPEG length at 14
        case 0x02:
            return 94;  // GPS
        case 0x03:
            return 18 + length;  // audio: sample count at 14
        default:
            return 0;
    }
}

// Video records of the file open on `fd` that are whole: the walk stops at the first record
// that is no record or runs past the end of the file (one still being written).
inline size_t count_video_records(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return 0;
    const auto end = static_cast<uint64_t>(st.st_size);
    size_t n = 0;
    uint64_t at = 84;  // after the file header
    std::array<uint8_t, 18> head{};
    while (at + head.size() <= end &&
           ::pread(fd, head.data(), head.size(), static_cast<off_t>(at)) ==
               static_cast<ssize_t>(head.size())) {
        const uint64_t size = record_size(head);
        if (size == 0 || at + size > end) break;
        if (head[0] == 0x01) ++n;
        at += size;
    }
    return n;
}

inline size_t count_video_records(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    const size_t n = count_video_records(fd);
    ::close(fd);
    return n;
}

}  // namespace benchrec
