#include "support/promtool.h"

#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string_view>

#include "common/whole_file.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace orvelgate::testing {

std::string PromtoolPath() {
  const char* path = std::getenv("PATH");
  std::istringstream folders(path ? path : "/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    const std::string candidate = (folder.empty() ? "." : folder) + "/promtool";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

std::optional<PromtoolVerdict> PromtoolCheckMetrics(const std::string& scrape) {
  const std::string program = PromtoolPath();
  if (program.empty()) return std::nullopt;
  TempDir dir;
  const std::string errors = (dir.path() / "promtool.err").string();
  ChildOptions options;
  options.args = {"check", "metrics"};
  options.stderrFile = errors;
  ChildProcess promtool(program, options);
  promtool.Write(scrape);
  promtool.CloseStdin();
  PromtoolVerdict verdict;
  verdict.status = promtool.WaitExit(30s).value_or(-1);
  for (const std::string& line : promtool.Lines()) verdict.output += line + "\n";
  int error = 0;
  verdict.output += ReadWholeFile(errors, error).value_or("");
  return verdict;
}

}  // namespace orvelgate::testing
