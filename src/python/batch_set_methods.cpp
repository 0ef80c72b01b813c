// Batches as sets of states: each state's key, the distinct states, which
// states occur in another batch, and StateSet, a set that keeps growing
// across calls (a search's closed set). All compare whole words; keys only
// choose where a state is looked for. The batches are only read, detached,
// on the worker pool.
#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <variant>
#include <vector>

#include "cube/cube_types.hpp"
#include "engine/batch.hpp"
#include "engine/state_sets.hpp"
#include "python/args.hpp"
#include "python/attachment.hpp"
#include "python/batch_object.hpp"
#include "python/call.hpp"
#include "python/methods.hpp"
#include "python/numpy.hpp"

namespace turnsmith::py {

using state_sets::Order;
using state_sets::StateTable;

// What a StateSet object holds: its table of one cube type, and the access
// rule of every object here, except that a call waits for a conflicting one
// to end instead of failing: threads of a search share one set.
struct StateSetContents {
    using Table = std::variant<StateTable<Cube3x3>, StateTable<Cube2x2>>;

    explicit StateSetContents(unsigned cube_type) noexcept
        : table(visit_cube_type(cube_type, []<Cube C>() { return Table(std::in_place_type<StateTable<C>>); })) {}

    AccessState access;
    // Counts the holds given back, so that a waiting thread sleeps until one is.
    std::atomic<std::uint32_t> released{0};
    // Read by len() without a hold.
    std::atomic<std::size_t> count{0};
    Table table;

