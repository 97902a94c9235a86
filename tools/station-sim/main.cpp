// station-sim: a receiving station on a serial line, for people, tests and benchmarks.

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "common/hex_text.h"
#include "station_sim.h"

namespace {

using namespace orvelgate::sim;

constexpr const char* kHelp = R"(Usage: station-sim [OPTIONS] [FRAME...]

Plays the receiving station on a serial line: sends alarm frames to the driver, checks
every acknowledgement that comes back, and prints counts and acknowledgement latencies.

Line:
  --pty               create a pseudo-terminal and print "READY <path>" (the default);
                      map that path in [ports] of orvelgate.ini, e.g. COM3=/dev/pts/4
  --device PATH       use a serial device instead (a null-modem cable to the driver)
  --wait-open MS      with --pty, wait up to MS for the driver to open the port before
                      the first frame, then print "OPEN" (default 10000; 0 does not wait)
  --baud N            pace the bytes as a line of N bit/s, 10 bits a character
                      (default 2400); with --device, also the device's speed
  --burst             write each frame in one go instead
Frames:
  FRAME               KIND[:VARIANT][,field=value]... or raw:HEX (default: one "gb")
                        KIND     gb (35 bytes), cn (31), ascii (13)
                        VARIANT  valid, noevent (answered, no event), corrupt (no answer)
                        fields   object, group, code, key, time=YYYY-MM-DDTHH:MM:SS
                      e.g. gb  gb:corrupt  cn,object=1234,code=AB  ascii,group=1,object=0123
  --script FILE       read frames from FILE ("-": standard input), one a line, with
                      "sleep MS" lines and "#" comments; FRAME arguments come first
  --repeat N          send the frames N times (default 1; 0: until SIGINT or SIGTERM)
  --rate R            R frames per second (default: each frame once the previous one
                      is answered or settled)
  --delay MS          pause before the first frame (default 0)
Checks:
  --ack-timeout MS    time allowed for an acknowledgement (default 1000)
  --settle MS         time a frame that gets no answer is watched for one (default 400);
                      keep it above the driver's packet time-out, so that short frames
                      are not run together
  --seed N            fixed keys and echo bytes
Output:
  --hold              after the frames, keep the line open until SIGINT or SIGTERM
  --quiet             print only the READY, OPEN and SUMMARY lines
  --verbose           also print the bytes sent and received
  --stamps            end every FRAME line with written_us=<n>: when its last byte was
                      written, in microseconds of CLOCK_MONOTONIC (the benchmarks' clock)
  --help              this text

Output lines:
  READY <path>        the line is ready (the slave path of the pseudo-terminal)
  OPEN                the driver has taken the port
  FRAME <n> <frame> ok ack <ms> ms | ok no-answer | FAIL <what was wrong>  [written_us=<n>]
  SUMMARY frames=.. acked=.. unanswered=.. bad_acks=.. missing_acks=.. unexpected=..
          line_failures=.. p50_ms=.. p99_ms=.. max_ms=..
Exit status: 0 when every frame was answered as it should be, 1 when not, 2 for bad
arguments or a line that could not be opened.
)";

StationSim* g_sim = nullptr;
volatile sig_atomic_t g_stop = 0;

void OnSignal(int) {
  g_stop = 1;
  if (g_sim) g_sim->Stop();
}

struct Arguments {
  std::string device;
  int waitOpenMs = 10000;
  int delayMs = 0;
  int repeat = 1;
  bool hold = false, quiet = false, verbose = false, stamps = false;
  std::string script;
  std::vector<std::string> frames;
  SimOptions options;
};

[[noreturn]] void Usage(const std::string& message) {
  std::fprintf(stderr, "station-sim: %s\nTry station-sim --help.\n", message.c_str());
  std::exit(2);
}

long NumberArg(const std::string& option, const char* text, long low, long high) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || value < low || value > high) {
    Usage(option + " takes a number " + std::to_string(low) + ".." + std::to_string(high));
  }
  return value;
}

