#include "common/log_rotation.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "common/ini_file.h"

namespace orvelgate {
namespace {

std::atomic<uint64_t> g_logMaxSize{kDefaultLogMaxSize};

// The size test and the rename are one step, so that a second caller that saw the same
// full log finds the fresh (missing or small) file and does not move it over the first
// generation.
std::mutex g_rotationMutex;

}  // namespace

bool RotateIfLarger(const std::string& path, uint64_t limit) {
  std::lock_guard lock(g_rotationMutex);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (static_cast<uint64_t>(st.st_size) < limit) return false;
  return std::rename(path.c_str(), (path + ".1").c_str()) == 0;
}

uint64_t LogMaxSize() { return g_logMaxSize.load(std::memory_order_relaxed); }

void SetLogMaxSize(uint64_t bytes) {
  g_logMaxSize.store(bytes == 0 ? kDefaultLogMaxSize : bytes, std::memory_order_relaxed);
}

uint64_t ReadLogMaxSize(const IniFile& ini) {
  const int32_t value = ini.ReadInteger("main", "LogMaxSize", 0);
  return value > 0 ? static_cast<uint64_t>(value) : kDefaultLogMaxSize;
}

}  // namespace orvelgate
