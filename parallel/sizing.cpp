#include "parallel/sizing.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <vector>

namespace vyr::parallel::detail {

namespace {

// One or more ASCII decimal digits and nothing else, of a value at most
// `limit`.  Only ASCII digits are accepted, so any byte of a multi-byte (or
// broken) UTF-8 sequence makes the text no number.
std::optional<std::uint64_t> parse_digits(std::string_view digits, std::uint64_t limit) noexcept {
  if (digits.empty()) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (limit - digit) / 10) {
      return std::nullopt;
    }
    value = value * 10 + digit;
  }
  return value;
}

// A signed decimal integer surrounded by optional blanks (the controller files
// end in a newline).
std::optional<long long> parse_integer(std::string_view text) noexcept {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  const bool negative = !text.empty() && text.front() == '-';
  if (negative) {
    text.remove_prefix(1);
  }
  const auto magnitude = parse_digits(text, std::numeric_limits<long long>::max());
  if (!magnitude) {
    return std::nullopt;
  }
  const auto value = static_cast<long long>(*magnitude);
  return negative ? -value : value;
}

std::optional<std::size_t> quota_over_period(long long quota, long long period) noexcept {
  if (quota < 0 || period <= 0) {
    return std::nullopt;
  }
  const long long cpus = quota / period;
  return static_cast<std::size_t>(cpus < 1 ? 1 : cpus);
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    if (end == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

// mountinfo writes blanks, tabs, newlines and backslashes in paths as \ooo.
std::string unescape_mount_path(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size()) {
      const char a = text[i + 1], b = text[i + 2], c = text[i + 3];
      if (a >= '0' && a <= '7' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
        out.push_back(static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0')));
        i += 3;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

bool has_token(std::string_view list, std::string_view token) {
  for (std::string_view item : split(list, ',')) {
    if (item == token) {
      return true;
    }
  }
  return false;
}

struct Mount {
  std::string root;
  std::string point;
};

// The mount of the cgroup v1 hierarchy carrying `cpu` (version 1) or of the
// unified hierarchy (version 2).
std::optional<Mount> find_mount(std::string_view mountinfo, bool version2) {
  for (std::string_view line : split(mountinfo, '\n')) {
    const std::size_t dash = line.find(" - ");
    if (dash == std::string_view::npos) {
      continue;
    }
    const std::vector<std::string_view> head = split(line.substr(0, dash), ' ');
    const std::vector<std::string_view> tail = split(line.substr(dash + 3), ' ');
    if (head.size() < 5 || tail.size() < 3) {
      continue;
    }
    if (version2) {
      if (tail[0] != "cgroup2") {
        continue;
      }
    } else {
      if (tail[0] != "cgroup" || !has_token(tail[2], "cpu")) {
        continue;
      }
    }
    return Mount{unescape_mount_path(head[3]), unescape_mount_path(head[4])};
  }
  return std::nullopt;
}

// Lowest quota on the path from the group's directory up to the mount point.
std::optional<std::size_t> walk_up(const Mount& mount, std::string_view group_path, bool version2,
                                   const FileReader& read) {
  std::string relative;
  if (mount.root == "/") {
    relative = std::string(group_path);
  } else if (group_path.substr(0, mount.root.size()) == mount.root &&
             (group_path.size() == mount.root.size() || group_path[mount.root.size()] == '/')) {
    relative = std::string(group_path.substr(mount.root.size()));
  }  // else the group lies outside what is mounted here: only the mount point is visible.
  while (!relative.empty() && relative.back() == '/') {
    relative.pop_back();
  }

  std::optional<std::size_t> lowest;
  for (;;) {
    const std::string dir = mount.point + relative;
    std::optional<std::size_t> here;
    if (version2) {
      if (auto text = read(dir + "/cpu.max")) {
        here = quota_from_cpu_max(*text);
      }
    } else {
      auto quota = read(dir + "/cpu.cfs_quota_us");
      auto period = read(dir + "/cpu.cfs_period_us");
      if (quota && period) {
        here = quota_from_cfs(*quota, *period);
      }
    }
    if (here && (!lowest || *here < *lowest)) {
      lowest = here;
    }
    if (relative.empty()) {
      return lowest;
    }
    const std::size_t slash = relative.rfind('/');
    relative.resize(slash == std::string::npos ? 0 : slash);
  }
}

std::optional<std::string> read_whole_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    return std::nullopt;
  }
  return text;
}

}  // namespace

std::optional<std::uint64_t> parse_count(const char* text) noexcept {
  if (text == nullptr) {
    return std::nullopt;
  }
  std::string_view digits(text);
  if (!digits.empty() && digits.front() == '+') {
    digits.remove_prefix(1);
  }
  return parse_digits(digits, std::numeric_limits<std::uint64_t>::max());
}

std::optional<std::size_t> quota_from_cpu_max(std::string_view contents) noexcept {
  while (!contents.empty() && (contents.back() == '\n' || contents.back() == ' ')) {
    contents.remove_suffix(1);
  }
  const std::size_t blank = contents.find(' ');
  if (blank == std::string_view::npos) {
    return std::nullopt;
  }
  const std::string_view quota = contents.substr(0, blank);
  if (quota == "max") {
    return std::nullopt;
  }
  auto q = parse_integer(quota);
  auto p = parse_integer(contents.substr(blank + 1));
  if (!q || !p) {
    return std::nullopt;
  }
  return quota_over_period(*q, *p);
}

std::optional<std::size_t> quota_from_cfs(std::string_view quota,
                                          std::string_view period) noexcept {
  auto q = parse_integer(quota);
  auto p = parse_integer(period);
  if (!q || !p) {
    return std::nullopt;
  }
  return quota_over_period(*q, *p);
}

std::optional<std::size_t> cgroup_cpu_limit(std::string_view proc_cgroup,
                                            std::string_view mountinfo, const FileReader& read) {
  std::optional<std::size_t> lowest;
  auto consider = [&](std::optional<std::size_t> limit) {
    if (limit && (!lowest || *limit < *lowest)) {
      lowest = limit;
    }
  };
  // A hybrid setup lists both versions; whichever carries a quota counts.
  for (std::string_view line : split(proc_cgroup, '\n')) {
    const std::size_t first = line.find(':');
    if (first == std::string_view::npos) {
      continue;
    }
    const std::size_t second = line.find(':', first + 1);
    if (second == std::string_view::npos) {
      continue;
    }
    const std::string_view id = line.substr(0, first);
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string_view path = line.substr(second + 1);
    const bool version2 = id == "0" && controllers.empty();
    if (!version2 && !has_token(controllers, "cpu")) {
      continue;
    }
    if (auto mount = find_mount(mountinfo, version2)) {
      consider(walk_up(*mount, path, version2, read));
    }
  }
  return lowest;
}

namespace {

// The CPU limit of the control group of the running process.
std::optional<std::size_t> process_cgroup_cpu_limit() {
  auto groups = read_whole_file("/proc/self/cgroup");
  auto mounts = read_whole_file("/proc/self/mountinfo");
  if (!groups || !mounts) {
    return std::nullopt;
  }
  return cgroup_cpu_limit(*groups, *mounts, read_whole_file);
}

// CPUs in the affinity mask, with a mask large enough for the machine.
std::size_t affinity_cpu_count() {
  for (int cpus = 1024; cpus <= (1 << 22); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) {
      return 0;
    }
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, set);
    if (sched_getaffinity(0, bytes, set) == 0) {
      const int count = CPU_COUNT_S(bytes, set);
      CPU_FREE(set);
      return count > 0 ? static_cast<std::size_t>(count) : 0;
    }
    const int error = errno;
    CPU_FREE(set);
    if (error != EINVAL) {
      return 0;
    }
  }
  return 0;
}

}  // namespace

