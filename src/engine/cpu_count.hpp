#pragma once
// How many workers the process-wide pool starts: a count from the
// environment, or else the CPUs this process may use.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace turnsmith {

// The worker count and, when a variable set it, " (RAYON_NUM_THREADS=n)" to
// name it in failures that the count caused.
struct ConfiguredCount {
    std::size_t workers;
    std::string cause;
};

// The count the environment asks for now, or available_cpus().
ConfiguredCount configured_worker_count();

// The default worker count: the CPUs of the affinity mask, limited by the
// control-group quota, or 1 when neither can be read.
std::size_t available_cpus();

// ---------------------------------------------------------------------------
// Exposed for the tests: the steps of the two functions above, apart from the
// environment and the files of /proc and /sys that they read.

// The pool size rule: a positive RAYON_NUM_THREADS wins, 0 there means the
// default; otherwise a positive RAYON_RS_NUM_CPUS; otherwise the default.
enum class CountSource { num_threads, rs_num_cpus, default_count };
CountSource worker_count_source(std::optional<std::string_view> num_threads,
                                std::optional<std::string_view> rs_num_cpus);
std::size_t worker_count_from(std::optional<std::string_view> num_threads,
                              std::optional<std::string_view> rs_num_cpus, std::size_t default_count);

// A whole non-negative decimal number ("+" allowed in front, nothing else).
std::optional<std::size_t> parse_count(std::string_view text);

// CPUs granted by a control-group quota, rounded down and at least 1; nullopt
// when the text sets no limit or cannot be read.
std::optional<std::size_t> parse_cgroup_v2_cpu_max(std::string_view cpu_max);
std::optional<std::size_t> parse_cgroup_v1_quota(std::string_view cfs_quota_us,
                                                 std::string_view cfs_period_us);

// The cgroup of the process for one hierarchy, from /proc/self/cgroup:
// controller "" is the unified (v2) line "0::path", otherwise the v1 line
// whose controller list names it.
std::optional<std::string_view> cgroup_path_from(std::string_view proc_self_cgroup,
                                                 std::string_view controller);

// Where the cgroup `group_path` of a hierarchy can be reached, from
// /proc/self/mountinfo: the first mount of `fstype` whose root contains the
// group. For fstype "cgroup" the mount must carry `controller` among its super
// options.
struct CgroupMount {
    std::string mount_point;
    std::string root;
};
std::optional<CgroupMount> cgroup_mount_from(std::string_view mountinfo, std::string_view fstype,
                                             std::string_view controller, std::string_view group_path);

}  // namespace turnsmith
