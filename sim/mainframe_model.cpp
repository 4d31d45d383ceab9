#include "sim/mainframe_model.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>

#include "hwlib/VEXAHVWrapper.h"

namespace vexahv::sim {
namespace {

std::uint32_t propertyRaw(const PropertySpec& p) {
  switch (p.type) {
    case VEXAHV_SYSPROP_REAL: return std::bit_cast<std::uint32_t>(static_cast<float>(p.number));
    case VEXAHV_SYSPROP_UINT2: return static_cast<std::uint16_t>(p.number);
    case VEXAHV_SYSPROP_UINT4: return static_cast<std::uint32_t>(p.number);
    case VEXAHV_SYSPROP_INT2:
      return static_cast<std::uint16_t>(static_cast<std::int16_t>(p.number));
    case VEXAHV_SYSPROP_INT4: return static_cast<std::uint32_t>(static_cast<std::int32_t>(p.number));
    default: return p.number != 0.0 ? 1u : 0u;
  }
}

bool parseIndex(std::string_view piece, std::string_view prefix, int& out) {
  if (piece.size() <= prefix.size() || piece.substr(0, prefix.size()) != prefix) return false;
  const char* b = piece.data() + prefix.size();
  const char* e = piece.data() + piece.size();
  auto [p, ec] = std::from_chars(b, e, out);
  return ec == std::errc() && p == e && out >= 0;
}

}  // namespace

MainframeModel::MainframeModel(CrateSpec spec) : spec_(std::move(spec)) { build(); }

void MainframeModel::build() {
  properties_.clear();
  for (const auto& p : spec_.properties) {
    WireValue v;
    v.isText = p.type == VEXAHV_SYSPROP_STR;
    v.text = p.text;
    v.raw = v.isText ? 0 : propertyRaw(p);
    properties_.push_back(std::move(v));
  }
  boards_.clear();
  physics_.clear();
  for (const auto& fileBoard : spec_.boards) {
    const BoardSpec& b = current(fileBoard);
    Board board{&b, true, {}, {}};
    for (const auto& p : b.boardParams) board.params.push_back(Param{&p, p.number, p.text});
    PhysicsIndex ix;
    for (std::size_t i = 0; i < b.boardParams.size(); ++i) {
      if (b.boardParams[i].name == "HVMax" && b.boardParams[i].type == 0) ix.hvMax = static_cast<int>(i);
    }
    for (std::size_t i = 0; i < b.channelParams.size(); ++i) {
      const std::string& n = b.channelParams[i].name;
      const int k = static_cast<int>(i);
      if (n == "V0Set") ix.v0Set = k;
      else if (n == "I0Set") ix.i0Set = k;
      else if (n == "VMon") ix.vMon = k;
      else if (n == "IMon") ix.iMon = k;
      else if (n == "Pw") ix.pw = k;
      else if (n == "Status") ix.status = k;
      else if (n == "RUp") ix.rUp = k;
      else if (n == "RDWn") ix.rDwn = k;
      else if (n == "SVMax") ix.svMax = k;
      else if (n == "Trip") ix.trip = k;
    }
    for (std::uint16_t c = 0; c < b.channels; ++c) {
      Channel ch;
      for (const auto& p : b.channelParams) ch.params.push_back(Param{&p, p.number, p.text});
      auto it = b.channelNames.find(c);
      ch.name = it != b.channelNames.end() ? it->second : "CH" + std::to_string(c);
      board.channels.push_back(std::move(ch));
    }
    boards_.push_back(std::move(board));
    physics_.push_back(ix);
  }
}

const BoardSpec& MainframeModel::current(const BoardSpec& fileBoard) const {
  const BoardSpec* newest = &fileBoard;
  for (const BoardSpec& r : replaced_) {
    if (r.slot == fileBoard.slot) newest = &r;
  }
  return *newest;
}

const MainframeModel::Board* MainframeModel::board(std::uint16_t slot) const {
  for (const auto& b : boards_) {
    if (b.spec->slot == slot) return b.present ? &b : nullptr;
  }
  return nullptr;
}

MainframeModel::Board* MainframeModel::board(std::uint16_t slot) {
  return const_cast<Board*>(static_cast<const MainframeModel*>(this)->board(slot));
}

const MainframeModel::Param* MainframeModel::find(const std::vector<Param>& params,
                                                  std::string_view name) {
  for (const auto& p : params) {
    if (p.spec->name == name) return &p;
  }
  return nullptr;
}

MainframeModel::Param* MainframeModel::find(std::vector<Param>& params, std::string_view name) {
  return const_cast<Param*>(find(static_cast<const std::vector<Param>&>(params), name));
}

WireValue MainframeModel::encode(const Param& p) {
  WireValue v;
  if (p.spec->type == VEXAHV_PARAM_STRING) {
    v.isText = true;
    v.text = p.text;
  } else if (p.spec->type == VEXAHV_PARAM_NUMERIC) {
    // The physics may drive a value past what a float holds (a tiny load): it saturates.
    const double d = std::isnan(p.number) ? 0.0 : std::clamp(p.number, -3.4e38, 3.4e38);
    v.raw = std::bit_cast<std::uint32_t>(static_cast<float>(d));
  } else {
    const double d = std::isfinite(p.number) ? std::clamp(p.number, -2147483648.0, 2147483647.0) : 0.0;
    v.raw = static_cast<std::uint32_t>(static_cast<std::int32_t>(d));
  }
  return v;
}

int MainframeModel::checkWrite(const Param& p, std::uint32_t type, const WireValue& value,
                               double& number) {
  const ParamSpec& s = *p.spec;
  if (s.mode == VEXAHV_MODE_RDONLY) return VEXAHV_ERR_READ_ONLY;
  if (type != s.type || value.isText != (s.type == VEXAHV_PARAM_STRING)) return VEXAHV_ERR_WRONG_TYPE;
  const bool ranged = s.max > s.min;
  switch (s.type) {
    case VEXAHV_PARAM_STRING:
      return value.text.size() <= hwlib::kMaxTextValueLength ? VEXAHV_OK : VEXAHV_ERR_OUT_OF_RANGE;
    case VEXAHV_PARAM_NUMERIC: {
      const float f = std::bit_cast<float>(value.raw);
      if (!std::isfinite(f) || (ranged && (f < s.min || f > s.max))) return VEXAHV_ERR_OUT_OF_RANGE;
      number = f;
      return VEXAHV_OK;
    }
    case VEXAHV_PARAM_ONOFF:
      if (value.raw > 1) return VEXAHV_ERR_OUT_OF_RANGE;
      number = value.raw;
      return VEXAHV_OK;
    default: {
      const auto v = static_cast<std::int32_t>(value.raw);
      if (ranged && (v < s.min || v > s.max)) return VEXAHV_ERR_OUT_OF_RANGE;
      number = v;
      return VEXAHV_OK;
    }
  }
}

std::vector<SlotInfo> MainframeModel::crateMap() const {
  std::lock_guard lock(mutex_);
  std::vector<SlotInfo> map(spec_.slots);
  for (const auto& b : boards_) {
    if (!b.present) continue;
    SlotInfo& s = map[b.spec->slot];
    s.channels = b.spec->channels;
    s.model = b.spec->model;
    s.description = b.spec->description;
    s.serial = b.spec->serial;
    s.firmwareMinor = b.spec->firmwareMinor;
    s.firmwareMajor = b.spec->firmwareMajor;
  }
  return map;
}

std::vector<std::string> MainframeModel::propertyNames() const {
  std::vector<std::string> names;
  for (const auto& p : spec_.properties) names.push_back(p.name);
  return names;
}

int MainframeModel::propertyInfo(std::string_view name, std::uint32_t& mode,
                                 std::uint32_t& type) const {
  for (const auto& p : spec_.properties) {
    if (p.name == name) {
      mode = p.mode;
      type = p.type;
      return VEXAHV_OK;
    }
  }
  return VEXAHV_ERR_NO_PARAMETER;
}

int MainframeModel::getProperty(std::string_view name, std::uint32_t& type, WireValue& value) const {
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < spec_.properties.size(); ++i) {
    const PropertySpec& p = spec_.properties[i];
    if (p.name != name) continue;
    if (p.mode == VEXAHV_MODE_WRONLY) return VEXAHV_ERR_WRITE_ONLY;
    type = p.type;
    value = properties_[i];
    return VEXAHV_OK;
  }
  return VEXAHV_ERR_NO_PARAMETER;
}

