// Explicit little-endian encoding of every byte that goes to a file or a wire.
//
// Records are built in byte buffers with these helpers instead of writing host structs, so the
// layout on the card and on the wire does not depend on the compiler or the host's byte order.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>

namespace le {

inline void put_u8(std::span<uint8_t> buf, size_t off, uint8_t v) {
    assert(off + 1 <= buf.size());
    buf[off] = v;
}

inline void put_u16(std::span<uint8_t> buf, size_t off, uint16_t v) {
    assert(off + 2 <= buf.size());
    buf[off] = static_cast<uint8_t>(v);
    buf[off + 1] = static_cast<uint8_t>(v >> 8);
}

inline void put_u32(std::span<uint8_t> buf, size_t off, uint32_t v) {
    assert(off + 4 <= buf.size());
    for (size_t i = 0; i < 4; ++i) buf[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void put_i16(std::span<uint8_t> buf, size_t off, int16_t v) {
    put_u16(buf, off, static_cast<uint16_t>(v));
}

inline void put_i32(std::span<uint8_t> buf, size_t off, int32_t v) {
    put_u32(buf, off, static_cast<uint32_t>(v));
}

inline uint8_t get_u8(std::span<const uint8_t> buf, size_t off) {
    assert(off + 1 <= buf.size());
    return buf[off];
}

inline uint16_t get_u16(std::span<const uint8_t> buf, size_t off) {
    assert(off + 2 <= buf.size());
    return static_cast<uint16_t>(buf[off] | (buf[off + 1] << 8));
}

inline uint32_t get_u32(std::span<const uint8_t> buf, size_t off) {
    assert(off + 4 <= buf.size());
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i) v |= static_cast<uint32_t>(buf[off + i]) << (8 * i);
    return v;
}

inline int16_t get_i16(std::span<const uint8_t> buf, size_t off) {
    return static_cast<int16_t>(get_u16(buf, off));
}

inline int32_t get_i32(std::span<const uint8_t> buf, size_t off) {
    return static_cast<int32_t>(get_u32(buf, off));
}

}  // namespace le
