#include "common/failure.h"

#include <system_error>

namespace orvelgate {

Failure Failure::Wrap(std::string text, Failure inner) {
  return {0, std::move(text), std::make_shared<const Failure>(std::move(inner)), {}};
}

Failure Failure::FromException(const std::exception& caught) {
  // The what() text is kept whole: it already names the errno's text where there is one.
  return FromText(caught.what());
}

Failure Failure::FromCurrentException(std::string unknownText) {
  try {
    throw;
  } catch (const std::exception& caught) {
    return FromException(caught);
  } catch (...) {  // keeps: all a foreign exception can say is that it came
    return FromText(std::move(unknownText));
  }
}

int Failure::Errno() const {
  if (error != 0) return error;
  return cause ? cause->Errno() : 0;
}

std::string Failure::Describe() const {
  std::string line = text;
  const std::string why = cause ? cause->Describe() : error != 0 ? ErrnoText(error) : "";
  if (!line.empty() && !why.empty()) line += ": ";
  line += why;
  if (!line.empty() && !remedy.empty()) line += "; ";
  return line + remedy;
}

}  // namespace orvelgate
