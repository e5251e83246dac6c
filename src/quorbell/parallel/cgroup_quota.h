// The CPU quota of the process's own control group, in whole CPUs.
//
// Under cgroup v1 the quota lives in the `cpu` controller's hierarchy
// (cpu.cfs_quota_us over cpu.cfs_period_us); under v2 in the unified
// hierarchy's cpu.max ("max" or "QUOTA PERIOD"). When both exist, the v1
// `cpu` controller wins: a controller bound to a v1 hierarchy is absent
// from the unified one. The parsers are pure so they can be tested on
// sample texts; read_cgroup_cpu_quota() applies them to /proc and the
// cgroup files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorbell {

// quota / period rounded down, at least 1; nullopt when either is not
// positive (v1 writes -1 for "no quota").
std::optional<std::size_t> quota_in_cpus(std::int64_t quota, std::int64_t period);

// A v2 cpu.max text: "max PERIOD" means no quota.
std::optional<std::size_t> parse_cpu_max(std::string_view text);

// One integer surrounded by optional whitespace, as in the v1 files.
std::optional<std::int64_t> parse_cgroup_integer(std::string_view text);

struct CpuCgroupDir {
  std::string path;  // the directory holding the quota files
  bool unified;      // cgroup v2 (cpu.max) rather than v1
};

// Finds the directory of the process's CPU controller from the texts of
// /proc/self/cgroup and /proc/self/mountinfo.
std::optional<CpuCgroupDir> find_cpu_cgroup(std::string_view proc_cgroup, std::string_view mountinfo);

// The quota of the running process; nullopt when there is none or it
// cannot be read.
std::optional<std::size_t> read_cgroup_cpu_quota();

}  // namespace quorbell
