#include "addressspace/channel_walk.h"

#include <cstring>
#include <memory>

#include "addressspace/item_reader.h"
#include "addressspace/parameter_items.h"
#include "addressspace/vexahv_opc_server.h"
#include "hwlib/VEXAHVWrapper.h"
#include "logging/logging.h"

namespace vexahv {

using OpcToolbox::DateTime;
using OpcToolbox::ValueQT;
using OpcToolbox::Variant;

namespace {

// The "Mode" that gives these access rights (modes beyond 2 read as 0 do).
std::uint32_t modeOfAccessRights(std::uint32_t access) {
  return access == OpcToolbox::kWriteable ? VEXAHV_MODE_WRONLY
         : access == OpcToolbox::kReadWriteable ? VEXAHV_MODE_RDWR
                                                                       : VEXAHV_MODE_RDONLY;
}

}  // namespace

bool readBoardChannelNames(std::int32_t handle, std::uint16_t slot, std::uint16_t count,
                           std::vector<std::string>& names) {
  if (count == 0 || count > VEXAHV_MAX_LIST) return false;
  std::vector<std::uint16_t> channels(count);
  for (std::uint16_t c = 0; c < count; ++c) channels[c] = c;
  std::unique_ptr<char[][VEXAHV_CH_NAME_SIZE]> fields(new char[count][VEXAHV_CH_NAME_SIZE]());
  if (VEXAHV_GetChName(handle, slot, count, channels.data(), fields.get()) != VEXAHV_OK) return false;
  names.clear();
  for (std::uint16_t c = 0; c < count; ++c) {
    fields[c][VEXAHV_CH_NAME_SIZE - 1] = '\0';
    names.emplace_back(fields[c]);
  }
  return true;
}

BoardChannelWalk::BoardChannelWalk(const Board& board, bool share, std::stop_token stop)
    : board_(board), share_(share), stop_(std::move(stop)) {}

void BoardChannelWalk::adoptCleanCandidate() {
  if (shared_ || !candidate_ || !candidate_->clean) return;
  for (const Described& d : candidate_->params) {
    if (!d.propertiesRead) return;
  }
  shared_ = std::move(candidate_);
  candidate_.reset();
  shareFrom_ = static_cast<std::uint16_t>(shared_->channel + 1);
}

BoardChannelWalk::Described* BoardChannelWalk::described(Description& d, const std::string& name) {
  for (Described& p : d.params) {
    if (p.name == name) return &p;
  }
  return nullptr;
}

std::vector<VEXAHVElementPtr> BoardChannelWalk::parameterItems(std::uint16_t channel, bool withName) {
  adoptCleanCandidate();
  currentShares_ = false;
  std::vector<VEXAHVElementPtr> items;
  if (withName) {
    auto name = makeChannelNameItem(board_.handle, board_.systemIndex, board_.slot);
    name->setCachedValue(share_ ? channelName(channel)
                                : readChannelParameter(board_.handle, board_.slot, "Name", channel, 5));
    items.push_back(std::move(name));
  }
  std::vector<std::string> names;
  if (!listChannelParameters(board_.handle, board_.slot, channel, names)) return items;

  if (shared_ && channel >= shareFrom_ && names == shared_->names) {
    std::vector<ValueQT> firsts;
    std::string differs;
    for (const Described& d : shared_->params) {
      if (stop_.stop_requested()) break;
      firsts.push_back(firstValue(channel, d));
      if (differs.empty()) differs = disagreement(d, firsts.back());
    }
    if (differs.empty()) {
      currentShares_ = true;
      for (std::size_t i = 0; i < firsts.size(); ++i) {
        const Described& d = shared_->params[i];
        auto item = makeParameterItem(d.name, ElementKind::ChannelParam, board_.systemIndex, board_.slot, d.type,
                                      d.mode);
        item->setCachedValue(firsts[i]);
        items.push_back(std::move(item));
      }
      return items;
    }
    logNotice("Channel [", channel, "] of board [", board_.slot, "] of system [", SystemName{board_.handle},
              "] is walked on its own, not as channel [", shared_->channel, "]: ", differs);
  }

  // This channel's own walk; while nothing is shared yet it may become what is.
  const bool record = share_ && !shared_;
  if (record) candidate_ = Description{channel, names, {}, true};
  for (const std::string& name : names) {
    if (stop_.stop_requested()) {
      if (record) candidate_->clean = false;
      break;
    }
    auto item = describeChannelParameter(board_.handle, board_.systemIndex, board_.slot, channel, name);
    if (!item) {
      if (record) candidate_->clean = false;
      continue;
    }
    const auto type = static_cast<std::uint32_t>(item->getParamType());
    if (record) {
      candidate_->params.push_back(Described{name, type, modeOfAccessRights(item->getAccessRights()), {}, false});
    }
    item->setCachedValue(readChannelParameter(board_.handle, board_.slot, name, channel, item->getParamType()));
    items.push_back(std::move(item));
  }
  return items;
}

std::vector<VEXAHVElementPtr> BoardChannelWalk::propertyItems(std::uint16_t channel,
                                                              const VEXAHVElement& parameter) {
  const std::string name = parameter.getName();
  const ElementKind kind = ElementKind::ChannelParamProperty;
  std::vector<VEXAHVElementPtr> items;
  if (currentShares_) {
    if (const Described* d = described(*shared_, name)) {
      for (const auto& [property, value] : d->properties) {
        items.push_back(makePropertyItem(kind, board_.systemType, board_.systemIndex, name, property, value));
      }
      return items;
    }
  }
  items = createParameterPropertyItems(kind, board_.handle, board_.systemType, board_.systemIndex, name,
                                       parameter.getParamType(), board_.slot, channel);
  if (candidate_ && candidate_->channel == channel) {
    if (Described* d = described(*candidate_, name)) {
      const auto expected = parameterPropertyNames(parameter.getParamType(), board_.systemType);
      if (items.size() != expected.size()) {
        candidate_->clean = false;  // a property failed: its siblings read their own
      } else {
        for (std::size_t i = 0; i < items.size(); ++i) {
          d->properties.emplace_back(expected[i], items[i]->getCachedValue());
        }
      }
      d->propertiesRead = true;
    }
  }
  return items;
}

std::string BoardChannelWalk::disagreement(const Described& d, const ValueQT& first) const {
  // A board-wide read that the channels' own reads would have to replace.
  if (d.mode != VEXAHV_MODE_WRONLY && d.type <= VEXAHV_PARAM_STRING) {
    const auto it = values_.find(d.name);
    // The library refuses a list whose channels differ in the parameter (its type, or
    // having it at all); a time-out says nothing about them.
    const int rc = it != values_.end() ? it->second.result : VEXAHV_OK;
    if (rc == VEXAHV_ERR_WRONG_TYPE || rc == VEXAHV_ERR_NO_PARAMETER || rc == VEXAHV_ERR_NO_CHANNEL) {
      return "the board-wide read of [" + d.name + "] was refused ([" + std::to_string(rc) +
             "]), so the channels differ in it";
    }
  }
  if (d.type != VEXAHV_PARAM_NUMERIC || first.getQuality() != OpcToolbox::kQualityGood) return {};
  const Variant* low = nullptr;
  const Variant* high = nullptr;
  for (const auto& [property, value] : d.properties) {
    if (property == "LowEU") low = &value.getData();
    if (property == "HighEU") high = &value.getData();
  }
  if (low == nullptr || high == nullptr || !(high->rawR4() > low->rawR4())) return {};
  const float v = first.getData().rawR4();
  if (v >= low->rawR4() && v <= high->rawR4()) return {};
  return "its [" + d.name + "] of [" + first.getData().toString() + "] lies outside that channel's limits";
}

ValueQT BoardChannelWalk::firstValue(std::uint16_t channel, const Described& d) {
  const auto type = static_cast<std::int32_t>(d.type);
  // Write-only parameters fail their read and unknown types are refused before any call:
  // channel by channel, that gives each its own line.
  if (d.mode == VEXAHV_MODE_WRONLY || type > VEXAHV_PARAM_STRING) {
    return readChannelParameter(board_.handle, board_.slot, d.name, channel, type);
  }
  BoardValues& board = values_[d.name];
  if (!board.read) readForBoard(d, board);
  if (board.ok && channel >= shareFrom_ && std::size_t{channel} - shareFrom_ < board.values.size()) {
    return board.values[channel - shareFrom_];
  }
  return readChannelParameter(board_.handle, board_.slot, d.name, channel, type);
}

void BoardChannelWalk::readForBoard(const Described& d, BoardValues& out) {
  out.read = true;
  if (shareFrom_ >= board_.channelCount) return;
  const std::size_t n = board_.channelCount - shareFrom_;
  if (n > VEXAHV_MAX_LIST) return;
  std::vector<std::uint16_t> channels(n);
  for (std::size_t i = 0; i < n; ++i) channels[i] = static_cast<std::uint16_t>(shareFrom_ + i);
  const bool text = d.type == VEXAHV_PARAM_STRING;
  const std::size_t field = text ? VEXAHV_TEXT_VALUE_SIZE : 4;
  std::vector<char> buffer(n * field, '\0');
  const DateTime now = DateTime::now();
  out.result = VEXAHV_GetChParam(board_.handle, board_.slot, d.name.c_str(), static_cast<std::uint16_t>(n),
                                 channels.data(), buffer.data());
  if (out.result != VEXAHV_OK) return;  // each channel then reads its own, with its own result and line
  out.values.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    char* at = buffer.data() + i * field;
    if (text) at[field - 1] = '\0';
    Variant v;
    convertParameterValue(static_cast<std::int32_t>(d.type), reinterpret_cast<const std::uint8_t*>(at), at, v);
    out.values.emplace_back(v, OpcToolbox::kQualityGood, now);
  }
  out.ok = true;
}

ValueQT BoardChannelWalk::channelName(std::uint16_t channel) {
  if (!names_.read) {
    names_.read = true;
    std::vector<std::string> names;
    const DateTime now = DateTime::now();
    if (readBoardChannelNames(board_.handle, board_.slot, board_.channelCount, names)) {
      for (const std::string& name : names) {
        Variant v;
        v.setBSTR(name);
        names_.values.emplace_back(v, OpcToolbox::kQualityGood, now);
      }
      names_.ok = true;
    }
  }
  if (names_.ok && channel < names_.values.size()) return names_.values[channel];
  return readChannelParameter(board_.handle, board_.slot, "Name", channel, 5);
}

}  // namespace vexahv