int MainframeModel::setProperty(std::string_view name, std::uint32_t type, const WireValue& value) {
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < spec_.properties.size(); ++i) {
    const PropertySpec& p = spec_.properties[i];
    if (p.name != name) continue;
    if (p.mode == VEXAHV_MODE_RDONLY) return VEXAHV_ERR_READ_ONLY;
    if (type != p.type || value.isText != (p.type == VEXAHV_SYSPROP_STR)) return VEXAHV_ERR_WRONG_TYPE;
    if (!value.isText) {
      const bool sixteen = p.type == VEXAHV_SYSPROP_UINT2 || p.type == VEXAHV_SYSPROP_INT2 ||
                           p.type == VEXAHV_SYSPROP_BOOL;
      if ((sixteen && value.raw > 0xFFFF) || (p.type == VEXAHV_SYSPROP_BOOL && value.raw > 1) ||
          (p.type == VEXAHV_SYSPROP_REAL && !std::isfinite(std::bit_cast<float>(value.raw)))) {
        return VEXAHV_ERR_OUT_OF_RANGE;
      }
    } else if (value.text.size() >= VEXAHV_SYSPROP_TEXT_SIZE) {
      return VEXAHV_ERR_OUT_OF_RANGE;
    }
    properties_[i] = value;
    return VEXAHV_OK;
  }
  return VEXAHV_ERR_NO_PARAMETER;
}

