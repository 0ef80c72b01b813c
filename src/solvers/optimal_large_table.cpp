// Where the process finds the optimal solver's large table: the file that
// TURNSMITH_LARGE_TABLE names, else its file in the table cache, looked for
// once per process; built there only on request.

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/fork.hpp"
#include "engine/built_once.hpp"
#include "solvers/optimal_3x3.hpp"
#include "solvers/optimal_tables.hpp"
#include "solvers/table_cache.hpp"

namespace turnsmith::optimal {
namespace {

// Room left beside a table copied into memory, for everything else.
inline constexpr std::size_t memory_to_spare = std::size_t{2} << 30;

// Whether to search a private copy of the table: its random reads cost
// about half those of the shared file mapping, but every process holds one.
// TURNSMITH_LARGE_TABLE_COPY=0 keeps the mapping, which the processes of a
// machine share through the page cache.
bool copy_wanted() {
    const char* copy = std::getenv("TURNSMITH_LARGE_TABLE_COPY");
    return copy == nullptr || std::string_view(copy) != "0";
}

tables::TableKind kind_of(const Solver& solver, phase1_corners::CornerDetail detail) {
    return phase1_corners::table_kind(detail, solver.phase1_view());
}

// Where a large table is looked for: TURNSMITH_LARGE_TABLE when set (set but
// empty: nowhere, and without a warning), else its file in the table cache;
// nullopt for nowhere.
std::optional<std::filesystem::path> large_table_path(const tables::TableKind& kind) {
    if (const char* own = std::getenv("TURNSMITH_LARGE_TABLE")) {
        if (*own == '\0') return std::nullopt;
        return std::filesystem::path(own);
    }
    const std::optional<std::filesystem::path> directory = tables::cache_directory();
    if (!directory) return std::nullopt;
    return tables::table_path(*directory, kind);
}

// Publishes `table`, its copy in memory when wanted and there is room.
void publish(const Solver& solver, tables::TableBytes table, phase1_corners::CornerDetail detail) {
    TableReport report = tables::report_of(kind_of(solver, detail), table);
    if (copy_wanted()) table = tables::copy_to_memory(std::move(table), memory_to_spare);
    publish_large_table(solver, std::move(table), std::move(report), detail);
}

// What the process's one look for the table found, beyond the table.
struct LargeLook {
    std::string warning;  // why there is none, or empty
};

BuiltOnce<LargeLook>& process_look() {
    return process_built_once<LargeLook, ForkStage::large_table_look>();
}

[[maybe_unused]] const bool made_before_any_fork = (process_look(), true);

std::atomic<bool> look_warned = false;

std::string no_large_table(const std::string& why) {
    return why +
           "; the optimal search uses its small tables, with which a uniformly random state takes minutes to "
           "hours (prepare_tables(3, optimal=True, large=True) builds the large table once, in about four "
           "minutes on two CPUs; TURNSMITH_LARGE_TABLE='' silences this warning)";
}

// Set but empty: no large table, and no warning about it.
bool none_asked_for() {
    const char* own = std::getenv("TURNSMITH_LARGE_TABLE");
    return own != nullptr && *own == '\0';
}

std::unique_ptr<LargeLook> look_once(const Solver& solver) {
    auto look = std::make_unique<LargeLook>();
    if (none_asked_for()) return look;
    const std::optional<std::filesystem::path> path = large_table_path(kind_of(solver, default_detail));
    if (!path) {
        look->warning = no_large_table("there is no table cache directory to find the large table in");
        return look;
    }
    // The strongest kind first; a file named by the environment may hold any.
    std::vector<std::string> problems;
    for (auto kind = large_kinds.rbegin(); kind != large_kinds.rend(); ++kind) {
        const tables::TableKind table_kind = kind_of(solver, kind->detail);
        std::vector<std::string> these;
        if (std::optional<tables::TableBytes> found = tables::load_file(table_kind, *large_table_path(table_kind), these)) {
            publish(solver, std::move(*found), kind->detail);
            return look;
        }
        if (kind->detail == default_detail) problems = std::move(these);
    }
    if (!problems.empty()) {
        look->warning = no_large_table(problems.front());
    } else {
        look->warning = no_large_table("the large table is not built ('" + path->string() + "' is missing)");
    }
    return look;
}

}  // namespace

void look_for_large_table(const Solver& solver, std::vector<std::string>& warnings) {
    if (solver.has_large()) return;
    const LargeLook& look = process_look().get([&solver] { return look_once(solver); });
    if (!look.warning.empty() && !solver.has_large() && !look_warned.exchange(true))
        warnings.push_back(look.warning);
}

bool large_table_looked_for() noexcept {
    return process_look().built() != nullptr || large_table_published();
}

void build_large_table(const Solver& solver, phase1_corners::CornerDetail detail, std::vector<std::string>& warnings,
                       WorkControl& control) {
    const tables::TableKind kind = kind_of(solver, detail);
    const std::optional<std::filesystem::path> path = large_table_path(kind);
    if (!path) {
        throw std::runtime_error(
            "the large table has nowhere to go: TURNSMITH_LARGE_TABLE is empty or the table cache is off");
    }
    if (solver.has_large(detail)) return;
    tables::TableBytes table = tables::load_or_build_file(kind, *path, warnings, control);
    if (solver.has_large()) {
        warnings.push_back("this process keeps reading the large table it found first; new processes read '" +
                           path->string() + "'");
        return;
    }
    publish(solver, std::move(table), detail);
}

}  // namespace turnsmith::optimal
