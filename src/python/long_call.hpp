// A call that can run long (a batch of searches, a table build). Its thread
// waits detached from the interpreter, also with the GIL, and looks up from
// the wait every few milliseconds, attached, to act on pending signals and to
// report progress. A signal's exception (KeyboardInterrupt) or one raised by
// the progress callable asks the work to stop; the workers notice within a
// moment, and the call raises that exception once they all have let go.
//
// Below it, the one path of every method that reads the solvers' tables: the
// tables are made ready before the call takes its hold.
#pragma once

#include "python/python.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "cube/cube_types.hpp"
#include "engine/pool.hpp"
#include "engine/work_control.hpp"
#include "python/call.hpp"
#include "solvers/solving.hpp"

namespace turnsmith::py {

class LongCall {
public:
    // How often the waiting thread looks up.
    static constexpr std::chrono::milliseconds period{20};

    // `progress` as the caller passed it (null when left out): None or False
    // for no report, True for one line on stderr when that is a terminal, or a
    // callable, called as progress(done, total). `unit` names what is counted
    // in that line ("cubes").
    LongCall(PyObject* progress, const char* parameter, const char* unit);
    LongCall(const LongCall&) = delete;
    LongCall& operator=(const LongCall&) = delete;

    WorkControl& control() noexcept { return control_; }

    // Runs `work()` detached and returns what it returns. Raises the exception
    // that stopped it, if any (the work then throws Stopped, or finishes
    // anyway: a signal already taken is never lost). After work that
    // completed, a last report with done == total.
    template <class Work>
    auto run(Work&& work) -> std::invoke_result_t<Work> {
        using Result = std::invoke_result_t<Work>;
        Waiting waiting(*this);
        const auto tick = [&waiting] { waiting.tick(); };
        if constexpr (std::is_void_v<Result>) {
            {
                const WhileWaiting looking_up(period, tick);
                run_stopping([&] { work(); });
            }
            waiting.attach();
            finish();
        } else {
            std::optional<Result> result;
            {
                const WhileWaiting looking_up(period, tick);
                run_stopping([&] { result.emplace(work()); });
            }
            waiting.attach();
            finish();
            return std::move(*result);
        }
    }

private:
    // The thread detached while it exists, attached for each tick; attach()
    // ends the detachment early (it also ends on unwinding).
    class Waiting {
    public:
        explicit Waiting(LongCall& call) noexcept : call_(call), state_(PyEval_SaveThread()) {}
        ~Waiting() { attach(); }
        Waiting(const Waiting&) = delete;
        Waiting& operator=(const Waiting&) = delete;
        void tick() noexcept {
            PyEval_RestoreThread(state_);
            call_.look_up();
            state_ = PyEval_SaveThread();
        }
        void attach() noexcept {
            if (state_ != nullptr) PyEval_RestoreThread(std::exchange(state_, nullptr));
        }

    private:
        LongCall& call_;
        PyThreadState* state_;
    };

    // Runs the work; Stopped from it is left for finish() to turn into the
    // exception that asked for the stop.
    template <class Body>
    void run_stopping(Body&& body) {
        try {
            body();
        } catch (const Stopped&) {
            if (!raised_) throw;  // not asked by this call: a fault
        }
    }

    void look_up() noexcept;  // attached
    void report(bool last);   // attached
    void finish();            // attached: raises what stopped the call, or reports the end