    unsigned cube_type() const noexcept {
        return std::visit([]<Cube C>(const StateTable<C>&) { return C::cube_type; }, table);
    }
};

template <>
struct PythonClass<StateSetContents> {
    static constexpr const char* name = "StateSet";
    static PyTypeObject* type();
};

namespace {

using Batch = BatchContents;

// ---- CubeBatch: keys, unique, isin ---------------------------------------------

PyObject* keys(PyObject* self, PyObject*) {
    return project_detached(self,
                            [](auto cubes, auto& run) { return state_sets::keys_internal(cubes, run); });
}

Order to_order(PyObject* value) {
    if (value == nullptr) return Order::sorted;
    const std::string_view text = to_utf8(value, "order");
    if (text == "sorted") return Order::sorted;
    if (text == "first") return Order::first;
    throw_error(PyExc_ValueError,
                "argument 'order': expected 'sorted' or 'first', got '" + std::string(text) + "'");
}

PyObject* unique(const Call<4>& call) {
    return method_call<Batch, Access::shared>(
        call, [](Batch& batch, const Bound<4>& bound) -> PyObject* {
            const Order order = to_order(bound[0]);
            const state_sets::Wanted wanted{to_flag(bound[1]), to_flag(bound[2]), to_flag(bound[3])};
            require_numpy();
            state_sets::Distinct distinct = batch.states.visit([&]<Cube C>(std::span<C> cubes) {
                return detached_loop([&](auto&& run) {
                    return state_sets::distinct_internal(std::span<const C>(cubes), order, wanted, run);
                });
            });
            Ref states = Ref::steal(new_batch_object(std::move(distinct.states)));
            if (!wanted.index && !wanted.inverse && !wanted.counts) return states.release();
            Ref result = Ref::steal(check(PyList_New(0)));
            check(PyList_Append(result.get(), states.get()));
            const auto append = [&](bool asked, Rows<std::int64_t>& rows) {
                if (!asked) return;
                Ref array = Ref::steal(make_result_array(std::move(rows), true));
                check(PyList_Append(result.get(), array.get()));
            };
            append(wanted.index, distinct.index);
            append(wanted.inverse, distinct.inverse);
            append(wanted.counts, distinct.counts);
            return check(PyList_AsTuple(result.get()));
        });
}

// The batch behind `value`, a CubeBatch of the given cube type: a TypeError otherwise.
Batch& batch_argument(PyObject* value, const char* parameter, unsigned cube_type, const char* method) {
    if (!is_instance<Batch>(value)) throw_type_mismatch(value, "CubeBatch", parameter);
    Batch& batch = contents_of<Batch>(value);
    // The cube type never changes, so it is read before any hold.
    if (batch.states.cube_type() != cube_type) {
        throw_error(PyExc_TypeError, std::string(method) + " expects a batch of " +
                                         std::to_string(cube_type) + "x" + std::to_string(cube_type) +
                                         " cubes, got one of " + std::to_string(batch.states.cube_type()) +
                                         "x" + std::to_string(batch.states.cube_type()) + " cubes");
    }
    return batch;
}

// The cubes of a batch of type C.
template <Cube C>
std::span<const C> cubes_of(Batch& batch) {
    std::span<const C> found;
    batch.states.visit([&]<class D>(std::span<D> cubes) {
        if constexpr (std::is_same_v<C, D>) found = cubes;
    });
    return found;
}

PyObject* isin(const Call<1>& call) {
    return method_call<Batch, Access::shared>(
        call, [](Batch& batch, const Bound<1>& bound) {
            Batch& other = batch_argument(bound[0], "other", batch.states.cube_type(), "CubeBatch.isin()");
            const SharedHold other_hold(other.access);
            require_numpy();
            auto found = Rows<bool>::zeroed(batch.states.size(), 1);
            batch.states.visit([&]<Cube C>(std::span<C> cubes) {
                detached_loop([&](auto&& run) {
                    StateTable<C> table;
                    table.add(cubes_of<C>(other), nullptr, true, run);
                    table.contains(std::span<const C>(cubes), found.row(0), run);
                });
            });
            return make_result_array(std::move(found), true);
        });
}

constexpr MethodTable batch_set_methods{"CubeBatch", std::tuple{
    method("keys", keys,
           "Return a 64-bit key of every cube's state as a NumPy uint64 array.\n\n"
           "The shape is (len(self),). The key is fixed: for the 2x2 the corner word\n"
           "itself, so distinct states have distinct keys; for the 3x3\n"
           "mix64(mix64(corners) ^ edges), mix64 being MurmurHash3's 64-bit finaliser\n"
           "(x ^= x >> 33; x *= 0xff51afd7ed558ccd; x ^= x >> 33;\n"
           "x *= 0xc4ceb9fe1a85ec53; x ^= x >> 33, modulo 2**64). States with the same\n"
           "corners never share a key; among n random 3x3 states some two share one with\n"
           "a chance of about n**2 / 2**65 (one in 370,000 for ten million). unique, isin\n"
           "and StateSet compare whole states, never keys."),
    method("unique",
           {defaulted("order", "'sorted'"), defaulted("return_index", "False"),
            defaulted("return_inverse", "False"), defaulted("return_counts", "False")},
           unique,
           "Return a batch of the distinct states, like numpy.unique.\n\n"
           "order='sorted' sorts them by their words as unsigned numbers, the corner word\n"
           "first (the order of the rows of to_words()); order='first' keeps them in the\n"
           "order of their first occurrence. With any of the return_ flags, a tuple of the\n"
           "batch and, in this order, the place of each one's first occurrence, the\n"
           "position in the result of every cube of self, and how often each occurs: NumPy\n"
           "int64 arrays of shapes (len(result),), (len(self),) and (len(result),)."),
    method("isin", {"other"}, isin,
           "Return which cubes' states occur in another batch of the same cube type.\n\n"
           "Returns a NumPy bool array of shape (len(self),)."),
}};

// ---- StateSet ---------------------------------------------------------------------

using Set = StateSetContents;

// A hold on a set, waited for with the thread detached (a conflicting call
// may run for seconds); RAII like Hold. Waking: each release counts up
// `released`, and a waiter sleeps only while the count is the one it saw
// before its failed try.
template <Access A>
class WaitedHold {
public:
    explicit WaitedHold(Set& set) : set_(set) {
        for (;;) {
            const std::uint32_t seen = set_.released.load(std::memory_order_acquire);
            if (A == Access::exclusive ? set_.access.try_exclusive() : set_.access.try_share()) return;
            set_.released.wait(seen, std::memory_order_acquire);
        }
    }
    ~WaitedHold() {
        if constexpr (A == Access::exclusive) {
            set_.access.unexclusive();
        } else {
            set_.access.unshare();
        }
        set_.released.fetch_add(1, std::memory_order_release);
        set_.released.notify_all();
    }
    WaitedHold(const WaitedHold&) = delete;
    WaitedHold& operator=(const WaitedHold&) = delete;

private:
    Set& set_;
};

PyObject* new_set(PyTypeObject* type, const Bound<1>& bound) {
    return construct<Set>(type, to_cube_type(bound[0]));
}

Py_ssize_t set_length(PyObject* self) {
    return guarded(
        [&] { return static_cast<Py_ssize_t>(receiver<Set>(self).count.load(std::memory_order_acquire)); });
}

PyObject* set_len_method(PyObject* self, PyObject*) {
    const Py_ssize_t count = set_length(self);
    return count < 0 ? nullptr : PyLong_FromSsize_t(count);
}

// `work(table, cubes, out, run)` over the cubes of the batch argument, with
// the set held as A and the thread detached; returns the bool array `out`.
template <Access A, class Work>
PyObject* with_batch(const Call<1>& call, const char* method, Work&& work) {
    return guarded([&] {
        const Bound<1> bound = call.bind();
        Set& set = receiver<Set>(call.self);
        Batch& batch = batch_argument(bound[0], "batch", set.cube_type(), method);
        const SharedHold batch_hold(batch.access);
        require_numpy();
        auto out = Rows<bool>::zeroed(batch.states.size(), 1);
        std::visit(
            [&]<Cube C>(StateTable<C>& table) {
                detached_loop([&](auto&& run) {
                    const WaitedHold<A> hold(set);
                    work(table, cubes_of<C>(batch), out.row(0), run);
                    set.count.store(table.size(), std::memory_order_release);
                });
            },
            set.table);
        return make_result_array(std::move(out), true);
    });
}

PyObject* set_add(const Call<1>& call) {
    return with_batch<Access::exclusive>(call, "StateSet.add()",
                                         [](auto& table, auto cubes, bool* out, auto& run) {
                                             table.add(cubes, out, false, run);
                                         });
}

PyObject* set_contains(const Call<1>& call) {
    return with_batch<Access::shared>(call, "StateSet.contains()",
                                      [](const auto& table, auto cubes, bool* out, auto& run) {
                                          table.contains(cubes, out, run);
                                      });
}

// The words of every state, as CubeBatch.to_words gives a batch's; read
// detached, as the hold may wait for a call that changes the set.
template <Cube C>
Rows<std::uint64_t> set_words(Set& set, const StateTable<C>& table) {
    const Detached detached;
    const WaitedHold<Access::shared> hold(set);
    auto words = Rows<std::uint64_t>::zeroed(table.size(), C::word_count);
    table.copy_words(words.row(0));
    return words;
}

// Pickles as its cube type and its states' words.
PyObject* set_reduce(PyObject* self, PyObject*) {
    return guarded([&] {
        Set& set = receiver<Set>(self);
        require_numpy();
        Rows<std::uint64_t> words =
            std::visit([&]<Cube C>(const StateTable<C>& table) { return set_words(set, table); }, set.table);
        const bool flat = words.cols() == 1;
        Ref array = Ref::steal(make_result_array(std::move(words), flat));
        Ref restore = Ref::steal(module_function("_restore_state_set"));
        return check(Py_BuildValue("(O(IO))", restore.get(), set.cube_type(), array.get()));
    });
}

PyObject* set_cube_type(PyObject* self, void*) {
    return guarded([&] { return check(PyLong_FromLong(receiver<Set>(self).cube_type())); });
}

constexpr auto set_constructor =
    constructor("StateSet", {"cube_type"}, new_set,
                "A growing set of cube states of one type, for a search's visited states.\n\n"
                "add(batch) adds a batch's states and returns which were new; contains(batch)\n"
                "tells which are in the set; len() counts them. States are compared by all\n"
                "their words. Calls from several threads are safe: a call that changes the set\n"
                "waits for the others to end, and they for it. The set lives in memory only\n"
                "(23 to 46 bytes a state for the 3x3, half that for the 2x2).");

constexpr MethodTable set_methods{"StateSet", std::tuple{
    method("add", {"batch"}, set_add,
           "Add the states of a batch; return which of them were new.\n\n"
           "Returns a NumPy bool array of shape (len(batch),): True where the state was\n"
           "not in the set before, and for a state repeated within the batch only at\n"
           "its first place. States are compared by all their words."),
    method("contains", {"batch"}, set_contains,
           "Return which states of a batch are in the set.\n\n"
           "Returns a NumPy bool array of shape (len(batch),)."),
    method("len", set_len_method, "Return the number of states in the set."),
    method("__reduce__", set_reduce, "Return state information for pickling."),
}};

std::vector<PyMethodDef> set_method_table = method_table({method_rows<set_methods>()});

PyGetSetDef set_getters[] = {
    {"cube_type", set_cube_type, nullptr, "The cube type of the states: 2 or 3.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot set_slots[] = {
    doc_slot<set_constructor>(),
    new_slot<set_constructor>(),
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy<Set>)},
    {Py_tp_methods, set_method_table.data()},
    {Py_tp_getset, set_getters},
    {Py_sq_length, reinterpret_cast<void*>(set_length)},
    {0, nullptr},
};

PyType_Spec set_spec = type_spec<Set>("turnsmith.StateSet", Py_TPFLAGS_DEFAULT, set_slots);

}  // namespace

PyTypeObject* PythonClass<StateSetContents>::type() { return type_once<set_spec>(); }

PyTypeObject* state_set_type() { return PythonClass<StateSetContents>::type(); }

std::span<const PyMethodDef> batch_set_rows() {
    static const auto rows = method_rows<batch_set_methods>();
    return rows;
}

}  // namespace turnsmith::py
