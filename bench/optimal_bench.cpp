// The optimal search's cost, from the tables in the cache (built there when
// missing; the large table only read, where TURNSMITH_LARGE_TABLE or the
// cache has it): what one deepening costs in nodes for uniformly random
// states, and how long exact distances of scrambled states take.
//
//   optimal_bench deepenings [states=5] [seed=1] [largest bound=18]
//       For uniformly random states, the nodes and seconds of each deepening
//       up to the bound (one thread): what the tables leave to search.
//   optimal_bench random [states=10] [seed=1] [cap seconds=3600]
//       Uniformly random states solved exactly one at a time, each on all
//       the pool's workers as distances() does for a few cubes: distance,
//       nodes and seconds of each, then the mean, median and largest. A
//       state not done within the cap is given up and counted apart.
//   optimal_bench values [states=1000000] [seed=1]
//       How often each value of the tables' bound comes up over uniformly
//       random states: with the tree's size by depth, what predicts a
//       deepening's nodes.
//   optimal_bench scrambles [states=200] [seed=1] [turns=14]
//       States made by that many random quarter turns: time per state (mean,
//       median, largest) and nodes on one thread, then cubes per second on
//       the pool's workers.
//   optimal_bench bounded [states=20] [seed=1] [turns=15, 0 for uniformly random]
//       Each state's distance on all the workers twice: by the plain search, and
//       given the distance as an upper bound (as a known optimal answer's
//       length), which leaves out the last deepening. Nodes and seconds of
//       both for each state, then the ratios of the totals.
//   optimal_bench batch [states=8] [seed=1] [turns=16, 0 for uniformly random]
//       States made by that many random quarter turns, each solved on one
//       thread, then all of them in one call of distances() on the pool: the
//       batch's wall time against the single times' sum shared evenly among
//       the workers (1.0 when no worker waits), how often the workers slept
//       for want of work, and the processor time of both (which a loaded
//       machine leaves comparable when its wall times are not).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cube/random.hpp"
#include "cube/random_state.hpp"
#include "engine/pool.hpp"
#include "solvers/optimal_3x3.hpp"

using namespace turnsmith;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::vector<Cube3x3> random_states(std::size_t count, std::uint64_t seed) {
    std::vector<Cube3x3> cubes;
    for (std::size_t i = 0; i < count; ++i) {
        SeededRng rng = seeded_rng(seed, i);
        cubes.push_back(random_cube_3x3(rng));
    }
    return cubes;
}

// Random quarter turns, none undoing the one before.
std::vector<Cube3x3> scrambled_states(std::size_t count, std::uint64_t seed, unsigned turns) {
    std::vector<Cube3x3> cubes(count);
    for (std::size_t i = 0; i < count; ++i) {
        SeededRng rng = seeded_rng(seed, i);
        MoveIndex move = draw_move_index(rng);
        for (unsigned t = 0; t < turns; ++t) {
            if (t > 0) move = draw_move_index_after(rng, move);
            apply_move_index_internal(cubes[i], move);
        }
    }
    return cubes;
}

// Scrambled states, or uniformly random ones for 0 turns.
std::vector<Cube3x3> states_of(std::size_t count, std::uint64_t seed, unsigned turns) {
    return turns == 0 ? random_states(count, seed) : scrambled_states(count, seed, turns);
}

std::string kind_of_states(unsigned turns) {
    return turns == 0 ? "uniformly random states" : "states of " + std::to_string(turns) + " random quarter turns";
}

void deepenings(const optimal::Solver& solver, std::size_t count, std::uint64_t seed, unsigned largest) {
    std::printf("state  bound      nodes    seconds  nodes/s\n");
    std::array<std::int8_t, optimal::diameter> path{};
    std::size_t index = 0;
    for (const Cube3x3& cube : random_states(count, seed)) {
        const unsigned first = solver.start_bound(cube);
        for (unsigned bound = first; bound <= largest; bound += 2) {
            const auto start = std::chrono::steady_clock::now();
            const SearchResult result = solver.search_exactly(cube, bound, path, unwatched_work());
            const double seconds = seconds_since(start);
            std::printf("%5zu  %5u  %12llu  %8.2f  %.3g%s\n", index, bound,
                        static_cast<unsigned long long>(result.nodes), seconds,
                        static_cast<double>(result.nodes) / seconds,
                        result.outcome == SearchOutcome::found ? "  (solved)" : "");
            std::fflush(stdout);
            if (result.outcome == SearchOutcome::found) break;
        }
        ++index;
    }
}

