#include "requests/grouped_write.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <tuple>

#include "addressspace/vexahv_element.h"
#include "addressspace/vexahv_opc_server.h"
#include "logging/logging.h"
#include "requests/item_writer.h"
#include "requests/switch_on_guard.h"

namespace vexahv {
namespace {

// What one library call sets: a parameter of one board's channels to the same 4 bytes.
struct CallKey {
  std::int32_t handle;
  std::uint16_t slot;
  std::string parameter;
  std::uint32_t bits;
  auto operator<=>(const CallKey&) const = default;
};

struct Group {
  CallKey key;
  std::vector<std::size_t> items;  // positions in the transaction, in its order
  std::vector<std::uint16_t> channels;
};

// A channel parameter the library sets by channel list (not a name, not a text).
const HardwareBinding* groupable(const VEXAHVElement* element, const OpcToolbox::ValueQT& value, std::uint32_t& bits) {
  const HardwareBinding* hw = element != nullptr ? element->hardware() : nullptr;
  if (hw == nullptr || hw->kind != ElementKind::ChannelParam || hw->parameter == "Name" || !hw->crate) return nullptr;
  return channelValueBits(hw->paramType, value.getData(), bits) ? hw : nullptr;
}

class Writer {
 public:
  Writer(std::span<VEXAHVElement* const> elements, std::span<const OpcToolbox::ValueQT> values)
      : elements_(elements), values_(values), status_(elements.size(), -1) {}

  std::vector<std::int32_t> run() {
    for (std::size_t i = 0; i < elements_.size(); ++i) {
      std::uint32_t bits = 0;
      const HardwareBinding* hw = groupable(elements_[i], values_[i], bits);
      if (hw == nullptr) {
        // Written alone, in its place: a command or a setting may depend on what came before.
        flush();
        status_[i] = writeItemValue(elements_[i], values_[i]);
        continue;
      }
      add(i, CallKey{hw->handle(), hw->slot, hw->parameter, bits}, hw->channel);
    }
    flush();
    return std::move(status_);
  }

 private:
  // Joins the newest group of its call unless that would move it before an earlier write
  // of its channel: then a group of its own, after all before it.
  void add(std::size_t item, CallKey key, std::uint16_t channel) {
    const auto where = std::make_tuple(key.handle, key.slot, channel);
    const auto last = lastOfChannel_.find(where);
    const auto newest = newestOfKey_.find(key);
    if (newest != newestOfKey_.end() && (last == lastOfChannel_.end() || last->second < newest->second)) {
      Group& g = groups_[newest->second];
      g.items.push_back(item);
      g.channels.push_back(channel);
      lastOfChannel_[where] = newest->second;
      return;
    }
    const std::size_t index = groups_.size();
    groups_.push_back(Group{key, {item}, {channel}});
    newestOfKey_[std::move(key)] = index;
    lastOfChannel_[where] = index;
  }

  // The groups so far: each crate's in order, the crates side by side.
  void flush() {
    if (groups_.empty()) return;
    std::vector<std::int32_t> crates;
    for (const Group& g : groups_) {
      if (std::find(crates.begin(), crates.end(), g.key.handle) == crates.end()) crates.push_back(g.key.handle);
    }
    auto writeCrate = [this](std::int32_t handle) {
      for (const Group& g : groups_) {
        if (g.key.handle == handle) write(g);
      }
    };
    const std::size_t workers = std::min(crates.size(), kWriteCratesAtOnce);
    if (workers <= 1) {
      for (const std::int32_t handle : crates) writeCrate(handle);
    } else {
      std::atomic<std::size_t> next{0};
      auto drain = [&] {
        for (std::size_t k = next++; k < crates.size(); k = next++) writeCrate(crates[k]);
      };
      std::vector<std::jthread> others;
      others.reserve(workers - 1);
      for (std::size_t w = 1; w < workers; ++w) others.emplace_back(drain);
      drain();
    }
    groups_.clear();
    newestOfKey_.clear();
    lastOfChannel_.clear();
  }

  void write(const Group& g) {
    if (g.items.size() == 1) {
      status_[g.items[0]] = writeItemValue(elements_[g.items[0]], values_[g.items[0]]);
      return;
    }
    Group allowed = g;
    if (g.key.parameter == "Pw" && g.key.bits == 1) allowed = withoutRefusedSwitchOns(g);
    if (allowed.items.size() == 1) {
      const std::size_t i = allowed.items[0];
      status_[i] = writeItemValue(elements_[i], values_[i], SwitchOnCheck::Done);
      return;
    }
    if (allowed.items.empty()) return;
    const std::int32_t status = serverReady() ? setChannelParameters(g.key.handle, g.key.slot, g.key.parameter,
                                                                     allowed.channels, g.key.bits)
                                              : -1;
    if (status != 0) {
      // One refused channel must not hide the others: each is written, and logged, alone.
      logInformational("Writing [", g.key.parameter, "] of [", allowed.items.size(), "] channels of board [",
                       g.key.slot, "] of system [", SystemName{g.key.handle}, "] at once failed - error code [",
                       status, "]: writing them one by one");
      for (const std::size_t i : allowed.items) {
        status_[i] = writeItemValue(elements_[i], values_[i], SwitchOnCheck::Done);
      }
      return;
    }
    for (const std::size_t i : allowed.items) {
      const HardwareBinding* hw = elements_[i]->hardware();
      status_[i] = 0;
      logNotice("set [", hw->systemName, "]_Board[", hw->slot, "]_Channel[", hw->channel, "]_[", hw->parameter,
                "] value to [", values_[i].getData().toString(), "]");
    }
  }

  // The group less its channels set above their board's limit, which get their refusal.
  Group withoutRefusedSwitchOns(const Group& g) {
    const VEXAHVElement* board = boardOfChannelItem(*elements_[g.items.front()]);
    if (board == nullptr) return g;
    const std::vector<std::int32_t> refused = switchOnRefusals(*board, g.key.handle, g.key.slot, g.channels);
    Group allowed{g.key, {}, {}};
    for (std::size_t k = 0; k < g.items.size(); ++k) {
      if (refused[k] != 0) {
        status_[g.items[k]] = refused[k];
        continue;
      }
      allowed.items.push_back(g.items[k]);
      allowed.channels.push_back(g.channels[k]);
    }
    return allowed;
  }

  std::span<VEXAHVElement* const> elements_;
  std::span<const OpcToolbox::ValueQT> values_;
  std::vector<std::int32_t> status_;
  std::vector<Group> groups_;
  std::map<CallKey, std::size_t> newestOfKey_;
  std::map<std::tuple<std::int32_t, std::uint16_t, std::uint16_t>, std::size_t> lastOfChannel_;
};

}  // namespace

std::vector<std::int32_t> writeGrouped(std::span<VEXAHVElement* const> elements,
                                       std::span<const OpcToolbox::ValueQT> values) {
  return Writer(elements, values).run();
}

}  // namespace vexahv