int MainframeModel::boardParamNames(std::uint16_t slot, std::vector<std::string>& names) const {
  std::lock_guard lock(mutex_);
  const Board* b = board(slot);
  if (b == nullptr) return VEXAHV_ERR_NO_SLOT;
  for (const auto& p : b->params) names.push_back(p.spec->name);
  return VEXAHV_OK;
}

int MainframeModel::channelParamNames(std::uint16_t slot, std::uint16_t channel,
                                      std::vector<std::string>& names) const {
  std::lock_guard lock(mutex_);
  const Board* b = board(slot);
  if (b == nullptr) return VEXAHV_ERR_NO_SLOT;
  if (channel >= b->channels.size()) return VEXAHV_ERR_NO_CHANNEL;
  for (const auto& p : b->channels[channel].params) names.push_back(p.spec->name);
  return VEXAHV_OK;
}

int MainframeModel::paramProperty(std::uint16_t slot, int channel, std::string_view param,
                                  std::string_view property, hwlib::ValueKind& kind,
                                  WireValue& value) const {
  std::lock_guard lock(mutex_);
  const Board* b = board(slot);
  if (b == nullptr) return VEXAHV_ERR_NO_SLOT;
  const std::vector<Param>* params = &b->params;
  if (channel >= 0) {
    if (static_cast<std::size_t>(channel) >= b->channels.size()) return VEXAHV_ERR_NO_CHANNEL;
    params = &b->channels[static_cast<std::size_t>(channel)].params;
  }
  const Param* p = find(*params, param);
  if (p == nullptr) return VEXAHV_ERR_NO_PARAMETER;
  if (!hwlib::propertyValueKind(property, kind)) return VEXAHV_ERR_NO_PROPERTY;
  const ParamSpec& s = *p->spec;
  const bool scaled = s.type == VEXAHV_PARAM_NUMERIC || s.type == VEXAHV_PARAM_BINARY;
  if (property == "Type") {
    value.raw = s.type;
  } else if (property == "Mode") {
    value.raw = s.mode;
  } else if (scaled && property == "Minval") {
    value.raw = std::bit_cast<std::uint32_t>(s.min);
  } else if (scaled && property == "Maxval") {
    value.raw = std::bit_cast<std::uint32_t>(s.max);
  } else if (scaled && property == "Unit") {
    value.raw = s.unit;
  } else if (scaled && property == "Exp") {
    value.raw = static_cast<std::uint16_t>(s.exp);
  } else if (s.type == VEXAHV_PARAM_NUMERIC && channel >= 0 && property == "Resol") {
    // Resolution is a channel property; boards do not report one.
    value.raw = s.resol;
  } else if (s.type == VEXAHV_PARAM_ONOFF && (property == "Onstate" || property == "Offstate")) {
    value.isText = true;
    value.text = property == "Onstate" ? s.onLabel : s.offLabel;
  } else {
    return VEXAHV_ERR_NO_PROPERTY;
  }
  return VEXAHV_OK;
}

