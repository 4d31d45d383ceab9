#include "hwlib/wire_codec.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace vexahv::hwlib {

void ByteWriter::u16(std::uint16_t v) {
  bytes_.push_back(static_cast<std::uint8_t>(v));
  bytes_.push_back(static_cast<std::uint8_t>(v >> 8));
}

void ByteWriter::u32(std::uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void ByteWriter::f32(float v) { u32(std::bit_cast<std::uint32_t>(v)); }

void ByteWriter::text(std::string_view s) {
  const std::size_t n = std::min<std::size_t>(s.size(), 0xFFFF);
  u16(static_cast<std::uint16_t>(n));
  raw(s.data(), n);
}

void ByteWriter::raw(const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  bytes_.insert(bytes_.end(), p, p + size);
}

void ByteWriter::patchU32(std::size_t offset, std::uint32_t v) {
  if (offset + 4 <= bytes_.size()) storeLe32(bytes_.data() + offset, v);
}

bool ByteReader::take(std::size_t n) noexcept {
  if (!ok_ || data_.size() - pos_ < n) {
    ok_ = false;
    return false;
  }
  return true;
}

std::uint8_t ByteReader::u8() {
  if (!take(1)) return 0;
  return data_[pos_++];
}

std::uint16_t ByteReader::u16() {
  if (!take(2)) return 0;
  const auto v = static_cast<std::uint16_t>(data_[pos_] | (data_[pos_ + 1] << 8));
  pos_ += 2;
  return v;
}

std::uint32_t ByteReader::u32() {
  if (!take(4)) return 0;
  const auto v = loadLe32(data_.data() + pos_);
  pos_ += 4;
  return v;
}

float ByteReader::f32() { return std::bit_cast<float>(u32()); }

std::string ByteReader::text(std::size_t maxLength) {
  const std::size_t n = u16();
  if (!ok_ || n > maxLength || !take(n)) {
    ok_ = false;
    return {};
  }
  std::string s(reinterpret_cast<const char*>(data_.data() + pos_), n);
  pos_ += n;
  if (s.find('\0') != std::string::npos) {
    ok_ = false;
    return {};
  }
  return s;
}

bool ByteReader::raw(void* out, std::size_t size) {
  if (!take(size)) return false;
  if (size != 0) std::memcpy(out, data_.data() + pos_, size);
  pos_ += size;
  return true;
}

std::uint32_t loadLe32(const std::uint8_t* p) noexcept {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void storeLe32(std::uint8_t* p, std::uint32_t v) noexcept {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t crc32(std::span<const std::uint8_t> data, std::uint32_t previous) noexcept {
  // zlib's CRC-32 (the same polynomial and conditioning) runs many bytes a cycle; event
  // batches of megabytes are checked on every arrival.
  uLong c = previous;
  while (!data.empty()) {
    const auto n = static_cast<uInt>(std::min<std::size_t>(data.size(), 1u << 30));
    c = ::crc32(c, data.data(), n);
    data = data.subspan(n);
  }
  return static_cast<std::uint32_t>(c);
}

}  // namespace vexahv::hwlib
