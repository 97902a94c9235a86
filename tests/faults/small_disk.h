#pragma once
// The spool folder on a file system of its own, a small tmpfs, so that the run can fill
// it up and free it again. Mounting needs root; without it the folder stays a plain one
// and Available() says so.

#include <filesystem>
#include <string>

namespace orvelgate::faults {

class SmallDisk {
 public:
  SmallDisk(std::filesystem::path folder, std::size_t bytes);
  ~SmallDisk();  // unmounts
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  bool Available() const { return mounted_; }
  const std::string& WhyNot() const { return whyNot_; }
  // Writes a filler file until the file system refuses more; Free deletes it.
  void Fill();
  void Free();

 private:
  std::filesystem::path folder_;
  bool mounted_ = false;
  std::string whyNot_;
};

}  // namespace orvelgate::faults
