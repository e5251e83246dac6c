// How many worker threads the pool starts.
//
// "RAYON_NUM_THREADS" first, then "RAYON_RS_NUM_CPUS", then the CPUs the
// process may run on; the result is capped at MAX_THREADS. The selection is
// a pure function of the variables' texts and the CPU count, so it is
// tested without touching the environment.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace quorbell {

// Far above any core count, and low enough that a stray setting cannot use
// up the host's process ids or address space.
inline constexpr std::size_t MAX_THREADS = 1024;

// An unsigned decimal count: an optional leading "+", then digits only
// (no spaces, no other sign) that fit in std::size_t.
std::optional<std::size_t> parse_thread_count(std::string_view text);

// The thread count from the two variables (null when unset) and the
// process's CPU count. A valid "RAYON_NUM_THREADS" of 0 selects the CPU
// count at once; an invalid one defers to "RAYON_RS_NUM_CPUS", of which
// only a value of 1 or more counts.
std::size_t choose_thread_count(const char* num_threads, const char* rs_num_cpus, std::size_t cpu_count);

// CPUs the process may run on: the affinity mask's size, or the online
// count when the mask is unknown (0) or empty, lowered to the control
// group's quota; 1 when nothing is known.
std::size_t available_cpus(std::size_t affinity_cpus, std::size_t online_cpus, std::optional<std::size_t> quota_cpus);

// choose_thread_count() applied to this process's environment and CPUs.
std::size_t system_thread_count();

}  // namespace quorbell
