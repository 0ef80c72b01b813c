#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "engine/built_once.hpp"
#include "engine/loops.hpp"
#include "engine/pool.hpp"
#include "pool_test_support.hpp"

namespace turnsmith {
namespace {

// ---------------------------------------------------------------------------
// Loops

struct LoopRecord {
    std::vector<std::uint8_t> hits;
    std::mutex mutex;
    std::vector<std::pair<std::size_t, std::size_t>> pieces;
    std::vector<std::thread::id> threads;

    explicit LoopRecord(std::size_t count) : hits(count) {}

    void operator()(std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) ++hits[i];
        const std::lock_guard lock(mutex);
        pieces.emplace_back(begin, end);
        threads.push_back(std::this_thread::get_id());
    }

    // Every item once, pieces non-empty and together exactly 0..count-1, and
    // none of them run by the thread that started the loop.
    void check(std::thread::id caller) {
        for (std::size_t i = 0; i < hits.size(); ++i) ASSERT_EQ(hits[i], 1) << "item " << i;
        std::sort(pieces.begin(), pieces.end());
        std::size_t next = 0;
        for (const auto& [begin, end] : pieces) {
            ASSERT_EQ(begin, next);
            ASSERT_LT(begin, end);
            next = end;
        }
        ASSERT_EQ(next, hits.size());
        for (const std::thread::id thread : threads) ASSERT_NE(thread, caller);
    }
};

constexpr std::size_t loop_counts[] = {0, 1, 2, 3, 1000, 1'000'003};

TEST(ParallelFor, SharedPoolProcessesEveryItemOnceOnWorkers) {
    for (const std::size_t count : loop_counts) {
        SCOPED_TRACE(count);
        LoopRecord record(count);
        parallel_for(count, record);
        record.check(std::this_thread::get_id());
    }
    EXPECT_GE(pool_worker_count(), 1u);
}

TEST(ParallelFor, PoolsOfSeveralSizes) {
    for (const std::size_t workers : {1, 2, 3, 8}) {
        WorkerPool pool(workers);
        ASSERT_EQ(pool.worker_count(), workers);
        for (const std::size_t count : loop_counts) {
            SCOPED_TRACE(::testing::Message() << workers << " workers, " << count << " items");
            LoopRecord record(count);
            parallel_for(pool, count, record);
            record.check(std::this_thread::get_id());
            // A fresh loop is first cut into at least one piece per worker.
            EXPECT_GE(record.pieces.size(), std::min(count, workers));
        }
    }
}

TEST(ParallelFor, LoopsFromSeveralThreadsShareThePool) {
    constexpr int callers = 4;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < callers; ++t) {
        threads.emplace_back([t, &failures] {
            for (std::size_t round = 0; round < 25; ++round) {
                const std::size_t count = 1 + (round * 7919 + t * 104729) % 5000;
                std::vector<std::uint32_t> out(count);
                parallel_for(count, [&](std::size_t begin, std::size_t end) {
                    for (std::size_t i = begin; i < end; ++i) out[i] += static_cast<std::uint32_t>(i * t + 1);
                });
                for (std::size_t i = 0; i < count; ++i) {
                    if (out[i] != i * t + 1) ++failures;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(ParallelFor, WorkersAreNamed) {
    std::vector<std::string> names(64);
    parallel_for(names.size(), [&](std::size_t begin, std::size_t end) {
        char name[16] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        for (std::size_t i = begin; i < end; ++i) names[i] = name;
    });
    for (const std::string& name : names) EXPECT_TRUE(name.starts_with("turnsmith-w")) << name;
}

TEST(ParallelFor, LoopInsideAPieceRunsInPlace) {
    WorkerPool pool(2);
    std::vector<std::atomic<int>> hits(100 * 10);
    parallel_for(pool, 100, [&](std::size_t begin, std::size_t end) {
        for (std::size_t outer = begin; outer < end; ++outer) {
            parallel_for(pool, 10, [&](std::size_t b, std::size_t e) {
                for (std::size_t inner = b; inner < e; ++inner) ++hits[outer * 10 + inner];
            });
        }
    });
    for (const auto& hit : hits) EXPECT_EQ(hit.load(), 1);
}

// ---------------------------------------------------------------------------
// Exceptions

TEST(ParallelFor, FirstExceptionReachesTheCallerAfterRunningPiecesEnd) {
    WorkerPool pool(4);
    constexpr std::size_t count = 100'000;
    std::vector<std::uint8_t> hits(count);
    std::atomic<int> running{0};
    std::atomic<int> running_at_rethrow{-1};
    try {
        parallel_for(pool, count, [&](std::size_t begin, std::size_t end) {
            ++running;
            for (std::size_t i = begin; i < end; ++i) ++hits[i];
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            --running;
            throw std::runtime_error("piece " + std::to_string(begin));
        });
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        running_at_rethrow = running.load();
        EXPECT_TRUE(std::string_view(error.what()).starts_with("piece "));
    }
    EXPECT_EQ(running_at_rethrow.load(), 0);
    EXPECT_LE(*std::max_element(hits.begin(), hits.end()), 1);

    // The pool is still whole.
    LoopRecord record(count);
    parallel_for(pool, count, record);
    record.check(std::this_thread::get_id());
}

TEST(ParallelFor, PiecesNotStartedAfterAFailureAreSkipped) {
    // One worker processes the halves of a loop in order, so the failure of
    // the first half comes before the second half would start.
    WorkerPool pool(1);
    std::vector<std::uint8_t> hits(1000);
    EXPECT_THROW(parallel_for(pool, hits.size(),
                              [&](std::size_t begin, std::size_t end) {
                                  for (std::size_t i = begin; i < end; ++i) ++hits[i];
                                  throw std::logic_error("stop");
                              }),
                 std::logic_error);
    EXPECT_EQ(std::count(hits.begin(), hits.end(), 1), 500);
    EXPECT_EQ(hits[0], 1);
}

TEST(ParallelFor, SharedPoolSurvivesAnException) {
    EXPECT_THROW(parallel_for(10, [](std::size_t, std::size_t) { throw std::runtime_error("x"); }),
                 std::runtime_error);
    LoopRecord record(1000);
    parallel_for(1000, record);
    record.check(std::this_thread::get_id());
}

// ---------------------------------------------------------------------------
// Loops in chunks

using Range = std::pair<std::size_t, std::size_t>;

// A loop run in chunks: each chunk as the span of the pieces run inside it,
// and how often each item was processed.
struct ChunkedRun {
    std::vector<Range> chunks;
    std::vector<std::atomic<int>> hits;
};

template <class Cost>
ChunkedRun run_in_chunks(std::size_t count, const Cost& cost, std::uint64_t budget) {
    ChunkedRun result{{}, std::vector<std::atomic<int>>(count)};
    std::size_t low = count, high = 0;
    const auto around = [&](auto&& run_chunk) {
        low = count;
        high = 0;
        run_chunk();
        result.chunks.emplace_back(low, high);
    };
    std::mutex bounds;
    InChunks<decltype(around)> run{budget, around};
    run(count, cost, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) ++result.hits[i];
        const std::lock_guard lock(bounds);
        low = std::min(low, begin);
        high = std::max(high, end);
    });
    return result;
}

// Item costs 0..9 repeating; every item must be processed exactly once, each
// chunk run by the caller's hook, and no chunk may go on past its budget.
// ---------------------------------------------------------------------------
// Looking up while waiting

// A loop that lasts until `release` is set, so that the ticks, not the
// clock, decide when it ends.
TEST(WhileWaiting, TicksRunOnTheWaitingThreadUntilTheLoopEnds) {
    WorkerPool pool(2);
    WorkerPool other(1);
    std::atomic<bool> release = false;
    std::vector<std::thread::id> ticked_on;
    auto tick = [&] {
        ticked_on.push_back(std::this_thread::get_id());
        // A loop started by a tick waits plainly: no tick inside a tick.
        parallel_for(other, 1, [](std::size_t, std::size_t) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        });
        if (ticked_on.size() >= 3) release = true;
    };
    const WhileWaiting waiting(std::chrono::milliseconds(1), tick);
    parallel_for(pool, 2, [&](std::size_t, std::size_t) {
        while (!release) std::this_thread::yield();
    });
    EXPECT_GE(ticked_on.size(), 3u);
    for (const std::thread::id thread : ticked_on) EXPECT_EQ(thread, std::this_thread::get_id());
    EXPECT_EQ(WhileWaiting::current(), &waiting);
}

TEST(WhileWaiting, ATickThatThrowsWaitsForTheLoopFirst) {
    WorkerPool pool(2);
    std::atomic<bool> release = false;
    std::atomic<bool> loop_ended = false;
    auto tick = [&] {
        release = true;
        throw std::runtime_error("stop");
    };
    const WhileWaiting waiting(std::chrono::milliseconds(1), tick);
    EXPECT_THROW(parallel_for(pool, 1,
                              [&](std::size_t, std::size_t) {
                                  while (!release) std::this_thread::yield();
                                  std::this_thread::sleep_for(std::chrono::milliseconds(20));
                                  loop_ended = true;
                              }),
                 std::runtime_error);
    EXPECT_TRUE(loop_ended);
}

TEST(WhileWaiting, OtherThreadsAndOuterScopesDoNotTick) {
    WorkerPool pool(2);
    std::size_t ticks = 0;
    auto tick = [&] { ++ticks; };
    {
        const WhileWaiting waiting(std::chrono::milliseconds(1), tick);
        std::thread other([&] {
            EXPECT_EQ(WhileWaiting::current(), nullptr);
            parallel_for(pool, 1, [](std::size_t, std::size_t) {
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
            });
        });
        other.join();
    }
    EXPECT_EQ(WhileWaiting::current(), nullptr);
    parallel_for(pool, 1, [](std::size_t, std::size_t) { std::this_thread::sleep_for(std::chrono::milliseconds(30)); });
    EXPECT_EQ(ticks, 0u);
}

TEST(InChunks, CoversEveryItemOnceInBudgetedChunks) {
    constexpr std::size_t count = 1000;
    constexpr std::uint64_t budget = 40;
    const auto cost = [](std::size_t i) { return std::uint64_t(i % 10); };
    const auto [chunks, hits] = run_in_chunks(count, cost, budget);
    EXPECT_TRUE(std::all_of(hits.begin(), hits.end(), [](const std::atomic<int>& h) { return h == 1; }));
    ASSERT_FALSE(chunks.empty());
    EXPECT_EQ(chunks.front().first, 0u);
    EXPECT_EQ(chunks.back().second, count);
    for (std::size_t c = 0; c < chunks.size(); ++c) {
        const auto [begin, end] = chunks[c];
        if (c > 0) {
            EXPECT_EQ(begin, chunks[c - 1].second);
        }
        std::uint64_t spent = 0;
        for (std::size_t i = begin; i + 1 < end; ++i) spent += cost(i);
        EXPECT_LT(spent, budget) << "chunk " << c << " went on after its budget was spent";
    }
}

TEST(InChunks, ChunkEndTakesAtLeastOneItem) {
    const auto huge = [](std::size_t) { return std::uint64_t{1} << 40; };
    EXPECT_EQ(chunk_end(5, 10, huge, 100), 6u);
    EXPECT_EQ(chunk_end(0, 10, UnitCost{}, 4), 4u);
    EXPECT_EQ(chunk_end(8, 10, UnitCost{}, 4), 10u);
    EXPECT_EQ(chunk_end(3, 10, UnitCost{}, 0), 4u);
    EXPECT_EQ(chunk_end(0, 100, RowCost{}, 8 * 5), 5u);
}

// ---------------------------------------------------------------------------
// The splitting budget, worked through
//
// A long call's loop is cut twice. First into chunks of chunk_budget() quarter
// turns, 2^20 per worker: with 2 workers 2^21 turns, so a chunk of sticker
// rows (8 turns a row) has 2^18 rows. Then the pool cuts each chunk, as a
// fresh loop, by halving it while its budget of splits lasts (as many as the
// pool has workers, halved at each cut): 2 workers cut 2^18 rows into four
// pieces of 2^16 rows.

TEST(SplittingBudget, ChunksOfAWorkedExample) {
    EXPECT_EQ(chunk_budget(), pool_worker_count() * std::uint64_t{1'048'576});

    constexpr std::uint64_t budget_of_two_workers = 2'097'152;
    EXPECT_EQ(chunk_end(0, 1'000'000, RowCost{}, budget_of_two_workers), 262'144u);
    EXPECT_EQ(chunk_end(0, 3'000'000, UnitCost{}, budget_of_two_workers), 2'097'152u);
    EXPECT_EQ(run_in_chunks(600'000, RowCost{}, budget_of_two_workers).chunks,
              (std::vector<Range>{{0, 262'144}, {262'144, 524'288}, {524'288, 600'000}}));

    // With costs that vary, a chunk ends with the item that brings it to its
    // budget (10 here) or past it: 3+5+2 | 7+1+4 | 10 | 2+9 | 9.
    const std::uint64_t costs[] = {3, 5, 2, 7, 1, 4, 10, 2, 9, 9};
    const auto cost = [&](std::size_t i) { return costs[i]; };
    EXPECT_EQ(run_in_chunks(std::size(costs), cost, 10).chunks,
              (std::vector<Range>{{0, 3}, {3, 6}, {6, 7}, {7, 9}, {9, 10}}));
}

// Keeps one worker of a pool busy in a loop of one item until it ends, so
// that a loop run meanwhile on a pool of two has one worker and no thief: its
// pieces are then exactly those of its own budget.
class BusyWorker {
public:
    explicit BusyWorker(WorkerPool& pool)
        : caller_([this, &pool] {
              parallel_for(pool, 1, [this](std::size_t, std::size_t) {
                  started_ = true;
                  started_.notify_one();
                  release_.wait(false);
              });
          }) {
        started_.wait(false);
    }
    ~BusyWorker() {
        release_ = true;
        release_.notify_one();
        caller_.join();
    }
    BusyWorker(const BusyWorker&) = delete;
    BusyWorker& operator=(const BusyWorker&) = delete;

private:
    std::atomic<bool> started_{false};
    std::atomic<bool> release_{false};
    std::thread caller_;
};

// Two splits for a fresh loop on two workers: the first cut gives the right
// half one split of its own, the second cuts the left half again; the worker
// then runs its pieces, newest first, and cuts the right half once more.
TEST(SplittingBudget, AFreshLoopOnTwoWorkersIsCutIntoQuarters) {
    WorkerPool pool(2);
    const BusyWorker busy(pool);
    const std::pair<std::size_t, std::vector<Range>> cases[] = {
        {10, {{0, 2}, {2, 5}, {5, 7}, {7, 10}}},
        {3, {{0, 1}, {1, 2}, {2, 3}}},  // a range of one item is not cut
        {262'144, {{0, 65'536}, {65'536, 131'072}, {131'072, 196'608}, {196'608, 262'144}}},
    };
    for (const auto& [count, pieces] : cases) {
        SCOPED_TRACE(count);
        LoopRecord record(count);
        parallel_for(pool, count, record);
        EXPECT_EQ(record.pieces, pieces);
        record.check(std::this_thread::get_id());
    }
}

// ---------------------------------------------------------------------------
// A value built once: callers that come as the build ends

// Holds the build at its end until the late callers have missed the value,
// and each late caller until the value is published: they then take the lock
// after the build has ended, and must find the value there.
class LateCallers final : public BuiltOnceHooks {
public:
    LateCallers(const BuiltOnce<int>& once, int count) : once_(once), count_(count) {}

    std::atomic<bool> build_started{false};

    void missed_value() noexcept override {
        if (!build_started.load()) return;  // the builder itself
        arrived_.fetch_add(1);
        while (once_.built() == nullptr) std::this_thread::yield();
    }
    void build_ended() noexcept override {
        while (arrived_.load() < count_) std::this_thread::yield();
    }

private:
    const BuiltOnce<int>& once_;
    const int count_;
    std::atomic<int> arrived_{0};
};

TEST(BuiltOnce, CallersThatComeAsTheBuildEndsShareIt) {
    constexpr int late = 4;
    BuiltOnce<int> once;
    LateCallers hooks(once, late);
    once.set_hooks(&hooks);
    const auto build = [&] {
        hooks.build_started.store(true);
        return std::make_unique<int>(42);
    };
    std::vector<const int*> seen(late + 1);
    std::thread builder([&] { seen[late] = &once.get(build); });
    while (!hooks.build_started.load()) std::this_thread::yield();
    std::vector<std::thread> callers;
    for (int i = 0; i < late; ++i) callers.emplace_back([&, i] { seen[i] = &once.get(build); });
    builder.join();
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(once.builds_started(), 1u);
    for (const int* value : seen) EXPECT_EQ(value, once.built());
}

// ---------------------------------------------------------------------------
// Process lifecycle

std::size_t thread_count() {
    std::size_t tasks = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++tasks;
    return tasks;
}

// Starts the shared pool here, then forks: the child must get a pool of its own
// with the size its environment asks for, and keep it for later loops.
TEST(ParallelFor, ForkedChildStartsItsOwnPool) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not support starting threads after a fork";
#endif
    LoopRecord before(100);
    parallel_for(100, before);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(60);  // a hang ends the child by signal instead of stalling the test
        setenv("RAYON_NUM_THREADS", "3", 1);
        const std::size_t threads_before = thread_count();
        std::vector<std::uint8_t> hits(10'000);
        auto mark = [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) ++hits[i];
        };
        parallel_for(hits.size(), mark);
        const std::size_t threads_after_first = thread_count();
        parallel_for(hits.size(), mark);
        const bool ok = threads_before == 1 && threads_after_first == 4 && thread_count() == 4 &&
                        pool_worker_count() == 3 &&
                        std::all_of(hits.begin(), hits.end(), [](std::uint8_t h) { return h == 2; });
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A child that finds no memory for its fork gate makes it on its first loop,
// which fails with std::bad_alloc while memory is still short; the next loop
// makes it and runs.
TEST(ParallelFor, ForkedChildShortOfMemoryForItsGateFailsOneLoopCleanly) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not support starting threads after a fork";
#endif
    LoopRecord before(100);
    parallel_for(100, before);
    test_hooks::refuse_fork_gates(2);  // the child's gate at the fork, then on its first loop
    const pid_t child = fork();
    if (child != 0) test_hooks::refuse_fork_gates(0);
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(60);
        std::vector<std::uint8_t> hits(1000);
        auto mark = [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) ++hits[i];
        };
        bool refused = false;
        try {
            parallel_for(hits.size(), mark);
        } catch (const std::bad_alloc&) {
            refused = true;
        }
        parallel_for(hits.size(), mark);
        const bool ran_once = std::all_of(hits.begin(), hits.end(), [](std::uint8_t h) { return h == 1; });
        _exit(refused && ran_once ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A fork while another thread's loop runs must wait for that loop: the child
// then sees every item written, never a loop half done.
TEST(ParallelFor, ForkWaitsForRunningLoops) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not support fork in a process with threads";
#endif
    testing::SlowLoopInAThread loop(200);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(loop.whole() ? 0 : 1);
    loop.join();
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child saw a loop half done";
}

// A fork from another thread while a loop's waiter looks up. A long call's
// tick attaches to the interpreter, which the forking thread holds across the
// fork, so the fork must go ahead once the loop's items are done, without
// waiting for the waiter. Run in a child of its own, whose alarm ends a hang.
TEST(ParallelFor, ForkDoesNotWaitForAWaiterThatLooksUp) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not support fork in a process with threads";
#endif
    const pid_t harness = fork();
    ASSERT_GE(harness, 0);
    if (harness == 0) {
        alarm(30);
        WorkerPool pool(1);
        std::atomic<bool> ticking = false;
        std::atomic<bool> forked = false;
        std::thread waiter([&] {
            auto tick = [&] {  // waits as an attach waits for the forking thread
                ticking = true;
                while (!forked) std::this_thread::yield();
            };
            const WhileWaiting waiting(std::chrono::milliseconds(1), tick);
            parallel_for(pool, 1, [&](std::size_t, std::size_t) {
                while (!ticking) std::this_thread::yield();
            });
        });
        while (!ticking) std::this_thread::yield();
        const pid_t child = fork();
        if (child == 0) _exit(0);
        forked = true;
        waiter.join();
        int status = 0;
        _exit(child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(harness, &status, 0), harness);
    ASSERT_TRUE(WIFEXITED(status)) << "the fork waited for the looking-up waiter (ended by signal "
                                   << WTERMSIG(status) << ")";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace turnsmith
