#include "base/fault.hpp"

#include <pthread.h>

#include <array>
#include <cstdio>

namespace turnsmith {
namespace {

std::string current_thread_name() {
    // Linux limits thread names to 15 bytes plus the terminator.
    std::array<char, 64> name{};
    if (pthread_getname_np(pthread_self(), name.data(), name.size()) == 0 && name[0] != '\0') {
        return name.data();
    }
    return "<unnamed>";
}

// Source positions are shown relative to the project root, which is found from
// this file's own position (<root>/src/base/fault.cpp), so that diagnostics
// read the same whatever directory the project was built in.
std::string_view relative_to_project(std::string_view path) {
    constexpr std::string_view own_suffix = "src/base/fault.cpp";
    const std::string_view own_path = std::source_location::current().file_name();
    if (!own_path.ends_with(own_suffix)) return path;
    const std::string_view root = own_path.substr(0, own_path.size() - own_suffix.size());
    if (!root.empty() && path.starts_with(root)) path.remove_prefix(root.size());
    return path;
}

}  // namespace

// The report's wording ("thread '...' panicked at file:line:column:") is the
// one callers and their log scrapers know; deliberate, and pinned by the tests.
void internal_fault(std::string_view text, std::source_location where) {
    std::string message = "thread '";
    message += current_thread_name();
    message += "' panicked at ";
    message += relative_to_project(where.file_name());
    message += ':';
    message += std::to_string(where.line());
    message += ':';
    message += std::to_string(where.column());
    message += ":\n";
    message += text;
    message += '\n';
    // One write, so that faults on several threads do not interleave mid-line.
    std::fwrite(message.data(), 1, message.size(), stderr);
    std::fflush(stderr);
    throw InternalFault(std::string(text));
}

void out_of_memory(std::string_view what) {
    std::string text = "cannot allocate ";
    text += what;
    throw OutOfMemory(std::move(text));
}

}  // namespace turnsmith
