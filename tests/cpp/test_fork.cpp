#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/fork.hpp"
#include "pool_test_support.hpp"

namespace turnsmith {
namespace {

// Handlers are plain functions, so they note their calls in a global list:
// the phase ('b'efore, 'p'arent, 'c'hild) and the stage's number.
std::vector<std::string> trail;

template <ForkStage Stage, char Phase>
void note() noexcept {
    trail.push_back(Phase + std::to_string(static_cast<std::size_t>(Stage)));
}

template <ForkStage Stage>
constexpr ForkHandlers noting{note<Stage, 'b'>, note<Stage, 'p'>, note<Stage, 'c'>};

// Before the fork the stages run in their order, after it in the reverse one,
// and a stage without a handler for a phase is passed over.
TEST(ForkStages, BeforeInOrderAfterInReverse) {
    using enum ForkStage;
    ForkStages stages;
    stages.set(generators, {.in_child = note<generators, 'c'>});
    stages.set(hold_lists, noting<hold_lists>);
    stages.set(running_work, noting<running_work>);
    trail.clear();
    trail.reserve(16);

    stages.before();
    EXPECT_EQ(trail, (std::vector<std::string>{"b0", "b1"}));
    trail.clear();
    stages.in_parent();
    EXPECT_EQ(trail, (std::vector<std::string>{"p1", "p0"}));
    trail.clear();
    stages.in_child();
    EXPECT_EQ(trail, (std::vector<std::string>{"c2", "c1", "c0"}));
}

// ---------------------------------------------------------------------------
// A real fork

// The loop that runs while the probe forks.
const testing::SlowLoopInAThread* running_loop = nullptr;
std::atomic<bool> whole_at_hold_lists{false};
std::atomic<bool> hold_lists_in_parent{false};
std::atomic<bool> hold_lists_in_child{false};

// What the process that forks reports as its exit status.
enum ProbeResult : int { fine = 0, loop_not_whole = 2, parent_handler_wrong, child_handler_wrong };

// Registers handlers of its own for the stage after running work (the core
// has none there), forks while another thread's loop runs, and reports what
// the handlers saw. Runs in a child process of its own, so that the
// registration does not outlive it.
ProbeResult probe_stage_order() {
    on_fork(ForkStage::hold_lists, {
                                       .before = []() noexcept { whole_at_hold_lists = running_loop->whole(); },
                                       .in_parent = []() noexcept { hold_lists_in_parent = true; },
                                       .in_child = []() noexcept { hold_lists_in_child = true; },
                                   });
    testing::SlowLoopInAThread loop(200);
    running_loop = &loop;
    const pid_t child = fork();
    if (child == 0) _exit(hold_lists_in_child && !hold_lists_in_parent ? 0 : 1);
    loop.join();
    if (!whole_at_hold_lists) return loop_not_whole;
    if (!hold_lists_in_parent || hold_lists_in_child) return parent_handler_wrong;
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return child_handler_wrong;
    }
    return fine;
}

// The stage that waits for running work comes before the next one: by the
// time the next stage's handler runs, the loop that was running has ended.
TEST(ForkStages, ARealForkWaitsForRunningWorkBeforeTheNextStage) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not support fork in a process with threads";
#endif
    const pid_t prober = fork();
    ASSERT_GE(prober, 0);
    if (prober == 0) {
        alarm(60);  // a hang ends the process by signal instead of stalling the test
        _exit(probe_stage_order());
    }
    int status = 0;
    ASSERT_EQ(waitpid(prober, &status, 0), prober);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), fine) << "2: the next stage ran while a loop was running; "
                                            "3: its handler in the parent did not run alone; "
                                            "4: its handler in the child did not run alone";
}

}  // namespace
}  // namespace turnsmith
