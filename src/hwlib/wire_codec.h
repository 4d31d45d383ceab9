#pragma once
// Little-endian byte encoding shared by the library and the simulator. The reader never
// reads past its input: a short or malformed input sets a sticky failure that the caller
// checks once at the end.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vexahv::hwlib {

class ByteWriter {
 public:
  void u8(std::uint8_t v) { bytes_.push_back(v); }
  void u16(std::uint16_t v);
  void u32(std::uint32_t v);
  void i32(std::int32_t v) { u32(static_cast<std::uint32_t>(v)); }
  void f32(float v);
  // u16 length, then the bytes; texts longer than 65535 bytes are cut.
  void text(std::string_view s);
  void raw(const void* data, std::size_t size);
  // Overwrites 4 bytes at offset (used to patch a length in front of a body).
  void patchU32(std::size_t offset, std::uint32_t v);

  std::size_t size() const noexcept { return bytes_.size(); }
  const std::vector<std::uint8_t>& bytes() const noexcept { return bytes_; }
  std::vector<std::uint8_t>& bytes() noexcept { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> data) : data_(data) {}

  std::uint8_t u8();
  std::uint16_t u16();
  std::uint32_t u32();
  std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
  float f32();
  // Fails when the text is longer than maxLength or holds a NUL.
  std::string text(std::size_t maxLength);
  bool raw(void* out, std::size_t size);

  bool ok() const noexcept { return ok_; }
  bool atEnd() const noexcept { return ok_ && pos_ == data_.size(); }
  std::size_t remaining() const noexcept { return data_.size() - pos_; }
  void fail() noexcept { ok_ = false; }

 private:
  bool take(std::size_t n) noexcept;
  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

std::uint32_t loadLe32(const std::uint8_t* p) noexcept;
void storeLe32(std::uint8_t* p, std::uint32_t v) noexcept;
// CRC-32 (IEEE); pass the CRC of earlier bytes as previous to continue over more.
std::uint32_t crc32(std::span<const std::uint8_t> data, std::uint32_t previous = 0) noexcept;

}  // namespace vexahv::hwlib
