// The optimal search shared out on the pool: each deepening cut into
// subtrees that every worker taking part searches in turn, one cube's on all
// the workers, or a batch's cubes one a worker, a worker left without a cube
// joining the deepenings still under way.

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

#include "engine/pool.hpp"
#include "solvers/optimal_3x3.hpp"
#include "solvers/optimal_search.hpp"
#include "solvers/solution_rows.hpp"

namespace turnsmith::optimal {
namespace {

// How many moves deep a deepening of `length` moves is cut into subtrees.
// Their sizes vary widely, and a worker left with a large one at the end of a
// deepening keeps the others waiting: long deepenings are cut into thousands
// of pieces, found in a few milliseconds.
constexpr unsigned max_split_depth = 4;
constexpr unsigned split_depth(unsigned length) noexcept {
    return length >= 16 ? max_split_depth : length >= 12 ? 3 : 2;
}

}  // namespace

// The subtrees of one deepening, in the order a single search visits them:
// the paths of `depth` moves that the tables let through.
struct Solver::Subtree {
    Node node;
    Ending ending;
    std::array<std::int8_t, max_split_depth> moves;
};

std::vector<Solver::Subtree> Solver::subtrees(const Node& root, unsigned length, unsigned depth,
                                              const LargeTable* large) const {
    std::vector<Subtree> found;
    std::array<std::int8_t, max_split_depth> moves{};
    const auto visit = [&](const auto& self, const Node& node, Ending ending, unsigned level) -> void {
        if (level == depth) {
            found.push_back({node, ending, moves});
            return;
        }
        for (unsigned next = Rules::next_moves[ending]; next != 0; next &= next - 1) {
            const auto k = static_cast<unsigned>(std::countr_zero(next));
            const Node child = child_of(node, k, large);
            if (search_estimate(child, large) > length - level - 1) continue;
            moves[level] = static_cast<std::int8_t>(k);
            self(self, child, Rules::after(ending, k), level + 1);
        }
    };
    visit(visit, root, Rules::start, 0);
    return found;
}

// One deepening's subtrees, handed out in turn to every worker that takes
// part, from the first that a search of the deepening alone had not finished
// when it stopped to be shared (`stopped_at`: its path to the node where it
// stopped). A solution in one subtree is kept only once no earlier one has
// one, and every later one gives up once one is found: the first in order, as
// one thread would find it, whatever the order they end in.
class Solver::SharedDeepening {
public:
    SharedDeepening(const Solver& solver, const Node& root, unsigned length, const LargeTable* large,
                    const WorkControl& control, std::span<const std::int8_t> stopped_at = {})
        : solver_(solver),
          control_(control),
          large_(large),
          length_(length),
          depth_(split_depth(length)),
          last_first_(solver.last_to_first_.load()),
          work_(solver.subtrees(root, length, depth_, large)),
          first_(first_unfinished(stopped_at)),
          cutoff_(work_.size()),
          paths_(work_.size()) {}

    // Searches the subtrees left, one at a time, until none is left or a stop.
    void take_part() {
        taking_part_.fetch_add(1);  // before any subtree is taken: see wait_for_all()
        std::uint64_t here = 0;
        for (std::size_t turn; (turn = next_.fetch_add(1)) < turns();) {
            const std::size_t i = last_first_ ? work_.size() - 1 - turn : first_ + turn;
            if (cutoff_.load(std::memory_order_relaxed) < i) continue;
            // A subtree smaller than the search's polling interval never sees
            // a stop: look between subtrees too.
            if (control_.stop_requested() || !search_subtree(i, here)) {
                stopped_.store(true, std::memory_order_relaxed);
                break;
            }
        }
        nodes_.fetch_add(here, std::memory_order_relaxed);
        if (taking_part_.fetch_sub(1) == 1) taking_part_.notify_all();
    }

    std::size_t subtrees_left() const noexcept {
        const std::size_t taken = next_.load(std::memory_order_relaxed);
        return taken < turns() ? turns() - taken : 0;
    }

    // Waits for every worker taking part to have left; none joins after the
    // last subtree has been taken.
    void wait_for_all() const {
        for (std::size_t left; (left = taking_part_.load()) != 0;) taking_part_.wait(left);
    }

    // Once all have left: a subtree before the cutoff was searched to its
    // end, so the cutoff is the first with a solution, unless a stop cut the
    // search short.
    SearchResult result(std::span<std::int8_t> out) const {
        if (stopped_.load()) return {SearchOutcome::stopped, 0, nodes_.load()};
        const std::size_t first = cutoff_.load();
        if (first == work_.size()) return {SearchOutcome::none, 0, nodes_.load()};
        std::copy_n(paths_[first].begin(), length_, out.begin());
        return {SearchOutcome::found, length_, nodes_.load()};
    }

private:
    std::size_t turns() const noexcept { return work_.size() - first_; }