    Ref progress_;  // the callable, if one was given
    bool line_ = false;
    const char* unit_;
    WorkControl control_;
    Ref raised_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point last_line_{};
};

// ---- tables made ready before the hold --------------------------------------

// The tables a call reads: its cube type's solver's, or with `optimal` those
// of the optimal search.
struct Tables {
    unsigned cube_type;
    bool optimal = false;
    // A search also looks for the large table (once per process, warning when
    // there is none); bounds never read it.
    bool searching = true;
    // The optimal search's large table too, of kind optimal::large_kinds[*large],
    // built unless this process reads it.
    std::optional<std::size_t> large = std::nullopt;
    // Reports a build, as LongCall takes it (null for none).
    PyObject* progress = nullptr;
};

// Issues each text as a RuntimeWarning on the calling thread (where
// warnings.catch_warnings sees it); raises when a filter turns one into an
// error.
void warn_all(const std::vector<std::string>& warnings);

namespace detail {

// Runs `make(warnings, control)` as a long call counting `unit`, then issues
// what it warned of.
template <class Make>
void make_tables(PyObject* progress, const char* unit, Make&& make) {
    std::vector<std::string> warnings;
    LongCall call(progress, "progress", unit);
    call.run([&] { make(warnings, call.control()); });
    warn_all(warnings);
}

template <Cube C>
void optimal_tables_ready(PyObject* progress, bool searching) {
    using S = Solving<C>;
    if (S::optimal_ready() && (!searching || S::large_looked_for())) return;
    make_tables(progress, "units", [&](std::vector<std::string>& warnings, WorkControl& control) {
        S::make_optimal_ready(warnings, control);
        if (searching) S::look_for_large(warnings);
    });
}

// A large table that cannot be kept (no room, no place) raises OSError.
template <Cube C>
void large_table_ready(PyObject* progress, std::size_t kind) {
    using S = Solving<C>;
    optimal_tables_ready<C>(progress, false);
    if (S::large_ready(kind)) return;
    std::string failure;
    make_tables(progress, "entries", [&](std::vector<std::string>& warnings, WorkControl& control) {
        try {
            S::make_large_ready(kind, warnings, control);
        } catch (const std::runtime_error& error) {
            failure = error.what();
        }
    });
    if (!failure.empty()) throw_error(PyExc_OSError, failure);
}

}  // namespace detail

// Makes the tables ready, detached and interruptible, with a build reported
// through `tables.progress`, and issues what the cache warned of. Does
// nothing when they are ready.
inline void tables_ready(const Tables& tables) {
    visit_cube_type(tables.cube_type, [&]<Cube C>() {
        if (tables.large) {
            detail::large_table_ready<C>(tables.progress, *tables.large);
        } else if (tables.optimal) {
            detail::optimal_tables_ready<C>(tables.progress, tables.searching);
        } else if (!Solving<C>::ready()) {
            detail::make_tables(tables.progress, "bytes", Solving<C>::make_ready);
        }
    });
}

// The path of a method that reads tables: the order of method_call
// (python/call.hpp) with one step between the receiver and the hold:
//   1. bind the arguments (counts and keyword names),
//   2. check the receiver,
//   3. `needs(contents, bound)` names the Tables the call reads, converting
//      only what decides them (the flag `optimal`, read once here) and
//      taking no hold but for a moment,
//   4. make them ready, the thread detached, without a hold: a build takes
//      seconds and a hold kept that long would refuse every other call on
//      the object meanwhile,
//   5. take the hold and run `body(contents, bound, tables)`, which converts
//      the other bound values and reads the tables.
// A refused call (its arguments, its receiver) builds no table and runs none
// of the caller's code.
namespace detail {
template <class Contents, Access A, std::size_t M, class Needs, class Body>
auto ready_then_held(PyObject* self, const Bound<M>& bound, Needs& needs, Body& body) {
    Contents& object = receiver<Contents>(self);
    const Tables tables = needs(object, bound);
    tables_ready(tables);
    const Hold<A> hold(object.access);
    return body(object, bound, tables);
}
}  // namespace detail

template <class Contents, Access A, std::size_t M, class Needs, class Body>
PyObject* long_method_call(const Call<M>& call, Needs&& needs, Body&& body) noexcept {
    return guarded([&]() -> PyObject* {
        return detail::ready_then_held<Contents, A>(call.self, call.bind(), needs, body);
    });
}

// The same for a method without arguments: `needs` and `body` get an empty
// Bound.
template <class Contents, Access A, class Needs, class Body>
PyObject* long_method_call(PyObject* self, Needs&& needs, Body&& body) noexcept {
    return guarded([&]() -> PyObject* {
        return detail::ready_then_held<Contents, A>(self, Bound<0>{}, needs, body);
    });
}

// The same for a method that works on a copy: `read(contents, bound, tables)`
// copies what `work(copy)` needs under a shared hold, and the work runs after
// the hold is given back, the object free for other calls meanwhile.
template <class Contents, std::size_t M, class Needs, class Read, class Work>
PyObject* long_copy_call(const Call<M>& call, Needs&& needs, Read&& read, Work&& work) noexcept {
    return guarded([&]() -> PyObject* {
        auto copy = detail::ready_then_held<Contents, Access::shared>(call.self, call.bind(), needs, read);
        return work(copy);
    });
}

}  // namespace turnsmith::py
