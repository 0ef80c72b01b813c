// The optimal solver's tables as the process holds them: the small ones
// loaded once with the solver, and the large one once published.

#include <sys/mman.h>

#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/fork.hpp"
#include "engine/built_once.hpp"
#include "solvers/optimal_3x3.hpp"
#include "solvers/optimal_tables.hpp"
#include "solvers/table_cache.hpp"
#include "solvers/two_phase_solver.hpp"

namespace turnsmith::optimal {
namespace {

struct LoadedSolver {
    std::vector<tables::TableBytes> files;
    std::vector<TableReport> reports;
    std::unique_ptr<Solver> solver;
};

std::unique_ptr<LoadedSolver> load(std::vector<std::string>& warnings, WorkControl& control) {
    auto loaded = std::make_unique<LoadedSolver>();
    const two_phase::Solver& phase1 = two_phase_solver(warnings, control);
    const DistanceTable2x2& corners = distance_table_2x2(warnings, control);
    loaded->reports.push_back(corners.report());
    std::vector<std::span<const std::byte>> views;
    for (const unsigned first : edge_patterns::table_first_pieces) {
        const tables::TableKind kind = edge_patterns::table_kind(first);
        tables::TableBytes& file = loaded->files.emplace_back(tables::load_or_build(kind, warnings, control));
        loaded->reports.push_back(tables::report_of(kind, file));
        views.push_back(file.bytes());
    }
    loaded->solver = std::make_unique<Solver>(corners, views, phase1);
    return loaded;
}

BuiltOnce<LoadedSolver>& process_solver() {
    return process_built_once<LoadedSolver, ForkStage::optimal_tables>();
}

[[maybe_unused]] const bool made_before_any_fork = (process_solver(), true);

// The large table, published once and never freed, as the solver.
struct LoadedLarge {
    tables::TableBytes bytes;
    TableReport report;
    phase1_corners::CornerDetail detail;
};

std::atomic<const LoadedLarge*> published_large = nullptr;

}  // namespace

const Solver& optimal_solver(std::vector<std::string>& warnings, WorkControl& control) {
    for (;;) {
        try {
            return *process_solver().get([&] { return load(warnings, control); }).solver;
        } catch (const Stopped&) {
            // Another caller's build was stopped, not this one: build again.
            if (control.stop_requested()) throw;
        }
    }
}

const Solver* optimal_solver_if_ready() noexcept {
    const LoadedSolver* loaded = process_solver().built();
    return loaded != nullptr ? loaded->solver.get() : nullptr;
}

void publish_large_table(const Solver& solver, tables::TableBytes table, TableReport report,
                         phase1_corners::CornerDetail detail) {
    auto large = std::make_unique<LoadedLarge>(LoadedLarge{std::move(table), std::move(report), detail});
    const LoadedLarge* none = nullptr;
    if (published_large.compare_exchange_strong(none, large.get(), std::memory_order_acq_rel)) large.release();
    const LoadedLarge* published = published_large.load(std::memory_order_acquire);
    solver.attach_large(published->bytes.bytes(), published->detail);
}

bool large_table_published() noexcept { return published_large.load(std::memory_order_acquire) != nullptr; }

void attach_zero_large_table(const Solver& solver) {
    // Never unmapped: the solver may read it until the process ends. Every
    // entry reads 0, every distance there is 0.
    const std::size_t bytes = phase1_corners::table_bytes();
    void* zeros = mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (zeros == MAP_FAILED) throw std::bad_alloc();
    solver.attach_large({static_cast<const std::byte*>(zeros), bytes}, default_detail);
}

std::vector<TableReport> optimal_table_reports() {
    const LoadedSolver* loaded = process_solver().built();
    std::vector<TableReport> reports = loaded != nullptr ? loaded->reports : std::vector<TableReport>{};
    if (const LoadedLarge* large = published_large.load(std::memory_order_acquire)) reports.push_back(large->report);
    return reports;
}

}  // namespace turnsmith::optimal
