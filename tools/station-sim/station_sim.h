#pragma once
// The simulated receiving station: sends frames on its line, checks every answer the
// driver gives, and keeps counts and acknowledgement latencies. Used by the station-sim
// command, and in process by benchmarks and tests.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sim_frames.h"
#include "sim_line.h"

namespace orvelgate::sim {

struct SimOptions {
  uint32_t baud = 2400;       // byte pacing of the line; 0 writes each frame at once
  double rate = 0;            // frames per second; 0: the next frame once this one is settled
  int ackTimeoutMs = 1000;    // how long an acknowledgement may take
  int settleMs = 400;         // how long a frame that gets no answer is watched for one
  uint32_t seed = 0;          // keys and echo bytes; 0 draws a seed
};

// One step of a script: a frame, or a pause.
struct ScriptStep {
  std::optional<FrameRecipe> frame;
  int pauseMs = 0;
};

// "gb", "sleep 500", "# comment" ...; nullopt with a message for a bad line, an empty
// step for a blank line or a comment.
std::optional<std::optional<ScriptStep>> ParseScriptLine(std::string_view line, std::string* error);

struct FrameOutcome {
  int number = 0;
  std::string text;
  Answer expected = Answer::kNone;
  bool ok = false;
  double latencyMs = -1;  // last byte written to whole acknowledgement read; -1 for none
  std::chrono::steady_clock::time_point writtenAt;  // the last byte written; zero if never
  std::string problem;    // empty when ok
  std::vector<uint8_t> sent, received;
};

struct SimSummary {
  int frames = 0;
  int acked = 0;           // right acknowledgement in time
  int unanswered = 0;      // no answer due, none came
  int badAcks = 0;         // an answer that is not the right acknowledgement
  int missingAcks = 0;     // no (whole) acknowledgement in time
  int unexpected = 0;      // an answer where none was due, or bytes between frames
  int lineFailures = 0;    // the line would not take the frame
  std::vector<double> latenciesMs;

  bool AllOk() const {
    return badAcks == 0 && missingAcks == 0 && unexpected == 0 && lineFailures == 0;
  }
  // The p-th percentile (0..100) of the latencies, nearest rank; 0 without any.
  double Percentile(double p) const;
  double MaxLatency() const;
  // "frames=.. acked=.. ... p50_ms=.. p99_ms=.. max_ms=.."
  std::string Line() const;
};

class StationSim {
 public:
  using Observer = std::function<void(const FrameOutcome&)>;

  StationSim(SimLine& line, SimOptions options, Observer observer = {});

  // Sends one frame and checks what comes back.
  FrameOutcome Send(const FrameRecipe& recipe);
  // Runs the steps `repeat` times (0: until Stop), keeping to the rate when one is set.
  const SimSummary& Run(const std::vector<ScriptStep>& steps, int repeat);
  // Asks a running Run to end after the current frame (safe from a signal handler).
  void Stop() { stop_ = true; }

  const SimSummary& Summary() const { return summary_; }

 private:
  void Account(const FrameOutcome& outcome);

  SimLine& line_;
  SimOptions options_;
  Observer observer_;
  std::mt19937 rng_;
  SimSummary summary_;
  std::atomic<bool> stop_{false};
  int number_ = 0;
  std::optional<SteadyTime> nextSlot_;
};

}  // namespace orvelgate::sim
