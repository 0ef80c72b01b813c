#pragma once
// The worker pool behind every batch operation: a fixed set of threads that
// run data-parallel loops over index ranges. One pool serves the whole
// process; it starts on the first loop and its size is read from the
// environment at that moment.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace turnsmith {

// A borrowed callable `piece(begin, end)` that processes items begin..end-1.
class PieceRef {
public:
    template <class F>
        requires(!std::is_same_v<std::remove_cv_t<F>, PieceRef>)
    explicit PieceRef(F& piece) noexcept
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(piece)))),
          call_([](void* object, std::size_t begin, std::size_t end) {
              (*static_cast<F*>(object))(begin, end);
          }) {}

    void operator()(std::size_t begin, std::size_t end) const { call_(object_, begin, end); }

private:
    void* object_;
    void (*call_)(void*, std::size_t, std::size_t);
};

class WorkerPool {
public:
    // Starts `workers` threads (at least one). Throws std::system_error when a
    // thread cannot be started, after stopping the ones that were.
    explicit WorkerPool(std::size_t workers);
    // Stops and joins the workers; no loop may be running.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    std::size_t worker_count() const noexcept { return workers_.size(); }

    // Runs `piece` over 0..count-1 on the workers and returns when every item
    // is done. The calling thread only waits. The first exception thrown by a
    // piece is rethrown here once every started piece has ended; the pieces
    // that had not started by then are skipped. A loop started from inside a
    // piece runs in place on that worker: waiting on its own pool could wait
    // forever.
    void run(std::size_t count, PieceRef piece);

private:
    struct Job;
    struct Task {
        Job* job;
        std::size_t begin;
        std::size_t end;
        std::size_t splits;  // how many more times this range may be halved
    };
    struct Worker {
        std::deque<Task> pending;  // owner takes from the back, thieves from the front
        std::thread thread;
    };

    void work(std::size_t self);
    bool spin_for_work() const noexcept;
    std::optional<Task> take_task(std::size_t self, bool& stolen);
    void execute(std::size_t self, Task task, bool stolen);
    void stop_and_join() noexcept;

    std::mutex mutex_;  // guards every queue, the counters below and stopping_
    std::condition_variable wake_;
    std::deque<Task> injected_;  // loops handed in by calling threads
    // Tasks in injected_ and in every worker's pending. Changed only under the
    // mutex; idle workers also watch it without the lock while they spin.
    std::atomic<std::size_t> queued_ = 0;
    std::size_t sleeping_ = 0;
    std::atomic<bool> stopping_ = false;
    std::vector<Worker> workers_;
};

// The process-wide pool, created on first use. A fork waits for the loops
// running on any pool, and its child starts a fresh pool (cube/fork.hpp).
WorkerPool& global_pool();
std::size_t pool_worker_count();

// Marks work that writes cubes outside a pool loop (a long scramble of a single
// cube) as running, so that a fork waits for it too; may wait while a fork is
// under way. Throws std::bad_alloc in a child of a fork that can find no
// memory for its gate (pool.cpp).
class ForkWaitsForThis {
public:
    ForkWaitsForThis();
    ~ForkWaitsForThis();
    ForkWaitsForThis(const ForkWaitsForThis&) = delete;
    ForkWaitsForThis& operator=(const ForkWaitsForThis&) = delete;

private:
    class ForkGate* gate_;
};

// What a thread does while it waits for the loops it starts: every `period`,
// `tick()` runs on it, outside every lock of the pool. Long calls use it to
// look up from their wait (for signals, for progress) without a thread of
// their own. Set for a scope on the current thread; the loops a tick starts
// itself do not tick, and neither do loops run in place on a worker.
class WhileWaiting {
public:
    template <class F>
    WhileWaiting(std::chrono::milliseconds period, F& tick) noexcept
        : period_(period),
          object_(const_cast<void*>(static_cast<const void*>(std::addressof(tick)))),
          call_([](void* object) { (*static_cast<F*>(object))(); }),
          outer_(std::exchange(current_, this)) {}
    ~WhileWaiting() { current_ = outer_; }
    WhileWaiting(const WhileWaiting&) = delete;
    WhileWaiting& operator=(const WhileWaiting&) = delete;

    // The innermost of the current thread, or null.
    static WhileWaiting* current() noexcept { return current_; }
    std::chrono::milliseconds period() const noexcept { return period_; }
    // Runs the tick with itself unset, so that what the tick does waits plainly.
    void tick() {
        current_ = outer_;
        struct Restore {
            WhileWaiting* self;
            ~Restore() { current_ = self; }
        } restore{this};
        call_(object_);
    }

private:
    // Constant-initialised, so that no other file reaches it through an
    // initialisation wrapper.
    static constinit inline thread_local WhileWaiting* current_ = nullptr;
    std::chrono::milliseconds period_;
    void* object_;
    void (*call_)(void*);
    WhileWaiting* outer_;
};

namespace test_hooks {
// The next `count` fork gates are not made, as when memory is short: the one
// a child makes at the fork, then the one its first loop tries to make.
void refuse_fork_gates(unsigned count) noexcept;
}  // namespace test_hooks

// `piece(begin, end)` may be called from several workers at once.
template <class F>
void parallel_for(WorkerPool& pool, std::size_t count, F&& piece) {
    pool.run(count, PieceRef(piece));
}

template <class F>
void parallel_for(std::size_t count, F&& piece) {
    if (count == 0) return;
    parallel_for(global_pool(), count, std::forward<F>(piece));
}

}  // namespace turnsmith
