#pragma once
// Event data as it travels from a mainframe to the subscriber.
//   UDP datagram: u32 magic "EVHV", u16 version, u16 record count, the records
//                 (325 bytes each), u32 CRC-32 of everything before it.
//   TCP batch:    u32 magic "TBHV", u32 record count, 68-byte status block, the records
//                 (1060 bytes each), u32 CRC-32 of everything before it.
// Integers little-endian. A decoder accepts a datagram or batch only whole, with its CRC
// right and every text field NUL-terminated inside its field.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "hwlib/VEXAHVWrapper.h"

namespace vexahv::hwlib {

inline constexpr std::uint32_t kUdpMagic = 0x56484556;  // "VEHV"
inline constexpr std::uint32_t kTcpMagic = 0x56484254;  // "TBHV"
inline constexpr std::uint16_t kEventVersion = 1;
inline constexpr std::size_t kUdpHeaderSize = 8;
inline constexpr std::size_t kTcpHeaderSize = 8;
inline constexpr std::size_t kCrcSize = 4;
inline constexpr std::size_t kUdpRecordSize = sizeof(VEXAHVUdpEventRecord);
inline constexpr std::size_t kTcpRecordSize = sizeof(VEXAHVTcpEventRecord);
inline constexpr std::size_t kStatusSize = sizeof(VEXAHVSystemStatus);
inline constexpr std::size_t kMaxUdpRecords = 190;  // keeps a datagram under 64 KiB
inline constexpr std::size_t kMaxTcpRecords = 4096;

static_assert(kUdpRecordSize == 325);
static_assert(kTcpRecordSize == 1060);
static_assert(kStatusSize == 68);

std::vector<std::uint8_t> encodeUdpDatagram(std::span<const VEXAHVUdpEventRecord> records);
// VEXAHV_OK, or VEXAHV_ERR_PROTOCOL for anything damaged.
int decodeUdpDatagram(std::span<const std::uint8_t> datagram,
                      std::vector<VEXAHVUdpEventRecord>& records);

std::vector<std::uint8_t> encodeTcpBatch(const VEXAHVSystemStatus& status,
                                         std::span<const VEXAHVTcpEventRecord> records);
// Reads the fixed header; gives the number of bytes that follow it.
int decodeTcpBatchHeader(std::span<const std::uint8_t> header, std::size_t& restSize);
// header: the 8 header bytes; rest: the bytes decodeTcpBatchHeader announced.
// The records of a batch rest decoded into out, which holds tcpRecordCount(rest) records
// (nothing is allocated: a batch is megabytes, and it arrives many times a second).
std::size_t tcpRecordCount(std::span<const std::uint8_t> rest) noexcept;
int decodeTcpBatchInto(std::span<const std::uint8_t> header, std::span<const std::uint8_t> rest,
                       VEXAHVSystemStatus& status, VEXAHVTcpEventRecord* out);
int decodeTcpBatchRest(std::span<const std::uint8_t> header, std::span<const std::uint8_t> rest,
                       VEXAHVSystemStatus& status, std::vector<VEXAHVTcpEventRecord>& records);

}  // namespace vexahv::hwlib