    // The first subtree not known to be finished by a search that visits them
    // in order and stopped at the end of `path`: the first not before it on
    // the levels they share.
    std::size_t first_unfinished(std::span<const std::int8_t> path) const {
        const std::size_t levels = std::min<std::size_t>(path.size(), depth_);
        const auto unfinished = std::ranges::partition_point(work_, [&](const Subtree& subtree) {
            return std::lexicographical_compare(subtree.moves.begin(), subtree.moves.begin() + levels, path.begin(),
                                                path.begin() + levels);
        });
        return static_cast<std::size_t>(unfinished - work_.begin());
    }

    // Searches subtree i; false when a stop cut it short.
    bool search_subtree(std::size_t i, std::uint64_t& nodes) {
        Search search(solver_, control_, paths_[i].data(), large_);
        search.give_up_after(&cutoff_, i);
        std::copy_n(work_[i].moves.begin(), depth_, paths_[i].begin());
        const bool found = search.below(work_[i].node, length_ - depth_, work_[i].ending, depth_);
        nodes += search.nodes();
        if (found) {
            std::size_t earlier = cutoff_.load(std::memory_order_relaxed);
            while (i < earlier && !cutoff_.compare_exchange_weak(earlier, i, std::memory_order_relaxed)) {
            }
        }
        return found || !search.stopped() || !control_.stop_requested();
    }

    const Solver& solver_;
    const WorkControl& control_;
    const LargeTable* large_;  // as the deepening's root was made
    const unsigned length_;
    const unsigned depth_;
    const bool last_first_;
    const std::vector<Subtree> work_;
    const std::size_t first_;
    std::atomic<std::size_t> next_ = 0;  // turns taken
    std::atomic<std::size_t> cutoff_;    // the first subtree known to hold a solution
    std::atomic<std::size_t> taking_part_ = 0;
    std::atomic<std::uint64_t> nodes_ = 0;
    std::atomic<bool> stopped_ = false;
    std::vector<std::array<std::int8_t, diameter>> paths_;
};

// A batch's cubes, each taken by one worker (its owner), and the deepenings
// its owners have open: a worker left without a cube joins the one with the
// most subtrees left, until every owner is done. An owner searches each
// deepening alone until a worker waits to help: its subtrees would cost more
// than the search of most deepenings.
class Solver::Batch {
public:
    explicit Batch(std::size_t cubes) noexcept : cubes_(cubes) {}

    // The cube a worker takes for its own, while it holds it.
    class Owned {
    public:
        explicit Owned(Batch& batch) : batch_(batch), index_(batch.take_cube()) {}
        ~Owned() {
            if (index_) batch_.let_go();
        }
        Owned(const Owned&) = delete;
        Owned& operator=(const Owned&) = delete;
        const std::optional<std::size_t>& index() const noexcept { return index_; }

    private:
        Batch& batch_;
        std::optional<std::size_t> index_;
    };

    void open(std::shared_ptr<SharedDeepening> deepening) {
        {
            const std::lock_guard lock(mutex_);
            open_.push_back(std::move(deepening));
        }
        changed_.notify_all();
    }
    void close(const SharedDeepening& deepening) noexcept {
        const std::lock_guard lock(mutex_);
        std::erase_if(open_, [&](const auto& d) { return d.get() == &deepening; });
    }

    const std::atomic<std::size_t>* helpers_waiting() const noexcept { return &waiting_; }

    // Helps with the owners' deepenings until every owner is done or a stop.
    void help(const WorkControl& control) {
        while (!control.stop_requested()) {
            const std::shared_ptr<SharedDeepening> deepening = join();
            if (deepening == nullptr) return;
            deepening->take_part();
        }
    }

private:
    std::optional<std::size_t> take_cube() {
        const std::lock_guard lock(mutex_);
        if (next_cube_ == cubes_) return std::nullopt;
        ++owners_;
        return next_cube_++;
    }
    void let_go() noexcept {
        {
            const std::lock_guard lock(mutex_);
            --owners_;
        }
        changed_.notify_all();
    }

