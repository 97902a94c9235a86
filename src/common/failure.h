#pragma once
// The driver's one error type. A Failure says what was being done, the errno when the
// cause is a system error, and, where one layer wraps another, the inner failure that
// caused it; where the remedy is known, what mends it. Describe renders the whole chain on
// one line, outermost first, each remedy after the part it belongs to:
//   "write orvelgate.journal: No space left on device (errno 28)"
//   "event journal: write orvelgate.journal: No space left on device (errno 28)"
//   "/dev/ttyUSB0: Permission denied (errno 13); add the user to the dialout group"
// Also here: the one place an errno (or a resolver code) becomes text.

#include <exception>
#include <memory>
#include <string>
#include <utility>

namespace orvelgate {

struct Failure {
  int error = 0;     // errno, or 0 when the cause is not a system error
  std::string text;  // what was being done: "open /dev/ttyUSB0"
  std::shared_ptr<const Failure> cause;  // the inner failure this one wraps, if any
  std::string remedy;  // what mends it, when known: "add the user to the dialout group"

  static Failure FromErrno(int error, std::string text) { return {error, std::move(text), {}, {}}; }
  static Failure FromText(std::string text) { return {0, std::move(text), {}, {}}; }
  // text, caused by inner: "event journal" around "write x: ..." .
  static Failure Wrap(std::string text, Failure inner);
  // What an exception says, its what() whole: a std::system_error's already ends with
  // its errno's words.
  static Failure FromException(const std::exception& caught);
  // The exception being handled, for a catch (...); unknownText when it is not a
  // std::exception. Only inside a handler.
  static Failure FromCurrentException(std::string unknownText = "unknown exception");

  // The innermost errno of the chain, 0 when none is a system error.
  int Errno() const;
  // "open /dev/ttyUSB0: Permission denied (errno 13)", with the causes after colons and
  // the remedy after a semicolon.
  std::string Describe() const;
};

// "No such file or directory (errno 2)". Thread-safe, and English whatever the locale.
std::string ErrnoText(int error);
// The same without the number, where a line has always shown the words alone:
// "No such file or directory".
std::string ErrnoWords(int error);
// The text of a host lookup's (getaddrinfo's) result code; error is the errno that
// goes with EAI_SYSTEM. The resolver's own words, without an errno suffix.
std::string AddressLookupText(int code, int error);

}  // namespace orvelgate
