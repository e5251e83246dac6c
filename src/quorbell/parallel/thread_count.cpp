#include "parallel/thread_count.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>

#include "parallel/cgroup_quota.h"

namespace quorbell {

namespace {

// Size of the affinity mask, growing the set until the kernel's mask fits;
// 0 when it cannot be read.
std::size_t affinity_cpu_count() {
  for (int capacity = 1024; capacity <= (1 << 20); capacity *= 2) {
    cpu_set_t* set = CPU_ALLOC(capacity);
    if (set == nullptr) return 0;
    const std::size_t bytes = CPU_ALLOC_SIZE(capacity);
    const int rc = sched_getaffinity(0, bytes, set);
    const std::size_t count = rc == 0 ? static_cast<std::size_t>(CPU_COUNT_S(bytes, set)) : 0;
    CPU_FREE(set);
    if (rc == 0) return count;
    if (errno != EINVAL) return 0;
  }
  return 0;
}

std::size_t online_cpu_count() {
  const long count = sysconf(_SC_NPROCESSORS_ONLN);
  return count > 0 ? static_cast<std::size_t>(count) : 0;
}

}  // namespace

std::optional<std::size_t> parse_thread_count(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::size_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::size_t choose_thread_count(const char* num_threads, const char* rs_num_cpus, std::size_t cpu_count) {
  std::size_t count = cpu_count;
  const auto primary = num_threads ? parse_thread_count(num_threads) : std::nullopt;
  const auto secondary = rs_num_cpus ? parse_thread_count(rs_num_cpus) : std::nullopt;
  if (primary) {
    if (*primary > 0) count = *primary;
  } else if (secondary && *secondary > 0) {
    count = *secondary;
  }
  return std::min(count, MAX_THREADS);
}

std::size_t available_cpus(std::size_t affinity_cpus, std::size_t online_cpus, std::optional<std::size_t> quota_cpus) {
  std::size_t count = affinity_cpus > 0 ? affinity_cpus : online_cpus;
  if (count == 0) count = 1;
  if (quota_cpus) count = std::min(count, *quota_cpus);
  return count;
}

std::size_t system_thread_count() {
  const std::size_t cpus = available_cpus(affinity_cpu_count(), online_cpu_count(), read_cgroup_cpu_quota());
  return choose_thread_count(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), cpus);
}

}  // namespace quorbell
