#pragma once
// The plant's conditions as their sources report them (a channel tripped, a crate lost):
// set by whoever watches the hardware, passed on to one listener, the endpoint, which
// makes OPC UA alarms of them. Only active conditions are held: the thousands that are
// quiet cost nothing.

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "opctoolbox/date_time.h"

namespace OpcToolbox {

// An alarm type of the application's own (namespace 1, number id), derived from one of
// OPC UA's (namespace 0, number baseType), so that clients can filter by it.
struct ConditionType {
  std::uint32_t id = 0;
  std::string name;
  std::uint32_t baseType = 0;
};

struct ConditionReport {
  std::string id;      // stable: "<source item id>#<name>", e.g. "CrateA.Board00.Chan003#Trip"
  std::string source;  // the item id of the branch it belongs to ("" for the server itself)
  std::string name;    // the kind of condition of that source: "Trip", "ConnectionLost", ...
  std::uint32_t type = 0;  // a declared ConditionType's id
  bool active = false;
  std::uint16_t severity = 500;  // 1 to 1000
  std::string message;           // names the source, the cause and the value
  DateTime time;                 // when the hardware changed, where known
};

class ConditionListener {
 public:
  virtual ~ConditionListener() = default;
  // A condition became active, changed its severity, or became inactive; on the reporter's
  // thread, one report at a time, in the order they were made.
  virtual void conditionChanged(const ConditionReport& report) = 0;
};

class ConditionTable {
 public:
  // Passes the report on when it is news: a condition becoming active or inactive, or an
  // active one changing its severity. Returns whether it was.
  bool report(const ConditionReport& report);
  std::vector<ConditionReport> active() const;
  bool isActive(std::string_view id) const;
  // One listener (null: none); once this returns, the one before is called no more.
  void setListener(ConditionListener* listener);

  // Declared before the endpoint starts; read without a lock afterwards.
  void declareType(ConditionType type);
  // The namespace 0 type a declared one derives from; 0 for an unknown id.
  std::uint32_t baseTypeOf(std::uint32_t id) const noexcept;

 private:
  // Lock order: reportMutex_, then mutex_. Reports pass one at a time, so that the
  // listener sees each condition's changes in order.
  std::mutex reportMutex_;
  mutable std::mutex mutex_;
  std::map<std::string, ConditionReport, std::less<>> active_;
  ConditionListener* listener_ = nullptr;  // under reportMutex_
  std::vector<ConditionType> types_;
};

}  // namespace OpcToolbox
