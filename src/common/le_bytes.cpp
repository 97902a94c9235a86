#include "common/le_bytes.h"

#include <bit>
#include <cstring>

namespace orvelgate {

std::optional<uint64_t> LeReader::Unsigned(std::size_t offset, std::size_t width) const {
  if (!Has(offset, width)) return std::nullopt;
  uint64_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v |= static_cast<uint64_t>(data_[offset + i]) << (8 * i);
  return v;
}

std::optional<uint8_t> LeReader::U8(std::size_t offset) const {
  auto v = Unsigned(offset, 1);
  return v ? std::optional<uint8_t>(static_cast<uint8_t>(*v)) : std::nullopt;
}

std::optional<uint16_t> LeReader::U16(std::size_t offset) const {
  auto v = Unsigned(offset, 2);
  return v ? std::optional<uint16_t>(static_cast<uint16_t>(*v)) : std::nullopt;
}

std::optional<uint32_t> LeReader::U32(std::size_t offset) const {
  auto v = Unsigned(offset, 4);
  return v ? std::optional<uint32_t>(static_cast<uint32_t>(*v)) : std::nullopt;
}

std::optional<int32_t> LeReader::I32(std::size_t offset) const {
  auto v = U32(offset);
  return v ? std::optional<int32_t>(static_cast<int32_t>(*v)) : std::nullopt;
}

std::optional<uint64_t> LeReader::U64(std::size_t offset) const { return Unsigned(offset, 8); }

std::optional<double> LeReader::F64(std::size_t offset) const {
  auto v = Unsigned(offset, 8);
  return v ? std::optional<double>(std::bit_cast<double>(*v)) : std::nullopt;
}

std::optional<std::span<const uint8_t>> LeReader::Bytes(std::size_t offset,
                                                        std::size_t count) const {
  if (!Has(offset, count)) return std::nullopt;
  return data_.subspan(offset, count);
}

bool LeWriter::Unsigned(std::size_t offset, std::size_t width, uint64_t v) {
  if (offset > data_.size() || width > data_.size() - offset) return false;
  for (std::size_t i = 0; i < width; ++i) data_[offset + i] = static_cast<uint8_t>(v >> (8 * i));
  return true;
}

bool LeWriter::U8(std::size_t offset, uint8_t v) { return Unsigned(offset, 1, v); }
bool LeWriter::U16(std::size_t offset, uint16_t v) { return Unsigned(offset, 2, v); }
bool LeWriter::U32(std::size_t offset, uint32_t v) { return Unsigned(offset, 4, v); }
bool LeWriter::I32(std::size_t offset, int32_t v) {
  return Unsigned(offset, 4, static_cast<uint32_t>(v));
}
bool LeWriter::U64(std::size_t offset, uint64_t v) { return Unsigned(offset, 8, v); }
bool LeWriter::F64(std::size_t offset, double v) {
  return Unsigned(offset, 8, std::bit_cast<uint64_t>(v));
}

bool LeWriter::Bytes(std::size_t offset, std::span<const uint8_t> bytes) {
  if (offset > data_.size() || bytes.size() > data_.size() - offset) return false;
  if (!bytes.empty()) std::memcpy(data_.data() + offset, bytes.data(), bytes.size());
  return true;
}

bool LeWriter::Text(std::size_t offset, std::string_view text) {
  return Bytes(offset, {reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

}  // namespace orvelgate
