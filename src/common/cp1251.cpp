#include "common/cp1251.h"

#include <iconv.h>

#include <cerrno>
#include <vector>

namespace orvelgate {
namespace {

// Converts with glibc iconv; an input sequence that cannot be converted is replaced by
// '?' and skipped (one byte of it), so the result is always complete.
std::string Convert(const char* to, const char* from, std::string_view input) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(input);
  std::string out;
  std::vector<char> buffer(input.size() * 4 + 16);
  char* in = const_cast<char*>(input.data());
  size_t inLeft = input.size();
  while (inLeft > 0) {
    char* o = buffer.data();
    size_t oLeft = buffer.size();
    const size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
    out.append(buffer.data(), static_cast<size_t>(o - buffer.data()));
    if (r == static_cast<size_t>(-1) && errno != E2BIG) {
      out.push_back('?');
      ++in;
      --inLeft;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  return out;
}

}  // namespace

std::string Utf8ToCp1251(std::string_view utf8) { return Convert("CP1251", "UTF-8", utf8); }

std::string Cp1251ToUtf8(std::string_view cp1251) { return Convert("UTF-8", "CP1251", cp1251); }

}  // namespace orvelgate
