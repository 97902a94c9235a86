#include "metrics/scrape_request.h"

namespace orvelgate {
namespace {

std::string_view StatusText(int status) {
  switch (status) {
    case 200: return "OK";
    case 404: return "Not Found";
    default: return "Internal Server Error";
  }
}

std::string_view FirstLine(std::string_view head) {
  std::string_view line = head.substr(0, head.find('\n'));
  if (line.ends_with('\r')) line.remove_suffix(1);
  return line;
}

}  // namespace

std::optional<std::size_t> RequestHeadEnd(std::string_view received) {
  const std::size_t crlf = received.find("\r\n\r\n");
  const std::size_t lf = received.find("\n\n");
  if (crlf == std::string_view::npos && lf == std::string_view::npos) return std::nullopt;
  if (lf == std::string_view::npos || (crlf != std::string_view::npos && crlf < lf)) return crlf + 4;
  return lf + 2;
}

bool AsksForMetrics(std::string_view head) {
  const std::string_view line = FirstLine(head);
  const std::size_t first = line.find(' ');
  const std::size_t second = line.find(' ', first + 1);
  if (first == std::string_view::npos || second == std::string_view::npos) return false;
  const std::string_view method = line.substr(0, first);
  const std::string_view target = line.substr(first + 1, second - first - 1);
  const std::string_view version = line.substr(second + 1);
  const std::string_view path = target.substr(0, target.find('?'));
  return method == "GET" && path == "/metrics" && version.starts_with("HTTP/1.") &&
         version.size() == 8;
}

std::string ScrapeResponse(int status, std::string_view scrape) {
  const bool ok = status == 200;
  const std::string_view body = ok ? scrape : status == 404 ? "not found\n" : "scrape failed\n";
  std::string response = "HTTP/1.1 " + std::to_string(status) + " " + std::string(StatusText(status)) +
                         "\r\nContent-Type: text/plain; ";
  response += ok ? "version=0.0.4; charset=utf-8" : "charset=utf-8";
  response += "\r\nContent-Length: " + std::to_string(body.size()) +
              "\r\nConnection: close\r\n\r\n";
  response += body;
  return response;
}

}  // namespace orvelgate
