// The access rule of every cube and batch object: free, shared by any number
// of readers, or held by one writer. A conflicting call fails at once with
// RuntimeError instead of waiting; holds are RAII guards.
//
// A forked child has only the thread that called fork; the holds of the
// other threads must read as free there, whatever those threads were doing (a
// loop, a lock inside the interpreter), since their calls never end in the
// child. So each object's word of access carries, beside its holders, the
// fork epoch in which they took it: the process's count of forks on its way
// from the first process, one more in a child than in its parent. A hold
// from an earlier epoch is no hold at all, and a child frees every object at
// once without touching any.
//
// The forking thread's own holds must stay: its calls go on in the child and
// give them back as they end. Such a call is inside a call of its own: one
// that ran Python code (an `__index__`, a progress callable) while it held an
// object. Those holds, and only those, are noted in their thread's list, and
// the child stamps the noted holds of the forking thread with its own epoch
// (cube/fork.hpp). A call that runs no Python code while it holds (a turn,
// `is_solved`, `do_moves`) cannot be the one that forks and notes nothing.
#pragma once

#include "python/python.hpp"

#include <atomic>
#include <cstdint>
#include <optional>
#include <utility>

namespace turnsmith::py {

// This process's fork epoch: 0 in a process that no fork made. Changed only
// in a child that still has one thread (access.cpp); relaxed reads suffice,
// since every other thread that reads it starts after the change.
inline std::atomic<std::uint32_t> fork_epoch{0};
inline std::uint32_t current_fork_epoch() noexcept { return fork_epoch.load(std::memory_order_relaxed); }

class AccessState {
public:
    bool try_share() noexcept {
        const Word epoch = epoch_bits();
        Word current = word_.load(std::memory_order_relaxed);
        Word wanted = 0;
        do {
            if ((current & epoch_mask) != epoch) {
                wanted = epoch | 1;  // the holds of an earlier epoch are gone
            } else if ((current & holders_mask) == exclusive) {
                return false;
            } else {
                wanted = current + 1;
            }
        } while (!word_.compare_exchange_weak(current, wanted, std::memory_order_acquire,
                                              std::memory_order_relaxed));
        return true;
    }
    // Only a hold of the current epoch is given back: the child stamps the
    // forking thread's holds with its own.
    void unshare() noexcept { word_.fetch_sub(1, std::memory_order_release); }

    bool try_exclusive() noexcept {
        const Word epoch = epoch_bits();
        Word current = word_.load(std::memory_order_relaxed);
        do {
            if ((current & epoch_mask) == epoch && (current & holders_mask) != 0) return false;
        } while (!word_.compare_exchange_weak(current, epoch | exclusive, std::memory_order_acquire,
                                              std::memory_order_relaxed));
        return true;
    }
    void unexclusive() noexcept { word_.store(0, std::memory_order_release); }

    // In a forked child only, for each hold its forking thread still has:
    // the hold, counted again in the child's epoch.
    void restamp(bool exclusive_hold) noexcept {
        const Word epoch = epoch_bits();
        const Word current = word_.load(std::memory_order_relaxed);
        const Word holders = (current & epoch_mask) == epoch ? current & holders_mask : 0;
        word_.store(epoch | (exclusive_hold ? exclusive : holders + 1), std::memory_order_relaxed);
    }

private:
    using Word = std::uint64_t;
    static constexpr int epoch_shift = 32;
    static constexpr Word holders_mask = (Word{1} << epoch_shift) - 1;
    static constexpr Word epoch_mask = ~holders_mask;
    // In the holders' half: all ones for one writer, 0 free, n > 0 n readers.
    static constexpr Word exclusive = holders_mask;

    static Word epoch_bits() noexcept { return Word{current_fork_epoch()} << epoch_shift; }

    std::atomic<Word> word_{0};
};

// Whether a hold is noted in its thread's list: it must be when Python code
// may run while it lasts (see above). Noting costs about as much as the rest
// of a short call.
enum class Noted : bool { no, yes };

// The calling thread's list of noted holds. `note` runs right after a grant
// and gives the grant back if it cannot note it (std::bad_alloc, rare: the
// list keeps room for several).
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
template <Access A, Noted N = Noted::yes>
class Hold {
public:
    static constexpr bool exclusive = A == Access::exclusive;
    static constexpr bool noted = N == Noted::yes;

    explicit Hold(AccessState& state) : state_(&state) {
        if (!grant(state)) {
            PyErr_SetString(PyExc_RuntimeError, exclusive ? "Already borrowed" : "Already mutably borrowed");
            throw_error_already_set();
        }
        if constexpr (noted) list_ = thread_holds::note(state, exclusive);
    }
    // The access if it is granted right now, nothing otherwise (no exception).
    static std::optional<Hold> try_take(AccessState& state) {
        if (!grant(state)) return std::nullopt;
        return Hold(state, noted ? thread_holds::note(state, exclusive) : nullptr);
    }
    Hold(Hold&& other) noexcept : state_(std::exchange(other.state_, nullptr)), list_(other.list_) {}
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    Hold& operator=(Hold&&) = delete;
    ~Hold() {
        if (state_ == nullptr) return;
        if constexpr (noted) thread_holds::forget(list_, *state_, exclusive);
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
