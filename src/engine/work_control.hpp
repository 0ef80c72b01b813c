#pragma once
// What a long computation (a table build, a batch of searches) shares with
// the thread that waits for it: a request to stop, and how much is done.
// Workers read the request often (a search every 2^16 nodes, a build between
// pieces of a level) and return early once it is made; the computation then
// throws Stopped from the thread that started it, after every worker has
// let go of its data.

#include <atomic>
#include <cstdint>
#include <exception>

namespace turnsmith {

// Thrown by a computation that ended early because a stop was requested.
struct Stopped : std::exception {
    const char* what() const noexcept override { return "the computation was asked to stop"; }
};

class WorkControl {
public:
    WorkControl() = default;
    WorkControl(const WorkControl&) = delete;
    WorkControl& operator=(const WorkControl&) = delete;

    void request_stop() noexcept { stop_.store(true, std::memory_order_relaxed); }
    bool stop_requested() const noexcept { return stop_.load(std::memory_order_relaxed); }
    // Throws Stopped if a stop was requested: for the starting thread, once
    // the workers are done.
    void throw_if_stopped() const {
        if (stop_requested()) throw Stopped();
    }

    // Units of work (cubes solved, states of a table level) done so far, out
    // of `total()`; never decreases.
    void add_done(std::uint64_t units) noexcept { done_.fetch_add(units, std::memory_order_relaxed); }
    std::uint64_t done() const noexcept { return done_.load(std::memory_order_relaxed); }
    void set_total(std::uint64_t total) noexcept { total_.store(total, std::memory_order_relaxed); }
    std::uint64_t total() const noexcept { return total_.load(std::memory_order_relaxed); }

private:
    std::atomic<bool> stop_ = false;
    std::atomic<std::uint64_t> done_ = 0;
    std::atomic<std::uint64_t> total_ = 0;
};

// A control that nobody stops and nobody watches, for callers without one.
inline WorkControl& unwatched_work() noexcept {
    static WorkControl control;
    return control;
}

}  // namespace turnsmith
