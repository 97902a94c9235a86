#include "support/t8_server_process.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

namespace orvelgate::testing {
namespace {

ChildOptions WithArgs(std::vector<std::string> args) {
  ChildOptions options;
  options.args = std::move(args);
  return options;
}

}  // namespace

T8ServerProcess::T8ServerProcess(std::vector<std::string> args)
    : child_(BuiltProgram("tools/t8-server/t8-server"), WithArgs(std::move(args))) {
  const auto ready = child_.WaitReady(std::chrono::seconds(10));
  if (!ready) throw std::runtime_error("t8-server did not print READY");
  port_ = std::stoi(*ready);
}

void T8ServerProcess::Command(const std::string& command) {
  const std::size_t from = child_.LineCount();
  ASSERT_TRUE(child_.Write(command + "\n"));
  const auto answer = child_.WaitForLine(
      [&](const std::string& l) { return l == "OK " + command || l == "ERROR " + command; },
      std::chrono::seconds(10), from);
  ASSERT_TRUE(answer.has_value()) << "no answer to " << command;
  ASSERT_EQ(*answer, "OK " + command);
}

std::vector<SeenFrame> T8ServerProcess::Frames() const {
  std::vector<SeenFrame> frames;
  for (const auto& line : child_.LinesStartingWith("FRAME ")) {
    std::istringstream words(line.substr(6));
    SeenFrame f;
    std::string seq, len, payload;
    words >> f.Connection >> f.Type >> seq >> len >> payload;
    if (!seq.starts_with("seq=") || !payload.starts_with("payload=")) continue;
    f.Sequence = std::stoull(seq.substr(4));
    f.Payload = payload.substr(8);
    frames.push_back(f);
  }
  return frames;
}

}  // namespace orvelgate::testing
