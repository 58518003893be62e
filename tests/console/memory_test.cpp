// The memory a run can count on, from the texts of /proc/meminfo and of the
// control-group files.
#include "console/memory.h"

#include <gtest/gtest.h>

namespace {

TEST(Memory, AvailableMemoryLoweredByEveryControlGroupLimit) {
  // A 25.3 GB machine with 24.3 GB available.
  const std::string meminfo =
      "MemTotal:       24683784 kB\nMemFree:        23896360 kB\nMemAvailable:   23730000 kB\n";
  const double kAvailable = 23730000.0 * 1024, kGiB = 1 << 30;
  const CgroupMemory none{"", "", ""}, unlimited{"max\n", "1000000\n", "inactive_file 0\n"};
  const CgroupMemory v1_unlimited{"9223372036854771712\n", "593801216\n", ""};
  const CgroupMemory v2{"8589934592\n", "3221225472\n", "anon 1\ninactive_file 1073741824\n"};
  const CgroupMemory v1{"4294967296\n", "2147483648\n",
                        "inactive_file 5\ntotal_inactive_file 1073741824\n"};
  const CgroupMemory over{"1073741824\n", "2147483648\n", ""};
  const struct {
    std::string meminfo;
    std::vector<CgroupMemory> groups;
    double expected;
  } cases[] = {
      {meminfo, {}, kAvailable},
      {meminfo, {none, unlimited, v1_unlimited}, kAvailable},
      {meminfo, {v2, unlimited}, 6 * kGiB},      // the inactive file cache is reclaimed
      {meminfo, {unlimited, v2, v1}, 3 * kGiB},  // the tightest level counts
      {meminfo, {over}, 0},
      {"MemTotal: 100 kB\n", {}, -1},
      {"", {v2}, 6 * kGiB},
  };
  for (const auto& c : cases) EXPECT_EQ(MemoryRoom(c.meminfo, c.groups), c.expected);
}

}  // namespace
