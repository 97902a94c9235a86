#pragma once
// The t7-server's small command language: each command is one line (or one
// ';'-separated part of --on-connect) and turns into steps the server runs in order.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace orvelgate::t7server {

struct SendBytes {
  std::string what;  // for the SENT line
  std::vector<uint8_t> bytes;
};
struct SetChunks {
  std::vector<std::size_t> sizes;  // empty: send whole
};
struct SetDelay {
  int ms;
};
struct Sleep {
  int ms;
};
struct WaitRecords {
  int count;  // records received on the current connection
};
struct Hangup {
  bool reset;  // abortive close instead of an orderly one
};
// Stop or go on reading connections: what the driver sends then waits in the socket
// buffers, as it would for a server that has stopped reading.
struct SetReading {
  bool on;
};
struct Quit {};

using Command = std::variant<SendBytes, SetChunks, SetDelay, Sleep, WaitRecords, Hangup,
                             SetReading, Quit>;

struct Parsed {
  std::optional<Command> command;  // nullopt for an empty line or a comment
  std::string error;               // set when the line is not understood
};

Parsed ParseCommand(std::string_view line);

// Splits "a; b; c" into its parts.
std::vector<std::string> SplitScript(std::string_view script);

// One line describing a received record (without the "RECORD n " prefix).
std::string DescribeRecord(const std::vector<uint8_t>& record);

std::string FormatTime(double stamp);

extern const char kCommandHelp[];

}  // namespace orvelgate::t7server
