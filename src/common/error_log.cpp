#include "common/error_log.h"

#include <cstdio>

#include "common/cp1251.h"
#include "common/log_rotation.h"

namespace orvelgate {

bool LogError(int number, const std::string& file) {
  const std::string line = Utf8ToCp1251("ошибка №") + std::to_string(number) + "\r\n";
  RotateIfLarger(file, LogMaxSize());
  std::FILE* f = std::fopen(file.c_str(), "ab");
  if (!f) return false;
  const bool written = std::fwrite(line.data(), 1, line.size(), f) == line.size();
  return std::fclose(f) == 0 && written;
}

}  // namespace orvelgate
