// Waiting in a test for something another thread or process brings about.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace testsupport {

// Polls `done` every `period` until it holds; false once `limit` has passed (the limit only
// keeps a broken run from hanging: no verdict rests on it).
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::seconds(10),
                       std::chrono::microseconds period = std::chrono::milliseconds(1)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(period);
    }
    return true;
}

}  // namespace testsupport
