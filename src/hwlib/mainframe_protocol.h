#pragma once
// The request/response protocol between the HV library and a mainframe, over one TCP
// connection per handle. Every frame is a 4-byte little-endian body length and a body:
//   request:  u16 opcode, u32 sequence, payload
//   response: u16 opcode | 0x8000, u32 sequence, i32 result, payload
// The first request on a connection is Hello (magic, version, system type, user,
// password); nothing else is served before it succeeds.
//
// Payloads (u16/u32 little-endian; text = u16 length + bytes, no NUL; value = text for
// string parameters and text system properties, else u32 holding the 4 value bytes):
//   Hello            u32 magic, u16 version, u8 system type, text user, text password
//                    -> u16 version, text mainframe name
//   GetCrateMap      -> u16 n, n x {u16 channels, text model, text description,
//                       u16 serial, u8 firmware minor, u8 firmware major}
//   GetSysPropList   -> u16 n, n x text
//   GetSysPropInfo   text prop -> u32 mode, u32 type
//   GetSysProp       text prop -> u32 type, value
//   SetSysProp       text prop, u32 type, value
//   GetBdParamInfo   u16 slot -> u16 n, n x text
//   GetBdParamProp   u16 slot, text param, text prop -> u8 ValueKind, value
//   GetBdParam       u16 n, n x u16 slot, text param -> u32 type, n x value
//   SetBdParam       u16 n, n x u16 slot, text param, u32 type, value
//   GetChParamInfo   u16 slot, u16 channel -> u16 n, n x text
//   GetChParamProp   u16 slot, u16 channel, text param, text prop -> u8 ValueKind, value
//   GetChParam       u16 slot, text param, u16 n, n x u16 channel -> u32 type, n x value
//   SetChParam       u16 slot, text param, u16 n, n x u16 channel, u32 type, value
//   GetChName        u16 slot, u16 n, n x u16 channel -> n x text
//   SetChName        u16 slot, u16 n, n x u16 channel, text name
//   ExecComm         text command
//   (Un)Subscribe    u16 port, u16 n, n x text -> u16 n, n x u8 code
//   SubscribeSystem  u16 port, u16 n, n x text -> u16 n, n x u8 code
//   SubscribeBoard   u16 port, u16 slot, u16 n, n x text -> u16 n, n x u8 code
//   SubscribeChannel u16 port, u16 slot, u16 channel, u16 n, n x text -> u16 n, n x u8
// A response with a non-zero result carries no payload.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "hwlib/wire_codec.h"

namespace vexahv::hwlib {

enum class Op : std::uint16_t {
  Hello = 1,
  GetCrateMap,
  GetSysPropList,
  GetSysPropInfo,
  GetSysProp,
  SetSysProp,
  GetBdParamInfo,
  GetBdParamProp,
  GetBdParam,
  SetBdParam,
  GetChParamInfo,
  GetChParamProp,
  GetChParam,
  SetChParam,
  GetChName,
  SetChName,
  ExecComm,
  Subscribe,
  UnSubscribe,
  SubscribeSystem,
  SubscribeBoard,
  SubscribeChannel,
  Last = SubscribeChannel,
};

inline constexpr std::uint32_t kHelloMagic = 0x56484D46;  // "FMHV"
inline constexpr std::uint16_t kProtocolVersion = 1;
inline constexpr std::uint16_t kResponseFlag = 0x8000;
inline constexpr std::size_t kLengthSize = 4;
inline constexpr std::size_t kRequestHeadSize = 6;
inline constexpr std::size_t kResponseHeadSize = 10;
// Enough for 4096 text values of 1024 bytes with their length prefixes.
inline constexpr std::size_t kMaxBodySize = 4096u * 1030u + 64u;

// Text limits on the wire (without NUL).
inline constexpr std::size_t kMaxNameLength = 63;       // item ids, property names, commands
inline constexpr std::size_t kMaxParamNameLength = 9;   // fits a 10-byte name field
inline constexpr std::size_t kMaxChannelNameLength = 11;
inline constexpr std::size_t kMaxTextValueLength = 1023;
inline constexpr std::size_t kMaxCredentialLength = 63;

// How a parameter property's value is laid out in the caller's buffer.
enum class ValueKind : std::uint8_t { U32, F32, U16, I16, Text };
// false when the property name is not one the library knows.
bool propertyValueKind(std::string_view property, ValueKind& kind) noexcept;

// Parameter value on the wire: text for string parameters, else 4 raw bytes.
inline constexpr std::uint32_t kStringParamType = 5;
inline constexpr std::uint32_t kStringSysPropType = 0;

void beginRequest(ByteWriter& w, Op op, std::uint32_t sequence);
void beginResponse(ByteWriter& w, std::uint16_t opcode, std::uint32_t sequence,
                   std::int32_t result);
// Patches the body length in front of what begin* wrote.
void finishFrame(ByteWriter& w);

struct RequestView {
  std::uint16_t opcode = 0;
  std::uint32_t sequence = 0;
  std::span<const std::uint8_t> payload;
};
struct ResponseView {
  std::uint16_t opcode = 0;
  std::uint32_t sequence = 0;
  std::int32_t result = 0;
  std::span<const std::uint8_t> payload;
};
// body: the bytes after the length field.
bool parseRequest(std::span<const std::uint8_t> body, RequestView& out) noexcept;
bool parseResponse(std::span<const std::uint8_t> body, ResponseView& out) noexcept;

}  // namespace vexahv::hwlib
