#include "formats/memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The number after "key" at the start of a line of `text`, or -1.
double Field(const std::string& text, const char* key) {
  const size_t length = strlen(key);
  for (size_t at = 0; at < text.size();) {
    if (text.compare(at, length, key) == 0) return strtod(text.c_str() + at + length, nullptr);
    const size_t end = text.find('\n', at);
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return -1;
}

// A whole number of bytes, or -1 for "max", an empty text or anything else.
double Bytes(const std::string& text) {
  char* end = nullptr;
  const double value = strtod(text.c_str(), &end);
  if (end == text.c_str() || (*end != '\0' && *end != '\n')) return -1;
  return value;
}

// Adds the levels of the group at `path` (from /proc/self/cgroup) under the
// hierarchy mounted at `mount`, from the group itself up to the root. Levels
// that do not exist, as outside the container's view, read as empty texts.
void AddLevels(const std::string& mount, std::string path, const char* limit, const char* usage,
               std::vector<CgroupMemory>& groups) {
  while (true) {
    const std::string dir = mount + path + "/";
    groups.push_back({ReadText(dir + limit), ReadText(dir + usage), ReadText(dir + "memory.stat")});
    const size_t slash = path.rfind('/');
    if (path.empty() || slash == std::string::npos) break;
    path.erase(slash);
  }
}

}  // namespace

double MemoryRoom(const std::string& meminfo, const std::vector<CgroupMemory>& groups) {
  const double available_kb = Field(meminfo, "MemAvailable:");
  double room = available_kb >= 0 ? available_kb * 1024 : -1;
  for (const CgroupMemory& g : groups) {
    const double limit = Bytes(g.limit), usage = Bytes(g.usage);
    if (limit < 0 || usage < 0) continue;
    // Version 1 counts the whole subtree as total_inactive_file.
    double cache = Field(g.stat, "total_inactive_file ");
    if (cache < 0) cache = std::max(Field(g.stat, "inactive_file "), 0.0);
    const double left = std::max(limit - std::max(usage - cache, 0.0), 0.0);
    room = room < 0 ? left : std::min(room, left);
  }
  return room;
}

double AvailableMemory() {
  std::vector<CgroupMemory> groups;
  std::istringstream lines(ReadText("/proc/self/cgroup"));
  // Lines are "id:controllers:path"; version 2 has id 0 and no controllers.
  for (std::string line; std::getline(lines, line);) {
    const size_t first = line.find(':'), second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = "," + line.substr(first + 1, second - first - 1) + ",";
    std::string path = line.substr(second + 1);
    if (path == "/") path.clear();
    if (line.compare(0, first, "0") == 0 && controllers == ",,")
      AddLevels("/sys/fs/cgroup", path, "memory.max", "memory.current", groups);
    else if (controllers.find(",memory,") != std::string::npos)
      AddLevels("/sys/fs/cgroup/memory", path, "memory.limit_in_bytes", "memory.usage_in_bytes",
                groups);
  }
  return MemoryRoom(ReadText("/proc/meminfo"), groups);
}

bool MemoryCanHold(double bytes) {
  const double available = AvailableMemory();
  if (available >= 0) return bytes < available;
  const long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGESIZE);
  return pages <= 0 || page_size <= 0 || bytes < static_cast<double>(pages) * page_size;
}

void* AllocateBlock(size_t bytes) {
  const size_t kHugePage = size_t{2} << 20;
  if (bytes < kHugePage) return malloc(bytes > 0 ? bytes : 1);
  void* block = nullptr;
  if (posix_memalign(&block, kHugePage, bytes) != 0) return nullptr;
  (void)madvise(block, bytes, MADV_HUGEPAGE);
  return block;
}

