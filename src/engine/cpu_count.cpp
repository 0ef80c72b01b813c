#include "engine/cpu_count.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <system_error>
#include <vector>

namespace turnsmith {

// ---------------------------------------------------------------------------
// The configured count

namespace {

std::optional<std::string_view> environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string_view(value);
}

}  // namespace

ConfiguredCount configured_worker_count() {
    const auto num_threads = environment("RAYON_NUM_THREADS");
    const auto rs_num_cpus = environment("RAYON_RS_NUM_CPUS");
    const std::size_t workers = worker_count_from(num_threads, rs_num_cpus, available_cpus());
    switch (worker_count_source(num_threads, rs_num_cpus)) {
        case CountSource::num_threads:
            return {workers, " (RAYON_NUM_THREADS=" + std::string(*num_threads) + ")"};
        case CountSource::rs_num_cpus:
            return {workers, " (RAYON_RS_NUM_CPUS=" + std::string(*rs_num_cpus) + ")"};
        case CountSource::default_count:
            break;
    }
    return {workers, ""};
}

// ---------------------------------------------------------------------------
// The rule and its parsers

std::optional<std::size_t> parse_count(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    std::size_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

CountSource worker_count_source(std::optional<std::string_view> num_threads,
                                std::optional<std::string_view> rs_num_cpus) {
    if (num_threads) {
        if (const std::optional<std::size_t> count = parse_count(*num_threads)) {
            return *count > 0 ? CountSource::num_threads : CountSource::default_count;
        }
    }
    if (rs_num_cpus) {
        if (const std::optional<std::size_t> count = parse_count(*rs_num_cpus); count && *count > 0) {
            return CountSource::rs_num_cpus;
        }
    }
    return CountSource::default_count;
}

std::size_t worker_count_from(std::optional<std::string_view> num_threads,
                              std::optional<std::string_view> rs_num_cpus, std::size_t default_count) {
    switch (worker_count_source(num_threads, rs_num_cpus)) {
        case CountSource::num_threads:
            return *parse_count(*num_threads);
        case CountSource::rs_num_cpus:
            return *parse_count(*rs_num_cpus);
        case CountSource::default_count:
            break;
    }
    return default_count;
}

namespace {

std::string_view trim(std::string_view text) {
    constexpr std::string_view space = " \t\r\n";
    const std::size_t first = text.find_first_not_of(space);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

std::optional<std::size_t> cpus_from_quota(std::string_view quota, std::string_view period) {
    const std::optional<std::size_t> quota_us = parse_count(quota);
    const std::optional<std::size_t> period_us = parse_count(period);
    if (!quota_us || !period_us || *period_us == 0) return std::nullopt;
    return std::max<std::size_t>(*quota_us / *period_us, 1);
}

// Calls `visit(line)` for every line of `text`.
template <class Visit>
void for_each_line(std::string_view text, Visit&& visit) {
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        visit(text.substr(0, end));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
}

// The fields of a line separated by `separator`.
std::vector<std::string_view> split(std::string_view line, char separator) {
    std::vector<std::string_view> fields;
    for (;;) {
        const std::size_t end = line.find(separator);
        fields.push_back(line.substr(0, end));
        if (end == std::string_view::npos) return fields;
        line.remove_prefix(end + 1);
    }
}

bool lists(std::string_view comma_list, std::string_view item) {
    const std::vector<std::string_view> items = split(comma_list, ',');
    return std::find(items.begin(), items.end(), item) != items.end();
}

// Whether cgroup `path` is `root` or lies below it.
bool is_within(std::string_view path, std::string_view root) {
    if (root == "/") return path.starts_with('/');
    return path.starts_with(root) && (path.size() == root.size() || path[root.size()] == '/');
}

}  // namespace

std::optional<std::size_t> parse_cgroup_v2_cpu_max(std::string_view cpu_max) {
    cpu_max = trim(cpu_max);
    const std::size_t gap = cpu_max.find(' ');
    if (gap == std::string_view::npos) return std::nullopt;
    const std::string_view quota = cpu_max.substr(0, gap);
    if (quota == "max") return std::nullopt;
    return cpus_from_quota(quota, trim(cpu_max.substr(gap)));
}

std::optional<std::size_t> parse_cgroup_v1_quota(std::string_view cfs_quota_us,
                                                 std::string_view cfs_period_us) {
    // -1 (any negative quota) means no limit; it fails to parse as a count.
    return cpus_from_quota(trim(cfs_quota_us), trim(cfs_period_us));
}

std::optional<std::string_view> cgroup_path_from(std::string_view proc_self_cgroup,
                                                 std::string_view controller) {
    std::optional<std::string_view> found;
    for_each_line(proc_self_cgroup, [&](std::string_view line) {
        // id:controllers:path, where the path itself may hold ':'.
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (found || second == std::string_view::npos) return;
        const std::string_view id = line.substr(0, first);
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const bool matches =
            controller.empty() ? id == "0" && controllers.empty() : lists(controllers, controller);
        if (matches) found = line.substr(second + 1);
    });
    return found;
}

std::optional<CgroupMount> cgroup_mount_from(std::string_view mountinfo, std::string_view fstype,
                                             std::string_view controller, std::string_view group_path) {
    std::optional<CgroupMount> found;
    for_each_line(mountinfo, [&](std::string_view line) {
        // id parent major:minor root mount-point options [tags...] - fstype source super-options
        const std::size_t dash = line.find(" - ");
        if (found || dash == std::string_view::npos) return;
        const std::vector<std::string_view> mount = split(line.substr(0, dash), ' ');
        const std::vector<std::string_view> filesystem = split(line.substr(dash + 3), ' ');
        if (mount.size() < 5 || filesystem.size() < 3 || filesystem[0] != fstype) return;
        if (fstype == "cgroup" && !lists(filesystem[2], controller)) return;
        if (!is_within(group_path, mount[3])) return;
        found = CgroupMount{std::string(mount[4]), std::string(mount[3])};
    });
    return found;
}

namespace {

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream file(path);
    if (!file) return std::nullopt;
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad()) return std::nullopt;
    return std::move(text).str();
}

// The smallest limit that `limit_in(directory)` reports for the process's
// cgroup or any cgroup above it: a parent's quota binds its children too.
template <class LimitIn>
std::optional<std::size_t> tightest_quota(std::string_view fstype, std::string_view controller,
                                          LimitIn&& limit_in) {
    const std::optional<std::string> groups = read_file("/proc/self/cgroup");
    const std::optional<std::string> mounts = read_file("/proc/self/mountinfo");
    if (!groups || !mounts) return std::nullopt;
    const std::optional<std::string_view> group = cgroup_path_from(*groups, controller);
    if (!group) return std::nullopt;
    const std::optional<CgroupMount> mount = cgroup_mount_from(*mounts, fstype, controller, *group);
    if (!mount) return std::nullopt;

    std::string relative(group->substr(mount->root == "/" ? 0 : mount->root.size()));
    if (relative == "/") relative.clear();
    std::optional<std::size_t> tightest;
    for (;;) {
        if (const std::optional<std::size_t> limit = limit_in(mount->mount_point + relative)) {
            tightest = tightest ? std::min(*tightest, *limit) : *limit;
        }
        const std::size_t parent = relative.find_last_of('/');
        if (relative.empty() || parent == std::string::npos) return tightest;
        relative.resize(parent);
    }
}

std::optional<std::size_t> cgroup_cpu_quota() {
    const auto v2 = tightest_quota("cgroup2", "", [](const std::string& directory) {
        const std::optional<std::string> cpu_max = read_file(directory + "/cpu.max");
        return cpu_max ? parse_cgroup_v2_cpu_max(*cpu_max) : std::nullopt;
    });
    if (v2) return v2;
    return tightest_quota("cgroup", "cpu", [](const std::string& directory) {
        const std::optional<std::string> quota = read_file(directory + "/cpu.cfs_quota_us");
        const std::optional<std::string> period = read_file(directory + "/cpu.cfs_period_us");
        return quota && period ? parse_cgroup_v1_quota(*quota, *period) : std::nullopt;
    });
}

// CPUs in the affinity mask, with a set large enough for any machine; 0 when
// the mask cannot be read.
std::size_t affinity_cpu_count() {
    for (std::size_t cpus = 1024; cpus <= (std::size_t{1} << 22); cpus *= 2) {
        const std::unique_ptr<cpu_set_t, void (*)(cpu_set_t*)> set(CPU_ALLOC(cpus),
                                                                   [](cpu_set_t* s) { CPU_FREE(s); });
        if (!set) return 0;
        const std::size_t size = CPU_ALLOC_SIZE(cpus);
        if (sched_getaffinity(0, size, set.get()) == 0) {
            return static_cast<std::size_t>(CPU_COUNT_S(size, set.get()));
        }
        if (errno != EINVAL) return 0;
    }
    return 0;
}

}  // namespace

std::size_t available_cpus() {
    std::size_t cpus = affinity_cpu_count();
    if (cpus == 0) {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        cpus = online > 0 ? static_cast<std::size_t>(online) : 0;
    }
    if (const std::optional<std::size_t> quota = cgroup_cpu_quota()) {
        cpus = cpus == 0 ? *quota : std::min(cpus, *quota);
    }
    return std::max<std::size_t>(cpus, 1);
}

}  // namespace turnsmith
