#include "python/long_call.hpp"

#include <cinttypes>
#include <cstdio>
#include <string>

#include "python/errors.hpp"

namespace turnsmith::py {

LongCall::LongCall(PyObject* progress, const char* parameter, const char* unit) : unit_(unit) {
    if (progress == nullptr || progress == Py_None || progress == Py_False) return;
    if (progress == Py_True) {
        // Only a terminal shows a redrawn line; anything else would collect
        // every redraw.
        PyObject* stderr_object = PySys_GetObject("stderr");  // borrowed
        if (stderr_object == nullptr || stderr_object == Py_None) return;
        Ref isatty = Ref::steal(PyObject_CallMethod(stderr_object, "isatty", nullptr));
        if (!isatty) {
            PyErr_Clear();
            return;
        }
        line_ = check(PyObject_IsTrue(isatty.get())) == 1;
        return;
    }
    if (!PyCallable_Check(progress)) {
        throw_error(PyExc_TypeError, std::string("argument '") + parameter +
                                         "': expected None, a bool or a callable progress(done, total), got " +
                                         Py_TYPE(progress)->tp_name);
    }
    progress_ = Ref::borrow(progress);
}

// Signals first: a KeyboardInterrupt stops the work even when the progress
// callable would have raised too.
void LongCall::look_up() noexcept {
    if (raised_) return;
    if (PyErr_CheckSignals() == 0) {
        try {
            report(false);
            return;
        } catch (const ErrorAlreadySet&) {
        } catch (...) {
            detail::translate_current_exception();
        }
    }
    raised_ = Ref::steal(PyErr_GetRaisedException());
    control_.request_stop();
}

void LongCall::report(bool last) {
    const std::uint64_t total = control_.total();
    const std::uint64_t done = last ? total : std::min(control_.done(), total);
    if (progress_) {
        // Called at every look, also when nothing was done since the last:
        // raising from it is how another thread stops the call.
        Ref done_object = Ref::steal(new_int(done));
        Ref total_object = Ref::steal(new_int(total));
        Ref result = Ref::steal(
            check(PyObject_CallFunctionObjArgs(progress_.get(), done_object.get(), total_object.get(), nullptr)));
        return;
    }
    // A line of "0/0" would tell nothing: none is drawn until the work's total is known.
    if (!line_ || total == 0) return;
    // A terminal is redrawn a few times a second, not at every look.
    const auto now = std::chrono::steady_clock::now();
    if (!last && now - last_line_ < std::chrono::milliseconds(200)) return;
    last_line_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
    char text[160];
    if (last) {
        std::snprintf(text, sizeof text, "\r%" PRIu64 "/%" PRIu64 " %s, %.1f %s/s, %.1f s\n", done, total, unit_,
                      rate, unit_, seconds);
    } else if (rate > 0) {
        std::snprintf(text, sizeof text, "\r%" PRIu64 "/%" PRIu64 " %s, %.1f %s/s, %.0f s left   ", done, total,
                      unit_, rate, unit_, static_cast<double>(total - done) / rate);
    } else {
        std::snprintf(text, sizeof text, "\r%" PRIu64 "/%" PRIu64 " %s", done, total, unit_);
    }
    PyObject* stderr_object = PySys_GetObject("stderr");  // borrowed
    if (stderr_object == nullptr || stderr_object == Py_None) return;
    Ref written = Ref::steal(check(PyObject_CallMethod(stderr_object, "write", "s", text)));
    Ref flushed = Ref::steal(check(PyObject_CallMethod(stderr_object, "flush", nullptr)));
}

void LongCall::finish() {
    if (!raised_ && PyErr_CheckSignals() != 0) raised_ = Ref::steal(PyErr_GetRaisedException());
    if (raised_) {
        PyErr_SetRaisedException(raised_.release());
        throw_error_already_set();
    }
    report(true);
}

void warn_all(const std::vector<std::string>& warnings) {
    for (const std::string& text : warnings) check(PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1));
}

}  // namespace turnsmith::py
