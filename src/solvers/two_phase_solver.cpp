#include "solvers/two_phase_solver.hpp"

#include <memory>

#include "base/fork.hpp"
#include "engine/built_once.hpp"
#include "solvers/table_cache.hpp"

namespace turnsmith {
namespace {

struct LoadedSolver {
    std::vector<tables::TableBytes> files;
    std::vector<TableReport> reports;
    std::unique_ptr<two_phase::Solver> solver;
};

std::unique_ptr<LoadedSolver> load(std::vector<std::string>& warnings, WorkControl& control) {
    auto loaded = std::make_unique<LoadedSolver>();
    std::vector<std::span<const std::byte>> views;
    // Progress counts the bytes of the tables made ready.
    std::uint64_t total = 0;
    for (const two_phase::TableSpec& spec : two_phase::table_specs()) total += spec.bytes;
    control.set_total(total);
    for (const two_phase::TableSpec& spec : two_phase::table_specs()) {
        const tables::TableKind kind{spec.name, spec.format, spec.bytes, spec.fill};
        tables::TableBytes& file = loaded->files.emplace_back(tables::load_or_build(kind, warnings, control));
        loaded->reports.push_back(tables::report_of(kind, file));
        views.push_back(file.bytes());
        control.add_done(spec.bytes);
    }
    loaded->solver = std::make_unique<two_phase::Solver>(views);
    return loaded;
}

BuiltOnce<LoadedSolver>& process_solver() {
    return process_built_once<LoadedSolver, ForkStage::solver_tables>();
}

[[maybe_unused]] const bool made_before_any_fork = (process_solver(), true);

}  // namespace

const two_phase::Solver& two_phase_solver(std::vector<std::string>& warnings, WorkControl& control) {
    for (;;) {
        try {
            return *process_solver().get([&] { return load(warnings, control); }).solver;
        } catch (const Stopped&) {
            // Another caller's build was stopped, not this one: build again.
            if (control.stop_requested()) throw;
        }
    }
}

const two_phase::Solver* two_phase_solver_if_ready() noexcept {
    const LoadedSolver* loaded = process_solver().built();
    return loaded != nullptr ? loaded->solver.get() : nullptr;
}

std::vector<TableReport> two_phase_table_reports() {
    const LoadedSolver* loaded = process_solver().built();
    return loaded != nullptr ? loaded->reports : std::vector<TableReport>{};
}

}  // namespace turnsmith