int MainframeModel::getBoardParam(const std::vector<std::uint16_t>& slots, std::string_view param,
                                  std::uint32_t& type, std::vector<WireValue>& values) const {
  std::lock_guard lock(mutex_);
  values.clear();
  for (std::size_t i = 0; i < slots.size(); ++i) {
    const Board* b = board(slots[i]);
    if (b == nullptr) return VEXAHV_ERR_NO_SLOT;
    const Param* p = find(b->params, param);
    if (p == nullptr) return VEXAHV_ERR_NO_PARAMETER;
    if (i == 0) type = p->spec->type;
    if (p->spec->type != type) return VEXAHV_ERR_WRONG_TYPE;
    if (p->spec->mode == VEXAHV_MODE_WRONLY) return VEXAHV_ERR_WRITE_ONLY;
    values.push_back(encode(*p));
  }
  return VEXAHV_OK;
}

int MainframeModel::setBoardParam(const std::vector<std::uint16_t>& slots, std::string_view param,
                                  std::uint32_t type, const WireValue& value) {
  std::lock_guard lock(mutex_);
  std::vector<Param*> targets;
  double number = 0;
  for (std::uint16_t slot : slots) {
    Board* b = board(slot);
    if (b == nullptr) return VEXAHV_ERR_NO_SLOT;
    Param* p = find(b->params, param);
    if (p == nullptr) return VEXAHV_ERR_NO_PARAMETER;
    if (int rc = checkWrite(*p, type, value, number); rc != VEXAHV_OK) return rc;
    targets.push_back(p);
  }
  // Every slot was checked first: a refused write changes nothing.
  for (Param* p : targets) {
    p->number = number;
    p->text = value.text;
  }
  return VEXAHV_OK;
}

int MainframeModel::getChannelParam(std::uint16_t slot, std::string_view param,
                                    const std::vector<std::uint16_t>& channels,
                                    std::uint32_t& type, std::vector<WireValue>& values) const {
  std::lock_guard lock(mutex_);
  values.clear();
  const Board* b = board(slot);
  if (b == nullptr) return VEXAHV_ERR_NO_SLOT;
  for (std::uint16_t c : channels) {
    if (c >= b->channels.size()) return VEXAHV_ERR_NO_CHANNEL;
    const Param* p = find(b->channels[c].params, param);
    if (p == nullptr) return VEXAHV_ERR_NO_PARAMETER;
    if (p->spec->mode == VEXAHV_MODE_WRONLY) return VEXAHV_ERR_WRITE_ONLY;
    type = p->spec->type;
    values.push_back(encode(*p));
  }
  return VEXAHV_OK;
}

int MainframeModel::setChannelParam(std::uint16_t slot, std::string_view param,
                                    const std::vector<std::uint16_t>& channels,
                                    std::uint32_t type, const WireValue& value) {
  std::lock_guard lock(mutex_);
  Board* b = board(slot);
  if (b == nullptr) return VEXAHV_ERR_NO_SLOT;
  std::vector<Channel*> targets;
  double number = 0;
  for (std::uint16_t c : channels) {
    if (c >= b->channels.size()) return VEXAHV_ERR_NO_CHANNEL;
    Channel& ch = b->channels[c];
    Param* p = find(ch.params, param);
    if (p == nullptr) return VEXAHV_ERR_NO_PARAMETER;
    if (int rc = checkWrite(*p, type, value, number); rc != VEXAHV_OK) return rc;
    // A tripped or killed channel stays off until its alarm is cleared, an interlocked one
    // while the interlock holds.
    if (param == "Pw" && number != 0 && (ch.flags & (kStatusTripped | kStatusKilled | kStatusInterlock)) != 0) {
      return VEXAHV_ERR_INHIBITED;
    }
    targets.push_back(&ch);
  }
  for (Channel* ch : targets) {
    Param* p = find(ch->params, param);
    p->number = number;
    p->text = value.text;
  }
  return VEXAHV_OK;
}

