#pragma once
// A monitoring server scripted in the test's own thread, for the T8 session: its
// factory makes the T8Socket of each connection attempt. The server sees every frame
// the session writes (decoded, and as raw bytes) and answers each with the next answer
// of its script, or else by the reference server's policy (tools/t8-server): the first
// message of a connection gets LoginAccepted, an EventMessage gets EventAck, anything
// else a Poll answer. A read that cannot be filled takes its whole time-out on the
// FakeClock, so time-outs and budgets are tested without waiting.

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.h"
#include "support/fake_clock.h"
#include "t8link/t8_session.h"
#include "t8link/t8_socket.h"

namespace orvelgate::testing {

using Bytes = std::vector<uint8_t>;

// How one connection attempt ends.
struct ConnectOutcome {
  T8IoStatus Status = T8IoStatus::Ok;
  std::string Failure;  // what LastFailure says: its text, and its errno below
  uint32_t TakesMs = 0;  // the FakeClock moves this far during the attempt
  int Errno = 0;
};

// What the server does with one message it receives.
struct Answer {
  enum class Kind {
    Reply,   // a well-formed frame of `Type` with `Payload`, transport marker `Marker`
    Raw,     // `Bytes` as they are (malformed frames, parts of frames)
    Silent,  // nothing: the read times out
    Close,   // the server closes the connection instead of answering
  };
  Kind What = Kind::Reply;
  int32_t Type = 0;
  Bytes Payload;
  uint8_t Marker = 0xFF;
  Bytes Raw;

  static Answer Reply(int32_t type, Bytes payload = {}) {
    Answer a;
    a.Type = type;
    a.Payload = std::move(payload);
    return a;
  }
  static Answer Frame(Bytes raw) {
    Answer a;
    a.What = Kind::Raw;
    a.Raw = std::move(raw);
    return a;
  }
  static Answer Silent() {
    Answer a;
    a.What = Kind::Silent;
    return a;
  }
  static Answer Close() {
    Answer a;
    a.What = Kind::Close;
    return a;
  }
};

// Named answers, as the reference server's REPLY words: a type name (Poll, EventAck,
// LoginAccepted, ...), a type number ("0x02000099"), or one of silent, close,
// alt-marker, bad-marker, bad-header, short, zero-length, negative-length, huge-length,
// "big N" and stall. The server numbers its frames from `serverSequence`.
Answer NamedAnswer(const std::string& name, uint64_t serverSequence = 0);

// A frame the session wrote.
struct WrittenFrame {
  int Connection = 0;  // 1 for the first connection that succeeded
  int32_t Type = 0;
  uint64_t Sequence = 0;
  Bytes Payload;
  Bytes Wire;  // transport header and message, as written
};

class ScriptedServer {
 public:
  explicit ScriptedServer(FakeClock& clock) : clock_(clock) {}

  // The factory for the session.
  T8SocketFactory Factory();

  // The outcomes of the next connection attempts, in order; further attempts succeed.
  void NextConnects(std::vector<ConnectOutcome> outcomes);
  // The answers to the next messages, in order (across connections); then the policy.
  void Next(Answer answer);
  void Next(const std::string& name) { Next(NamedAnswer(name)); }
  // The policy: LoginAccepted for the first message of a connection (off: a Poll
  // answer), EventAck for events (off: a Poll answer), AccessDenied for the first
  // message (deny), no answer at all (silent).
  bool Login = true;
  bool Ack = true;
  bool Deny = false;
  bool Silent = false;

  // Ends the current connection from the server's side: reads see it closed, and so
  // does the next write.
  void DropConnection();
  // Sends a frame unasked on the current connection.
  void Send(const Answer& answer);

  const std::vector<WrittenFrame>& Frames() const { return frames_; }
  std::vector<WrittenFrame> FramesOn(int connection) const;
  std::vector<std::string> TypesOn(int connection) const;
  int Count(int32_t type) const;
  int Attempts() const { return attempts_; }
  int Connections() const { return connections_; }
  // Connections the session closed (its disconnect, or dropping the socket).
  int ClosedBySession() const { return closedBySession_; }
  bool Open() const { return current_ != nullptr; }
  // The address of the last attempt.
  std::string Host() const { return host_; }
  int Port() const { return port_; }

 private:
  class Socket;
  friend class Socket;
  struct Line {  // one connection's bytes from server to session
    std::deque<uint8_t> Inbound;
    bool PeerGone = false;
    int Id = 0;
    uint64_t ServerSequence = 0;
    int Messages = 0;
  };

  void Deliver(Line& line, const testing::Answer& answer);
  testing::Answer Choose(const Line& line, int32_t type);

  FakeClock& clock_;
  std::deque<ConnectOutcome> connects_;
  std::deque<testing::Answer> answers_;
  std::vector<WrittenFrame> frames_;
  int attempts_ = 0;
  int connections_ = 0;
  int closedBySession_ = 0;
  std::string host_;
  int port_ = 0;
  Line* current_ = nullptr;  // the open connection's line, if any
};

}  // namespace orvelgate::testing
