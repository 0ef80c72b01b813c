#include <cstddef>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <gtest/gtest.h>

#include "engine/cpu_count.hpp"

namespace turnsmith {
namespace {

struct CountCase {
    std::optional<std::string_view> num_threads;
    std::optional<std::string_view> rs_num_cpus;
    std::size_t expected;
};

TEST(WorkerCount, EnvironmentRules) {
    constexpr std::size_t fallback = 7;
    const CountCase cases[] = {
        {"3", std::nullopt, 3},
        {"3", "5", 3},
        {"+4", std::nullopt, 4},
        {"0", "5", fallback},  // 0 means the default, whatever RS_NUM_CPUS says
        {"0", std::nullopt, fallback},
        {"abc", "5", 5},
        {"-1", "5", 5},
        {" 2", "5", 5},
        {"2 ", "5", 5},
        {"", "5", 5},
        {"99999999999999999999999", "5", 5},
        {std::nullopt, "5", 5},
        {std::nullopt, "0", fallback},
        {std::nullopt, "-3", fallback},
        {"abc", "abc", fallback},
        {std::nullopt, std::nullopt, fallback},
    };
    for (const CountCase& c : cases) {
        EXPECT_EQ(worker_count_from(c.num_threads, c.rs_num_cpus, fallback), c.expected)
            << "RAYON_NUM_THREADS=" << c.num_threads.value_or("<unset>")
            << " RAYON_RS_NUM_CPUS=" << c.rs_num_cpus.value_or("<unset>");
    }
}

TEST(WorkerCount, SourceNamesTheVariableThatDecided) {
    using enum CountSource;
    EXPECT_EQ(worker_count_source("3", "5"), num_threads);
    EXPECT_EQ(worker_count_source("0", "5"), default_count);
    EXPECT_EQ(worker_count_source("abc", "5"), rs_num_cpus);
    EXPECT_EQ(worker_count_source(std::nullopt, "0"), default_count);
    EXPECT_EQ(worker_count_source(std::nullopt, std::nullopt), default_count);
}

// Sets or unsets the two worker variables for a scope and puts back what was
// there before, so that no later test (or pool) sees them.
class WorkerVariables {
public:
    WorkerVariables(const char* num_threads, const char* rs_num_cpus)
        : saved_{save("RAYON_NUM_THREADS"), save("RAYON_RS_NUM_CPUS")} {
        set("RAYON_NUM_THREADS", num_threads);
        set("RAYON_RS_NUM_CPUS", rs_num_cpus);
    }
    ~WorkerVariables() {
        set("RAYON_NUM_THREADS", saved_[0] ? saved_[0]->c_str() : nullptr);
        set("RAYON_RS_NUM_CPUS", saved_[1] ? saved_[1]->c_str() : nullptr);
    }
    WorkerVariables(const WorkerVariables&) = delete;
    WorkerVariables& operator=(const WorkerVariables&) = delete;

private:
    static std::optional<std::string> save(const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
    }
    static void set(const char* name, const char* value) {
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    std::optional<std::string> saved_[2];
};

// The variable that decided the count is named, as it was set, for the
// messages of failures that the count caused.
TEST(WorkerCount, ConfiguredCountNamesItsVariable) {
    struct Case {
        const char* num_threads;
        const char* rs_num_cpus;
        std::size_t workers;
        std::string_view cause;
    };
    const std::size_t machine = available_cpus();
    const Case cases[] = {
        {"+3", "5", 3, " (RAYON_NUM_THREADS=+3)"},
        {"abc", "2", 2, " (RAYON_RS_NUM_CPUS=2)"},
        {nullptr, "2", 2, " (RAYON_RS_NUM_CPUS=2)"},
        {"0", "5", machine, ""},
        {nullptr, nullptr, machine, ""},
    };
    for (const Case& c : cases) {
        const WorkerVariables variables(c.num_threads, c.rs_num_cpus);
        const ConfiguredCount count = configured_worker_count();
        EXPECT_EQ(count.workers, c.workers) << c.cause;
        EXPECT_EQ(count.cause, c.cause) << count.cause;
    }
}

TEST(WorkerCount, CgroupQuotas) {
    const std::pair<std::string_view, std::optional<std::size_t>> v2[] = {
        {"max 100000", std::nullopt}, {"max 100000\n", std::nullopt}, {"200000 100000", 2},
        {"200000 100000\n", 2},       {"150000 100000", 1},           {"50000 100000", 1},
        {"800000 200000", 4},         {"max", std::nullopt},          {"", std::nullopt},
        {"abc 100000", std::nullopt}, {"100000 0", std::nullopt},     {"-5 100000", std::nullopt},
    };
    for (const auto& [text, cpus] : v2) EXPECT_EQ(parse_cgroup_v2_cpu_max(text), cpus) << text;

    EXPECT_EQ(parse_cgroup_v1_quota("-1\n", "100000\n"), std::nullopt);
    EXPECT_EQ(parse_cgroup_v1_quota("300000\n", "100000\n"), 3u);
    EXPECT_EQ(parse_cgroup_v1_quota("50000", "100000"), 1u);
    EXPECT_EQ(parse_cgroup_v1_quota("50000", "0"), std::nullopt);
}

TEST(WorkerCount, CgroupPaths) {
    const std::string_view hybrid =
        "9:name=systemd:/\n"
        "4:memory:/mem/x\n"
        "3:cpuacct:/acct\n"
        "2:cpu,cpuset:/docker/abc:def\n"
        "0::/unified/y\n";
    EXPECT_EQ(cgroup_path_from(hybrid, ""), "/unified/y");
    EXPECT_EQ(cgroup_path_from(hybrid, "cpu"), "/docker/abc:def");
    EXPECT_EQ(cgroup_path_from(hybrid, "cpuacct"), "/acct");
    EXPECT_EQ(cgroup_path_from(hybrid, "blkio"), std::nullopt);
    EXPECT_EQ(cgroup_path_from("2:cpu:/a\n", ""), std::nullopt);

    const std::string_view mountinfo =
        "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
        "32 31 0:29 / /sys/fs/cgroup/cpuacct rw,relatime - cgroup cgroup rw,cpuacct\n"
        "33 31 0:30 /docker /sys/fs/cgroup/cpu rw,relatime shared:9 - cgroup cgroup rw,cpu,cpuset\n"
        "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";
    const auto v2 = cgroup_mount_from(mountinfo, "cgroup2", "", "/unified/y");
    ASSERT_TRUE(v2);
    EXPECT_EQ(v2->mount_point, "/sys/fs/cgroup/unified");
    EXPECT_EQ(v2->root, "/");
    const auto v1 = cgroup_mount_from(mountinfo, "cgroup", "cpu", "/docker/abc");
    ASSERT_TRUE(v1);
    EXPECT_EQ(v1->mount_point, "/sys/fs/cgroup/cpu");
    EXPECT_EQ(v1->root, "/docker");
    // The mount's root must contain the group: "/dockerx" is not below "/docker".
    EXPECT_EQ(cgroup_mount_from(mountinfo, "cgroup", "cpu", "/dockerx"), std::nullopt);
    EXPECT_EQ(cgroup_mount_from(mountinfo, "cgroup", "memory", "/"), std::nullopt);

    EXPECT_GE(available_cpus(), 1u);
}

}  // namespace
}  // namespace turnsmith
