// How many worker threads the process-wide pool gets.
//
// The pieces are split apart so that each rule can be checked on its own: the
// parse of one environment value, the control-group quota found in a given set
// of files, and the decision that combines them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vyr::parallel::detail {

// Largest pool the engine builds; larger requests are lowered to it.
inline constexpr std::size_t kMaxPoolSize = 65535;

// An unsigned decimal count: an optional leading '+', then one or more ASCII
// digits and nothing else, at most 2^64 - 1.  Anything else is no count.
std::optional<std::uint64_t> parse_count(const char* text) noexcept;

// The CPU count allowed by a cgroup v2 `cpu.max` file ("max 100000" or
// "<quota> <period>"): quota / period rounded down, at least 1; nothing when
// unlimited or unreadable.
std::optional<std::size_t> quota_from_cpu_max(std::string_view contents) noexcept;

// The same for a cgroup v1 pair of `cpu.cfs_quota_us` and `cpu.cfs_period_us`
// (a negative quota means unlimited).
std::optional<std::size_t> quota_from_cfs(std::string_view quota, std::string_view period) noexcept;

// Reads a whole file; nothing if it cannot be read.
using FileReader = std::function<std::optional<std::string>(const std::string& path)>;

// The CPU limit of the control group that the process belongs to, given the
// text of /proc/self/cgroup and /proc/self/mountinfo and a way to read the
// controller files.  Every level from the process's group up to the root of
// the mounted hierarchy can carry a quota; the smallest one applies.
std::optional<std::size_t> cgroup_cpu_limit(std::string_view proc_cgroup,
                                            std::string_view mountinfo, const FileReader& read);

// CPUs the process may run on: the affinity mask, else the online processors,
// lowered to the cgroup quota; 1 when nothing can be found.
std::size_t default_pool_size();

// The pool size from the two environment values (null when unset).  A
// positive VYR_NUM_THREADS wins; zero there selects the default without
// looking at VYR_NUM_CPUS; otherwise a positive VYR_NUM_CPUS; otherwise the
// default.  The result is capped at kMaxPoolSize.
std::size_t decide_pool_size(const char* num_threads, const char* num_cpus,
                             const std::function<std::size_t()>& fallback);

// decide_pool_size with the process environment and default_pool_size.
std::size_t pool_size_from_environment();

}  // namespace vyr::parallel::detail
