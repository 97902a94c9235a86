#pragma once
// The little HTTP that a metrics scrape needs, with no I/O: where a request's head ends,
// whether it asks for the metrics, and the whole response. Only `GET /metrics` (with or
// without a query) is answered with the scrape; anything else, malformed or too long,
// is 404. Every response closes the connection.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace orvelgate {

// The size of the head up to and including its empty line (CRLF CRLF, or a bare
// LF LF); nullopt while it has not ended.
std::optional<std::size_t> RequestHeadEnd(std::string_view received);

// True when the head's request line is `GET /metrics[?query] HTTP/1.x`.
bool AsksForMetrics(std::string_view head);

// 200 with the scrape as text/plain; version=0.0.4, 404 or 500 with a short text.
std::string ScrapeResponse(int status, std::string_view scrape = {});

}  // namespace orvelgate
