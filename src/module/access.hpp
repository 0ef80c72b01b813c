// The access rule of every cube and batch object: free, shared by any number
// of readers, or held by one writer. A conflicting call fails at once with
// RuntimeError instead of waiting; holds are RAII guards.
//
// Every hold is also noted in its thread's list while it lasts, so that a
// forked child can give back the holds of the threads that did not follow it,
// whatever they were doing (a loop, a lock inside the interpreter): in the
// child, every object is free but for what the forking thread itself holds
// (cube/fork.hpp).
#pragma once

#include "module/python.hpp"

#include <atomic>
#include <cstdint>
#include <optional>
#include <utility>

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

// The calling thread's list of holds. `note` runs right after a grant and
// gives the grant back if it cannot note it (std::bad_alloc, rare: the list
// keeps room for several).
// The list is returned by `note` and handed back to `forget`, which saves
// finding the thread's own list twice per call.
struct HoldList;
namespace thread_holds {
HoldList* note(AccessState& state, bool exclusive);
void forget(HoldList* list, AccessState& state, bool exclusive) noexcept;
}  // namespace thread_holds

enum class Access { shared, exclusive };

// Access of either kind for a scope. A refusal raises RuntimeError with the
// borrow texts below: they are the published wording, deliberate and pinned
// by the tests.
template <Access A>
class Hold {
public:
    static constexpr bool exclusive = A == Access::exclusive;

    explicit Hold(AccessState& state) : state_(&state) {
        if (!grant(state)) {
            PyErr_SetString(PyExc_RuntimeError, exclusive ? "Already borrowed" : "Already mutably borrowed");
            throw_error_already_set();
        }
        list_ = thread_holds::note(state, exclusive);
    }
    // The access if it is granted right now, nothing otherwise (no exception).
    static std::optional<Hold> try_take(AccessState& state) {
        if (!grant(state)) return std::nullopt;
        return Hold(state, thread_holds::note(state, exclusive));
    }
    Hold(Hold&& other) noexcept : state_(std::exchange(other.state_, nullptr)), list_(other.list_) {}
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    Hold& operator=(Hold&&) = delete;
    ~Hold() {
        if (state_ == nullptr) return;
        thread_holds::forget(list_, *state_, exclusive);
        if constexpr (exclusive) {
            state_->unexclusive();
        } else {
            state_->unshare();
        }
    }

private:
    Hold(AccessState& state, HoldList* list) noexcept : state_(&state), list_(list) {}
    static bool grant(AccessState& state) noexcept {
        if constexpr (exclusive) {
            return state.try_exclusive();
        } else {
            return state.try_share();
        }
    }

    AccessState* state_;
    HoldList* list_ = nullptr;
};

using SharedHold = Hold<Access::shared>;
using ExclusiveHold = Hold<Access::exclusive>;

}  // namespace turnsmith::py
