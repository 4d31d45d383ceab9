#pragma once
// The parameter items of one board's channels, as the channel-by-channel walk makes them
// but with far fewer library calls. A channel whose parameter list is the list of an
// earlier sibling whose walk went without a single failure takes that sibling's types,
// modes and property values instead of asking for each again; the first values of such
// channels, and every channel's name, are read for the whole board in one call per
// parameter. Whatever a shared read cannot serve (a failed call, a write-only parameter, a
// type it cannot convert, a channel listing other parameters) is read channel by channel
// exactly as before, so items, values and log lines are those of the plain walk. A sibling
// whose first values do not look like the shared channel's (a value outside its limits,
// a board-wide read refused because its channels differ) is walked on its own too, with a
// Notice line saying so.

#include <cstdint>
#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "addressspace/vexahv_element.h"
#include "opctoolbox/value_qt.h"

namespace vexahv {

// The names of channels 0 to count - 1 of a board in one library call; false when the
// call failed (or the count is 0 or past the library's list size).
bool readBoardChannelNames(std::int32_t handle, std::uint16_t slot, std::uint16_t count,
                           std::vector<std::string>& names);

class BoardChannelWalk {
 public:
  struct Board {
    std::int32_t handle = -1;
    std::uint16_t systemIndex = 0;
    std::int32_t systemType = 0;
    std::uint16_t slot = 0;
    std::uint16_t channelCount = 0;
  };
  // share false: every channel is walked call by call.
  BoardChannelWalk(const Board& board, bool share, std::stop_token stop);

  // The channel's parameter items ("Name" first when withName), with first values.
  std::vector<VEXAHVElementPtr> parameterItems(std::uint16_t channel, bool withName);
  // The property items of one item that parameterItems just returned for that channel.
  std::vector<VEXAHVElementPtr> propertyItems(std::uint16_t channel, const VEXAHVElement& parameter);

 private:
  struct Described {
    std::string name;
    std::uint32_t type = 0, mode = 0;
    std::vector<std::pair<std::string, OpcToolbox::ValueQT>> properties;
    bool propertiesRead = false;
  };
  struct Description {
    std::uint16_t channel = 0;  // the channel it was read from
    std::vector<std::string> names;
    std::vector<Described> params;
    bool clean = true;  // no read of the walk failed
  };
  // Values of one parameter for the channels from shareFrom_ on, read in one call.
  struct BoardValues {
    bool read = false;
    bool ok = false;
    int result = 0;  // the library's, when read
    std::vector<OpcToolbox::ValueQT> values;
  };

  void adoptCleanCandidate();
  Described* described(Description& d, const std::string& name);
  OpcToolbox::ValueQT firstValue(std::uint16_t channel, const Described& d);
  // Why a sibling's first value says it may not be like the channel it would share with:
  // a value outside the shared limits, or a board-wide read the library refused as differing. Empty: it is.
  std::string disagreement(const Described& d, const OpcToolbox::ValueQT& first) const;
  OpcToolbox::ValueQT channelName(std::uint16_t channel);
  void readForBoard(const Described& d, BoardValues& out);

  const Board board_;
  const bool share_;
  std::stop_token stop_;
  std::optional<Description> shared_;     // the description siblings take
  std::optional<Description> candidate_;  // being read from a channel's own walk
  bool currentShares_ = false;            // the channel of the last parameterItems call
  std::uint16_t shareFrom_ = 0;           // first channel the board-wide reads cover
  std::map<std::string, BoardValues> values_;
  BoardValues names_;
};

}  // namespace vexahv
