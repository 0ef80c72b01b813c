// The solvers' tables as Python sees them: where the cache lives, and a call
// that makes a cube type's tables ready ahead of the first search (before
// forking workers, in a container's build step, on each node of a cluster).
#include "python/tables.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "python/args.hpp"
#include "python/batch_object.hpp"
#include "python/long_call.hpp"
#include "python/methods.hpp"
#include "python/type_objects.hpp"
#include "solvers/optimal_3x3.hpp"
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

// The kind of large table `large` asks for: a name of one, or a flag for
// the default kind; nullopt for none.
std::optional<std::size_t> to_large_kind(PyObject* large) {
    if (large == nullptr || !PyUnicode_Check(large)) {
        if (!to_flag(large)) return std::nullopt;
        large = nullptr;
    }
    std::string names;
    for (std::size_t k = 0; k < optimal::large_kinds.size(); ++k) {
        const optimal::LargeKind& kind = optimal::large_kinds[k];
        if (large == nullptr ? kind.detail == optimal::default_detail : PyUnicode_CompareWithASCIIString(large, kind.name) == 0)
            return k;
        names += std::string(names.empty() ? "'" : ", '") + kind.name + "'";
    }
    throw_error(PyExc_ValueError, "large must be True, False or one of " + names);
}

// Makes the tables ready first: with `large`, the 3x3's large table is built
// unless this process has it, and a build that cannot be kept (no room, no
// place) raises OSError.
PyObject* prepare_tables(const Call<4>& call) {
    return guarded([&] {
        const auto bound = call.bind();
        const unsigned cube_type = bound[0] == nullptr ? Cube3x3::cube_type : to_cube_type(bound[0]);
        const std::optional<std::size_t> large = to_large_kind(bound[3]);
        const bool optimal = large || to_flag(bound[2]);
        tables_ready({.cube_type = cube_type, .optimal = optimal, .large = large, .progress = bound[1]});
        return visit_cube_type(cube_type, [&]<Cube C>() { return report_list(Solving<C>::table_reports(optimal)); });
    });
}

PyObject* table_cache_dir(PyObject*, PyObject*) {
    return guarded([] {
        const auto directory = tables::cache_directory();
        return directory ? new_str(directory->string()) : Py_NewRef(Py_None);
    });
}

PyObject* cache_test_table(const Call<1>& call) {
    return guarded([&] {
        const auto bound = call.bind();
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
        tables_ready({.cube_type = Cube3x3::cube_type, .optimal = true, .searching = false});
        optimal::attach_zero_large_table(*optimal::optimal_solver_if_ready());
        return Py_NewRef(Py_None);
    });
}

// ---- the functions -----------------------------------------------------------

constexpr MethodTable functions{nullptr, std::tuple{
    function("prepare_tables",
             {defaulted("cube_type", "3"), defaulted("progress", "None"), defaulted("optimal", "False"),
              defaulted("large", "False")},
             prepare_tables,
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
             "ready: 2.5 GB, built once (about four minutes on two cores) into\n"
             "TURNSMITH_LARGE_TABLE or the cache directory, after checking that the disk has\n"
             "room (OSError when it has not). Searches use it from then on, in every process\n"
             "that finds it there; without it they use the small tables and warn once.\n"
             "large='standard' names the kind True makes."),
    function("_attach_zero_large_table", zero_large_table,
             "For tests: make this process's optimal search read a large table of zeros\n"
             "(reserved, never built), unless it has the real one."),
    function("table_cache_dir", table_cache_dir,
             "Return the directory of the solver tables' cache, or None when it is off.\n\n"
             "TURNSMITH_CACHE_DIR when set (set to \"\" it turns the cache off), else\n"
             "$XDG_CACHE_HOME/turnsmith, else ~/.cache/turnsmith; read at each call."),
    function("_cache_test_table", {"size"}, cache_test_table,
             "Load or build a test table of size bytes through the cache; return its report,\n"
             "with intact telling whether its contents are the kind's own."),
}};

}  // namespace

std::span<PyMethodDef> table_functions() {
    static auto rows = method_rows<functions>();
    return rows;
}

}  // namespace turnsmith::py