std::size_t default_pool_size() {
  std::size_t cpus = affinity_cpu_count();
  if (cpus == 0) {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online > 0) {
      cpus = static_cast<std::size_t>(online);
    }
  }
  if (cpus == 0) {
    return 1;
  }
  if (auto limit = process_cgroup_cpu_limit()) {
    cpus = std::min(cpus, *limit);
  }
  return cpus;
}

std::size_t decide_pool_size(const char* num_threads, const char* num_cpus,
                             const std::function<std::size_t()>& fallback) {
  std::uint64_t wanted = 0;
  if (auto threads = parse_count(num_threads)) {
    wanted = *threads;  // zero: the default, and VYR_NUM_CPUS is not asked
  } else if (auto cpus = parse_count(num_cpus)) {
    wanted = *cpus;
  }
  std::size_t size = wanted > 0
                         ? static_cast<std::size_t>(std::min<std::uint64_t>(wanted, kMaxPoolSize))
                         : fallback();
  if (size == 0) {
    size = 1;
  }
  return std::min(size, kMaxPoolSize);
}

std::size_t pool_size_from_environment() {
  return decide_pool_size(std::getenv("VYR_NUM_THREADS"), std::getenv("VYR_NUM_CPUS"),
                          default_pool_size);
}

}  // namespace vyr::parallel::detail
