// How much memory a run can still count on.
#pragma once

#include <string>
#include <vector>

// One level of a control group, as the texts of its files: the memory limit
// ("max" when there is none), the memory in use, and the memory statistics
// (whose inactive file cache the kernel reclaims before it kills anything).
struct CgroupMemory {
  std::string limit, usage, stat;
};

// Bytes that new allocations can count on: MemAvailable of `meminfo` (the
// text of /proc/meminfo), lowered to the room left under every limit in
// `groups`. Negative when neither gives a figure.
double MemoryRoom(const std::string& meminfo, const std::vector<CgroupMemory>& groups);

// MemoryRoom for this process, from /proc and the control groups (version 2
// and version 1) it belongs to, each level up to the root.
double AvailableMemory();

// Linux grants large allocations it cannot back (overcommit) and kills the
// process when they are used, so work that needs more than this is refused
// up front: true when `bytes` fit in AvailableMemory, or, where that gives
// no figure, in the machine's memory.
bool MemoryCanHold(double bytes);
