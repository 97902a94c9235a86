#include "server_process_support.h"

#include <stdexcept>

#include "support/qt_events.h"
#include "support/temp_dir.h"

namespace orvelgate::testing {
namespace {

const std::string kT7Server = BuiltProgram("tools/t7-server/t7-server");

ChildOptions WithArgs(const std::vector<std::string>& args) {
  ChildOptions options;
  options.args = args;
  return options;
}

}  // namespace

T7ServerProcess::T7ServerProcess(const std::vector<std::string>& args)
    : child_(kT7Server, WithArgs(args)) {}

std::optional<uint16_t> T7ServerProcess::WaitReady(int timeoutMs) {
  const auto line = WaitLine("READY ", timeoutMs);
  if (!line) return std::nullopt;
  return static_cast<uint16_t>(std::stoi(line->substr(6)));
}

std::optional<std::string> T7ServerProcess::WaitLine(const std::string& prefix, int timeoutMs) {
  std::optional<std::string> found;
  PumpUntil(
      [&] {
        const auto lines = child_.Lines();
        for (; consumed_ < lines.size() && !found; ++consumed_)
          if (lines[consumed_].starts_with(prefix)) found = lines[consumed_];
        return found.has_value();
      },
      timeoutMs);
  return found;
}

void T7ServerProcess::Command(const std::string& line) {
  if (!child_.Write(line + "\n")) throw std::runtime_error("cannot write to t7-server");
}

std::optional<int> T7ServerProcess::WaitExit(int timeoutMs) {
  PumpUntil([&] { return !child_.Running() || child_.WaitExit(std::chrono::milliseconds(0)); },
            timeoutMs);
  return child_.WaitExit(std::chrono::milliseconds(0));
}

RunResult RunT7Server(const std::vector<std::string>& args) {
  const TempDir dir;
  ChildOptions options = WithArgs(args);
  options.stderrFile = (dir / "stderr").string();
  ChildProcess child(kT7Server, options);
  child.CloseStdin();
  RunResult r;
  r.status = child.WaitExit(std::chrono::seconds(5)).value_or(-1);
  if (r.status < 0) r.status = child.Stop();  // it did not end in time
  for (const auto& line : child.Lines()) r.out += line + "\n";
  r.err = ReadFileText(dir / "stderr");
  return r;
}

}  // namespace orvelgate::testing