int MainframeModel::getChannelNames(std::uint16_t slot, const std::vector<std::uint16_t>& channels,
                                    std::vector<std::string>& names) const {
  std::lock_guard lock(mutex_);
  names.clear();
  const Board* b = board(slot);
  if (b == nullptr) return VEXAHV_ERR_NO_SLOT;
  for (std::uint16_t c : channels) {
    if (c >= b->channels.size()) return VEXAHV_ERR_NO_CHANNEL;
    names.push_back(b->channels[c].name);
  }
  return VEXAHV_OK;
}

int MainframeModel::setChannelName(std::uint16_t slot, const std::vector<std::uint16_t>& channels,
                                   const std::string& name) {
  std::lock_guard lock(mutex_);
  Board* b = board(slot);
  if (b == nullptr) return VEXAHV_ERR_NO_SLOT;
  if (name.size() > hwlib::kMaxChannelNameLength) return VEXAHV_ERR_OUT_OF_RANGE;
  for (std::uint16_t c : channels) {
    if (c >= b->channels.size()) return VEXAHV_ERR_NO_CHANNEL;
  }
  for (std::uint16_t c : channels) b->channels[c].name = name;
  return VEXAHV_OK;
}

int MainframeModel::execute(std::string_view command) {
  bool known = false;
  for (const auto& c : spec_.commands) known = known || c == command;
  if (!known) return VEXAHV_ERR_NO_COMMAND;
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < boards_.size(); ++i) {
    const PhysicsIndex& ix = physics_[i];
    for (Channel& ch : boards_[i].channels) {
      if (command == "Kill") {
        // Off at once, no ramp: that is what a kill is for.
        if (ix.pw >= 0) ch.params[static_cast<std::size_t>(ix.pw)].number = 0;
        if (ix.vMon >= 0) ch.params[static_cast<std::size_t>(ix.vMon)].number = 0;
        if (ix.iMon >= 0) ch.params[static_cast<std::size_t>(ix.iMon)].number = 0;
        ch.flags |= kStatusKilled;
      } else if (command == "ClearAlarm") {
        ch.flags &= ~(kStatusKilled | kStatusTripped);
        ch.overCurrentSeconds = 0;
      }
    }
  }
  return VEXAHV_OK;
}

void MainframeModel::interlock(bool on) {
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < boards_.size(); ++i) {
    const PhysicsIndex& ix = physics_[i];
    for (Channel& ch : boards_[i].channels) {
      if (!on) {
        ch.flags &= ~kStatusInterlock;
        continue;
      }
      if (ix.pw >= 0) ch.params[static_cast<std::size_t>(ix.pw)].number = 0;
      if (ix.vMon >= 0) ch.params[static_cast<std::size_t>(ix.vMon)].number = 0;
      if (ix.iMon >= 0) ch.params[static_cast<std::size_t>(ix.iMon)].number = 0;
      ch.flags |= kStatusTripped | kStatusInterlock;
    }
  }
}

bool MainframeModel::setBoardStatus(std::uint16_t slot, std::uint32_t word) {
  std::lock_guard lock(mutex_);
  Board* b = board(slot);
  if (b == nullptr) return false;
  for (Param& p : b->params) {
    if (p.spec->type == 3) {
      p.number = word;
      return true;
    }
  }
  return false;
}

bool MainframeModel::setVoltageLimit(std::uint16_t slot, double volts) {
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < boards_.size(); ++i) {
    Board& b = boards_[i];
    if (b.spec->slot != slot || !b.present || physics_[i].hvMax < 0) continue;
    b.params[static_cast<std::size_t>(physics_[i].hvMax)].number = volts;
    return true;
  }
  return false;
}

bool MainframeModel::resolve(std::string_view path, ItemPath& out) const {
  std::vector<std::string_view> pieces;
  while (!path.empty()) {
    const std::size_t dot = path.find('.');
    if (dot != 0) pieces.push_back(path.substr(0, dot));
    if (dot == std::string_view::npos) break;
    path.remove_prefix(dot + 1);
  }
  ItemPath item;
  int slot = -1, channel = -1;
  if (pieces.size() == 1) {
    item.name = pieces[0];
  } else if (pieces.size() == 2 && parseIndex(pieces[0], "Board", slot)) {
    item.slot = slot;
    item.name = pieces[1];
  } else if (pieces.size() == 3 && parseIndex(pieces[0], "Board", slot) &&
             parseIndex(pieces[1], "Chan", channel)) {
    item.slot = slot;
    item.channel = channel;
    item.name = pieces[2];
  } else {
    return false;
  }
  WireValue probe;
  if (!valueOf(item, probe)) return false;
  out = std::move(item);
  return true;
}

