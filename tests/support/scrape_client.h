#pragma once
// A plain HTTP client for the metrics endpoint's tests: a blocking loopback socket
// that sends some bytes and reads until the server closes (or 10 s pass).

#include <cstdint>
#include <string>

namespace orvelgate::testing {

class ScrapeClient {
 public:
  // Connects to host:port; a failed connection leaves it closed (Connected() false).
  explicit ScrapeClient(uint16_t port, const std::string& host = "127.0.0.1");
  ~ScrapeClient();
  ScrapeClient(const ScrapeClient&) = delete;
  ScrapeClient& operator=(const ScrapeClient&) = delete;

  bool Connected() const { return fd_ >= 0; }
  bool Send(const std::string& bytes);
  // Everything until the server closes the connection.
  std::string ReadToEnd();

 private:
  int fd_ = -1;
};

struct HttpAnswer {
  std::string statusLine;  // "HTTP/1.1 200 OK"
  std::string head;        // the whole head, with its line ends
  std::string body;
};

// Splits a response; an empty answer (the server closed without one) gives empty parts.
HttpAnswer SplitAnswer(const std::string& response);

// Sends `request` on a new connection and reads the whole answer.
HttpAnswer Ask(uint16_t port, const std::string& request);

}  // namespace orvelgate::testing
