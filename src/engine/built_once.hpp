#pragma once
// A large value that the process builds on first use, once: the first caller
// builds it, callers that come meanwhile wait for that build, and everyone
// after reads the finished value without a lock. A build that throws hands
// its exception to every caller that waited for it, and the next caller
// builds again. The value is never freed: it lives as long as the process.
//
// A fork in the middle of a build leaves the child without the building
// thread, so the child forgets that build and builds again on its first use.
// The process-wide instances are never destroyed, since threads the process
// does not join may still read them at exit.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <new>

#include "base/fork.hpp"

namespace turnsmith {

// Points at which a test holds callers of BuiltOnce::get, to bring about
// orders of events that timing alone would make rare.
class BuiltOnceHooks {
public:
    // A caller found no finished value without the lock, and is about to take it.
    virtual void missed_value() noexcept {}
    // The build returned (or threw), and the builder is about to publish it.
    virtual void build_ended() noexcept {}

protected:
    ~BuiltOnceHooks() = default;
};

template <class T>
class BuiltOnce {
public:
    BuiltOnce() = default;
    ~BuiltOnce() {
        delete value_.load(std::memory_order_relaxed);
        delete sync_.load(std::memory_order_relaxed);
    }
    BuiltOnce(const BuiltOnce&) = delete;
    BuiltOnce& operator=(const BuiltOnce&) = delete;

    // The value, built by `build()` (which returns a std::unique_ptr<T>) if no
    // build has finished yet. Rethrows what the build this call waited for
    // threw.
    template <class Build>
    const T& get(Build&& build) {
        if (const T* value = value_.load(std::memory_order_acquire)) return *value;
        if (hooks_ != nullptr) hooks_->missed_value();
        Sync& sync = *sync_.load(std::memory_order_acquire);
        std::unique_lock lock(sync.mutex);
        while (sync.building) {
            const std::uint64_t awaited = sync.attempt;
            sync.done.wait(lock, [&] { return !sync.building || sync.attempt != awaited; });
            if (const T* value = value_.load(std::memory_order_acquire)) return *value;
            if (sync.failed_attempt == awaited) std::rethrow_exception(sync.failure);
        }
        // A build may have ended between the look without the lock and the lock.
        if (const T* value = value_.load(std::memory_order_acquire)) return *value;
        sync.building = true;
        const std::uint64_t attempt = ++sync.attempt;
        builds_.fetch_add(1, std::memory_order_relaxed);
        lock.unlock();

        std::unique_ptr<T> built;
        std::exception_ptr failure;
        try {
            built = build();
        } catch (...) {
            failure = std::current_exception();
        }
        if (hooks_ != nullptr) hooks_->build_ended();

        lock.lock();
        sync.building = false;
        if (built) {
            value_.store(built.release(), std::memory_order_release);
        } else {
            sync.failure = failure;
            sync.failed_attempt = attempt;
        }
        sync.done.notify_all();
        if (!failure) return *value_.load(std::memory_order_relaxed);
        std::rethrow_exception(failure);
    }

    // For tests: set before any caller comes.
    void set_hooks(BuiltOnceHooks* hooks) noexcept { hooks_ = hooks; }

    // The finished value, or null.
    const T* built() const noexcept { return value_.load(std::memory_order_acquire); }

    // How many builds have started in this process (a child of a fork counts
    // on from its parent's number).
    std::uint64_t builds_started() const noexcept { return builds_.load(std::memory_order_relaxed); }

    // Around a fork: the forking thread takes the lock, so the child sees no
    // half-made change; the child starts with a fresh lock and condition (the
    // parent's waiters may be recorded in the old one) and no build running.
    void before_fork() noexcept { sync_.load(std::memory_order_relaxed)->mutex.lock(); }
    void after_fork_in_parent() noexcept { sync_.load(std::memory_order_relaxed)->mutex.unlock(); }
    void after_fork_in_child() noexcept {
        // The old one stays allocated: its lock is held and its condition may
        // name waiters that exist only in the parent. If no new one can be
        // had, the old one is unlocked and kept.
        Sync* old = sync_.load(std::memory_order_relaxed);
        Sync* fresh = new (std::nothrow) Sync;
        if (fresh == nullptr) {
            old->building = false;
            old->mutex.unlock();
            return;
        }
        fresh->attempt = old->attempt;
        sync_.store(fresh, std::memory_order_release);
    }

private:
    struct Sync {
        std::mutex mutex;
        std::condition_variable done;
        bool building = false;
        std::uint64_t attempt = 0;         // the number of the latest build
        std::uint64_t failed_attempt = 0;  // the latest build that threw, and what it threw
        std::exception_ptr failure;
    };

    std::atomic<const T*> value_ = nullptr;
    std::atomic<Sync*> sync_ = new Sync;
    std::atomic<std::uint64_t> builds_ = 0;
    BuiltOnceHooks* hooks_ = nullptr;
};

// The process's BuiltOnce<T>, its fork handlers run at `Stage`: made and
// registered by the first call, never destroyed (a thread the process does
// not join may read it at exit). The file that owns it calls it from a
// namespace-scope initialiser, so that it exists before any fork can ask for
// it: a fork handler must not allocate.
template <class T, ForkStage Stage>
BuiltOnce<T>& process_built_once() {
    static BuiltOnce<T>* const value = [] {
        auto* made = new BuiltOnce<T>;
        on_fork(Stage, {[]() noexcept { process_built_once<T, Stage>().before_fork(); },
                        []() noexcept { process_built_once<T, Stage>().after_fork_in_parent(); },
                        []() noexcept { process_built_once<T, Stage>().after_fork_in_child(); }});
        return made;
    }();
    return *value;
}

}  // namespace turnsmith
