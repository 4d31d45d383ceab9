#include "sim/request_handler.h"

#include <string>

#include "hwlib/VEXAHVWrapper.h"
#include "hwlib/mainframe_protocol.h"

namespace vexahv::sim {
namespace {

using hwlib::ByteReader;
using hwlib::ByteWriter;
using hwlib::Op;

std::vector<std::uint16_t> readList(ByteReader& r) {
  const std::size_t n = r.u16();
  std::vector<std::uint16_t> list;
  if (n == 0 || n > VEXAHV_MAX_LIST) {
    r.fail();
    return list;
  }
  for (std::size_t i = 0; i < n && r.ok(); ++i) list.push_back(r.u16());
  return list;
}

std::vector<std::string> readNames(ByteReader& r) {
  const std::size_t n = r.u16();
  std::vector<std::string> names;
  if (n == 0 || n > VEXAHV_MAX_LIST) {
    r.fail();
    return names;
  }
  for (std::size_t i = 0; i < n && r.ok(); ++i) names.push_back(r.text(hwlib::kMaxNameLength));
  return names;
}

bool readValue(ByteReader& r, std::uint32_t stringType, std::uint32_t& type, WireValue& v) {
  type = r.u32();
  v.isText = type == stringType;
  if (v.isText) {
    v.text = r.text(hwlib::kMaxTextValueLength);
  } else {
    v.raw = r.u32();
  }
  return r.atEnd();
}

void writeValue(ByteWriter& w, const WireValue& v) {
  if (v.isText) {
    w.text(v.text);
  } else {
    w.u32(v.raw);
  }
}

void writeCodes(ByteWriter& w, const std::vector<std::uint8_t>& codes) {
  w.u16(static_cast<std::uint16_t>(codes.size()));
  for (auto c : codes) w.u8(c);
}

int login(RequestContext& ctx, Session& session, ByteReader& r, ByteWriter& out, bool& close) {
  const std::uint32_t magic = r.u32();
  const std::uint16_t version = r.u16();
  const std::uint8_t systemType = r.u8();
  const std::string user = r.text(hwlib::kMaxCredentialLength);
  const std::string password = r.text(hwlib::kMaxCredentialLength);
  close = true;
  if (!r.atEnd() || magic != hwlib::kHelloMagic) return VEXAHV_ERR_PROTOCOL;
  if (version != hwlib::kProtocolVersion) return VEXAHV_ERR_PROTOCOL;
  const CrateSpec& spec = ctx.model.spec();
  if (systemType != spec.systemType) return VEXAHV_ERR_SYSTEM_TYPE;
  // A crate that declares credentials checks them; one that does not takes any.
  const bool checks = !spec.user.empty() || !spec.password.empty();
  if (ctx.faults.refuseLogin || (checks && (user != spec.user || password != spec.password))) {
    return VEXAHV_ERR_LOGIN_REFUSED;
  }
  close = false;
  session.loggedIn = true;
  out.u16(hwlib::kProtocolVersion);
  out.text(spec.name);
  return VEXAHV_OK;
}

int dispatch(RequestContext& ctx, Session& session, Op op, ByteReader& r, ByteWriter& out) {
  MainframeModel& m = ctx.model;
  constexpr int kDamaged = VEXAHV_ERR_PROTOCOL;
  switch (op) {
    case Op::GetCrateMap: {
      if (!r.atEnd()) return kDamaged;
      const auto map = m.crateMap();
      out.u16(static_cast<std::uint16_t>(map.size()));
      for (const auto& s : map) {
        out.u16(s.channels);
        out.text(s.model);
        out.text(s.description);
        out.u16(s.serial);
        out.u8(s.firmwareMinor);
        out.u8(s.firmwareMajor);
      }
      return VEXAHV_OK;
    }
    case Op::GetSysPropList: {
      if (!r.atEnd()) return kDamaged;
      const auto names = m.propertyNames();
      out.u16(static_cast<std::uint16_t>(names.size()));
      for (const auto& n : names) out.text(n);
      return VEXAHV_OK;
    }
    case Op::GetSysPropInfo: {
      const std::string prop = r.text(hwlib::kMaxNameLength);
      if (!r.atEnd()) return kDamaged;
      std::uint32_t mode = 0, type = 0;
      if (int rc = m.propertyInfo(prop, mode, type); rc != VEXAHV_OK) return rc;
      out.u32(mode);
      out.u32(type);
      return VEXAHV_OK;
    }
    case Op::GetSysProp: {
      const std::string prop = r.text(hwlib::kMaxNameLength);
      if (!r.atEnd()) return kDamaged;
      std::uint32_t type = 0;
      WireValue v;
      if (int rc = m.getProperty(prop, type, v); rc != VEXAHV_OK) return rc;
      out.u32(type);
      writeValue(out, v);
      return VEXAHV_OK;
    }
    case Op::SetSysProp: {
      const std::string prop = r.text(hwlib::kMaxNameLength);
      std::uint32_t type = 0;
      WireValue v;
      if (!readValue(r, hwlib::kStringSysPropType, type, v)) return kDamaged;
      return m.setProperty(prop, type, v);
    }
    case Op::GetBdParamInfo:
    case Op::GetChParamInfo: {
      const std::uint16_t slot = r.u16();
      const std::uint16_t channel = op == Op::GetChParamInfo ? r.u16() : 0;
      if (!r.atEnd()) return kDamaged;
      std::vector<std::string> names;
      const int rc = op == Op::GetBdParamInfo ? m.boardParamNames(slot, names)
                                              : m.channelParamNames(slot, channel, names);
      if (rc != VEXAHV_OK) return rc;
      out.u16(static_cast<std::uint16_t>(names.size()));
      for (const auto& n : names) out.text(n);
      return VEXAHV_OK;
    }
    case Op::GetBdParamProp:
    case Op::GetChParamProp: {
      const std::uint16_t slot = r.u16();
      const int channel = op == Op::GetChParamProp ? r.u16() : -1;
      const std::string param = r.text(hwlib::kMaxParamNameLength);
      const std::string prop = r.text(hwlib::kMaxNameLength);
      if (!r.atEnd()) return kDamaged;
      hwlib::ValueKind kind{};
      WireValue v;
      if (int rc = m.paramProperty(slot, channel, param, prop, kind, v); rc != VEXAHV_OK) return rc;
      out.u8(static_cast<std::uint8_t>(kind));
      writeValue(out, v);
      return VEXAHV_OK;
    }
    case Op::GetBdParam: {
      const auto slots = readList(r);
      const std::string param = r.text(hwlib::kMaxParamNameLength);
      if (!r.atEnd()) return kDamaged;
      std::uint32_t type = 0;
      std::vector<WireValue> values;
      if (int rc = m.getBoardParam(slots, param, type, values); rc != VEXAHV_OK) return rc;
      out.u32(type);
      for (const auto& v : values) writeValue(out, v);
      return VEXAHV_OK;
    }
    case Op::SetBdParam: {
      const auto slots = readList(r);
      const std::string param = r.text(hwlib::kMaxParamNameLength);
      std::uint32_t type = 0;
      WireValue v;
      if (!readValue(r, hwlib::kStringParamType, type, v)) return kDamaged;
      return m.setBoardParam(slots, param, type, v);
    }
    case Op::GetChParam: {
      const std::uint16_t slot = r.u16();
      const std::string param = r.text(hwlib::kMaxParamNameLength);
      const auto channels = readList(r);
      if (!r.atEnd()) return kDamaged;
      std::uint32_t type = 0;
      std::vector<WireValue> values;
      if (int rc = m.getChannelParam(slot, param, channels, type, values); rc != VEXAHV_OK) return rc;
      out.u32(type);
      for (const auto& v : values) writeValue(out, v);
      return VEXAHV_OK;
    }
    case Op::SetChParam: {
      const std::uint16_t slot = r.u16();
      const std::string param = r.text(hwlib::kMaxParamNameLength);
      const auto channels = readList(r);
      std::uint32_t type = 0;
      WireValue v;
      if (!readValue(r, hwlib::kStringParamType, type, v)) return kDamaged;
      return m.setChannelParam(slot, param, channels, type, v);
    }
    case Op::GetChName: {
      const std::uint16_t slot = r.u16();
      const auto channels = readList(r);
      if (!r.atEnd()) return kDamaged;
      std::vector<std::string> names;
      if (int rc = m.getChannelNames(slot, channels, names); rc != VEXAHV_OK) return rc;
      for (const auto& n : names) out.text(n);
      return VEXAHV_OK;
    }
    case Op::SetChName: {
      const std::uint16_t slot = r.u16();
      const auto channels = readList(r);
      const std::string name = r.text(hwlib::kMaxTextValueLength);
      if (!r.atEnd()) return kDamaged;
      return m.setChannelName(slot, channels, name);
    }
    case Op::ExecComm: {
      const std::string command = r.text(hwlib::kMaxNameLength);
      if (!r.atEnd()) return kDamaged;
      return m.execute(command);
    }
    case Op::Subscribe:
    case Op::UnSubscribe: {
      const std::uint16_t port = r.u16();
      const auto names = readNames(r);
      if (!r.atEnd()) return kDamaged;
      writeCodes(out, ctx.events.subscribeUdp({session.peer.address, port}, names,
                                              op == Op::Subscribe));
      return VEXAHV_OK;
    }
    case Op::SubscribeSystem:
    case Op::SubscribeBoard:
    case Op::SubscribeChannel: {
      const std::uint16_t port = r.u16();
      const int slot = op == Op::SubscribeSystem ? -1 : r.u16();
      const int channel = op == Op::SubscribeChannel ? r.u16() : -1;
      const auto names = readNames(r);
      if (!r.atEnd()) return kDamaged;
      // Type-2 mainframes deliver over TCP only.
      if (m.spec().systemType != 2) return VEXAHV_ERR_SYSTEM_TYPE;
      writeCodes(out, ctx.events.subscribeTcp({session.peer.address, port}, slot, channel, names));
      return VEXAHV_OK;
    }
    case Op::Hello:
      return kDamaged;  // only the first request may log in
  }
  return kDamaged;
}

}  // namespace

std::vector<std::uint8_t> handleRequest(RequestContext& ctx, Session& session,
                                        std::span<const std::uint8_t> body, bool& close) {
  close = false;
  hwlib::RequestView request;
  if (!hwlib::parseRequest(body, request)) {
    close = true;
    return {};
  }
  ByteReader r(request.payload);
  ByteWriter payload;
  int result = VEXAHV_ERR_PROTOCOL;
  const auto op = static_cast<Op>(request.opcode);
  if (request.opcode == 0 || request.opcode > static_cast<std::uint16_t>(Op::Last)) {
    result = VEXAHV_ERR_PROTOCOL;
  } else if (!session.loggedIn) {
    if (op == Op::Hello) {
      result = login(ctx, session, r, payload, close);
    } else {
      result = VEXAHV_ERR_NOT_CONNECTED;
      close = true;
    }
  } else {
    result = dispatch(ctx, session, op, r, payload);
  }
  ByteWriter w;
  hwlib::beginResponse(w, request.opcode, request.sequence, result);
  if (result == VEXAHV_OK) w.raw(payload.bytes().data(), payload.size());
  hwlib::finishFrame(w);
  return std::move(w.bytes());
}

}  // namespace vexahv::sim
