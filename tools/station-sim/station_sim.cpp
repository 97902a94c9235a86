#include "station_sim.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <thread>

#include "common/hex_text.h"

namespace orvelgate::sim {
namespace {

using Clock = std::chrono::steady_clock;

CalendarTime LocalNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm{};
  localtime_r(&ts.tv_sec, &tm);
  CalendarTime t;
  t.year = tm.tm_year + 1900;
  t.month = tm.tm_mon + 1;
  t.day = tm.tm_mday;
  t.hour = tm.tm_hour;
  t.minute = tm.tm_min;
  t.second = tm.tm_sec;
  return t;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

std::optional<std::optional<ScriptStep>> ParseScriptLine(std::string_view line, std::string* error) {
  line = Trim(line.substr(0, line.find('#')));
  if (line.empty()) return std::optional<ScriptStep>{};
  ScriptStep step;
  if (line.substr(0, 6) == "sleep ") {
    const std::string ms(Trim(line.substr(6)));
    char* end = nullptr;
    const long value = std::strtol(ms.c_str(), &end, 10);
    if (ms.empty() || *end != '\0' || value < 0 || value > 3'600'000) {
      if (error) *error = std::string(line) + ": sleep takes milliseconds 0..3600000";
      return std::nullopt;
    }
    step.pauseMs = static_cast<int>(value);
    return std::optional<ScriptStep>(step);
  }
  step.frame = ParseFrameRecipe(line, error);
  if (!step.frame) return std::nullopt;
  return std::optional<ScriptStep>(step);
}

double SimSummary::Percentile(double p) const {
  if (latenciesMs.empty()) return 0;
  std::vector<double> sorted = latenciesMs;
  std::sort(sorted.begin(), sorted.end());
  const double rank = std::ceil(p / 100.0 * static_cast<double>(sorted.size()));
  const std::size_t index = rank < 1 ? 0 : static_cast<std::size_t>(rank) - 1;
  return sorted[std::min(index, sorted.size() - 1)];
}

double SimSummary::MaxLatency() const {
  return latenciesMs.empty() ? 0 : *std::max_element(latenciesMs.begin(), latenciesMs.end());
}

std::string SimSummary::Line() const {
  char text[320];
  std::snprintf(text, sizeof text,
                "frames=%d acked=%d unanswered=%d bad_acks=%d missing_acks=%d unexpected=%d "
                "line_failures=%d p50_ms=%.2f p99_ms=%.2f max_ms=%.2f",
                frames, acked, unanswered, badAcks, missingAcks, unexpected, lineFailures,
                Percentile(50), Percentile(99), MaxLatency());
  return text;
}

StationSim::StationSim(SimLine& line, SimOptions options, Observer observer)
    : line_(line),
      options_(options),
      observer_(std::move(observer)),
      rng_(options.seed != 0 ? options.seed : std::random_device{}()) {}

FrameOutcome StationSim::Send(const FrameRecipe& recipe) {
  FrameOutcome outcome;
  outcome.number = ++number_;
  outcome.text = recipe.text;

  // Bytes that came between frames belong to no frame.
  const std::vector<uint8_t> stray = line_.ReadWaiting();
  if (!stray.empty()) {
    ++summary_.unexpected;
    outcome.problem = "stray bytes before the frame: " + Hex(stray, ' ');
  }

  const BuiltFrame frame = BuildFrame(recipe, LocalNow(), rng_);
  outcome.sent = frame.bytes;
  outcome.expected = frame.answer;
  const auto written = line_.Write(frame.bytes, options_.baud);
  if (!written) {
    outcome.problem = "the line did not take the frame";
    ++summary_.lineFailures;
    Account(outcome);
    return outcome;
  }
  outcome.writtenAt = *written;

  if (frame.answer != Answer::kNone) {
    const auto deadline = *written + std::chrono::milliseconds(options_.ackTimeoutMs);
    outcome.received = line_.Read(AnswerSize(frame.answer), deadline);
    const auto readAt = Clock::now();
    if (outcome.received.size() < AnswerSize(frame.answer)) {
      ++summary_.missingAcks;
      outcome.problem = outcome.received.empty() ? "no acknowledgement"
                                                 : "incomplete acknowledgement: " + Hex(outcome.received, ' ');
    } else if (!AnswerIsValid(frame, outcome.received)) {
      ++summary_.badAcks;
      outcome.problem = "wrong acknowledgement: " + Hex(outcome.received, ' ');
    } else {
      outcome.latencyMs = Ms(readAt - *written);
      summary_.latenciesMs.push_back(outcome.latencyMs);
      ++summary_.acked;
    }
  } else {
    // Watch for an answer that must not come, but not past the next frame's slot.
    auto until = *written + std::chrono::milliseconds(options_.settleMs);
    if (nextSlot_ && options_.rate > 0) until = std::min(until, *nextSlot_);
    outcome.received = line_.Read(SIZE_MAX, until);
    if (!outcome.received.empty()) {
      ++summary_.unexpected;
      outcome.problem = "answer to a frame that gets none: " + Hex(outcome.received, ' ');
    } else {
      ++summary_.unanswered;
    }
  }
  outcome.ok = outcome.problem.empty();
  Account(outcome);
  return outcome;
}

void StationSim::Account(const FrameOutcome& outcome) {
  ++summary_.frames;
  if (observer_) observer_(outcome);
}

const SimSummary& StationSim::Run(const std::vector<ScriptStep>& steps, int repeat) {
  const auto period = options_.rate > 0
                          ? std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double>(1.0 / options_.rate))
                          : Clock::duration::zero();
  for (int round = 0; (repeat == 0 || round < repeat) && !stop_; ++round) {
    for (const ScriptStep& step : steps) {
      if (stop_) break;
      if (!step.frame) {
        std::this_thread::sleep_for(std::chrono::milliseconds(step.pauseMs));
        if (nextSlot_) nextSlot_ = std::max(*nextSlot_, Clock::now());
        continue;
      }
      if (options_.rate > 0) {
        if (!nextSlot_) nextSlot_ = Clock::now();
        std::this_thread::sleep_until(*nextSlot_);
        // A frame that ran late does not make the next ones bunch up.
        nextSlot_ = std::max(*nextSlot_ + period, Clock::now());
      }
      Send(*step.frame);
    }
  }
  return summary_;
}

}  // namespace orvelgate::sim
