#pragma once
// A stop asked of running work, with a deadline for the work to let go. The
// deadline is kept by a thread of its own rather than checked once the work
// returns: work that never sees the stop would otherwise hang the whole run
// instead of failing one test.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

#include "engine/work_control.hpp"

namespace turnsmith::testing {

// From construction to destruction (the work under test returned): after
// `delay` asks `control` to stop, and when `grace` more passes without the
// work returning, says which test hung and ends the process, failed. The grace
// is generous: a loaded machine may leave the work's threads waiting for a
// core for seconds, and only a stop that never comes must fail.
class StopAfter {
public:
    StopAfter(WorkControl& control, std::chrono::milliseconds delay,
              std::chrono::seconds grace = std::chrono::seconds(60))
        : test_(current_test()), watch_([this, &control, delay, grace](std::stop_token returned) {
              std::unique_lock lock(mutex_);
              const auto never = [] { return false; };
              wake_.wait_for(lock, returned, delay, never);
              if (returned.stop_requested()) return;
              control.request_stop();
              wake_.wait_for(lock, returned, grace, never);
              if (returned.stop_requested()) return;
              std::fprintf(stderr, "%s: still running %lld s after the stop was asked\n", test_.c_str(),
                           static_cast<long long>(grace.count()));
              std::fflush(stderr);
              std::_Exit(1);
          }) {}

private:
    static std::string current_test() {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        return info != nullptr ? std::string(info->test_suite_name()) + "." + info->name() : "a test";
    }

    const std::string test_;
    std::mutex mutex_;
    std::condition_variable_any wake_;
    std::jthread watch_;  // last: joined (asked to end) first
};

}  // namespace turnsmith::testing
