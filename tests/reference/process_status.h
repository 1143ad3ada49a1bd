// Figures of this process read from /proc, for resource tests and benchmarks.
#pragma once
#include <dirent.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>

namespace vorn::test {

// A field of /proc/self/status in bytes ("VmRSS", "VmHWM"); 0 if absent.
inline uint64_t status_bytes(const std::string& field) {
  std::ifstream in("/proc/self/status");
  std::string key;
  uint64_t kib = 0;
  while (in >> key) {
    if (key == field + ":") {
      in >> kib;
      return kib * 1024;
    }
    in.ignore(1 << 20, '\n');
  }
  return 0;
}

// CPU time (clock ticks) of this process's threads of that name, and how
// many there are.
inline std::pair<long, int> thread_ticks(const std::string& thread_name) {
  long ticks = 0;
  int threads = 0;
  DIR* d = opendir("/proc/self/task");
  if (d == nullptr) return {0, 0};
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::string base = std::string("/proc/self/task/") + e->d_name;
    std::ifstream comm(base + "/comm");
    std::string name;
    std::getline(comm, name);
    if (name != thread_name) continue;
    ++threads;
    std::ifstream stat(base + "/stat");
    std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the parenthesised name: state is field 3, utime 14, stime 15.
    std::istringstream rest(all.substr(all.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 15 && rest >> field; ++i)
      if (i >= 14) ticks += std::stol(field);
  }
  closedir(d);
  return {ticks, threads};
}

}  // namespace vorn::test
