#include <netdb.h>

#include <cstring>

#include "common/failure.h"

namespace orvelgate {

std::string ErrnoWords(int error) {
  // strerrordesc_np: the English text whatever the locale, and safe on any thread.
  const char* words = strerrordesc_np(error);
  return words ? words : "Unknown error " + std::to_string(error);
}

std::string ErrnoText(int error) {
  return ErrnoWords(error) + " (errno " + std::to_string(error) + ")";
}

std::string AddressLookupText(int code, int error) {
  return code == EAI_SYSTEM ? ErrnoWords(error) : gai_strerror(code);
}

}  // namespace orvelgate
