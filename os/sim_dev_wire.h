// The messages of the device socket between a program (os/sim_dev.cpp) and simboard's device
// server (sim/board/devserver.cpp).
//
// Every open of a board device is one SOCK_SEQPACKET connection. The program sends one request
// and waits for its reply before it sends the next, so one connection never has two requests in
// flight. A thread that finds the descriptor's connection busy (another thread sleeps in a read)
// uses an extra connection attached to the same open file (kAttach with the token that the open
// returned), so that system calls on one descriptor run side by side as in a kernel. The file is
// released when its first connection closes and no attached request is running any more. Both
// messages have a fixed size and are encoded little-endian field by field:
//
// Request, 32 bytes:
//    0  u32  magic kRequestMagic
//    4  u32  op (Op)
//    8  u64  a     open: major          read/write: user buffer   ioctl: cmd     mmap: pgoff
//                  setown: owner pid (signed)   setfl: new flags   attach: token
//   16  u64  b     open: minor          read/write: count         ioctl: arg     mmap: length
//   24  u32  c     open: flags                                                   mmap: prot
//   28  u32  0
//
// Reply, 32 bytes:
//    0  u32  magic kReplyMagic
//    4  u32  op of the request it answers
//    8  i64  result: >= 0 as the system call returns it, or -errno
//   16  u64  x     open: token for kAttach
//                  mmap: offset of the area in the memory file sent with the reply
//   24  u64  y     mmap: bytes backed by the driver's pages
//
// The reply to a successful mmap carries the memory file descriptor (SCM_RIGHTS). User memory is
// never copied through the socket: the board reads and writes the program's buffers directly.
// A request that is not exactly 32 bytes, has a wrong magic, an unknown op or arguments out of
// range is answered with -EINVAL and changes nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "../common/le.hpp"

namespace os::simwire {

constexpr uint32_t kRequestMagic = 0x51455244;  // "DREQ"
constexpr uint32_t kReplyMagic = 0x50455244;    // "DREP"

enum class Op : uint32_t {
    kOpen = 1,
    kRead = 2,
    kWrite = 3,
    kIoctl = 4,
    kMmap = 5,
    kSetOwner = 6,
    kGetFlags = 7,
    kSetFlags = 8,
    kClose = 9,
    kReboot = 10,  // on a connection of its own, instead of an open
    kAttach = 11,  // on a connection of its own, instead of an open: joins an open file
};

struct Request {
    Op op{};
    uint64_t a = 0;
    uint64_t b = 0;
    uint32_t c = 0;
};

struct Reply {
    Op op{};
    int64_t result = 0;
    uint64_t x = 0;
    uint64_t y = 0;
};

constexpr size_t kRequestSize = 32;
constexpr size_t kReplySize = 32;
using RequestBytes = std::array<uint8_t, kRequestSize>;
using ReplyBytes = std::array<uint8_t, kReplySize>;
static_assert(sizeof(RequestBytes) == kRequestSize && sizeof(ReplyBytes) == kReplySize);

inline void put_u64(std::span<uint8_t> buf, size_t off, uint64_t v) {
    le::put_u32(buf, off, static_cast<uint32_t>(v));
    le::put_u32(buf, off + 4, static_cast<uint32_t>(v >> 32));
}

inline uint64_t get_u64(std::span<const uint8_t> buf, size_t off) {
    return le::get_u32(buf, off) | (static_cast<uint64_t>(le::get_u32(buf, off + 4)) << 32);
}

inline RequestBytes encode(const Request& r) {
    RequestBytes out{};
    le::put_u32(out, 0, kRequestMagic);
    le::put_u32(out, 4, static_cast<uint32_t>(r.op));
    put_u64(out, 8, r.a);
    put_u64(out, 16, r.b);
    le::put_u32(out, 24, r.c);
    le::put_u32(out, 28, 0);
    return out;
}

inline bool valid_op(uint32_t op) {
    return op >= static_cast<uint32_t>(Op::kOpen) && op <= static_cast<uint32_t>(Op::kAttach);
}

// False for a message that is not a well-formed request (size, magic, op, reserved field).
inline bool decode(std::span<const uint8_t> in, Request& r) {
    if (in.size() != kRequestSize) return false;
    if (le::get_u32(in, 0) != kRequestMagic || le::get_u32(in, 28) != 0) return false;
    const uint32_t op = le::get_u32(in, 4);
    if (!valid_op(op)) return false;
    r.op = static_cast<Op>(op);
    r.a = get_u64(in, 8);
    r.b = get_u64(in, 16);
    r.c = le::get_u32(in, 24);
    return true;
}

inline ReplyBytes encode(const Reply& r) {
    ReplyBytes out{};
    le::put_u32(out, 0, kReplyMagic);
    le::put_u32(out, 4, static_cast<uint32_t>(r.op));
    put_u64(out, 8, static_cast<uint64_t>(r.result));
    put_u64(out, 16, r.x);
    put_u64(out, 24, r.y);
    return out;
}

inline bool decode(std::span<const uint8_t> in, Reply& r) {
    if (in.size() != kReplySize || le::get_u32(in, 0) != kReplyMagic) return false;
    r.op = static_cast<Op>(le::get_u32(in, 4));
    r.result = static_cast<int64_t>(get_u64(in, 8));
    r.x = get_u64(in, 16);
    r.y = get_u64(in, 24);
    return true;
}

}  // namespace os::simwire
