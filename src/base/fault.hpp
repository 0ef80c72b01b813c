#pragma once
// Internal faults: broken invariants detected in native code. The fault is
// reported on standard error where it happens (so the diagnostic names the
// thread that hit it) and then travels as an exception to the call boundary.

#include <new>
#include <source_location>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace turnsmith {

struct InternalFault : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// An allocation that failed, with what it was for ("a result of 12 rows of 54
// values (5184 bytes)"), so that the caller learns more than that memory ran out.
class OutOfMemory : public std::bad_alloc {
public:
    explicit OutOfMemory(std::string what) : what_(std::move(what)) {}
    const char* what() const noexcept override { return what_.c_str(); }

private:
    std::string what_;
};

// Throws OutOfMemory "cannot allocate <what>".
[[noreturn]] void out_of_memory(std::string_view what);

// Writes "thread '<name>' panicked at <file>:<line>:<column>:\n<text>\n" to
// standard error, then throws InternalFault carrying `text`.
[[noreturn]] void internal_fault(std::string_view text,
                                 std::source_location where = std::source_location::current());

}  // namespace turnsmith
