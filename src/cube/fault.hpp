#pragma once
// Internal faults: broken invariants detected in native code. The fault is
// reported on standard error where it happens (so the diagnostic names the
// thread that hit it) and then travels as an exception to the call boundary.

#include <source_location>
#include <stdexcept>
#include <string>
#include <string_view>

namespace turnsmith {

struct InternalFault : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Writes "thread '<name>' panicked at <file>:<line>:<column>:\n<text>\n" to
// standard error, then throws InternalFault carrying `text`.
[[noreturn]] void internal_fault(std::string_view text,
                                 std::source_location where = std::source_location::current());

}  // namespace turnsmith
