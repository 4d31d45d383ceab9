#include "hwlib/event_wire.h"

#include <cstring>

#include "hwlib/wire_codec.h"

namespace vexahv::hwlib {
namespace {

bool terminated(const char* field, std::size_t size) {
  return std::memchr(field, '\0', size) != nullptr;
}

void appendCrc(std::vector<std::uint8_t>& out) {
  const std::uint32_t c = crc32(out);
  const std::size_t at = out.size();
  out.resize(at + kCrcSize);
  storeLe32(out.data() + at, c);
}

void putLe32(std::uint8_t* p, std::int32_t v) { storeLe32(p, static_cast<std::uint32_t>(v)); }
std::int32_t getLe32(const std::uint8_t* p) { return static_cast<std::int32_t>(loadLe32(p)); }

// Records and the status block travel in their C layout with integers little-endian.
void encodeTcpRecord(const VEXAHVTcpEventRecord& r, std::uint8_t* out) {
  std::memcpy(out, &r, kTcpRecordSize);
  putLe32(out + 0, r.type);
  putLe32(out + 4, r.sequence);
  putLe32(out + 8, r.slot);
  putLe32(out + 12, r.channel);
}

void decodeTcpRecord(const std::uint8_t* in, VEXAHVTcpEventRecord& r) {
  std::memcpy(&r, in, kTcpRecordSize);
  r.type = getLe32(in + 0);
  r.sequence = getLe32(in + 4);
  r.slot = getLe32(in + 8);
  r.channel = getLe32(in + 12);
}

constexpr std::size_t kStatusNameSize = sizeof(VEXAHVSystemStatus::name);
constexpr std::size_t kStatusWords = (kStatusSize - kStatusNameSize) / 4;

void encodeStatus(const VEXAHVSystemStatus& s, std::uint8_t* out) {
  std::memcpy(out, s.name, kStatusNameSize);
  const std::uint32_t words[kStatusWords] = {s.uptimeSeconds, s.batchNumber, s.subscriptions,
                                             s.channelsOn,    s.channelsTripped, s.alarm,
                                             s.reserved};
  for (std::size_t i = 0; i < kStatusWords; ++i) storeLe32(out + kStatusNameSize + 4 * i, words[i]);
}

void decodeStatus(const std::uint8_t* in, VEXAHVSystemStatus& s) {
  std::memcpy(s.name, in, kStatusNameSize);
  std::uint32_t* words[kStatusWords] = {&s.uptimeSeconds, &s.batchNumber, &s.subscriptions,
                                        &s.channelsOn,    &s.channelsTripped, &s.alarm,
                                        &s.reserved};
  for (std::size_t i = 0; i < kStatusWords; ++i) *words[i] = loadLe32(in + kStatusNameSize + 4 * i);
}

}  // namespace

std::vector<std::uint8_t> encodeUdpDatagram(std::span<const VEXAHVUdpEventRecord> records) {
  ByteWriter w;
  w.u32(kUdpMagic);
  w.u16(kEventVersion);
  w.u16(static_cast<std::uint16_t>(records.size()));
  w.raw(records.data(), records.size_bytes());
  auto out = std::move(w.bytes());
  appendCrc(out);
  return out;
}

int decodeUdpDatagram(std::span<const std::uint8_t> datagram,
                      std::vector<VEXAHVUdpEventRecord>& records) {
  records.clear();
  if (datagram.size() < kUdpHeaderSize + kCrcSize) return VEXAHV_ERR_PROTOCOL;
  ByteReader r(datagram);
  const std::uint32_t magic = r.u32();
  const std::uint16_t version = r.u16();
  const std::size_t count = r.u16();
  if (magic != kUdpMagic || version != kEventVersion || count == 0 || count > kMaxUdpRecords ||
      datagram.size() != kUdpHeaderSize + count * kUdpRecordSize + kCrcSize) {
    return VEXAHV_ERR_PROTOCOL;
  }
  const std::size_t crcAt = datagram.size() - kCrcSize;
  if (crc32(datagram.first(crcAt)) != loadLe32(datagram.data() + crcAt)) return VEXAHV_ERR_PROTOCOL;
  records.resize(count);
  std::memcpy(records.data(), datagram.data() + kUdpHeaderSize, count * kUdpRecordSize);
  for (const auto& rec : records) {
    if (!terminated(rec.id, sizeof rec.id) || !terminated(rec.text, sizeof rec.text)) {
      records.clear();
      return VEXAHV_ERR_PROTOCOL;
    }
  }
  return VEXAHV_OK;
}

std::vector<std::uint8_t> encodeTcpBatch(const VEXAHVSystemStatus& status,
                                         std::span<const VEXAHVTcpEventRecord> records) {
  std::vector<std::uint8_t> out(kTcpHeaderSize + kStatusSize + records.size() * kTcpRecordSize);
  storeLe32(out.data(), kTcpMagic);
  storeLe32(out.data() + 4, static_cast<std::uint32_t>(records.size()));
  encodeStatus(status, out.data() + kTcpHeaderSize);
  std::uint8_t* p = out.data() + kTcpHeaderSize + kStatusSize;
  for (const auto& rec : records) {
    encodeTcpRecord(rec, p);
    p += kTcpRecordSize;
  }
  appendCrc(out);
  return out;
}

int decodeTcpBatchHeader(std::span<const std::uint8_t> header, std::size_t& restSize) {
  if (header.size() != kTcpHeaderSize) return VEXAHV_ERR_PROTOCOL;
  const std::uint32_t count = loadLe32(header.data() + 4);
  if (loadLe32(header.data()) != kTcpMagic || count == 0 || count > kMaxTcpRecords) {
    return VEXAHV_ERR_PROTOCOL;
  }
  restSize = kStatusSize + count * kTcpRecordSize + kCrcSize;
  return VEXAHV_OK;
}

std::size_t tcpRecordCount(std::span<const std::uint8_t> rest) noexcept {
  return rest.size() < kStatusSize + kCrcSize ? 0 : (rest.size() - kStatusSize - kCrcSize) / kTcpRecordSize;
}

int decodeTcpBatchInto(std::span<const std::uint8_t> header, std::span<const std::uint8_t> rest,
                       VEXAHVSystemStatus& status, VEXAHVTcpEventRecord* out) {
  std::size_t expected = 0;
  if (decodeTcpBatchHeader(header, expected) != VEXAHV_OK || rest.size() != expected) {
    return VEXAHV_ERR_PROTOCOL;
  }
  const std::uint32_t c = crc32(rest.first(rest.size() - kCrcSize), crc32(header));
  if (c != loadLe32(rest.data() + rest.size() - kCrcSize)) return VEXAHV_ERR_PROTOCOL;
  decodeStatus(rest.data(), status);
  const std::size_t count = tcpRecordCount(rest);
  const std::uint8_t* p = rest.data() + kStatusSize;
  for (std::size_t i = 0; i < count; ++i, p += kTcpRecordSize) {
    VEXAHVTcpEventRecord& rec = out[i];
    decodeTcpRecord(p, rec);
    if (!terminated(rec.name, sizeof rec.name) || !terminated(rec.data.text, sizeof rec.data.text)) {
      return VEXAHV_ERR_PROTOCOL;
    }
  }
  return VEXAHV_OK;
}

int decodeTcpBatchRest(std::span<const std::uint8_t> header, std::span<const std::uint8_t> rest,
                       VEXAHVSystemStatus& status, std::vector<VEXAHVTcpEventRecord>& records) {
  records.resize(tcpRecordCount(rest));
  const int rc = decodeTcpBatchInto(header, rest, status, records.data());
  if (rc != VEXAHV_OK) records.clear();
  return rc;
}

}  // namespace vexahv::hwlib
