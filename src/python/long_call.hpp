// A call that can run long (a batch of searches, a table build). Its thread
// waits detached from the interpreter, also with the GIL, and looks up from
// the wait every few milliseconds, attached, to act on pending signals and to
// report progress. A signal's exception (KeyboardInterrupt) or one raised by
// the progress callable asks the work to stop; the workers notice within a
// moment, and the call raises that exception once they all have let go.
#pragma once

#include "python/python.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>

#include "engine/pool.hpp"
#include "engine/work_control.hpp"

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

}  // namespace turnsmith::py
