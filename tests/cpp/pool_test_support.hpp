#pragma once
// Helpers shared by the tests of the pool and of fork.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

#include "engine/pool.hpp"

namespace turnsmith::testing {

// A loop on the shared pool, started by a thread of its own and slow (a
// millisecond an item), so that a fork made while it runs has to wait for it.
// The constructor returns once the first piece has started.
class SlowLoopInAThread {
public:
    explicit SlowLoopInAThread(std::size_t count) : written_(count) {
        caller_ = std::thread([this] {
            parallel_for(written_.size(), [this](std::size_t begin, std::size_t end) {
                started_ = true;
                for (std::size_t i = begin; i < end; ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    written_[i] = 1;
                }
            });
        });
        while (!started_) std::this_thread::yield();
    }
    ~SlowLoopInAThread() { join(); }
    SlowLoopInAThread(const SlowLoopInAThread&) = delete;
    SlowLoopInAThread& operator=(const SlowLoopInAThread&) = delete;

    // Whether every item has been written.
    bool whole() const {
        return std::all_of(written_.begin(), written_.end(), [](const auto& w) { return w == 1; });
    }
    void join() {
        if (caller_.joinable()) caller_.join();
    }

private:
    std::vector<std::atomic<std::uint8_t>> written_;
    std::atomic<bool> started_{false};
    std::thread caller_;
};

}  // namespace turnsmith::testing
