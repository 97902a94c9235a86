#pragma once
// A fresh temporary folder for one test, removed with everything in it at the end.
// The process's working directory can be moved into it for code that uses relative
// names (the packet log, the error log, orvelgate.ini).

#include <filesystem>
#include <string>
#include <vector>

namespace orvelgate::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Changes the working directory for its lifetime.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::filesystem::path& dir);
  ~ScopedCwd();

 private:
  std::filesystem::path previous_;
};

std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& file);
void WriteFileBytes(const std::filesystem::path& file, const std::vector<uint8_t>& bytes);
std::string ReadFileText(const std::filesystem::path& file);
void WriteFileText(const std::filesystem::path& file, const std::string& text);

}  // namespace orvelgate::testing