void scrambles(const optimal::Solver& solver, std::size_t count, std::uint64_t seed, unsigned turns) {
    const std::vector<Cube3x3> cubes = scrambled_states(count, seed, turns);
    std::vector<double> seconds;
    std::vector<unsigned> histogram(optimal::diameter + 1);
    std::uint64_t nodes = 0;
    std::array<std::int8_t, optimal::diameter> path{};
    for (const Cube3x3& cube : cubes) {
        const auto start = std::chrono::steady_clock::now();
        const SearchResult result = solver.solve(cube, optimal::diameter, path, unwatched_work());
        seconds.push_back(seconds_since(start));
        nodes += result.nodes;
        ++histogram[result.length];
    }
    std::ranges::sort(seconds);
    double total = 0;
    for (const double s : seconds) total += s;
    std::printf("%zu states of %u random quarter turns, one thread\n", count, turns);
    std::printf("  distances:");
    for (unsigned d = 0; d <= optimal::diameter; ++d)
        if (histogram[d] != 0) std::printf(" %u:%u", d, histogram[d]);
    std::printf("\n  seconds a state: mean %.4f, median %.4f, largest %.4f; nodes a state: %.0f\n",
                total / static_cast<double>(count), seconds[count / 2], seconds.back(),
                static_cast<double>(nodes) / static_cast<double>(count));

    std::vector<std::uint8_t> out(count);
    WorkControl control;
    const auto start = std::chrono::steady_clock::now();
    solver.distances(cubes, out.data(), control);
    const double pooled = seconds_since(start);
    std::printf("  on %zu workers: %.1f cubes/s\n", pool_worker_count(), static_cast<double>(count) / pooled);
}

// How often, sampled every millisecond until finished, the pool's workers
// sleep (have no work) rather than run or wait for a processor: the idleness
// that a loaded machine does not hide.
class WorkerSleep {
public:
    WorkerSleep()
        : sampler_([this] {
              while (!done_.load()) {
                  sample();
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
          }) {}
    ~WorkerSleep() { finish(); }

    // Ends the sampling: the share of samples that found a worker asleep.
    double finish() {
        done_.store(true);
        if (sampler_.joinable()) sampler_.join();
        return samples_ == 0 ? 0 : static_cast<double>(asleep_) / static_cast<double>(samples_);
    }

private:
    // A thread's stat reads "tid (name) state ...".
    void sample() {
        for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
            std::ifstream stat(task.path() / "stat");
            std::string line;
            std::getline(stat, line);
            const std::size_t open = line.find('('), close = line.rfind(')');
            if (open == std::string::npos || close == std::string::npos || close + 2 >= line.size()) continue;
            if (!line.substr(open + 1, close - open - 1).starts_with("turnsmith-w")) continue;
            ++samples_;
            if (line[close + 2] == 'S' || line[close + 2] == 'D') ++asleep_;
        }
    }

    std::atomic<bool> done_ = false;
    std::uint64_t samples_ = 0, asleep_ = 0;
    std::thread sampler_;  // last: starts once the counts are made
};

// Processor seconds of every thread of the process.
double cpu_seconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

