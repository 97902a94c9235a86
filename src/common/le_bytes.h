#pragma once
// Bounds-checked little-endian access to byte buffers, shared by every codec. Offsets
// are given explicitly so that the code reads like the layout tables above it. A read
// or write outside the buffer is a returned failure, never undefined behaviour.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace orvelgate {

class LeReader {
 public:
  explicit LeReader(std::span<const uint8_t> data) : data_(data) {}

  std::size_t size() const { return data_.size(); }
  bool Has(std::size_t offset, std::size_t count) const {
    return offset <= data_.size() && count <= data_.size() - offset;
  }
  std::optional<uint8_t> U8(std::size_t offset) const;
  std::optional<uint16_t> U16(std::size_t offset) const;
  std::optional<uint32_t> U32(std::size_t offset) const;
  std::optional<int32_t> I32(std::size_t offset) const;
  std::optional<uint64_t> U64(std::size_t offset) const;
  std::optional<double> F64(std::size_t offset) const;
  std::optional<std::span<const uint8_t>> Bytes(std::size_t offset, std::size_t count) const;

 private:
  std::optional<uint64_t> Unsigned(std::size_t offset, std::size_t width) const;
  std::span<const uint8_t> data_;
};

class LeWriter {
 public:
  explicit LeWriter(std::span<uint8_t> data) : data_(data) {}

  std::size_t size() const { return data_.size(); }
  bool U8(std::size_t offset, uint8_t v);
  bool U16(std::size_t offset, uint16_t v);
  bool U32(std::size_t offset, uint32_t v);
  bool I32(std::size_t offset, int32_t v);
  bool U64(std::size_t offset, uint64_t v);
  bool F64(std::size_t offset, double v);
  bool Bytes(std::size_t offset, std::span<const uint8_t> bytes);
  bool Text(std::size_t offset, std::string_view text);  // raw characters, no length

 private:
  bool Unsigned(std::size_t offset, std::size_t width, uint64_t v);
  std::span<uint8_t> data_;
};

}  // namespace orvelgate
