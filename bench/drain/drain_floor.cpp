// drain_floor: the floor under the driver's spool drain. It takes the .dd8 files of a
// folder oldest first (modification time, then name) and for each one reads it, sends
// its message (the type in the first 4 bytes, the payload after them) to the T8 server,
// reads the reply and deletes the file on an EventAck: one message in flight, the next
// written as soon as the reply is read, no pause (bench/support/lockstep_client.h).
// drain.py runs it against the same server, through the same link, as the driver.
//
//   drain_floor --folder PATH --port PORT
//
// Prints "FLOOR files=<n> acknowledged=<n> seconds=<s> files_per_second=<r>", where the
// seconds run from the first file's reply to the last one's (the rate over n - 1 gaps,
// as drain.py counts the driver's).

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "common/le_bytes.h"
#include "lockstep_client.h"
#include "t8link/t8_frames.h"

namespace {

namespace fs = std::filesystem;
using namespace orvelgate;
using Steady = std::chrono::steady_clock;

struct SpoolFile {
  int64_t mtimeNs = 0;
  std::string path;
  bool operator<(const SpoolFile& o) const { return std::tie(mtimeNs, path) < std::tie(o.mtimeNs, o.path); }
};

std::vector<SpoolFile> OldestFirst(const fs::path& folder) {
  std::vector<SpoolFile> files;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().extension() != ".dd8") continue;
    struct stat st {};
    if (stat(entry.path().c_str(), &st) != 0) continue;
    files.push_back({st.st_mtim.tv_sec * 1'000'000'000LL + st.st_mtim.tv_nsec, entry.path().string()});
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
  std::string folder;
  int port = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--folder") folder = argv[i + 1];
    else if (arg == "--port") port = std::atoi(argv[i + 1]);
  }
  if (folder.empty() || port <= 0) {
    std::fprintf(stderr, "usage: drain_floor --folder PATH --port PORT\n");
    return 2;
  }
  bench::LockstepClient client("127.0.0.1", port);
  if (!client.Exchange(T8Type::Hello, HelloPayload())) {  // the server's first answer is the login
    std::fprintf(stderr, "drain_floor: no answer from port %d\n", port);
    return 1;
  }
  const auto files = OldestFirst(folder);
  int acknowledged = 0;
  Steady::time_point first, last;
  for (const SpoolFile& file : files) {
    const std::vector<uint8_t> bytes = ReadAll(file.path);
    if (bytes.size() < 4) continue;
    const auto reply = client.Exchange(*LeReader(bytes).I32(0), std::span(bytes).subspan(4));
    if (!reply) {
      std::fprintf(stderr, "drain_floor: the link failed after %d files\n", acknowledged);
      return 1;
    }
    last = Steady::now();
    if (*reply != T8Type::EventAck) continue;
    fs::remove(file.path);
    if (acknowledged++ == 0) first = last;
  }
  const double seconds = std::chrono::duration<double>(last - first).count();
  std::printf("FLOOR files=%zu acknowledged=%d seconds=%.3f files_per_second=%.1f\n", files.size(), acknowledged,
              seconds, seconds > 0 ? (acknowledged - 1) / seconds : 0.0);
  return acknowledged == static_cast<int>(files.size()) ? 0 : 1;
}
