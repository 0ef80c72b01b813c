// The solvers' tables as Python sees them: where the cache lives, and a call
// that makes a cube type's tables ready ahead of the first search (before
// forking workers, in a container's build step, on each node of a cluster).
#include "python/tables.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "python/args.hpp"
#include "python/batch_object.hpp"
#include "python/long_call.hpp"
#include "python/solving.hpp"
#include "python/type_objects.hpp"
#include "solvers/table_cache.hpp"

namespace turnsmith::py {
namespace {

PyObject* report_dict(const TableReport& table) {
    Ref path = table.path.empty() ? Ref::borrow(Py_None) : Ref::steal(new_str(table.path));
    return check(Py_BuildValue("{sssOsKsOsd}", "name", table.name.c_str(), "path", path.get(), "bytes",
                               static_cast<unsigned long long>(table.bytes), "built", table.built_here ? Py_True : Py_False,
                               "seconds", table.seconds));
}

PyObject* report_list(const std::vector<TableReport>& tables) {
    Ref list = Ref::steal(check(PyList_New(0)));
    for (const TableReport& table : tables) {
        Ref item = Ref::steal(report_dict(table));
        check(PyList_Append(list.get(), item.get()));
    }
    return list.release();
}

constexpr Signature<4> prepare_signature{
    nullptr, "prepare_tables", {"cube_type", "progress", "optimal", "large"}, 0};

// Builds the 3x3's large table unless this process has it, detached; a
// build that cannot be kept (no room, no place) raises OSError.
void large_table_ready(PyObject* progress) {
    optimal_tables_ready<Cube3x3>(progress, "progress", OptimalUse::bounds);
    const optimal::Solver& solver = *optimal::optimal_solver_if_ready();
    if (solver.has_large()) return;
    std::vector<std::string> warnings;
    std::string failure;
    LongCall call(progress, "progress", "entries");
    call.run([&] {
        try {
            optimal::build_large_table(solver, warnings, call.control());
        } catch (const std::runtime_error& error) {
            failure = error.what();
        }
    });
    warn_all(warnings);
    if (!failure.empty()) throw_error(PyExc_OSError, failure);
}

PyObject* prepare_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind(prepare_signature, args, nargs, kwnames);
        const unsigned cube_type = bound[0] == nullptr ? 3 : to_cube_type(bound[0]);
        const bool large = to_flag(bound[3]);
        const bool optimal = large || to_flag(bound[2]);
        return with_cube_type(cube_type, [&]<Cube C>() {
            if (large && std::is_same_v<C, Cube3x3>) {
                large_table_ready(bound[1]);
            } else if (optimal) {
                optimal_tables_ready<C>(bound[1], "progress");
            } else {
                tables_ready<C>(bound[1], "progress");
            }
            if constexpr (std::is_same_v<C, Cube2x2>) {
                const DistanceTable2x2& table = *distance_table_2x2_if_built();
                return report_list({{"2x2-distances", "", table.bytes(), true, 0.0}});
            } else if (optimal) {
                std::vector<TableReport> reports = two_phase_table_reports();  // it reads phase 1's
                for (const TableReport& table : optimal::optimal_table_reports())
                    reports.push_back({table.name, table.path, table.bytes, table.built_here, table.seconds});
                return report_list(reports);
            } else {
                return report_list(two_phase_table_reports());
            }
        });
    });
}

PyObject* table_cache_dir(PyObject*, PyObject*) {
    return guarded([] {
        const auto directory = tables::cache_directory();
        return directory ? new_str(directory->string()) : Py_NewRef(Py_None);
    });
}

constexpr Signature<1> test_table_signature{nullptr, "_cache_test_table", {"size"}, 1};

PyObject* cache_test_table(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind(test_table_signature, args, nargs, kwnames);
        const std::uint64_t size = to_uint64(bound[0], "size");
        const tables::TableKind kind = tables::test_table_kind(size);
        std::vector<std::string> warnings;
        LongCall call(nullptr, "progress", "units");
        const tables::TableBytes table =
            call.run([&] { return tables::load_or_build(kind, warnings, call.control()); });
        warn_all(warnings);
        // What the cache gave, against the kind's contents made afresh.
        std::vector<std::byte> expected(kind.bytes);
        kind.fill(expected, unwatched_work());
        const bool intact = std::ranges::equal(table.bytes(), expected);
        const TableReport report{kind.name, table.path(), kind.bytes, table.built_here(), table.seconds()};
        Ref dict = Ref::steal(report_dict(report));
        check(PyDict_SetItemString(dict.get(), "intact", intact ? Py_True : Py_False));
        return dict.release();
    });
}

PyObject* zero_large_table(PyObject*, PyObject*) {
    return guarded([] {
        optimal_tables_ready<Cube3x3>(nullptr, "progress", OptimalUse::bounds);
        optimal::attach_zero_large_table(*optimal::optimal_solver_if_ready());
        return Py_NewRef(Py_None);
    });
}

PyMethodDef prepare_def = keywords_row<prepare_tables>(
    "prepare_tables",
    "prepare_tables(cube_type=3, progress=None, optimal=False, large=False)\n--\n\n"
    "Make the solver tables of a cube type ready now, and return what they are.\n\n"
    "For the 3x3, the two-phase search's tables are mapped from the cache\n"
    "directory (table_cache_dir()) or built there, once per process; with optimal,\n"
    "those of the optimal search too (distance(), lower_bounds()): the 2x2's\n"
    "distance table in memory and the edge tables in the cache. For the 2x2, its\n"
    "distance table is built in memory. Returns a list of dicts: name, path (the\n"
    "cache file, or None when held in memory), bytes, built (built by this call\n"
    "rather than mapped from the cache) and seconds. Call it before forking workers,\n"
    "in a container's build step or on each node of a cluster. progress works as in\n"
    "CubeBatch.solutions; the call can be interrupted.\n\n"
    "large=True (3x3; implies optimal) also makes the optimal search's large table\n"
    "ready: 6.2 GB, built once (about four minutes on two cores) into\n"
    "TURNSMITH_LARGE_TABLE or the cache directory, after checking that the disk has\n"
    "room (OSError when it has not). Searches use it from then on, in every process\n"
    "that finds it there; without it they use the small tables and warn once.");

PyMethodDef cache_dir_def = no_args_row(
    "table_cache_dir", table_cache_dir,
    "table_cache_dir()\n--\n\n"
    "Return the directory of the solver tables' cache, or None when it is off.\n\n"
    "TURNSMITH_CACHE_DIR when set (set to \"\" it turns the cache off), else\n"
    "$XDG_CACHE_HOME/turnsmith, else ~/.cache/turnsmith; read at each call.");

PyMethodDef test_table_def = keywords_row<cache_test_table>(
    "_cache_test_table",
    "_cache_test_table(size)\n--\n\n"
    "Load or build a test table of size bytes through the cache; return its report,\n"
    "with intact telling whether its contents are the kind's own.");

PyMethodDef zero_large_def = no_args_row(
    "_attach_zero_large_table", zero_large_table,
    "_attach_zero_large_table()\n--\n\n"
    "For tests: make this process's optimal search read a large table of zeros\n"
    "(reserved, never built), unless it has the real one.");

}  // namespace

PyMethodDef& prepare_tables_def() { return prepare_def; }
PyMethodDef& zero_large_table_def() { return zero_large_def; }
PyMethodDef& table_cache_dir_def() { return cache_dir_def; }
PyMethodDef& cache_test_table_def() { return test_table_def; }

}  // namespace turnsmith::py