bool MainframeModel::valueOf(const ItemPath& item, WireValue& value) const {
  std::lock_guard lock(mutex_);
  if (item.slot < 0) {
    for (std::size_t i = 0; i < spec_.properties.size(); ++i) {
      if (spec_.properties[i].name == item.name) {
        value = properties_[i];
        return true;
      }
    }
    return false;
  }
  if (item.slot > 0xFFFF) return false;
  const Board* b = board(static_cast<std::uint16_t>(item.slot));
  if (b == nullptr) return false;
  if (item.channel < 0) {
    const Param* p = find(b->params, item.name);
    if (p == nullptr) return false;
    value = encode(*p);
    return true;
  }
  if (static_cast<std::size_t>(item.channel) >= b->channels.size()) return false;
  const Channel& ch = b->channels[static_cast<std::size_t>(item.channel)];
  if (item.name == "Name") {
    value = WireValue{0, ch.name, true};
    return true;
  }
  const Param* p = find(ch.params, item.name);
  if (p == nullptr) return false;
  value = encode(*p);
  return true;
}

bool MainframeModel::removeBoard(std::uint16_t slot) {
  std::lock_guard lock(mutex_);
  for (auto& b : boards_) {
    if (b.spec->slot == slot && b.present) {
      b.present = false;
      return true;
    }
  }
  return false;
}

void MainframeModel::powerOn(Board& b) {
  b.present = true;
  for (auto& p : b.params) {
    p.number = p.spec->number;
    p.text = p.spec->text;
  }
  for (auto& ch : b.channels) {
    for (auto& p : ch.params) {
      p.number = p.spec->number;
      p.text = p.spec->text;
    }
    ch.flags = 0;
    ch.overCurrentSeconds = 0;
  }
}

bool MainframeModel::insertBoard(std::uint16_t slot) {
  std::lock_guard lock(mutex_);
  for (auto& b : boards_) {
    if (b.spec->slot != slot || b.present) continue;
    powerOn(b);  // a board comes back with its power-on values
    return true;
  }
  return false;
}

bool MainframeModel::replaceBoard(std::uint16_t slot, std::string_view param, float low, float high) {
  std::lock_guard lock(mutex_);
  Board* board = nullptr;
  for (auto& b : boards_) {
    if (b.spec->slot == slot && b.present) board = &b;
  }
  if (board == nullptr) return false;
  BoardSpec next = *board->spec;
  bool found = false;
  for (auto* params : {&next.boardParams, &next.channelParams}) {
    for (ParamSpec& p : *params) {
      if (p.name != param || (p.type != VEXAHV_PARAM_NUMERIC && p.type != VEXAHV_PARAM_BINARY)) continue;
      p.min = low;
      p.max = high;
      found = true;
    }
  }
  if (!found) return false;
  ++next.serial;
  // The new board is what the slot holds from now on, through power cycles too; the
  // board's values point at its specs, which stay where they are (a deque).
  replaced_.push_back(std::move(next));
  const BoardSpec& spec = replaced_.back();
  board->spec = &spec;
  for (std::size_t i = 0; i < board->params.size(); ++i) board->params[i].spec = &spec.boardParams[i];
  for (auto& ch : board->channels) {
    for (std::size_t i = 0; i < ch.params.size(); ++i) ch.params[i].spec = &spec.channelParams[i];
  }
  powerOn(*board);
  return true;
}

void MainframeModel::reset() {
  std::lock_guard lock(mutex_);
  build();
}

CrateSummary MainframeModel::summary() const {
  std::lock_guard lock(mutex_);
  CrateSummary s;
  for (std::size_t i = 0; i < boards_.size(); ++i) {
    if (!boards_[i].present) continue;
    for (const Channel& ch : boards_[i].channels) {
      if (physics_[i].pw >= 0 && ch.params[static_cast<std::size_t>(physics_[i].pw)].number != 0) {
        ++s.channelsOn;
      }
      if (ch.flags & kStatusTripped) ++s.channelsTripped;
      if (ch.flags != 0) s.alarm = true;
    }
  }
  return s;
}

}  // namespace vexahv::sim
