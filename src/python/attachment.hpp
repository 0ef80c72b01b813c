// When a call's thread leaves the interpreter. A thread that only waits for
// the worker pool detaches, so that nothing in the interpreter waits for it:
// other threads (with the GIL), the collector's and fork's stop-the-world
// pauses and shutdown (free-threaded). On the free-threaded build even the
// calls that otherwise keep their thread attached work in chunks and let
// such pauses through while a chunk runs; with the GIL they keep holding it,
// as callers expect there.
#pragma once

#include "python/python.hpp"

#include "engine/loops.hpp"

namespace turnsmith::py {

#ifdef Py_GIL_DISABLED
inline constexpr bool free_threaded = true;
#else
inline constexpr bool free_threaded = false;
#endif

// Releases the calling thread's interpreter state for a scope and takes it
// back on the way out, also on unwinding.
class Detached {
public:
    Detached() noexcept : state_(PyEval_SaveThread()) {}
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;
    ~Detached() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

// Runs one chunk of a call's own work (not a pool loop) with the thread
// detached on the free-threaded build, attached with the GIL. A fork waits
// for the chunk, so that a child never copies a cube half turned.
template <class Work>
void detached_on_free_threaded(Work&& work) {
    if constexpr (free_threaded) {
        const Detached detached;
        const ForkWaitsForThis running;
        work();
    } else {
        work();
    }
}

// Runs each chunk with the thread detached.
inline auto detached_chunks() {
    const auto around = [](auto&& run_chunk) {
        const Detached detached;
        run_chunk();
    };
    return InChunks<decltype(around)>{chunk_budget(), around};
}

// The runner for a batch loop of a call that keeps its thread attached: the
// whole loop at once with the GIL; chunks run detached on the free-threaded
// build. `work(runner)` runs the loop with the runner chosen.
template <class Work>
decltype(auto) attached_loop(Work&& work) {
    if constexpr (free_threaded) {
        return work(detached_chunks());
    } else {
        return work(AtOnce{});
    }
}

// The runner for a batch loop of a call that detaches for the loop: chunks,
// so that a fork waits for one chunk, not for the loop; the thread stays
// detached in between.
template <class Work>
decltype(auto) detached_loop(Work&& work) {
    const Detached detached;
    return work(InChunks<Directly>{chunk_budget(), Directly{}});
}

}  // namespace turnsmith::py