Arguments Parse(int argc, char** argv) {
  Arguments a;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) Usage(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kHelp, stdout);
      std::exit(0);
    } else if (arg == "--pty") {
      a.device.clear();
    } else if (arg == "--device") {
      a.device = value();
    } else if (arg == "--wait-open") {
      a.waitOpenMs = static_cast<int>(NumberArg(arg, value(), 0, 3'600'000));
    } else if (arg == "--baud") {
      a.options.baud = static_cast<uint32_t>(NumberArg(arg, value(), 1, 4'000'000));
    } else if (arg == "--burst") {
      a.options.baud = 0;
    } else if (arg == "--script") {
      a.script = value();
    } else if (arg == "--repeat") {
      a.repeat = static_cast<int>(NumberArg(arg, value(), 0, 100'000'000));
    } else if (arg == "--rate") {
      const char* text = value();
      char* end = nullptr;
      a.options.rate = std::strtod(text, &end);
      if (*end != '\0' || !(a.options.rate > 0) || a.options.rate > 10000) Usage("--rate takes a number of frames per second above 0");
    } else if (arg == "--delay") {
      a.delayMs = static_cast<int>(NumberArg(arg, value(), 0, 3'600'000));
    } else if (arg == "--ack-timeout") {
      a.options.ackTimeoutMs = static_cast<int>(NumberArg(arg, value(), 1, 600'000));
    } else if (arg == "--settle") {
      a.options.settleMs = static_cast<int>(NumberArg(arg, value(), 0, 600'000));
    } else if (arg == "--seed") {
      a.options.seed = static_cast<uint32_t>(NumberArg(arg, value(), 1, 4'000'000'000L));
    } else if (arg == "--hold") {
      a.hold = true;
    } else if (arg == "--quiet") {
      a.quiet = true;
    } else if (arg == "--verbose") {
      a.verbose = true;
    } else if (arg == "--stamps") {
      a.stamps = true;
    } else if (arg.rfind("--", 0) == 0) {
      Usage("unknown option " + arg);
    } else {
      a.frames.push_back(arg);
    }
  }
  return a;
}

std::vector<ScriptStep> Steps(const Arguments& a) {
  std::vector<ScriptStep> steps;
  std::string error;
  for (const std::string& text : a.frames) {
    auto step = ParseScriptLine(text, &error);
    if (!step) Usage(error);
    if (*step) steps.push_back(**step);
  }
  if (!a.script.empty()) {
    std::ifstream file;
    if (a.script != "-") {
      file.open(a.script);
      if (!file) Usage("cannot read " + a.script);
    }
    std::istream& in = a.script == "-" ? std::cin : file;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
      auto step = ParseScriptLine(line, &error);
      if (!step) Usage(a.script + " line " + std::to_string(number) + ": " + error);
      if (*step) steps.push_back(**step);
    }
  }
  if (a.frames.empty() && a.script.empty()) {
    steps.push_back(ScriptStep{ParseFrameRecipe("gb", nullptr), 0});
  }
  return steps;
}

std::string Stamp(const FrameOutcome& o, const Arguments& a) {
  if (!a.stamps) return "";
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(o.writtenAt.time_since_epoch());
  return " written_us=" + std::to_string(us.count());
}

void Print(const FrameOutcome& o, const Arguments& a) {
  if (!a.quiet) {
    const std::string stamp = Stamp(o, a);
    if (!o.ok) {
      std::printf("FRAME %d %s FAIL %s%s\n", o.number, o.text.c_str(), o.problem.c_str(), stamp.c_str());
    } else if (o.expected != Answer::kNone) {
      std::printf("FRAME %d %s ok ack %.2f ms%s\n", o.number, o.text.c_str(), o.latencyMs, stamp.c_str());
    } else {
      std::printf("FRAME %d %s ok no-answer%s\n", o.number, o.text.c_str(), stamp.c_str());
    }
  }
  if (a.verbose) {
    std::printf("  sent     %s\n", orvelgate::Hex(o.sent, ' ').c_str());
    std::printf("  received %s\n", orvelgate::Hex(o.received, ' ').c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);  // READY must reach a reading pipe at once
  const Arguments a = Parse(argc, argv);
  const std::vector<ScriptStep> steps = Steps(a);

  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::string error;
  auto line = a.device.empty() ? SimLine::CreatePty(&error)
                               : SimLine::OpenDevice(a.device, a.options.baud ? a.options.baud : 9600, &error);
  if (!line) {
    std::fprintf(stderr, "station-sim: %s\n", error.c_str());
    return 2;
  }
  std::printf("READY %s\n", line->Path().c_str());

  if (line->IsPty() && a.waitOpenMs > 0) {
    if (!line->WaitForExclusiveOpener(std::chrono::milliseconds(a.waitOpenMs))) {
      std::fprintf(stderr, "station-sim: nobody opened %s within %d ms\n", line->Path().c_str(), a.waitOpenMs);
      std::printf("SUMMARY %s\n", SimSummary{}.Line().c_str());
      return 1;
    }
    // The driver clears its queues right after it takes the port.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::printf("OPEN\n");
  }
  if (a.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(a.delayMs));

  StationSim sim(*line, a.options, [&](const FrameOutcome& o) { Print(o, a); });
  g_sim = &sim;
  if (!g_stop) sim.Run(steps, a.repeat);
  std::printf("SUMMARY %s\n", sim.Summary().Line().c_str());
  while (a.hold && !g_stop) pause();
  g_sim = nullptr;
  return sim.Summary().AllOk() ? 0 : 1;
}
