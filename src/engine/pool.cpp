#include "engine/pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

#include "base/fault.hpp"
#include "base/fork.hpp"
#include "engine/cpu_count.hpp"

namespace turnsmith {

// ---------------------------------------------------------------------------
// Loops and their division

// One parallel loop. It lives on the stack of the thread that waits for it, so
// the worker that finishes the last item signals under `mutex`: the waiter can
// only wake, return and free the job after that worker has let go of it.
// A fork waits for the job's items, not for its waiter: the worker that ends
// the last item lets the fork go. A waiter looking up (a tick attached to the
// interpreter) cannot return while the forking thread holds the interpreter,
// so a fork that waited for the waiter would wait for ever.
struct WorkerPool::Job {
    PieceRef piece;
    ForkGate* gate;  // entered for the job, left when its last item ends
    std::atomic<std::size_t> remaining;  // items neither processed nor skipped
    std::atomic<bool> failed{false};
    std::exception_ptr error;  // written once, by the piece that set `failed`
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;

    Job(PieceRef loop_piece, std::size_t count, ForkGate& entered)
        : piece(loop_piece), gate(&entered), remaining(count) {}

    void fail(std::exception_ptr thrown) noexcept {
        if (!failed.exchange(true, std::memory_order_acq_rel)) error = std::move(thrown);
    }

