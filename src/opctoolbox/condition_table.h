#pragma once
// The plant's conditions as their sources report them (a channel tripped, a crate lost):
// set by whoever watches the hardware, passed on to one listener, the endpoint, which
// makes OPC UA alarms of them. Only active conditions are held: the thousands that are
// quiet cost nothing.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <span>
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

// A kind of condition a source has, whether or not it is active now: "<source>#<name>"
// exists as a condition node from the start, of its type, with this severity while quiet.
struct ConditionClass {
  const char* name = "";
  std::uint32_t type = 0;  // a declared ConditionType's id
  std::uint16_t severity = 500;
};

// The kinds of condition of a source (an item id of a branch); none for most.
using SourceConditions = std::function<std::span<const ConditionClass>(std::string_view source)>;

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
  // A declared type; null for an unknown id.
  const ConditionType* typeOf(std::uint32_t id) const noexcept;

  // Who says which conditions each source has; set before the endpoint starts, like the
  // types. Without it no source has any.
  void setSourceConditions(SourceConditions sources) { sources_ = std::move(sources); }
  std::span<const ConditionClass> conditionsOf(std::string_view source) const;
  // The class of condition id ("<source>#<name>"); null when its source has no such kind.
  const ConditionClass* classOf(std::string_view id) const;

 private:
  // Lock order: reportMutex_, then mutex_. Reports pass one at a time, so that the
  // listener sees each condition's changes in order.
  std::mutex reportMutex_;
  mutable std::mutex mutex_;
  std::map<std::string, ConditionReport, std::less<>> active_;
  ConditionListener* listener_ = nullptr;  // under reportMutex_
  std::vector<ConditionType> types_;
  SourceConditions sources_;
};

}  // namespace OpcToolbox
