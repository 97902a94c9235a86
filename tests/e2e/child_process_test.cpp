// The test helper that runs the programs: lines, READY, exit status, and the end of a
// child that ignores SIGTERM.
#include "support/child_process.h"

#include <gtest/gtest.h>
#include <signal.h>

namespace orvelgate::testing {
namespace {

ChildOptions Shell(const std::string& script, std::chrono::milliseconds grace = 5s) {
  ChildOptions options;
  options.args = {"-c", script};
  options.grace = grace;
  return options;
}

TEST(ChildProcess, CollectsLinesAndTheExitStatus) {
  ChildOptions options = Shell("echo one; echo READY 42; pwd; echo \"$GREETING\"; exit 3");
  options.cwd = "/";
  options.env = {{"GREETING", "hello"}};
  ChildProcess child("/bin/sh", options);
  EXPECT_EQ(child.WaitReady(), "42");
  EXPECT_EQ(child.WaitExit(), 3);
  EXPECT_EQ(child.Lines(), (std::vector<std::string>{"one", "READY 42", "/", "hello"}));
  EXPECT_EQ(child.FindLine([](const std::string& l) { return l == "/"; }, 3), std::nullopt);
  EXPECT_EQ(child.LinesStartingWith("READY"), std::vector<std::string>{"READY 42"});
}

TEST(ChildProcess, TakesCommandsOnStdin) {
  ChildProcess child("/bin/sh", Shell("while read line; do echo \"got $line\"; done"));
  ASSERT_TRUE(child.Write("a\nb\n"));
  EXPECT_EQ(child.WaitForPrefix("got b"), "got b");
  child.CloseStdin();
  EXPECT_EQ(child.WaitExit(), 0);
}

// With its stdout's reader gone, a child that writes there is ended by SIGPIPE, even
// though the test itself ignores the signal.
TEST(ChildProcess, AChildWhoseStdoutReaderHasGoneMeetsSigpipe) {
  ChildOptions options = Shell("exec /bin/echo one");
  options.stdoutReaderGone = true;
  ChildProcess child("/bin/sh", options);
  EXPECT_EQ(child.WaitExit(), 128 + SIGPIPE);
  EXPECT_TRUE(child.Lines().empty());
}

TEST(ChildProcess, ReportsTheSignalThatEndedIt) {
  ChildProcess child("/bin/sh", Shell("echo READY x; exec sleep 60"));
  ASSERT_TRUE(child.WaitReady());
  EXPECT_TRUE(child.Signal(SIGTERM));
  EXPECT_EQ(child.WaitExit(), 128 + SIGTERM);
}

TEST(ChildProcess, KillsAChildThatIgnoresTerm) {
  ChildProcess child("/bin/sh",
                     Shell("trap '' TERM; echo READY x; while :; do sleep 0.05; done", 300ms));
  ASSERT_TRUE(child.WaitReady());
  EXPECT_EQ(child.Stop(), 128 + SIGKILL);
  EXPECT_FALSE(child.Running());
}

TEST(ChildProcess, WaitingEndsWhenTheOutputEnds) {
  ChildProcess child("/bin/sh", Shell("echo nothing"));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(child.WaitForPrefix("READY", 30s), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
}

}  // namespace
}  // namespace orvelgate::testing
