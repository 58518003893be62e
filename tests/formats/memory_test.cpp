// The memory a run can count on, from the texts of /proc/meminfo and of the
// control-group files.
#include "formats/memory.h"

#include <gtest/gtest.h>

namespace {

TEST(Memory, AvailableMemoryLoweredByEveryControlGroupLimit) {
  // A 25.3 GB machine with 24.3 GB available.
  const std::string info = "MemTotal:       24683784 kB\nMemAvailable:   23730000 kB\n";
  const double kAvailable = 23730000.0 * 1024, kGiB = 1 << 30;
  const CgroupMemory none{"", "", ""}, v2_unlimited{"max\n", "1000\n", ""};
  const CgroupMemory v1_unlimited{"9223372036854771712\n", "593801216\n", ""};
  // 8 GiB and 4 GiB, each with 1 GiB of its use inactive file cache (reclaimable).
  const CgroupMemory v2{"8589934592\n", "3221225472\n", "anon 1\ninactive_file 1073741824\n"};
  const CgroupMemory v1{"4294967296\n", "2147483648\n", "inactive_file 5\ntotal_inactive_file 1073741824\n"};
  const struct {
    std::string meminfo;
    std::vector<CgroupMemory> groups;
    double expected;
  } cases[] = {
      {info, {none, v2_unlimited, v1_unlimited}, kAvailable}, {info, {v2, v2_unlimited}, 6 * kGiB},
      {info, {v2_unlimited, v2, v1}, 3 * kGiB}, {info, {{"1073741824", "2147483648", ""}}, 0},
      {"MemTotal: 100 kB\n", {}, -1},
  };
  for (const auto& c : cases) EXPECT_EQ(MemoryRoom(c.meminfo, c.groups), c.expected);
}

}  // namespace