    // The open deepening with the most subtrees left, once there is one; null
    // once no cube is left to start and no owner holds one.
    std::shared_ptr<SharedDeepening> join() {
        std::unique_lock lock(mutex_);
        for (;;) {
            const auto most = std::ranges::max_element(open_, {}, [](const auto& d) { return d->subtrees_left(); });
            if (most != open_.end() && (*most)->subtrees_left() > 0) return *most;
            if (owners_ == 0 && next_cube_ == cubes_) return nullptr;
            waiting_.fetch_add(1, std::memory_order_relaxed);
            changed_.wait(lock);
            waiting_.fetch_sub(1, std::memory_order_relaxed);
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;  // a deepening opened, or an owner done
    const std::size_t cubes_;
    std::size_t next_cube_ = 0;
    std::size_t owners_ = 0;
    std::vector<std::shared_ptr<SharedDeepening>> open_;
    std::atomic<std::size_t> waiting_ = 0;  // read by the owners' searches without the lock
};

SearchResult Solver::search_shared(const Cube3x3& cube, unsigned length, std::span<std::int8_t> out,
                                   const WorkControl& control, Batch* batch) const {
    if (length < 4) return search_exactly(cube, length, out, control);  // too small to share
    search_detail::check_room(length, out);
    const LargeTable* large = large_.load(std::memory_order_acquire);
    const Node root = node_of(cube, large);
    if (search_estimate(root, large) > length) return {SearchOutcome::none, 0, 0};
    if (batch == nullptr) {
        SharedDeepening deepening(*this, root, length, large, control);
        parallel_for(pool_worker_count(), [&](std::size_t, std::size_t) { deepening.take_part(); });
        return deepening.result(out);
    }
    Search alone(*this, control, out.data(), large);
    alone.hand_over_when(batch->helpers_waiting(), hand_over_after_.load());
    if (alone.below(root, length, Rules::start, 0)) return {SearchOutcome::found, length, alone.nodes()};
    if (!alone.stopped()) return {SearchOutcome::none, 0, alone.nodes()};
    if (control.stop_requested()) return {SearchOutcome::stopped, 0, alone.nodes()};
    const auto deepening =
        std::make_shared<SharedDeepening>(*this, root, length, large, control, out.first(alone.stopped_at()));
    batch->open(deepening);
    deepening->take_part();
    batch->close(*deepening);
    deepening->wait_for_all();
    SearchResult result = deepening->result(out);
    result.nodes += alone.nodes();
    return result;
}

SearchResult Solver::search_exactly_on_pool(const Cube3x3& cube, unsigned length, std::span<std::int8_t> out,
                                            const WorkControl& control) const {
    return search_shared(cube, length, out, control, nullptr);
}

SearchResult Solver::solve(const Cube3x3& cube, unsigned max_length, std::span<std::int8_t> out,
                           const WorkControl& control, Batch& batch) const {
    return search_detail::deepen(start_bound(cube), max_length, out,
                                 [&](unsigned bound) { return search_shared(cube, bound, out, control, &batch); });
}

SearchResult Solver::distance(const Cube3x3& cube, std::optional<unsigned> upper, const WorkControl& control,
                              Batch& batch) const {
    std::array<std::int8_t, diameter> moves{};
    return search_detail::distance_within(start_bound(cube), upper, moves, [&](unsigned bound) {
        return search_shared(cube, bound, moves, control, &batch);
    });
}

// Calls solve_one(i, batch) for every cube on the pool: each worker takes the
// next cube as it finishes one, then helps the others' searches. solve_one
// returns false once stopped. Throws Stopped then.
template <class F>
void Solver::for_each_cube(std::size_t count, WorkControl& control, F&& solve_one) const {
    Batch batch(count);
    parallel_for(pool_worker_count(), [&](std::size_t, std::size_t) {
        for (;;) {
            const Batch::Owned cube(batch);
            if (!cube.index() || !solve_one(*cube.index(), batch)) break;
            control.add_done(1);
        }
        batch.help(control);
    });
    control.throw_if_stopped();
}

void Solver::solve_many(std::span<const Cube3x3> cubes, unsigned max_length, std::int8_t* rows,
                        std::size_t width, std::int16_t* lengths, WorkControl& control) const {
    if (width < std::min(max_length, diameter)) throw std::invalid_argument("rows narrower than the bound");
    for_each_cube(cubes.size(), control, [&](std::size_t i, Batch& batch) {
        const SearchResult result = solve(cubes[i], max_length, std::span(rows + i * width, width), control, batch);
        if (result.outcome == SearchOutcome::stopped) return false;
        finish_solution_row(rows, width, lengths, i, result.outcome == SearchOutcome::found, result.length);
        return true;
    });
}

void Solver::distances(std::span<const Cube3x3> cubes, std::uint8_t* out, WorkControl& control,
                       std::span<const std::int64_t> upper_bounds) const {
    for_each_cube(cubes.size(), control, [&](std::size_t i, Batch& batch) {
        std::optional<unsigned> upper;
        if (!upper_bounds.empty() && upper_bounds[i] >= 0)
            upper = static_cast<unsigned>(std::min<std::int64_t>(upper_bounds[i], diameter));
        const SearchResult result = distance(cubes[i], upper, control, batch);
        if (result.outcome == SearchOutcome::stopped) return false;
        out[i] = static_cast<std::uint8_t>(result.length);  // every state lies within the diameter
        return true;
    });
}

}  // namespace turnsmith::optimal
