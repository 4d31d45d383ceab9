#pragma once
// The live state of one simulated mainframe: system properties, boards, channels and
// their parameters, with the rules a real crate applies to reads and writes. Thread-safe:
// the request threads, the physics tick and the event publisher share it.

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "hwlib/mainframe_protocol.h"
#include "sim/crate_file.h"

namespace vexahv::sim {

// A value as it travels: text, or the 4 value bytes.
struct WireValue {
  std::uint32_t raw = 0;
  std::string text;
  bool isText = false;
  bool operator==(const WireValue&) const = default;
};

// Where an event item lives: slot < 0 for a system property, channel < 0 for a board
// parameter. "Name" as a channel parameter is the channel's name.
struct ItemPath {
  int slot = -1;
  int channel = -1;
  std::string name;
  bool operator<(const ItemPath& o) const {
    return std::tie(slot, channel, name) < std::tie(o.slot, o.channel, o.name);
  }
};

struct SlotInfo {
  std::uint16_t channels = 0;
  std::string model, description;
  std::uint16_t serial = 0;
  std::uint8_t firmwareMinor = 0, firmwareMajor = 0;
};

struct CrateSummary {
  std::uint32_t channelsOn = 0;
  std::uint32_t channelsTripped = 0;
  bool alarm = false;
};

// Channel status bits.
inline constexpr std::uint32_t kStatusOn = 1u << 0;
inline constexpr std::uint32_t kStatusRampUp = 1u << 1;
inline constexpr std::uint32_t kStatusRampDown = 1u << 2;
inline constexpr std::uint32_t kStatusOverCurrent = 1u << 3;
inline constexpr std::uint32_t kStatusOverVoltage = 1u << 4;
inline constexpr std::uint32_t kStatusUnderVoltage = 1u << 5;
inline constexpr std::uint32_t kStatusMaxV = 1u << 6;
inline constexpr std::uint32_t kStatusTripped = 1u << 7;
inline constexpr std::uint32_t kStatusKilled = 1u << 8;
inline constexpr std::uint32_t kStatusInterlock = 1u << 9;

class MainframeModel {
 public:
  explicit MainframeModel(CrateSpec spec);

  const CrateSpec& spec() const { return spec_; }

  std::vector<SlotInfo> crateMap() const;
  std::vector<std::string> propertyNames() const;
  int propertyInfo(std::string_view name, std::uint32_t& mode, std::uint32_t& type) const;
  int getProperty(std::string_view name, std::uint32_t& type, WireValue& value) const;
  int setProperty(std::string_view name, std::uint32_t type, const WireValue& value);

  int boardParamNames(std::uint16_t slot, std::vector<std::string>& names) const;
  int channelParamNames(std::uint16_t slot, std::uint16_t channel,
                        std::vector<std::string>& names) const;
  // channel < 0: a board parameter.
  int paramProperty(std::uint16_t slot, int channel, std::string_view param,
                    std::string_view property, hwlib::ValueKind& kind, WireValue& value) const;
  int getBoardParam(const std::vector<std::uint16_t>& slots, std::string_view param,
                    std::uint32_t& type, std::vector<WireValue>& values) const;
  int setBoardParam(const std::vector<std::uint16_t>& slots, std::string_view param,
                    std::uint32_t type, const WireValue& value);
  int getChannelParam(std::uint16_t slot, std::string_view param,
                      const std::vector<std::uint16_t>& channels, std::uint32_t& type,
                      std::vector<WireValue>& values) const;
  int setChannelParam(std::uint16_t slot, std::string_view param,
                      const std::vector<std::uint16_t>& channels, std::uint32_t type,
                      const WireValue& value);
  int getChannelNames(std::uint16_t slot, const std::vector<std::uint16_t>& channels,
                      std::vector<std::string>& names) const;
  int setChannelName(std::uint16_t slot, const std::vector<std::uint16_t>& channels,
                     const std::string& name);
  int execute(std::string_view command);
  // An external interlock: every channel off at once, tripped and interlocked, as a
  // crate's inhibit input does it; no channel switches on while it holds. Released, the
  // interlock bit goes; the trip stays until "ClearAlarm".
  void interlock(bool on);
  // A board's status word (its parameter of the board status type) as its faults set it;
  // false when the slot holds no board with one.
  bool setBoardStatus(std::uint16_t slot, std::uint32_t word);
  // A board's hardware voltage limit (its HVMax, a front-panel trimmer on real boards)
  // turned to volts; no channel of it rises above. False when the board has none.
  bool setVoltageLimit(std::uint16_t slot, double volts);

  // "Board01.Chan002.VMon", "Board01.Temp", "SwRelease" (the system name already taken off).
  bool resolve(std::string_view path, ItemPath& out) const;
  // Current value of an event item; false when it no longer exists.
  bool valueOf(const ItemPath& item, WireValue& value) const;

  // Advances the channel physics by seconds.
  void tick(double seconds);
  bool removeBoard(std::uint16_t slot);
  bool insertBoard(std::uint16_t slot);
  // The board in the slot swapped for one of its model whose parameter (numeric, of the
  // board or its channels) spans low to high: a new serial number, power-on values. False
  // when the slot holds no board with that parameter.
  bool replaceBoard(std::uint16_t slot, std::string_view param, float low, float high);
  // Back to the crate file's state (a power cycle).
  void reset();
  CrateSummary summary() const;

 private:
  struct Param {
    const ParamSpec* spec;
    double number;
    std::string text;
  };
  struct Channel {
    std::vector<Param> params;
    std::string name;
    double overCurrentSeconds = 0.0;
    std::uint32_t flags = 0;  // latched kStatusTripped / kStatusKilled / kStatusInterlock
  };
  struct Board {
    const BoardSpec* spec;
    bool present = true;
    std::vector<Param> params;
    std::vector<Channel> channels;
  };
  void powerOn(Board& b);  // under mutex_: present, with the values of the file
  // The board a slot of the file holds now: the last swapped in, or the file's.
  const BoardSpec& current(const BoardSpec& fileBoard) const;
  // Indices of the parameters the physics drives, per board (-1 when absent).
  struct PhysicsIndex {
    int v0Set = -1, i0Set = -1, vMon = -1, iMon = -1, pw = -1, status = -1, rUp = -1,
        rDwn = -1, svMax = -1, trip = -1;
    int hvMax = -1;  // a board parameter
  };

  void build();
  const Board* board(std::uint16_t slot) const;
  Board* board(std::uint16_t slot);
  static const Param* find(const std::vector<Param>& params, std::string_view name);
  static Param* find(std::vector<Param>& params, std::string_view name);
  static WireValue encode(const Param& p);
  static int checkWrite(const Param& p, std::uint32_t type, const WireValue& value,
                        double& number);
  void stepChannel(const Board& b, const PhysicsIndex& ix, Channel& c, double seconds);

  const CrateSpec spec_;
  std::deque<BoardSpec> replaced_;  // boards swapped in since (replaceBoard), oldest first
  mutable std::mutex mutex_;
  std::vector<WireValue> properties_;  // parallel to spec_.properties
  std::vector<Board> boards_;          // parallel to spec_.boards
  std::vector<PhysicsIndex> physics_;
  std::mt19937 noise_{12345};
};

}  // namespace vexahv::sim