    void finish(std::size_t items) noexcept;
};

namespace {

// The pool whose worker is the current thread, if any.
thread_local const WorkerPool* current_pool = nullptr;

void name_worker_thread(std::size_t index) noexcept {
    // Linux keeps 15 bytes of a thread name; longer names are cut.
    char name[16];
    std::snprintf(name, sizeof name, "turnsmith-w%zu", index);
    pthread_setname_np(pthread_self(), name);
}

}  // namespace

WorkerPool::WorkerPool(std::size_t workers) : workers_(std::max<std::size_t>(workers, 1)) {
    try {
        for (std::size_t i = 0; i < workers_.size(); ++i) {
            workers_[i].thread = std::thread(&WorkerPool::work, this, i);
        }
    } catch (...) {
        stop_and_join();
        throw;
    }
}

WorkerPool::~WorkerPool() { stop_and_join(); }

void WorkerPool::stop_and_join() noexcept {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (Worker& worker : workers_) {
        if (worker.thread.joinable()) worker.thread.join();
    }
}

// Counts the loops that are running and keeps them apart from fork: `close`
// (before a fork) waits until none is running and holds new ones back until
// the fork has happened. The gate is reached through a pointer because a child
// must not reuse condition variables that the parent's threads were waiting on:
// it gets a fresh gate and leaks the old one. A child that finds no memory for
// the fresh gate makes it on its first loop instead, which then fails with
// std::bad_alloc (MemoryError) if memory is still short.
class ForkGate {
public:
    void enter() {
        std::unique_lock lock(mutex_);
        open_.wait(lock, [this] { return !forking_; });
        ++running_;
    }
    void leave() noexcept {
        {
            const std::lock_guard lock(mutex_);
            --running_;
        }
        idle_.notify_all();
    }
    // Returns with the mutex held: no loop can start until reopen().
    void close() noexcept {
        std::unique_lock lock(mutex_);
        forking_ = true;
        idle_.wait(lock, [this] { return running_ == 0; });
        lock.release();
    }
    void reopen() noexcept {
        forking_ = false;
        mutex_.unlock();
        open_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable open_;  // forking_ became false
    std::condition_variable idle_;  // running_ became 0
    std::size_t running_ = 0;
    bool forking_ = false;
};

namespace {

std::atomic<unsigned> gates_to_refuse{0};

ForkGate* try_new_gate() noexcept {
    unsigned refuse = gates_to_refuse.load(std::memory_order_relaxed);
    while (refuse > 0) {
        if (gates_to_refuse.compare_exchange_weak(refuse, refuse - 1, std::memory_order_relaxed)) {
            return nullptr;
        }
    }
    return new (std::nothrow) ForkGate;
}

// Null only in a child that found no memory for its gate at the fork.
std::atomic<ForkGate*> fork_gate{new ForkGate};

// The gate, or null if there is none and none can be made now.
ForkGate* gate_if_any() noexcept {
    if (ForkGate* gate = fork_gate.load(std::memory_order_acquire)) return gate;
    ForkGate* fresh = try_new_gate();
    if (fresh == nullptr) return nullptr;
    ForkGate* expected = nullptr;
    if (fork_gate.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel,
                                          std::memory_order_acquire)) {
        return fresh;
    }
    delete fresh;  // another thread's gate came first
    return expected;
}

ForkGate& current_gate() {
    ForkGate* gate = gate_if_any();
    if (gate == nullptr) throw std::bad_alloc();
    return *gate;
}

}  // namespace

void test_hooks::refuse_fork_gates(unsigned count) noexcept {
    gates_to_refuse.store(count, std::memory_order_relaxed);
}

void WorkerPool::Job::finish(std::size_t items) noexcept {
    if (remaining.fetch_sub(items, std::memory_order_acq_rel) != items) return;
    gate->leave();
    const std::lock_guard lock(mutex);
    done = true;
    finished.notify_one();
}

ForkWaitsForThis::ForkWaitsForThis() : gate_(&current_gate()) { gate_->enter(); }
ForkWaitsForThis::~ForkWaitsForThis() { gate_->leave(); }

void WorkerPool::run(std::size_t count, PieceRef piece) {
    if (count == 0) return;
    if (current_pool != nullptr) {
        piece(0, count);
        return;
    }
    ForkGate& gate = current_gate();
    gate.enter();
    Job job(piece, count, gate);
    {
        const std::lock_guard lock(mutex_);
        // A fresh loop may be halved until it is cut into about one piece per
        // worker (twice that for a power of two).
        try {
            injected_.push_back(Task{&job, 0, count, workers_.size()});
        } catch (...) {
            gate.leave();  // never queued: no worker will end it
            throw;
        }
        ++queued_;
        if (sleeping_ > 0) wake_.notify_one();
    }
    std::unique_lock lock(job.mutex);
    if (WhileWaiting* waiting = WhileWaiting::current()) {
        while (!job.finished.wait_for(lock, waiting->period(), [&job] { return job.done; })) {
            lock.unlock();
            try {
                waiting->tick();
            } catch (...) {
                // The loop goes on reading what the caller owns: wait for it first.
                lock.lock();
                job.finished.wait(lock, [&job] { return job.done; });
                throw;
            }
            lock.lock();
        }
    } else {
        job.finished.wait(lock, [&job] { return job.done; });
    }
    if (job.error) std::rethrow_exception(job.error);
}

void WorkerPool::work(std::size_t self) {
    current_pool = this;
    name_worker_thread(self);
    std::unique_lock lock(mutex_);
    for (;;) {
        bool stolen = false;
        if (const std::optional<Task> task = take_task(self, stolen)) {
            lock.unlock();
            execute(self, *task, stolen);
            lock.lock();
        } else if (stopping_) {
            return;
        } else {
            lock.unlock();
            const bool work_arrived = spin_for_work();
            lock.lock();
            if (work_arrived || queued_ != 0 || stopping_) continue;
            ++sleeping_;
            wake_.wait(lock);
            --sleeping_;
        }
    }
}

// An idle worker watches for new work a little while before it sleeps: loops
// sent back to back (small batches in a training loop) then start without a
// futex wake-up per worker, which costs tens of microseconds.
bool WorkerPool::spin_for_work() const noexcept {
    constexpr auto spin_time = std::chrono::microseconds(50);
    const auto deadline = std::chrono::steady_clock::now() + spin_time;
    for (;;) {
        for (int i = 0; i < 64; ++i) {
            if (queued_.load(std::memory_order_relaxed) != 0 || stopping_.load(std::memory_order_relaxed)) {
                return true;
            }
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
    }
}

// Own work first (newest, smallest half: it follows the range just done),
// then the oldest, largest pending half of another worker, then new loops, so
// that loops already started finish before new ones begin.
std::optional<WorkerPool::Task> WorkerPool::take_task(std::size_t self, bool& stolen) {
    if (queued_ == 0) return std::nullopt;
    --queued_;
    std::deque<Task>& own = workers_[self].pending;
    if (!own.empty()) {
        const Task task = own.back();
        own.pop_back();
        return task;
    }
    for (std::size_t step = 1; step < workers_.size(); ++step) {
        std::deque<Task>& other = workers_[(self + step) % workers_.size()].pending;
        if (!other.empty()) {
            const Task task = other.front();
            other.pop_front();
            stolen = true;
            return task;
        }
    }
    const Task task = injected_.front();
    injected_.pop_front();
    return task;
}

// Splits off right halves into this worker's queue while the range has two
// items or more and its budget allows, then processes the left part. A stolen
// range gets a fresh budget: a thief is a sign that the work is uneven, and
// more pieces let the idle workers share it.
void WorkerPool::execute(std::size_t self, Task task, bool stolen) {
    Job& job = *task.job;
    if (!job.failed.load(std::memory_order_relaxed)) {
        std::size_t splits = stolen ? std::max(workers_.size(), task.splits / 2) : task.splits;
        {
            const std::lock_guard lock(mutex_);
            std::size_t pushed = 0;
            while (task.end - task.begin >= 2 && splits > 0) {
                splits /= 2;
                const std::size_t middle = task.begin + (task.end - task.begin) / 2;
                try {
                    workers_[self].pending.push_back(Task{task.job, middle, task.end, splits});
                } catch (...) {
                    break;  // out of memory: keep the rest of the range in one piece
                }
                task.end = middle;
                ++pushed;
            }
            queued_ += pushed;
            if (pushed > 0 && pushed >= sleeping_) {
                wake_.notify_all();
            } else {
                for (std::size_t i = 0; i < pushed; ++i) wake_.notify_one();
            }
        }
        try {
            job.piece(task.begin, task.end);
        } catch (...) {
            job.fail(std::current_exception());
        }
    }
    job.finish(task.end - task.begin);
}

// ---------------------------------------------------------------------------
// The process-wide pool

namespace {

std::atomic<WorkerPool*> shared_pool{nullptr};
std::mutex shared_pool_creation;

// The child forgets the parent's pool without touching it (it is leaked: a
// worker that did not follow may have held its lock) and starts its own on its
// first loop. Closing the gate keeps the child from inheriting a loop half
// done; it waits, so it comes before the creation lock is taken (the reason:
// ForkStage), and holding that lock across fork keeps the child from
// inheriting it locked.
//
// A process without a gate (a child short of memory at its fork, and again
// now) has no loop running, since none starts without one, and forks without
// closing a gate: only a loop that makes the gate at that very moment, with
// memory found again, could then run across the fork.
ForkGate* closed_gate = nullptr;

void before_fork() noexcept {
    closed_gate = gate_if_any();
    if (closed_gate != nullptr) closed_gate->close();
    shared_pool_creation.lock();
}
void after_fork_in_parent() noexcept {
    shared_pool_creation.unlock();
    if (closed_gate != nullptr) closed_gate->reopen();
}
void after_fork_in_child() noexcept {
    shared_pool.store(nullptr, std::memory_order_relaxed);
    shared_pool_creation.unlock();
    // Threads of the parent may have waited on the old gate's conditions.
    fork_gate.store(try_new_gate(), std::memory_order_release);
}

[[maybe_unused]] const bool fork_handlers_registered =
    on_fork(ForkStage::running_work, {before_fork, after_fork_in_parent, after_fork_in_child});

WorkerPool* start_pool() {
    const ConfiguredCount count = configured_worker_count();
    const std::string pool = "a pool of " + std::to_string(count.workers) + " workers" + count.cause;
    try {
        return new WorkerPool(count.workers);
    } catch (const std::system_error& error) {
        internal_fault("could not start the worker pool: " + pool + ": " + error.what());
    } catch (const std::bad_alloc&) {
        out_of_memory(pool);
    } catch (const std::length_error&) {
        out_of_memory(pool);
    }
}

}  // namespace

WorkerPool& global_pool() {
    if (WorkerPool* pool = shared_pool.load(std::memory_order_acquire)) return *pool;
    const std::lock_guard lock(shared_pool_creation);
    WorkerPool* pool = shared_pool.load(std::memory_order_relaxed);
    if (pool == nullptr) {
        pool = start_pool();  // never deleted: the workers run until the process ends
        shared_pool.store(pool, std::memory_order_release);
    }
    return *pool;
}

std::size_t pool_worker_count() { return global_pool().worker_count(); }

}  // namespace turnsmith