void batch(const optimal::Solver& solver, std::size_t count, std::uint64_t seed, unsigned turns) {
    const std::vector<Cube3x3> cubes = states_of(count, seed, turns);
    std::vector<std::uint8_t> single(count);
    std::array<std::int8_t, optimal::diameter> path{};
    std::printf("state  distance  seconds (one thread)\n");
    const double single_cpu = cpu_seconds();
    double total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const auto start = std::chrono::steady_clock::now();
        single[i] = static_cast<std::uint8_t>(solver.solve(cubes[i], optimal::diameter, path, unwatched_work()).length);
        const double took = seconds_since(start);
        total += took;
        std::printf("%5zu  %8u  %7.2f\n", i, single[i], took);
        std::fflush(stdout);
    }
    const double single_share = (cpu_seconds() - single_cpu) / total;
    std::vector<std::uint8_t> pooled(count);
    WorkControl control;
    const double batch_cpu = cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    WorkerSleep sleep;
    solver.distances(cubes, pooled.data(), control);
    const double wall = seconds_since(start);
    const double asleep = sleep.finish();
    const auto workers = static_cast<double>(pool_worker_count());
    const double even = total / workers;
    std::printf("%zu %s: one thread %.2f s in all, /%zu workers %.2f s; "
                "batch on the pool %.2f s: %.3fx%s\n",
                count, kind_of_states(turns).c_str(), total, pool_worker_count(), even, wall, wall / even,
                pooled == single ? "" : "  (DISTANCES DIFFER)");
    // On a loaded machine a thread gets less than a processor: how busy the
    // workers kept, against how busy the one thread was.
    const double pooled_cpu = cpu_seconds() - batch_cpu;
    std::printf("  processor share: one thread %.2f, each worker %.2f; workers asleep %.1f%% of the time; "
                "processor seconds pooled / one thread %.3fx\n",
                single_share, pooled_cpu / wall / workers, 100 * asleep, pooled_cpu / (single_share * total));
}

// Asks `control` to stop once `seconds` have passed, unless destroyed first.
class StopAfter {
public:
    StopAfter(WorkControl& control, double seconds)
        : timer_([this, &control, seconds] {
              std::unique_lock lock(mutex_);
              if (!finished_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return done_; }))
                  control.request_stop();
          }) {}
    ~StopAfter() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        finished_.notify_one();
        timer_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
    std::thread timer_;  // last: starts once the members it waits on are made
};

void whole_searches(const optimal::Solver& solver, std::size_t count, std::uint64_t seed, double cap) {
    std::printf("state  start  distance         nodes   seconds  nodes/s\n");
    std::vector<double> seconds;
    std::vector<double> nodes;
    std::vector<unsigned> histogram(optimal::diameter + 1);
    std::size_t given_up = 0, index = 0;
    for (const Cube3x3& cube : random_states(count, seed)) {
        WorkControl control;
        std::array<std::int8_t, optimal::diameter> path{};
        const auto start = std::chrono::steady_clock::now();
        const SearchResult result = [&] {
            const StopAfter cap_reached(control, cap);
            return solver.solve(cube, optimal::diameter, path, control, optimal::Solver::Sharing::subtrees);
        }();
        const double took = seconds_since(start);
        const bool found = result.outcome == SearchOutcome::found;
        std::printf("%5zu  %5u  %8s  %12llu  %8.1f  %.3g\n", index++, solver.start_bound(cube),
                    found ? std::to_string(result.length).c_str() : "gave up",
                    static_cast<unsigned long long>(result.nodes), took, static_cast<double>(result.nodes) / took);
        std::fflush(stdout);
        if (!found) {
            ++given_up;
            continue;
        }
        seconds.push_back(took);
        nodes.push_back(static_cast<double>(result.nodes));
        ++histogram[result.length];
    }
    if (seconds.empty()) return;
    const auto n = static_cast<double>(seconds.size());
    double distance = 0;
    std::printf("%zu solved, %zu given up after %.0f s; distances:", seconds.size(), given_up, cap);
    for (unsigned d = 0; d <= optimal::diameter; ++d) {
        distance += d * static_cast<double>(histogram[d]);
        if (histogram[d] != 0) std::printf(" %u:%u", d, histogram[d]);
    }
    const double total = std::accumulate(seconds.begin(), seconds.end(), 0.0);
    std::ranges::sort(seconds);
    std::printf("\n  mean distance %.2f; seconds a state: mean %.1f, median %.1f, largest %.1f; nodes a state %.3g\n",
                distance / n, total / n, seconds[seconds.size() / 2], seconds.back(),
                std::accumulate(nodes.begin(), nodes.end(), 0.0) / n);
}

// One search of a state's distance, timed.
struct TimedDistance {
    SearchResult result;
    double seconds;
};

TimedDistance timed_distance(const optimal::Solver& solver, const Cube3x3& cube,
                             std::optional<unsigned> upper) {
    const auto start = std::chrono::steady_clock::now();
    const SearchResult result = solver.distance(cube, upper, unwatched_work(), optimal::Solver::Sharing::subtrees);
    return {result, seconds_since(start)};
}

