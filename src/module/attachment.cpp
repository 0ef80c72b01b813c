#include "module/attachment.hpp"

#include <pthread.h>

#include <mutex>

namespace turnsmith::py {
namespace {

// The holds of detached threads, most recent first. Each entry lives in the
// Detached scope of its thread.
std::mutex listed_mutex;
DetachedHold* listed_first = nullptr;

void list(DetachedHold& hold) noexcept {
    const std::lock_guard lock(listed_mutex);
    hold.next = listed_first;
    if (listed_first != nullptr) listed_first->previous = &hold;
    listed_first = &hold;
}

void unlist(DetachedHold& hold) noexcept {
    const std::lock_guard lock(listed_mutex);
    (hold.previous != nullptr ? hold.previous->next : listed_first) = hold.next;
    if (hold.next != nullptr) hold.next->previous = hold.previous;
}

// The forking thread is attached (it is running os.fork), so every listed hold
// belongs to another thread, which the child does not have. Its entry is still
// readable in the child's copy of that thread's stack.
void before_fork() noexcept { listed_mutex.lock(); }
void after_fork_in_parent() noexcept { listed_mutex.unlock(); }
void after_fork_in_child() noexcept {
    for (DetachedHold* hold = listed_first; hold != nullptr; hold = hold->next) {
        if (hold->exclusive) {
            hold->state->unexclusive();
        } else {
            hold->state->unshare();
        }
    }
    listed_first = nullptr;
    listed_mutex.unlock();
}

[[maybe_unused]] const int fork_handlers_registered =
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

}  // namespace

Detached::Detached(AccessState& state, bool exclusive) noexcept {
    listed_.state = &state;
    listed_.exclusive = exclusive;
    list(listed_);
    state_ = PyEval_SaveThread();
}

Detached::~Detached() {
    PyEval_RestoreThread(state_);
    if (listed_.state != nullptr) unlist(listed_);
}

}  // namespace turnsmith::py
