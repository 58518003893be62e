// How much memory a run can still count on, and large blocks of it.
#pragma once

#include <cstdlib>
#include <memory>
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

struct FreeDeleter {
  void operator()(void* p) const { free(p); }
};

// A block from AllocateBlock; null when the allocation failed.
template <typename T>
using HeapArray = std::unique_ptr<T[], FreeDeleter>;

// `bytes` of uninitialised memory, or null. Blocks of 2 MiB or more start on
// a 2 MiB boundary and are offered to the kernel for transparent huge pages:
// a fresh block is otherwise touched in 4 KiB pages, one page fault each,
// and those faults cost far more than the work done on the samples. The
// advice is only a hint: where huge pages are not available the block works
// the same in small pages.
void* AllocateBlock(size_t bytes);

// `count` elements of T, uninitialised; null when they do not fit.
template <typename T>
HeapArray<T> Allocate(long count) {
  if (count < 0 || static_cast<size_t>(count) > static_cast<size_t>(-1) / sizeof(T))
    return HeapArray<T>();
  return HeapArray<T>(static_cast<T*>(AllocateBlock(static_cast<size_t>(count) * sizeof(T))));
}
