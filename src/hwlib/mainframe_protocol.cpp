#include "hwlib/mainframe_protocol.h"

namespace vexahv::hwlib {

bool propertyValueKind(std::string_view property, ValueKind& kind) noexcept {
  if (property == "Type" || property == "Mode") {
    kind = ValueKind::U32;
  } else if (property == "Minval" || property == "Maxval") {
    kind = ValueKind::F32;
  } else if (property == "Unit" || property == "Resol") {
    kind = ValueKind::U16;
  } else if (property == "Exp") {
    kind = ValueKind::I16;
  } else if (property == "Onstate" || property == "Offstate") {
    kind = ValueKind::Text;
  } else {
    return false;
  }
  return true;
}

void beginRequest(ByteWriter& w, Op op, std::uint32_t sequence) {
  w.u32(0);
  w.u16(static_cast<std::uint16_t>(op));
  w.u32(sequence);
}

void beginResponse(ByteWriter& w, std::uint16_t opcode, std::uint32_t sequence,
                   std::int32_t result) {
  w.u32(0);
  w.u16(static_cast<std::uint16_t>(opcode | kResponseFlag));
  w.u32(sequence);
  w.i32(result);
}

void finishFrame(ByteWriter& w) {
  w.patchU32(0, static_cast<std::uint32_t>(w.size() - kLengthSize));
}

bool parseRequest(std::span<const std::uint8_t> body, RequestView& out) noexcept {
  if (body.size() < kRequestHeadSize || body.size() > kMaxBodySize) return false;
  ByteReader r(body);
  out.opcode = r.u16();
  out.sequence = r.u32();
  out.payload = body.subspan(kRequestHeadSize);
  return (out.opcode & kResponseFlag) == 0;
}

bool parseResponse(std::span<const std::uint8_t> body, ResponseView& out) noexcept {
  if (body.size() < kResponseHeadSize || body.size() > kMaxBodySize) return false;
  ByteReader r(body);
  out.opcode = r.u16();
  out.sequence = r.u32();
  out.result = r.i32();
  out.payload = body.subspan(kResponseHeadSize);
  return (out.opcode & kResponseFlag) != 0;
}

}  // namespace vexahv::hwlib
