#include "scripted_server.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "t8link/t8_frames.h"

namespace orvelgate::testing {

namespace {

Bytes TransportHeader(uint8_t marker, int32_t length) {
  Bytes header(T8Transport::kSize, 0);
  header[T8Transport::kMarker] = marker;
  for (int i = 0; i < 4; ++i) {
    header[T8Transport::kLength + i] = static_cast<uint8_t>(static_cast<uint32_t>(length) >> (8 * i));
    header[T8Transport::kLengthCopy + i] = header[T8Transport::kLength + i];
  }
  return header;
}

}  // namespace

Answer NamedAnswer(const std::string& name, uint64_t serverSequence) {
  std::istringstream words(name);
  std::string kind;
  words >> kind;
  if (kind == "silent") return Answer::Silent();
  if (kind == "close" || kind == "reset") return Answer::Close();
  if (kind == "alt-marker" || kind == "bad-marker") {
    Answer a = Answer::Reply(T8Type::Poll);
    a.Marker = kind == "alt-marker" ? T8Transport::kMarkerAlternative : 0x00;
    return a;
  }
  if (kind == "bad-header") {
    auto message = *BuildMessage(T8Type::Poll, serverSequence, {});
    message[T8Header::kEnd] = 0x00;
    return Answer::Frame(FrameMessage(message));
  }
  if (kind == "short") {
    Bytes frame = TransportHeader(T8Transport::kMarkerWritten, 10);
    frame.resize(frame.size() + 10, 0xFF);
    return Answer::Frame(frame);
  }
  if (kind == "zero-length") return Answer::Frame(TransportHeader(T8Transport::kMarkerWritten, 0));
  if (kind == "negative-length") return Answer::Frame(TransportHeader(T8Transport::kMarkerWritten, -1));
  if (kind == "huge-length") return Answer::Frame(TransportHeader(T8Transport::kMarkerWritten, 0x7FFFFFFF));
  if (kind == "stall") {
    Bytes frame = FrameMessage(*BuildMessage(T8Type::Poll, serverSequence, Bytes(100, 0x55)));
    frame.resize(T8Transport::kSize + 20);
    return Answer::Frame(frame);
  }
  if (kind == "big") {
    std::size_t n = 0;
    words >> n;
    Bytes payload(n);
    for (std::size_t i = 0; i < n; ++i) payload[i] = static_cast<uint8_t>(i * 7);
    return Answer::Reply(T8Type::Poll, payload);
  }
  std::optional<int32_t> type = T8TypeFromName(kind);
  if (!type) type = static_cast<int32_t>(std::strtoul(kind.c_str(), nullptr, 0));
  return Answer::Reply(*type);
}

class ScriptedServer::Socket final : public T8Socket {
 public:
  explicit Socket(ScriptedServer& server) : server_(server) {}
  ~Socket() override { Close(); }

  void SetHost(std::string host, int port) override {
    server_.host_ = std::move(host);
    server_.port_ = port;
  }

  T8IoStatus Connect() override {
    Close();
    ++server_.attempts_;
    ConnectOutcome outcome;
    if (!server_.connects_.empty()) {
      outcome = server_.connects_.front();
      server_.connects_.pop_front();
    }
    server_.clock_.Advance(outcome.TakesMs);
    failure_.reset();
    if (!outcome.Failure.empty() || outcome.Errno != 0) {
      failure_ = Failure::FromErrno(outcome.Errno, outcome.Failure);
    }
    if (outcome.Status != T8IoStatus::Ok) return outcome.Status;
    line_ = std::make_unique<Line>();
    line_->Id = ++server_.connections_;
    server_.current_ = line_.get();
    return T8IoStatus::Ok;
  }

  T8IoStatus WriteAll(std::span<const uint8_t> bytes) override {
    if (!line_) return T8IoStatus::Failed;
    if (line_->PeerGone) return T8IoStatus::Closed;
    WrittenFrame frame;
    frame.Connection = line_->Id;
    frame.Wire.assign(bytes.begin(), bytes.end());
    if (bytes.size() >= T8Transport::kSize) {
      const auto message = bytes.subspan(T8Transport::kSize);
      if (const auto header = ParseMessageHeader(message)) {
        frame.Type = header->Type;
        frame.Sequence = header->Sequence;
        frame.Payload.assign(message.begin() + T8Header::kSize, message.end());
      }
    }
    server_.frames_.push_back(frame);
    const testing::Answer answer = server_.Choose(*line_, frame.Type);
    ++line_->Messages;
    server_.Deliver(*line_, answer);
    return T8IoStatus::Ok;
  }

