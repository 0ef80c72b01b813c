#pragma once
// What a fork does to this library.
//
// The child of a fork has one thread, the one that called fork, and a copy of
// all memory as it was at that instant: a lock held by another thread stays
// held, a cube a worker was turning stays half turned, and a generator would
// go on with the very draws its copy in the parent makes next. So:
//
// - Pool loops and the chunks of single-cube work (ForkWaitsForThis) that are
//   running finish before the fork, and none starts until it has happened: a
//   child never copies a cube half turned. Long calls run in chunks, so a
//   fork waits for one chunk, not for a whole call.
// - The child has a fresh pool and a fresh gate: the parent's workers did not
//   follow it, so it starts a pool of its own on its first loop, sized by its
//   environment at that moment.
// - In the child, the holds of every other thread of the parent (their calls
//   never end there) read as free, whatever those threads were doing; the
//   forking thread keeps its own, which its calls give back as they end.
// - Every thread generator takes a fresh key from the kernel on its first use
//   in the child.
//
// Each of these parts registers its handlers for its stage of ForkStage, and
// one pthread_atfork registration runs them in the order of the stages, not
// in the order in which the parts happened to be initialised.

#include <array>
#include <cstddef>

namespace turnsmith {

// The stages of a fork, in the order their `before` handlers run in the
// forking thread. The handlers after the fork, in the parent and in the child,
// run in the reverse order: what is taken first is given back last.
//
// Running work comes first because its `before` waits for other threads,
// possibly for a whole chunk of a loop. While it waits, the forking thread
// holds nothing of ours that another thread may need: a lock taken before the
// wait could stall a thread attached to the interpreter for as long, and with
// it the threads that wait for the GIL or for a stop-the-world pause of the
// collector. Locking only after the last wait also means no lock of ours is
// held while the fork waits for another thread, so that wait can always end.
enum class ForkStage : std::size_t {
    // The pool: waits for running loops and single-cube chunks and holds new
    // ones back, then takes the lock that guards the pool's creation; the
    // child forgets the pool and gets a fresh gate.
    running_work,
    // The Python objects' holds: the child starts a new fork epoch, in which
    // the holds of the parent's threads read as free, and counts again the
    // holds that the forking thread noted (python/access.hpp).
    hold_lists,
    // The thread generators: rekeyed in the child. With nothing to do before
    // the fork, this stage could stand anywhere.
    generators,
    // The tables built once per process: takes the lock that guards their
    // builds (held only for moments, never while waiting for another
    // thread); the child forgets a build that was under way.
    built_tables,
    // The 3x3 solver's tables, the same way.
    solver_tables,
    // The 3x3's optimal solver's tables, the same way.
    optimal_tables,
    // Its one look for its large table, the same way.
    large_table_look,
};
inline constexpr std::size_t fork_stage_count = static_cast<std::size_t>(ForkStage::large_table_look) + 1;

// A handler runs in the middle of fork, where nothing may throw.
using ForkHandler = void (*)() noexcept;

// Any of the three may be missing.
struct ForkHandlers {
    ForkHandler before = nullptr;
    ForkHandler in_parent = nullptr;
    ForkHandler in_child = nullptr;
};

// The handlers of every stage, run in the order of the stages.
class ForkStages {
public:
    void set(ForkStage stage, ForkHandlers handlers) noexcept {
        stages_[static_cast<std::size_t>(stage)] = handlers;
    }
    void before() const noexcept {
        for (const ForkHandlers& stage : stages_) run(stage.before);
    }
    void in_parent() const noexcept {
        for (auto stage = stages_.rbegin(); stage != stages_.rend(); ++stage) run(stage->in_parent);
    }
    void in_child() const noexcept {
        for (auto stage = stages_.rbegin(); stage != stages_.rend(); ++stage) run(stage->in_child);
    }

private:
    static void run(ForkHandler handler) noexcept {
        if (handler != nullptr) handler();
    }
    std::array<ForkHandlers, fork_stage_count> stages_{};
};

// Sets the process's handlers for `stage`, which belongs to one part of the
// library; a second call for a stage replaces the first. Safe to call from
// any static initialiser, whatever the order of initialisation; returns true,
// so that a namespace-scope constant can hold the call.
bool on_fork(ForkStage stage, ForkHandlers handlers) noexcept;

}  // namespace turnsmith
