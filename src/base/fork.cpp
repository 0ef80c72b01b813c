#include "base/fork.hpp"

#include <pthread.h>

#include <mutex>

namespace turnsmith {
namespace {

// Both are constant-initialised, so they are ready before any static
// initialiser of another file can register. The mutex is held from before the
// fork to after it: a registration in between waits, so the handlers that
// run after a fork are those of the stages that ran before it.
constinit std::mutex stages_mutex;
constinit ForkStages stages;

void before_fork() noexcept {
    stages_mutex.lock();
    stages.before();
}
void after_fork_in_parent() noexcept {
    stages.in_parent();
    stages_mutex.unlock();
}
void after_fork_in_child() noexcept {
    stages.in_child();
    stages_mutex.unlock();
}

}  // namespace

bool on_fork(ForkStage stage, ForkHandlers handlers) noexcept {
    [[maybe_unused]] static const int registered =
        pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
    const std::lock_guard lock(stages_mutex);
    stages.set(stage, handlers);
    return true;
}

}  // namespace turnsmith
