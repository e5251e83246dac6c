#include "parallel/cgroup_quota.h"

#include <charconv>
#include <fstream>
#include <sstream>
#include <vector>

namespace quorbell {

namespace {

std::string_view trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\n");
  return text.substr(first, last - first + 1);
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const auto at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

bool lists(std::string_view comma_list, std::string_view item) {
  for (std::string_view entry : split(comma_list, ',')) {
    if (entry == item) return true;
  }
  return false;
}

// The group's path in the cgroup file system: the mount shows the subtree
// below `root`, so the group's path relative to that root is appended to
// the mount point. A group outside the mounted subtree cannot be reached.
std::optional<std::string> group_directory(std::string_view mount_point, std::string_view root,
                                           std::string_view group) {
  if (root != "/") {
    if (!group.starts_with(root) || (group.size() > root.size() && group[root.size()] != '/')) {
      return std::nullopt;
    }
    group.remove_prefix(root.size());
  }
  std::string path(mount_point);
  if (group != "/") path += group;
  return path;
}

struct Mount {
  std::string_view root;
  std::string_view mount_point;
  std::string_view fs_type;
  std::string_view super_options;
};

// A mountinfo line: ID PARENT MAJ:MIN ROOT MOUNT_POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER_OPTIONS
std::optional<Mount> parse_mount(std::string_view line) {
  const std::vector<std::string_view> fields = split(line, ' ');
  std::size_t dash = 6;
  while (dash < fields.size() && fields[dash] != "-") ++dash;
  if (dash + 3 >= fields.size()) return std::nullopt;
  return Mount{fields[3], fields[4], fields[dash + 1], fields[dash + 3]};
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream file(path);
  if (!file) return std::nullopt;
  std::ostringstream contents;
  contents << file.rdbuf();
  if (file.bad()) return std::nullopt;
  return contents.str();
}

}  // namespace

std::optional<std::size_t> quota_in_cpus(std::int64_t quota, std::int64_t period) {
  if (quota <= 0 || period <= 0) return std::nullopt;
  const std::int64_t cpus = quota / period;
  return static_cast<std::size_t>(cpus < 1 ? 1 : cpus);
}

std::optional<std::int64_t> parse_cgroup_integer(std::string_view text) {
  text = trim(text);
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::optional<std::size_t> parse_cpu_max(std::string_view text) {
  const std::vector<std::string_view> fields = split(trim(text), ' ');
  if (fields.size() != 2 || fields[0] == "max") return std::nullopt;
  const auto quota = parse_cgroup_integer(fields[0]);
  const auto period = parse_cgroup_integer(fields[1]);
  if (!quota || !period) return std::nullopt;
  return quota_in_cpus(*quota, *period);
}

std::optional<CpuCgroupDir> find_cpu_cgroup(std::string_view proc_cgroup, std::string_view mountinfo) {
  // /proc/self/cgroup lines: HIERARCHY:CONTROLLERS:PATH; v2 is "0::PATH".
  std::optional<std::string_view> v1_group, v2_group;
  for (std::string_view line : split(proc_cgroup, '\n')) {
    const auto first = line.find(':');
    if (first == std::string_view::npos) continue;
    const auto second = line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view hierarchy = line.substr(0, first);
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string_view path = line.substr(second + 1);
    if (lists(controllers, "cpu")) v1_group = path;
    if (hierarchy == "0" && controllers.empty()) v2_group = path;
  }

  std::optional<CpuCgroupDir> unified;
  for (std::string_view line : split(mountinfo, '\n')) {
    const auto mount = parse_mount(line);
    if (!mount) continue;
    if (v1_group && mount->fs_type == "cgroup" && lists(mount->super_options, "cpu")) {
      const auto path = group_directory(mount->mount_point, mount->root, *v1_group);
      if (path) return CpuCgroupDir{*path, false};
    }
    if (v2_group && !unified && mount->fs_type == "cgroup2") {
      const auto path = group_directory(mount->mount_point, mount->root, *v2_group);
      if (path) unified = CpuCgroupDir{*path, true};
    }
  }
  return unified;
}

std::optional<std::size_t> read_cgroup_cpu_quota() {
  const auto proc_cgroup = read_file("/proc/self/cgroup");
  const auto mountinfo = read_file("/proc/self/mountinfo");
  if (!proc_cgroup || !mountinfo) return std::nullopt;
  const auto dir = find_cpu_cgroup(*proc_cgroup, *mountinfo);
  if (!dir) return std::nullopt;
  if (dir->unified) {
    const auto cpu_max = read_file(dir->path + "/cpu.max");
    return cpu_max ? parse_cpu_max(*cpu_max) : std::nullopt;
  }
  const auto quota = read_file(dir->path + "/cpu.cfs_quota_us");
  const auto period = read_file(dir->path + "/cpu.cfs_period_us");
  if (!quota || !period) return std::nullopt;
  const auto quota_value = parse_cgroup_integer(*quota);
  const auto period_value = parse_cgroup_integer(*period);
  if (!quota_value || !period_value) return std::nullopt;
  return quota_in_cpus(*quota_value, *period_value);
}

}  // namespace quorbell
