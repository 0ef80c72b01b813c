#include "module/access.hpp"

#include <mutex>
#include <vector>

#include "cube/fork.hpp"

namespace turnsmith::py {

struct NotedHold {
    AccessState* state;
    bool exclusive;
};

// One thread's holds, newest last. Only its own thread changes it, and never
// at a point where a fork can happen (no interpreter call in between), so a
// child reads whole lists. Plain data, so that the thread-local needs no
// initialisation check on the path of every call; calls nest deeper than
// `recent` holds only through Python code run inside a call.
struct HoldList {
    static constexpr std::size_t recent_capacity = 6;
    NotedHold recent[recent_capacity];
    std::size_t count;
    std::vector<NotedHold>* deeper;  // the holds beyond the first few, made when needed
    bool linked;
    HoldList* previous;
    HoldList* next;

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

// The lists of all threads that ever took a hold and are still alive, for
// the fork handler.
std::mutex lists_mutex;
HoldList* first_list = nullptr;

// Unlinks the thread's list when the thread ends.
struct Unlinker {
    ~Unlinker() {
        HoldList& list = own_holds;
        const std::lock_guard lock(lists_mutex);
        (list.previous != nullptr ? list.previous->next : first_list) = list.next;
        if (list.next != nullptr) list.next->previous = list.previous;
        delete list.deeper;
    }
};

[[gnu::noinline]] void link_own_list() {
    thread_local Unlinker unlinker;
    (void)unlinker;
    HoldList& list = own_holds;
    const std::lock_guard lock(lists_mutex);
    list.next = first_list;
    if (first_list != nullptr) first_list->previous = &list;
    first_list = &list;
    list.linked = true;
}

void before_fork() noexcept { lists_mutex.lock(); }
void after_fork_in_parent() noexcept { lists_mutex.unlock(); }
// The child has one thread, so the walk needs no lock. The forking thread's
// own holds stay: its calls go on in the child and give them back themselves.
void after_fork_in_child() noexcept {
    lists_mutex.unlock();
    for (HoldList* list = first_list; list != nullptr; list = list->next) {
        if (list == &own_holds) continue;
        for (std::size_t i = 0; i < list->count; ++i) give_back(list->at(i));
        list->count = 0;
        if (list->deeper != nullptr) list->deeper->clear();
    }
}

[[maybe_unused]] const bool fork_handlers_registered =
    on_fork(ForkStage::hold_lists, {before_fork, after_fork_in_parent, after_fork_in_child});

}  // namespace

HoldList* thread_holds::note(AccessState& state, bool exclusive) {
    HoldList& list = own_holds;
    try {
        if (!list.linked) link_own_list();
        if (list.count < HoldList::recent_capacity) {
            list.recent[list.count] = {&state, exclusive};
        } else {
            if (list.deeper == nullptr) list.deeper = new std::vector<NotedHold>;
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
