// How big the pool gets: the parse of the two environment values, the
// decision between them and the default, the control-group quota, and the
// real pool built in fresh child processes with the variables set.
#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include "check.hpp"
#include "parallel/engine.hpp"
#include "parallel/sizing.hpp"
#include "parallel/testing.hpp"

namespace detail = vyr::parallel::detail;

namespace {

void parse_rules() {
  using detail::parse_count;
  CHECK(parse_count("4") == 4u);
  CHECK(parse_count("+4") == 4u);
  CHECK(parse_count("0") == 0u);
  CHECK(parse_count("+0") == 0u);
  CHECK(parse_count("007") == 7u);
  CHECK(parse_count("18446744073709551615") == 18446744073709551615ull);
  CHECK(!parse_count("18446744073709551616"));
  CHECK(!parse_count("99999999999999999999"));
  for (const char* bad : {"", "+", "++4", "-1", "-0", " 4", "4 ", "4\n", "abc", "4a", "0x10", "1e3",
                          "\xef\xbc\x94", "4\xff", "\xc3\xa9"}) {
    CHECK_MSG(!parse_count(bad), std::string("accepted '") + bad + "'");
  }
  CHECK(!parse_count(nullptr));
}

void decision() {
  int defaults_asked = 0;
  auto fallback = [&] {
    ++defaults_asked;
    return std::size_t{6};
  };
  auto decide = [&](const char* threads, const char* cpus) {
    return detail::decide_pool_size(threads, cpus, fallback);
  };
  CHECK(decide("4", "3") == 4);
  CHECK(decide("+4", nullptr) == 4);
  CHECK(decide("0", "3") == 6);  // zero selects the default and skips VYR_NUM_CPUS
  CHECK(decide("+0", "3") == 6);
  for (const char* bad : {"abc", " 4", "-1", "", "4.0"}) {
    CHECK(decide(bad, "3") == 3);
  }
  CHECK(decide(nullptr, "3") == 3);
  CHECK(decide(nullptr, "0") == 6);
  CHECK(decide(nullptr, "x") == 6);
  CHECK(decide(nullptr, nullptr) == 6);
  CHECK(decide("abc", "") == 6);
  CHECK(decide("100000", nullptr) == 65535);
  CHECK(decide(nullptr, "65536") == 65535);
  CHECK(decide("65535", nullptr) == 65535);
  CHECK(decide("18446744073709551615", nullptr) == 65535);
  defaults_asked = 0;
  decide("5", "7");
  decide(nullptr, "7");
  CHECK(defaults_asked == 0);  // the default is only worked out when needed
  CHECK(detail::decide_pool_size(nullptr, nullptr, [] { return std::size_t{100000}; }) == 65535);
  CHECK(detail::decide_pool_size(nullptr, nullptr, [] { return std::size_t{0}; }) == 1);
  const std::size_t machine = detail::default_pool_size();
  CHECK(machine >= 1 && machine <= 65535);
}

void quotas() {
  using detail::quota_from_cfs;
  using detail::quota_from_cpu_max;
  CHECK(!quota_from_cpu_max("max 100000\n"));
  CHECK(quota_from_cpu_max("400000 100000\n") == 4u);
  CHECK(quota_from_cpu_max("150000 100000") == 1u);
  CHECK(quota_from_cpu_max("50000 100000\n") == 1u);  // a fraction of a CPU is still one
  CHECK(!quota_from_cpu_max("garbage"));
  CHECK(!quota_from_cpu_max("100 0"));
  CHECK(!quota_from_cfs("-1\n", "100000\n"));
  CHECK(quota_from_cfs("250000\n", "100000\n") == 2u);
  CHECK(!quota_from_cfs("", "100000"));

  // A fake file system for the hierarchy walk.
  std::map<std::string, std::string> files;
  auto reader = [&](const std::string& path) -> std::optional<std::string> {
    auto it = files.find(path);
    if (it == files.end()) {
      return std::nullopt;
    }
    return it->second;
  };
  const std::string v1_mounts =
      "31 23 0:28 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n"
      "32 31 0:29 /docker/abc /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n"
      "33 31 0:30 / /sys/fs/cgroup/cpuset rw - cgroup cgroup rw,cpuset\n";
  const std::string v1_groups = "4:cpuset:/docker/abc\n3:cpu,cpuacct:/docker/abc\n0::/\n";
  // Inside a container: the group's own directory is the mount point.
  files["/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us"] = "300000\n";
  files["/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us"] = "100000\n";
  CHECK(detail::cgroup_cpu_limit(v1_groups, v1_mounts, reader) == 3u);
  files["/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us"] = "-1\n";
  CHECK(!detail::cgroup_cpu_limit(v1_groups, v1_mounts, reader));

  // Version 2, with a tighter limit on a parent group than on the leaf.
  const std::string v2_mounts = "40 23 0:38 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n";
  const std::string v2_groups = "0::/user.slice/app/worker\n";
  files.clear();
  files["/sys/fs/cgroup/user.slice/app/worker/cpu.max"] = "max 100000\n";
  files["/sys/fs/cgroup/user.slice/app/cpu.max"] = "200000 100000\n";
  files["/sys/fs/cgroup/user.slice/cpu.max"] = "800000 100000\n";
  CHECK(detail::cgroup_cpu_limit(v2_groups, v2_mounts, reader) == 2u);
  files["/sys/fs/cgroup/user.slice/app/cpu.max"] = "max 100000\n";
  CHECK(detail::cgroup_cpu_limit(v2_groups, v2_mounts, reader) == 8u);
  files.clear();
  CHECK(!detail::cgroup_cpu_limit(v2_groups, v2_mounts, reader));

  // Mount points with escaped blanks, and hierarchies without a cpu controller.
  files["/mnt/my cg/g/cpu.max"] = "100000 50000\n";
  CHECK(detail::cgroup_cpu_limit("0::/g\n", "40 23 0:38 / /mnt/my\\040cg rw - cgroup2 none rw\n",
                                 reader) == 2u);
  CHECK(!detail::cgroup_cpu_limit("4:memory:/x\n", v1_mounts, reader));
  CHECK(!detail::cgroup_cpu_limit("", "", reader));
}

// Builds the process-wide pool in a child process with the environment set
// as given (null: unset) and returns its size, or -1.
long pool_in_child(const char* threads, const char* cpus) {
  const int status = engine_test::in_child([&] {
    alarm(20);
    if (threads) {
      setenv("VYR_NUM_THREADS", threads, 1);
    } else {
      unsetenv("VYR_NUM_THREADS");
    }
    if (cpus) {
      setenv("VYR_NUM_CPUS", cpus, 1);
    } else {
      unsetenv("VYR_NUM_CPUS");
    }
    const std::size_t size = vyr::parallel::pool_size();
    // Read once: later changes do not matter.
    setenv("VYR_NUM_THREADS", "1", 1);
    if (vyr::parallel::pool_size() != size) {
      return 255;
    }
    return static_cast<int>(size > 250 ? 250 : size);
  });
  return status;
}

void real_pool_sizes() {
  const long machine = static_cast<long>(detail::default_pool_size());
  CHECK(pool_in_child("4", nullptr) == 4);
  CHECK(pool_in_child("+4", "2") == 4);
  CHECK(pool_in_child("0", "3") == machine);
  CHECK(pool_in_child("abc", "3") == 3);
  CHECK(pool_in_child(" 4", "3") == 3);
  CHECK(pool_in_child("-1", "3") == 3);
  CHECK(pool_in_child("", "3") == 3);
  CHECK(pool_in_child(nullptr, "3") == 3);
  CHECK(pool_in_child(nullptr, nullptr) == machine);
  CHECK(pool_in_child("1", nullptr) == 1);
}

}  // namespace

int main() {
  using engine_test::group;
  group("parse of the environment values", parse_rules);
  group("choice between the variables and the default", decision);
  group("control group quotas", quotas);
  group("real pools in child processes", real_pool_sizes);
  return engine_test::summary("engine_sizing");
}