void bounded(const optimal::Solver& solver, std::size_t count, std::uint64_t seed, unsigned turns) {
    const std::vector<Cube3x3> cubes = states_of(count, seed, turns);
    std::printf("%zu %s, each on all %zu workers\n", count, kind_of_states(turns).c_str(), pool_worker_count());
    std::printf("state  distance   plain nodes  seconds  bounded nodes  seconds  node ratio\n");
    double nodes[2] = {0, 0}, seconds[2] = {0, 0};
    for (std::size_t i = 0; i < cubes.size(); ++i) {
        const TimedDistance plain = timed_distance(solver, cubes[i], std::nullopt);
        const TimedDistance given = timed_distance(solver, cubes[i], plain.result.length);
        if (given.result.length != plain.result.length) {
            std::printf("state %zu: %u given its distance %u as a bound\n", i, given.result.length,
                        plain.result.length);
            std::exit(1);
        }
        const TimedDistance both[2] = {plain, given};
        for (int k = 0; k < 2; ++k) {
            nodes[k] += static_cast<double>(both[k].result.nodes);
            seconds[k] += both[k].seconds;
        }
        std::printf("%5zu  %8u  %12llu  %7.3f  %13llu  %7.3f  %10.1f\n", i, plain.result.length,
                    static_cast<unsigned long long>(plain.result.nodes), plain.seconds,
                    static_cast<unsigned long long>(given.result.nodes), given.seconds,
                    static_cast<double>(plain.result.nodes) / std::max<double>(1, given.result.nodes));
        std::fflush(stdout);
    }
    std::printf("totals: plain %.4g nodes, %.2f s; bounded %.4g nodes, %.2f s; plain/bounded: nodes %.1fx, "
                "seconds %.1fx\n",
                nodes[0], seconds[0], nodes[1], seconds[1], nodes[0] / std::max(1.0, nodes[1]),
                seconds[0] / std::max(1e-9, seconds[1]));
}

void values(const optimal::Solver& solver, std::size_t count, std::uint64_t seed) {
    std::vector<std::uint64_t> histogram(optimal::diameter + 1);
    for (const Cube3x3& cube : random_states(count, seed)) ++histogram[solver.table_bound(cube)];
    std::printf("value  share of %zu uniformly random states\n", count);
    for (unsigned v = 0; v <= optimal::diameter; ++v)
        if (histogram[v] != 0)
            std::printf("%5u  %.6f\n", v, static_cast<double>(histogram[v]) / static_cast<double>(count));
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "scrambles";
    const auto number = [&](int i, std::uint64_t fallback) {
        return argc > i ? std::strtoull(argv[i], nullptr, 10) : fallback;
    };
    std::vector<std::string> warnings;
    WorkControl control;
    const auto start = std::chrono::steady_clock::now();
    const optimal::Solver& solver = optimal::optimal_solver(warnings, control);
    optimal::look_for_large_table(solver, warnings);  // TURNSMITH_LARGE_TABLE='' for the small tables alone
    for (const std::string& warning : warnings) std::printf("warning: %s\n", warning.c_str());
    std::printf("tables ready in %.1f s:", seconds_since(start));
    for (const TableReport& table : optimal::optimal_table_reports())
        std::printf(" %s %.1f MB%s;", table.name.c_str(), static_cast<double>(table.bytes) / 1e6,
                    table.built_here ? " (built)" : "");
    std::printf("\nlarge table: %s\nworkers: %zu\n", solver.has_large() ? "yes" : "no", pool_worker_count());
    if (mode == "random") {
        whole_searches(solver, number(2, 10), number(3, 1), static_cast<double>(number(4, 3600)));
    } else if (mode == "deepenings") {
        deepenings(solver, number(2, 5), number(3, 1), static_cast<unsigned>(number(4, 18)));
    } else if (mode == "bounded") {
        bounded(solver, number(2, 20), number(3, 1), static_cast<unsigned>(number(4, 15)));
    } else if (mode == "batch") {
        batch(solver, number(2, 8), number(3, 1), static_cast<unsigned>(number(4, 16)));
    } else if (mode == "values") {
        values(solver, number(2, 1'000'000), number(3, 1));
    } else {
        scrambles(solver, number(2, 200), number(3, 1), static_cast<unsigned>(number(4, 14)));
    }
}
