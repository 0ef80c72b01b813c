#include "cubeBatch/pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <limits>
#include <new>
#include <sstream>
#include <system_error>

#include "cube/fault.hpp"

namespace turnsmith {

// ---------------------------------------------------------------------------
// Loops and their division

// One parallel loop. It lives on the stack of the thread that waits for it, so
// the worker that finishes the last item signals under `mutex`: the waiter can
// only wake, return and free the job after that worker has let go of it.
struct WorkerPool::Job {
    PieceRef piece;
    std::atomic<std::size_t> remaining;  // items neither processed nor skipped
    std::atomic<bool> failed{false};
    std::exception_ptr error;  // written once, by the piece that set `failed`
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;

    Job(PieceRef loop_piece, std::size_t count) : piece(loop_piece), remaining(count) {}

    void fail(std::exception_ptr thrown) noexcept {
        if (!failed.exchange(true, std::memory_order_acq_rel)) error = std::move(thrown);
    }

    void finish(std::size_t items) noexcept {
        if (remaining.fetch_sub(items, std::memory_order_acq_rel) != items) return;
        const std::lock_guard lock(mutex);
        done = true;
        finished.notify_one();
    }
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
// it gets a fresh gate and leaks the old one.
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

std::atomic<ForkGate*> fork_gate{new ForkGate};

}  // namespace

ForkWaitsForThis::ForkWaitsForThis() : gate_(fork_gate.load(std::memory_order_acquire)) { gate_->enter(); }
ForkWaitsForThis::~ForkWaitsForThis() { gate_->leave(); }

void WorkerPool::run(std::size_t count, PieceRef piece) {
    if (count == 0) return;
    if (current_pool != nullptr) {
        piece(0, count);
        return;
    }
    const ForkWaitsForThis running;
    Job job(piece, count);
    {
        const std::lock_guard lock(mutex_);
        // A fresh loop may be halved until it is cut into about one piece per
        // worker (twice that for a power of two).
        injected_.push_back(Task{&job, 0, count, workers_.size()});
        ++queued_;
        if (sleeping_ > 0) wake_.notify_one();
    }
    std::unique_lock lock(job.mutex);
    job.finished.wait(lock, [&job] { return job.done; });
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

// A forked child has only the thread that called fork: the parent's workers
// are gone and the pool's lock may have been held by one of them. The child
// therefore forgets that pool without touching it (it is leaked) and starts
// its own on its first loop. Holding the creation lock across fork keeps the
// child from inheriting it locked; closing the gate keeps it from inheriting
// a loop half done.
void before_fork() noexcept {
    fork_gate.load(std::memory_order_acquire)->close();
    shared_pool_creation.lock();
}
void after_fork_in_parent() noexcept {
    shared_pool_creation.unlock();
    fork_gate.load(std::memory_order_acquire)->reopen();
}
void after_fork_in_child() noexcept {
    shared_pool.store(nullptr, std::memory_order_relaxed);
    shared_pool_creation.unlock();
    // Threads of the parent may have waited on the old gate's conditions.
    fork_gate.store(new (std::nothrow) ForkGate, std::memory_order_release);
}

[[maybe_unused]] const int fork_handlers_registered =
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

std::optional<std::string_view> environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string_view(value);
}

// The worker count and, when a variable set it, " (RAYON_NUM_THREADS=n)" to
// name it in failures that the count caused.
struct ConfiguredCount {
    std::size_t workers;
    std::string cause;
};

ConfiguredCount configured_worker_count() {
    const auto num_threads = environment("RAYON_NUM_THREADS");
    const auto rs_num_cpus = environment("RAYON_RS_NUM_CPUS");
    const std::size_t workers = worker_count_from(num_threads, rs_num_cpus, available_cpus());
    switch (worker_count_source(num_threads, rs_num_cpus)) {
        case CountSource::num_threads:
            return {workers, " (RAYON_NUM_THREADS=" + std::string(*num_threads) + ")"};
        case CountSource::rs_num_cpus:
            return {workers, " (RAYON_RS_NUM_CPUS=" + std::string(*rs_num_cpus) + ")"};
        case CountSource::default_count:
            break;
    }
    return {workers, ""};
}

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

// ---------------------------------------------------------------------------
// Worker count

std::optional<std::size_t> parse_count(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    std::size_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

CountSource worker_count_source(std::optional<std::string_view> num_threads,
                                std::optional<std::string_view> rs_num_cpus) {
    if (num_threads) {
        if (const std::optional<std::size_t> count = parse_count(*num_threads)) {
            return *count > 0 ? CountSource::num_threads : CountSource::default_count;
        }
    }
    if (rs_num_cpus) {
        if (const std::optional<std::size_t> count = parse_count(*rs_num_cpus); count && *count > 0) {
            return CountSource::rs_num_cpus;
        }
    }
    return CountSource::default_count;
}

std::size_t worker_count_from(std::optional<std::string_view> num_threads,
                              std::optional<std::string_view> rs_num_cpus, std::size_t default_count) {
    switch (worker_count_source(num_threads, rs_num_cpus)) {
        case CountSource::num_threads:
            return *parse_count(*num_threads);
        case CountSource::rs_num_cpus:
            return *parse_count(*rs_num_cpus);
        case CountSource::default_count:
            break;
    }
    return default_count;
}

namespace {

std::string_view trim(std::string_view text) {
    constexpr std::string_view space = " \t\r\n";
    const std::size_t first = text.find_first_not_of(space);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

std::optional<std::size_t> cpus_from_quota(std::string_view quota, std::string_view period) {
    const std::optional<std::size_t> quota_us = parse_count(quota);
    const std::optional<std::size_t> period_us = parse_count(period);
    if (!quota_us || !period_us || *period_us == 0) return std::nullopt;
    return std::max<std::size_t>(*quota_us / *period_us, 1);
}

// Calls `visit(line)` for every line of `text`.
template <class Visit>
void for_each_line(std::string_view text, Visit&& visit) {
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        visit(text.substr(0, end));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
}

// The fields of a line separated by `separator`.
std::vector<std::string_view> split(std::string_view line, char separator) {
    std::vector<std::string_view> fields;
    for (;;) {
        const std::size_t end = line.find(separator);
        fields.push_back(line.substr(0, end));
        if (end == std::string_view::npos) return fields;
        line.remove_prefix(end + 1);
    }
}

bool lists(std::string_view comma_list, std::string_view item) {
    const std::vector<std::string_view> items = split(comma_list, ',');
    return std::find(items.begin(), items.end(), item) != items.end();
}

// Whether cgroup `path` is `root` or lies below it.
bool is_within(std::string_view path, std::string_view root) {
    if (root == "/") return path.starts_with('/');
    return path.starts_with(root) && (path.size() == root.size() || path[root.size()] == '/');
}

}  // namespace

std::optional<std::size_t> parse_cgroup_v2_cpu_max(std::string_view cpu_max) {
    cpu_max = trim(cpu_max);
    const std::size_t gap = cpu_max.find(' ');
    if (gap == std::string_view::npos) return std::nullopt;
    const std::string_view quota = cpu_max.substr(0, gap);
    if (quota == "max") return std::nullopt;
    return cpus_from_quota(quota, trim(cpu_max.substr(gap)));
}

std::optional<std::size_t> parse_cgroup_v1_quota(std::string_view cfs_quota_us,
                                                 std::string_view cfs_period_us) {
    // -1 (any negative quota) means no limit; it fails to parse as a count.
    return cpus_from_quota(trim(cfs_quota_us), trim(cfs_period_us));
}

std::optional<std::string_view> cgroup_path_from(std::string_view proc_self_cgroup,
                                                 std::string_view controller) {
    std::optional<std::string_view> found;
    for_each_line(proc_self_cgroup, [&](std::string_view line) {
        // id:controllers:path, where the path itself may hold ':'.
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (found || second == std::string_view::npos) return;
        const std::string_view id = line.substr(0, first);
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const bool matches =
            controller.empty() ? id == "0" && controllers.empty() : lists(controllers, controller);
        if (matches) found = line.substr(second + 1);
    });
    return found;
}

std::optional<CgroupMount> cgroup_mount_from(std::string_view mountinfo, std::string_view fstype,
                                             std::string_view controller, std::string_view group_path) {
    std::optional<CgroupMount> found;
    for_each_line(mountinfo, [&](std::string_view line) {
        // id parent major:minor root mount-point options [tags...] - fstype source super-options
        const std::size_t dash = line.find(" - ");
        if (found || dash == std::string_view::npos) return;
        const std::vector<std::string_view> mount = split(line.substr(0, dash), ' ');
        const std::vector<std::string_view> filesystem = split(line.substr(dash + 3), ' ');
        if (mount.size() < 5 || filesystem.size() < 3 || filesystem[0] != fstype) return;
        if (fstype == "cgroup" && !lists(filesystem[2], controller)) return;
        if (!is_within(group_path, mount[3])) return;
        found = CgroupMount{std::string(mount[4]), std::string(mount[3])};
    });
    return found;
}

namespace {

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream file(path);
    if (!file) return std::nullopt;
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad()) return std::nullopt;
    return std::move(text).str();
}

// The smallest limit that `limit_in(directory)` reports for the process's
// cgroup or any cgroup above it: a parent's quota binds its children too.
template <class LimitIn>
std::optional<std::size_t> tightest_quota(std::string_view fstype, std::string_view controller,
                                          LimitIn&& limit_in) {
    const std::optional<std::string> groups = read_file("/proc/self/cgroup");
    const std::optional<std::string> mounts = read_file("/proc/self/mountinfo");
    if (!groups || !mounts) return std::nullopt;
    const std::optional<std::string_view> group = cgroup_path_from(*groups, controller);
    if (!group) return std::nullopt;
    const std::optional<CgroupMount> mount = cgroup_mount_from(*mounts, fstype, controller, *group);
    if (!mount) return std::nullopt;

    std::string relative(group->substr(mount->root == "/" ? 0 : mount->root.size()));
    if (relative == "/") relative.clear();
    std::optional<std::size_t> tightest;
    for (;;) {
        if (const std::optional<std::size_t> limit = limit_in(mount->mount_point + relative)) {
            tightest = tightest ? std::min(*tightest, *limit) : *limit;
        }
        const std::size_t parent = relative.find_last_of('/');
        if (relative.empty() || parent == std::string::npos) return tightest;
        relative.resize(parent);
    }
}

std::optional<std::size_t> cgroup_cpu_quota() {
    const auto v2 = tightest_quota("cgroup2", "", [](const std::string& directory) {
        const std::optional<std::string> cpu_max = read_file(directory + "/cpu.max");
        return cpu_max ? parse_cgroup_v2_cpu_max(*cpu_max) : std::nullopt;
    });
    if (v2) return v2;
    return tightest_quota("cgroup", "cpu", [](const std::string& directory) {
        const std::optional<std::string> quota = read_file(directory + "/cpu.cfs_quota_us");
        const std::optional<std::string> period = read_file(directory + "/cpu.cfs_period_us");
        return quota && period ? parse_cgroup_v1_quota(*quota, *period) : std::nullopt;
    });
}

// CPUs in the affinity mask, with a set large enough for any machine; 0 when
// the mask cannot be read.
std::size_t affinity_cpu_count() {
    for (std::size_t cpus = 1024; cpus <= (std::size_t{1} << 22); cpus *= 2) {
        const std::unique_ptr<cpu_set_t, void (*)(cpu_set_t*)> set(CPU_ALLOC(cpus),
                                                                   [](cpu_set_t* s) { CPU_FREE(s); });
        if (!set) return 0;
        const std::size_t size = CPU_ALLOC_SIZE(cpus);
        if (sched_getaffinity(0, size, set.get()) == 0) {
            return static_cast<std::size_t>(CPU_COUNT_S(size, set.get()));
        }
        if (errno != EINVAL) return 0;
    }
    return 0;
}

}  // namespace

std::size_t available_cpus() {
    std::size_t cpus = affinity_cpu_count();
    if (cpus == 0) {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        cpus = online > 0 ? static_cast<std::size_t>(online) : 0;
    }
    if (const std::optional<std::size_t> quota = cgroup_cpu_quota()) {
        cpus = cpus == 0 ? *quota : std::min(cpus, *quota);
    }
    return std::max<std::size_t>(cpus, 1);
}

}  // namespace turnsmith
