// When a call's thread leaves the interpreter. A thread that only waits for
// the worker pool detaches, so that nothing in the interpreter waits for it:
// other threads (with the GIL), the collector's and fork's stop-the-world
// pauses and shutdown (free-threaded). On the free-threaded build even the
// calls that otherwise keep their thread attached work in chunks and let
// such pauses through while a chunk runs; with the GIL they keep holding it,
// as callers expect there.
//
// A thread may be detached while it holds a cube or batch. If another thread
// forks meanwhile, the child has no copy of the holder, so the child gives
// every such hold back and sees every object free.
#pragma once

#include "module/python.hpp"

#include <cstdint>

#include "cubeBatch/loops.hpp"
#include "module/access.hpp"

namespace turnsmith::py {

#ifdef Py_GIL_DISABLED
inline constexpr bool free_threaded = true;
#else
inline constexpr bool free_threaded = false;
#endif

// A call that holds nothing while it detaches.
struct NoHold {};

// One hold listed for a fork's child while its thread is detached.
struct DetachedHold {
    AccessState* state = nullptr;
    bool exclusive = false;
    DetachedHold* previous = nullptr;
    DetachedHold* next = nullptr;
};

// Releases the calling thread's interpreter state for a scope and takes it
// back on the way out, also on unwinding. The hold given, if any, is listed
// from before the thread detaches until after it has attached again, so that
// there is no moment when a fork could miss it.
class Detached {
public:
    explicit Detached(NoHold) noexcept : state_(PyEval_SaveThread()) {}
    explicit Detached(const SharedHold& hold) noexcept : Detached(hold.state(), false) {}
    explicit Detached(const ExclusiveHold& hold) noexcept : Detached(hold.state(), true) {}
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;
    ~Detached();

private:
    Detached(AccessState& state, bool exclusive) noexcept;
    DetachedHold listed_;
    PyThreadState* state_;
};

// Runs one chunk of a call's own work (not a pool loop) with the thread
// detached on the free-threaded build, attached with the GIL. A fork waits
// for the chunk, so that a child never copies a cube half turned.
template <class Hold, class Work>
void detached_on_free_threaded(const Hold& hold, Work&& work) {
    if constexpr (free_threaded) {
        const Detached detached(hold);
        const ForkWaitsForThis running;
        work();
    } else {
        work();
    }
}

// Runs each chunk with the thread detached.
template <class Hold>
auto detached_chunks(const Hold& hold) {
    const auto around = [&hold](auto&& run_chunk) {
        const Detached detached(hold);
        run_chunk();
    };
    return InChunks<decltype(around)>{chunk_budget(), around};
}

// The runner for a batch loop of a call that keeps its thread attached: the
// whole loop at once with the GIL; chunks run detached on the free-threaded
// build. `work(runner)` runs the loop with the runner chosen.
template <class Hold, class Work>
decltype(auto) attached_loop(const Hold& hold, Work&& work) {
    if constexpr (free_threaded) {
        return work(detached_chunks(hold));
    } else {
        return work(AtOnce{});
    }
}

// The runner for a batch loop of a call that detaches for the loop: chunks,
// so that a fork waits for one chunk, not for the loop; the thread stays
// detached in between.
template <class Hold, class Work>
decltype(auto) detached_loop(const Hold& hold, Work&& work) {
    const Detached detached(hold);
    return work(InChunks<Directly>{chunk_budget(), Directly{}});
}

}  // namespace turnsmith::py
