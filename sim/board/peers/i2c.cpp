#include "i2c.hpp"

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace simboard::peers {

// ---- the bus -----------------------------------------------------------------------------------

void I2cBus::attach(uint16_t address, I2cChip* chip) {
    std::lock_guard lock(mutex_);
    chips_[address] = chip;
}

void I2cBus::detach(uint16_t address) {
    std::lock_guard lock(mutex_);
    chips_.erase(address);
}

int I2cBus::transfer(uint16_t address, bool ten_bit, bool read, std::span<uint8_t> data) {
    if (ten_bit) return -ENXIO;  // nothing on this bus answers a 10-bit address
    const auto it = chips_.find(address);
    if (it == chips_.end() || !it->second->acknowledges()) return -ENXIO;
    if (read) {
        it->second->read(data);
    } else {
        it->second->write(data);
    }
    return 0;
}

// ---- i2c-dev -----------------------------------------------------------------------------------

namespace {

template <typename T>
T get_field(const std::vector<uint8_t>& bytes, size_t offset) {
    T v{};
    std::memcpy(&v, bytes.data() + offset, sizeof v);
    return v;
}

}  // namespace

int I2cDevDriver::open(simk::DriverFile& file) {
    if (file.minor != 0) return -ENODEV;  // the board has one bus
    file.private_data = new Client;
    return 0;
}

int I2cDevDriver::release(simk::DriverFile& file) {
    delete static_cast<Client*>(file.private_data);
    file.private_data = nullptr;
    return 0;
}

long I2cDevDriver::read(simk::DriverFile& file, uintptr_t user_buf, size_t count) {
    const Client& client = *static_cast<Client*>(file.private_data);
    if (count > i2cdev::kMaxTransfer) count = i2cdev::kMaxTransfer;
    std::vector<uint8_t> data(count);
    {
        std::lock_guard bus(bus_.lock());
        if (const int r = bus_.transfer(client.address, client.ten_bit, true, data); r < 0)
            return r;
    }
    if (simk::copy_to_user(user_buf, data.data(), count) != 0) return -EFAULT;
    return static_cast<long>(count);
}

long I2cDevDriver::write(simk::DriverFile& file, uintptr_t user_buf, size_t count) {
    const Client& client = *static_cast<Client*>(file.private_data);
    if (count > i2cdev::kMaxTransfer) count = i2cdev::kMaxTransfer;
    std::vector<uint8_t> data(count);
    if (simk::copy_from_user(data.data(), user_buf, count) != 0) return -EFAULT;
    std::lock_guard bus(bus_.lock());
    if (const int r = bus_.transfer(client.address, client.ten_bit, false, data); r < 0) return r;
    return static_cast<long>(count);
}

long I2cDevDriver::ioctl(simk::DriverFile& file, unsigned int cmd, unsigned long arg) {
    Client& client = *static_cast<Client*>(file.private_data);
    switch (cmd) {
        case i2cdev::kSlave:
        case i2cdev::kSlaveForce:
            // No kernel driver of this board claims an address, so both requests take any.
            if (arg > 0x3FF || (!client.ten_bit && arg > 0x7F)) return -EINVAL;
            client.address = static_cast<uint16_t>(arg);
            return 0;
        case i2cdev::kTenBit:
            client.ten_bit = arg != 0;
            return 0;
        case i2cdev::kFuncs: {
            const unsigned long funcs = i2cdev::kFuncI2c | i2cdev::kFunc10BitAddr;
            return simk::copy_to_user(arg, &funcs, sizeof funcs) == 0 ? 0 : -EFAULT;
        }
        case i2cdev::kRetries:
        case i2cdev::kTimeout:
        case i2cdev::kPec:
            return 0;  // the bus neither retries nor times out; no chip here uses PEC
        case i2cdev::kRdwr:
            return rdwr(arg);
        default:
            return -ENOTTY;
    }
}

long I2cDevDriver::rdwr(unsigned long arg) {
    std::vector<uint8_t> head(i2cdev::rdwr::kSize);
    if (simk::copy_from_user(head.data(), arg, head.size()) != 0) return -EFAULT;
    const auto msgs_ptr = get_field<uintptr_t>(head, i2cdev::rdwr::kMsgs);
    const auto nmsgs = get_field<uint32_t>(head, i2cdev::rdwr::kNmsgs);
    if (nmsgs > i2cdev::kMaxMessages) return -EINVAL;

    struct Message {
        uint16_t address;
        uint16_t flags;
        uintptr_t user_buf;
        std::vector<uint8_t> data;
    };
    std::vector<uint8_t> table(static_cast<size_t>(nmsgs) * i2cdev::msg::kSize);
    if (!table.empty() && simk::copy_from_user(table.data(), msgs_ptr, table.size()) != 0)
        return -EFAULT;
    std::vector<Message> messages;
    for (uint32_t i = 0; i < nmsgs; ++i) {
        const size_t at = static_cast<size_t>(i) * i2cdev::msg::kSize;
        Message m{get_field<uint16_t>(table, at + i2cdev::msg::kAddr),
                  get_field<uint16_t>(table, at + i2cdev::msg::kFlags),
                  get_field<uintptr_t>(table, at + i2cdev::msg::kBuf),
                  {}};
        const auto len = get_field<uint16_t>(table, at + i2cdev::msg::kLen);
        if (len > i2cdev::kMaxTransfer) return -EINVAL;
        m.data.resize(len);
        if (len > 0 && simk::copy_from_user(m.data.data(), m.user_buf, len) != 0) return -EFAULT;
        messages.push_back(std::move(m));
    }
    {
        // One transaction: repeated starts between the messages, nobody else on the bus.
        std::lock_guard bus(bus_.lock());
        for (auto& m : messages) {
            const bool ten_bit = (m.flags & i2cdev::kMsgTen) != 0;
            if (!ten_bit && m.address > 0x7F) return -EINVAL;
            const int r =
                bus_.transfer(m.address, ten_bit, (m.flags & i2cdev::kMsgRead) != 0, m.data);
            if (r < 0) return r;
        }
    }
    for (const auto& m : messages) {
        if ((m.flags & i2cdev::kMsgRead) != 0 && !m.data.empty() &&
            simk::copy_to_user(m.user_buf, m.data.data(), m.data.size()) != 0)
            return -EFAULT;
    }
    return static_cast<long>(nmsgs);
}

}  // namespace simboard::peers
