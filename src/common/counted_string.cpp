#include "common/counted_string.h"

#include <algorithm>

namespace orvelgate {

bool PutCountedString(LeWriter& out, std::size_t offset, std::size_t capacity,
                      std::string_view text) {
  if (capacity > 255 || offset > out.size() || capacity + 1 > out.size() - offset) return false;
  const std::size_t length = std::min(text.size(), capacity);
  out.U8(offset, static_cast<uint8_t>(length));
  out.Text(offset + 1, text.substr(0, length));
  for (std::size_t i = length; i < capacity; ++i) out.U8(offset + 1 + i, 0);
  return true;
}

std::optional<std::string> GetCountedString(const LeReader& in, std::size_t offset,
                                            std::size_t capacity) {
  auto bytes = in.Bytes(offset, capacity + 1);
  if (!bytes) return std::nullopt;
  const std::size_t length = std::min<std::size_t>((*bytes)[0], capacity);
  return std::string(reinterpret_cast<const char*>(bytes->data() + 1), length);
}

}  // namespace orvelgate
