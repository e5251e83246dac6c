#include "parallel/thread_count.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <ostream>
#include <string>

#include "parallel/cgroup_quota.h"

namespace quorbell {
namespace {

struct ParseCase {
  const char* text;
  std::optional<std::size_t> expected;
};

void PrintTo(const ParseCase& c, std::ostream* out) { *out << '"' << c.text << '"'; }

class ParseThreadCount : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseThreadCount, UnsignedDecimalWithOptionalPlus) {
  EXPECT_EQ(parse_thread_count(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Texts, ParseThreadCount,
                         ::testing::Values(ParseCase{"3", 3}, ParseCase{"+3", 3}, ParseCase{"0", 0},
                                           ParseCase{"007", 7}, ParseCase{"65536", 65536},
                                           ParseCase{"18446744073709551615", SIZE_MAX},
                                           ParseCase{"18446744073709551616", std::nullopt},  // overflows
                                           ParseCase{"abc", std::nullopt}, ParseCase{"-1", std::nullopt},
                                           ParseCase{"-0", std::nullopt}, ParseCase{" 3", std::nullopt},
                                           ParseCase{"3 ", std::nullopt}, ParseCase{"", std::nullopt},
                                           ParseCase{"+", std::nullopt}, ParseCase{"++3", std::nullopt},
                                           ParseCase{"3x", std::nullopt}, ParseCase{"0x10", std::nullopt}));

struct ChooseCase {
  const char* num_threads;  // null: unset
  const char* rs_num_cpus;
  std::size_t cpus;
  std::size_t expected;
};

void PrintTo(const ChooseCase& c, std::ostream* out) {
  *out << (c.num_threads ? c.num_threads : "unset") << '/' << (c.rs_num_cpus ? c.rs_num_cpus : "unset") << '/'
       << c.cpus;
}

class ChooseThreadCount : public ::testing::TestWithParam<ChooseCase> {};

TEST_P(ChooseThreadCount, FirstValidSourceWins) {
  const ChooseCase& c = GetParam();
  EXPECT_EQ(choose_thread_count(c.num_threads, c.rs_num_cpus, c.cpus), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Sources, ChooseThreadCount,
                         ::testing::Values(ChooseCase{nullptr, nullptr, 4, 4}, ChooseCase{"3", "5", 4, 3},
                                           ChooseCase{"+3", nullptr, 4, 3},
                                           // A valid 0 means the CPU count at once, whatever comes next.
                                           ChooseCase{"0", "5", 4, 4},
                                           // Invalid texts fall through to the next source.
                                           ChooseCase{"abc", "5", 4, 5}, ChooseCase{"-1", "5", 4, 5},
                                           ChooseCase{" 3", "5", 4, 5}, ChooseCase{"", "5", 4, 5},
                                           ChooseCase{nullptr, "5", 4, 5}, ChooseCase{nullptr, "0", 4, 4},
                                           ChooseCase{nullptr, "x", 4, 4}, ChooseCase{"x", "x", 4, 4},
                                           // Capped, whichever source chose.
                                           ChooseCase{"1025", nullptr, 4, 1024}, ChooseCase{nullptr, "65536", 4, 1024},
                                           ChooseCase{nullptr, nullptr, 100000, 1024}));

struct CpuCase {
  std::size_t affinity;
  std::size_t online;
  std::optional<std::size_t> quota;
  std::size_t expected;
};

void PrintTo(const CpuCase& c, std::ostream* out) {
  *out << c.affinity << '/' << c.online << '/' << (c.quota ? std::to_string(*c.quota) : "none");
}

class AvailableCpus : public ::testing::TestWithParam<CpuCase> {};

TEST_P(AvailableCpus, MaskOrOnlineLoweredToQuota) {
  const CpuCase& c = GetParam();
  EXPECT_EQ(available_cpus(c.affinity, c.online, c.quota), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Counts, AvailableCpus,
                         ::testing::Values(CpuCase{2, 8, std::nullopt, 2}, CpuCase{0, 8, std::nullopt, 8},
                                           CpuCase{0, 0, std::nullopt, 1}, CpuCase{8, 8, 3, 3}, CpuCase{2, 8, 3, 2},
                                           CpuCase{0, 0, 3, 1}));

TEST(SystemThreadCount, ReadsTheVariables) {
  ::setenv("RAYON_NUM_THREADS", "+7", 1);
  ::setenv("RAYON_RS_NUM_CPUS", "5", 1);
  EXPECT_EQ(system_thread_count(), 7u);
  ::setenv("RAYON_NUM_THREADS", " 7", 1);
  EXPECT_EQ(system_thread_count(), 5u);
  ::unsetenv("RAYON_NUM_THREADS");
  ::unsetenv("RAYON_RS_NUM_CPUS");
  EXPECT_GE(system_thread_count(), 1u);
}

TEST(CgroupQuota, QuotaOverPeriodRoundedDownAtLeastOne) {
  EXPECT_EQ(quota_in_cpus(200000, 100000), 2u);
  EXPECT_EQ(quota_in_cpus(150000, 100000), 1u);
  EXPECT_EQ(quota_in_cpus(50000, 100000), 1u);
  EXPECT_EQ(quota_in_cpus(-1, 100000), std::nullopt);
  EXPECT_EQ(quota_in_cpus(50000, 0), std::nullopt);
}

TEST(CgroupQuota, CpuMaxTexts) {
  EXPECT_EQ(parse_cpu_max("max 100000\n"), std::nullopt);
  EXPECT_EQ(parse_cpu_max("350000 100000\n"), 3u);
  EXPECT_EQ(parse_cpu_max("garbage"), std::nullopt);
  EXPECT_EQ(parse_cpu_max("1 2 3"), std::nullopt);
  EXPECT_EQ(parse_cgroup_integer(" -1\n"), -1);
  EXPECT_EQ(parse_cgroup_integer("12a"), std::nullopt);
  EXPECT_EQ(parse_cgroup_integer("\n"), std::nullopt);
}

struct CgroupCase {
  const char* name;
  const char* proc_cgroup;
  const char* mountinfo;
  std::optional<std::string> path;  // nullopt: no directory found
  bool unified;
};

class FindCpuCgroup : public ::testing::TestWithParam<CgroupCase> {};

TEST_P(FindCpuCgroup, LocatesTheControllerDirectory) {
  const CgroupCase& c = GetParam();
  const auto dir = find_cpu_cgroup(c.proc_cgroup, c.mountinfo);
  ASSERT_EQ(dir.has_value(), c.path.has_value());
  if (!dir) return;
  EXPECT_EQ(dir->path, *c.path);
  EXPECT_EQ(dir->unified, c.unified);
}

constexpr const char* HYBRID_CGROUP = "4:memory:/m\n2:cpuacct:/\n1:cpu,cpuacct:/jobs/7\n0::/user\n";
constexpr const char* HYBRID_MOUNTS =
    "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
    "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime shared:9 - cgroup2 cgroup2 rw\n"
    "33 31 0:30 / /sys/fs/cgroup/cpuacct rw,relatime - cgroup cgroup rw,cpuacct\n"
    "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw,relatime shared:5 - cgroup cgroup rw,cpu,cpuacct\n";

INSTANTIATE_TEST_SUITE_P(
    Layouts, FindCpuCgroup,
    ::testing::Values(
        CgroupCase{"v1_wins_over_unified", HYBRID_CGROUP, HYBRID_MOUNTS, "/sys/fs/cgroup/cpu,cpuacct/jobs/7", false},
        CgroupCase{"v2_only", "0::/user.slice/app\n", "22 1 0:20 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw,nsdelegate\n",
                   "/sys/fs/cgroup/user.slice/app", true},
        CgroupCase{"v2_root_group", "0::/\n", "22 1 0:20 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n", "/sys/fs/cgroup",
                   true},
        // A mount that shows a subtree: the group's path is taken relative to it.
        CgroupCase{"mount_of_a_subtree", "3:cpu:/docker/abc\n",
                   "50 1 0:29 /docker/abc /sys/fs/cgroup/cpu ro - cgroup cgroup rw,cpu\n", "/sys/fs/cgroup/cpu", false},
        CgroupCase{"group_outside_the_mount", "3:cpu:/other\n",
                   "50 1 0:29 /docker /sys/fs/cgroup/cpu ro - cgroup cgroup rw,cpu\n", std::nullopt, false},
        CgroupCase{"prefix_is_not_a_parent", "3:cpu:/dockerx\n",
                   "50 1 0:29 /docker /sys/fs/cgroup/cpu ro - cgroup cgroup rw,cpu\n", std::nullopt, false},
        // cpuacct alone is not the cpu controller.
        CgroupCase{"no_cpu_controller", "2:cpuacct:/\n",
                   "33 31 0:30 / /sys/fs/cgroup/cpuacct rw - cgroup cgroup rw,cpuacct\n", std::nullopt, false},
        CgroupCase{"nothing_mounted", HYBRID_CGROUP, "", std::nullopt, false},
        CgroupCase{"malformed_lines", "garbage\n1:cpu\n", "1 2 3\n- - -\n", std::nullopt, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorbell
