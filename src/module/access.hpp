// The access rule of every cube and batch object: free, shared by any number
// of readers, or held by one writer. A conflicting call fails at once with
// RuntimeError instead of waiting; holds are RAII guards.
#pragma once

#include "module/python.hpp"

#include <atomic>
#include <cstdint>
#include <optional>

namespace turnsmith::py {

class AccessState {
public:
    bool try_share() noexcept {
        std::intptr_t current = holders_.load(std::memory_order_relaxed);
        do {
            if (current == exclusive) return false;
        } while (!holders_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                                 std::memory_order_relaxed));
        return true;
    }
    void unshare() noexcept { holders_.fetch_sub(1, std::memory_order_release); }

    bool try_exclusive() noexcept {
        std::intptr_t expected = 0;
        return holders_.compare_exchange_strong(expected, exclusive, std::memory_order_acquire,
                                                std::memory_order_relaxed);
    }
    void unexclusive() noexcept { holders_.store(0, std::memory_order_release); }

private:
    static constexpr std::intptr_t exclusive = -1;
    // -1: one writer; 0: free; n > 0: n readers.
    std::atomic<std::intptr_t> holders_{0};
};

// Shared access for a scope; refusal raises "Already mutably borrowed".
class SharedHold {
public:
    explicit SharedHold(AccessState& state) : state_(&state) {
        if (!state.try_share()) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            throw_error_already_set();
        }
    }
    // Shared access if it is granted right now, nothing otherwise (no exception).
    static std::optional<SharedHold> try_take(AccessState& state) noexcept {
        if (!state.try_share()) return std::nullopt;
        return SharedHold(state, Granted{});
    }
    AccessState& state() const noexcept { return *state_; }
    SharedHold(SharedHold&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}
    SharedHold(const SharedHold&) = delete;
    SharedHold& operator=(const SharedHold&) = delete;
    SharedHold& operator=(SharedHold&&) = delete;
    ~SharedHold() {
        if (state_ != nullptr) state_->unshare();
    }

private:
    struct Granted {};
    SharedHold(AccessState& state, Granted) noexcept : state_(&state) {}
    AccessState* state_;
};

// Exclusive access for a scope; refusal raises "Already borrowed".
class ExclusiveHold {
public:
    explicit ExclusiveHold(AccessState& state) : state_(&state) {
        if (!state.try_exclusive()) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            throw_error_already_set();
        }
    }
    AccessState& state() const noexcept { return *state_; }
    ExclusiveHold(const ExclusiveHold&) = delete;
    ExclusiveHold& operator=(const ExclusiveHold&) = delete;
    ~ExclusiveHold() { state_->unexclusive(); }

private:
    AccessState* state_;
};

}  // namespace turnsmith::py