  T8ReadOutcome ReadExact(std::span<uint8_t> into, uint32_t timeoutMs) override {
    if (!line_) return {T8IoStatus::Failed, 0};
    const std::size_t n = std::min(into.size(), line_->Inbound.size());
    std::copy_n(line_->Inbound.begin(), n, into.begin());
    line_->Inbound.erase(line_->Inbound.begin(), line_->Inbound.begin() + static_cast<std::ptrdiff_t>(n));
    if (n == into.size()) return {T8IoStatus::Ok, n};
    if (line_->PeerGone) return {T8IoStatus::Closed, n};
    server_.clock_.Advance(timeoutMs);  // the whole time-out passes
    return {T8IoStatus::TimedOut, n};
  }

  void Disconnect() override { Close(); }
  bool Connected() const override { return line_ != nullptr; }
  std::optional<Failure> LastFailure() const override { return failure_; }

 private:
  void Close() {
    if (!line_) return;
    ++server_.closedBySession_;
    if (server_.current_ == line_.get()) server_.current_ = nullptr;
    line_.reset();
  }

  ScriptedServer& server_;
  std::unique_ptr<Line> line_;
  std::optional<Failure> failure_;
};

T8SocketFactory ScriptedServer::Factory() {
  return [this] { return std::make_unique<Socket>(*this); };
}

void ScriptedServer::NextConnects(std::vector<ConnectOutcome> outcomes) {
  for (auto& outcome : outcomes) connects_.push_back(std::move(outcome));
}

void ScriptedServer::Next(testing::Answer answer) { answers_.push_back(std::move(answer)); }

testing::Answer ScriptedServer::Choose(const Line& line, int32_t type) {
  if (!answers_.empty()) {
    testing::Answer answer = answers_.front();
    answers_.pop_front();
    return answer;
  }
  if (Silent) return testing::Answer::Silent();
  if (line.Messages == 0) {
    if (Deny) return testing::Answer::Reply(T8Type::AccessDenied);
    if (Login) return testing::Answer::Reply(T8Type::LoginAccepted);
  }
  if (type == T8Type::EventMessage && Ack) return testing::Answer::Reply(T8Type::EventAck);
  return testing::Answer::Reply(T8Type::Poll);
}

void ScriptedServer::Deliver(Line& line, const testing::Answer& answer) {
  switch (answer.What) {
    case testing::Answer::Kind::Reply: {
      Bytes frame = FrameMessage(*BuildMessage(answer.Type, line.ServerSequence++, answer.Payload));
      frame[T8Transport::kMarker] = answer.Marker;
      line.Inbound.insert(line.Inbound.end(), frame.begin(), frame.end());
      break;
    }
    case testing::Answer::Kind::Raw:
      line.Inbound.insert(line.Inbound.end(), answer.Raw.begin(), answer.Raw.end());
      break;
    case testing::Answer::Kind::Silent:
      break;
    case testing::Answer::Kind::Close:
      line.PeerGone = true;
      break;
  }
}

void ScriptedServer::DropConnection() {
  if (current_) current_->PeerGone = true;
}

void ScriptedServer::Send(const testing::Answer& answer) {
  if (current_) Deliver(*current_, answer);
}

std::vector<WrittenFrame> ScriptedServer::FramesOn(int connection) const {
  std::vector<WrittenFrame> frames;
  for (const auto& f : frames_) {
    if (f.Connection == connection) frames.push_back(f);
  }
  return frames;
}

std::vector<std::string> ScriptedServer::TypesOn(int connection) const {
  std::vector<std::string> types;
  for (const auto& f : FramesOn(connection)) {
    const char* name = T8TypeName(f.Type);
    types.push_back(name ? name : std::to_string(f.Type));
  }
  return types;
}

int ScriptedServer::Count(int32_t type) const {
  return static_cast<int>(
      std::count_if(frames_.begin(), frames_.end(), [&](const auto& f) { return f.Type == type; }));
}

}  // namespace orvelgate::testing
