// I2C bus 0 of the board and its character device /dev/i2c-0 (major 89, minor 0) with the
// semantics of Linux's i2c-dev: each open file is a client with a slave address chosen by
// I2C_SLAVE / I2C_SLAVE_FORCE (7-bit, or 10-bit after I2C_TENBIT), plain read and write are one
// transfer each to that address, and I2C_RDWR runs a combined transaction of i2c_msg messages.
// A transfer to an address no chip acknowledges fails with ENXIO.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <span>

#include "../../kernel/simk.hpp"
#include "i2c_chip.hpp"

namespace simboard::peers {

// A chip on the bus (sim/hw/i2c_chip.hpp). Called with the bus held: one transfer at a time.
using I2cChip = hw::I2cChip;

class I2cBus {
  public:
    void attach(uint16_t address, I2cChip* chip);
    void detach(uint16_t address);

    // One message of a transaction; `ten_bit` addresses are a space of their own (no chip of
    // this board answers one). 0 or -ENXIO (no acknowledge). Call with lock() held.
    int transfer(uint16_t address, bool ten_bit, bool read, std::span<uint8_t> data);
    std::mutex& lock() { return mutex_; }

  private:
    std::mutex mutex_;
    std::map<uint16_t, I2cChip*> chips_;  // 7-bit addresses
};

// The i2c-dev request numbers and message flags.
namespace i2cdev {
constexpr unsigned kRetries = 0x0701;
constexpr unsigned kTimeout = 0x0702;
constexpr unsigned kSlave = 0x0703;
constexpr unsigned kTenBit = 0x0704;
constexpr unsigned kFuncs = 0x0705;
constexpr unsigned kSlaveForce = 0x0706;
constexpr unsigned kRdwr = 0x0707;
constexpr unsigned kPec = 0x0708;
constexpr unsigned kSmbus = 0x0720;

constexpr uint16_t kMsgRead = 0x0001;  // I2C_M_RD
constexpr uint16_t kMsgTen = 0x0010;   // I2C_M_TEN

constexpr unsigned long kFuncI2c = 0x00000001;
constexpr unsigned long kFunc10BitAddr = 0x00000002;

constexpr size_t kMaxTransfer = 8192;  // bytes in one read, write or message
constexpr uint32_t kMaxMessages = 42;  // messages in one I2C_RDWR

// The program's struct i2c_msg and struct i2c_rdwr_ioctl_data, in this host's layout (the
// programs run on this host): the kernel reads them field by field from the program's memory.
namespace msg {
constexpr size_t kAddr = 0;   // u16
constexpr size_t kFlags = 2;  // u16
constexpr size_t kLen = 4;    // u16
constexpr size_t kBuf = 8;    // pointer: after 6 bytes, aligned to 4 or 8 alike
constexpr size_t kSize = kBuf + sizeof(void*);
static_assert(kSize == (sizeof(void*) == 8 ? 16 : 12));
}  // namespace msg
namespace rdwr {
constexpr size_t kMsgs = 0;               // pointer
constexpr size_t kNmsgs = sizeof(void*);  // u32
constexpr size_t kSize = sizeof(void*) == 8 ? 16 : 8;
}  // namespace rdwr
}  // namespace i2cdev

class I2cDevDriver : public simk::CharDriver {
  public:
    explicit I2cDevDriver(I2cBus& bus) : bus_(bus) {}

    int open(simk::DriverFile& file) override;
    long read(simk::DriverFile& file, uintptr_t user_buf, size_t count) override;
    long write(simk::DriverFile& file, uintptr_t user_buf, size_t count) override;
    long ioctl(simk::DriverFile& file, unsigned int cmd, unsigned long arg) override;
    int release(simk::DriverFile& file) override;

  private:
    struct Client {
        uint16_t address = 0;
        bool ten_bit = false;
    };
    long rdwr(unsigned long arg);

    I2cBus& bus_;
};

}  // namespace simboard::peers
