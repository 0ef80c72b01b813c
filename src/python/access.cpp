#include "python/access.hpp"

#include <vector>

#include "base/fork.hpp"

namespace turnsmith::py {

struct NotedHold {
    AccessState* state;
    bool exclusive;
};

// One thread's noted holds, newest last. Only its own thread changes it, and
// never at a point where a fork can happen (no interpreter call in between),
// so a child reads a whole list. Plain data, so that the thread-local needs
// no initialisation check on the path of a call; calls nest deeper than
// `recent` noted holds only through Python code run inside a call.
struct HoldList {
    static constexpr std::size_t recent_capacity = 6;
    NotedHold recent[recent_capacity];
    std::size_t count;
    std::vector<NotedHold>* deeper;  // the holds beyond the first few, made when needed

    // Hold i, oldest first: the first few in `recent`, the rest in `deeper`.
    NotedHold& at(std::size_t i) { return i < recent_capacity ? recent[i] : (*deeper)[i - recent_capacity]; }
};

namespace {

void give_back(const NotedHold& hold) noexcept {
    if (hold.exclusive) {
        hold.state->unexclusive();
    } else {
        hold.state->unshare();
    }
}

thread_local HoldList own_holds;

// Frees the thread's deeper holds when the thread ends.
struct DeeperFreer {
    ~DeeperFreer() { delete own_holds.deeper; }
};

[[gnu::noinline]] std::vector<NotedHold>* make_deeper() {
    thread_local DeeperFreer freer;
    (void)freer;
    return new std::vector<NotedHold>;
}

// The child's one thread is the forking thread: every hold of an earlier
// epoch now reads as free, and the holds that this thread's calls still have
// (and give back as they end) are counted again.
void after_fork_in_child() noexcept {
    fork_epoch.store(fork_epoch.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    HoldList& list = own_holds;
    for (std::size_t i = 0; i < list.count; ++i) list.at(i).state->restamp(list.at(i).exclusive);
}

[[maybe_unused]] const bool fork_handlers_registered =
    on_fork(ForkStage::hold_lists, {nullptr, nullptr, after_fork_in_child});

}  // namespace

HoldList* thread_holds::note(AccessState& state, bool exclusive) {
    HoldList& list = own_holds;
    try {
        if (list.count < HoldList::recent_capacity) {
            list.recent[list.count] = {&state, exclusive};
        } else {
            if (list.deeper == nullptr) list.deeper = make_deeper();
            list.deeper->push_back({&state, exclusive});
        }
    } catch (...) {
        give_back({&state, exclusive});
        throw;
    }
    ++list.count;
    return &list;
}

// Holds end in the reverse order of their start, but for a shared hold moved
// out of a function: the newest matching one is forgotten.
void thread_holds::forget(HoldList* own, AccessState& state, bool exclusive) noexcept {
    HoldList& list = *own;
    for (std::size_t i = list.count; i-- > 0;) {
        if (list.at(i).state != &state || list.at(i).exclusive != exclusive) continue;
        for (std::size_t j = i + 1; j < list.count; ++j) list.at(j - 1) = list.at(j);
        if (list.count > HoldList::recent_capacity) list.deeper->pop_back();
        --list.count;
        return;
    }
}

}  // namespace turnsmith::py
