#pragma once
// The plant's conditions as OPC UA alarms (OPC UA Part 9): each condition that is active
// or not yet acknowledged is retained, with its acknowledged and confirmed states, its
// comment and the EventId of its last event; every change raises an event with the
// fields of AlarmConditionType. A condition that is inactive and acknowledged is held no
// longer: the quiet ones cost nothing.

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "opctoolbox/condition_table.h"
#include "opctoolbox/ua/events/ua_event_filter.h"

namespace OpcToolbox::ua {

namespace alarm {
inline constexpr std::uint32_t ConditionType = 2782, RefreshStartEventType = 2787, RefreshEndEventType = 2788,
                               Enable = 9027, Disable = 9028, AddComment = 9029, ConditionRefresh = 3875,
                               ConditionRefresh2 = 12912, Acknowledge = 9111, Confirm = 9113, Unshelve = 2947,
                               OneShotShelve = 2948, TimedShelve = 2949;
}  // namespace alarm

// The NodeId of a condition ("ns=1;s=CrateA.Board00.Chan003#Trip").
NodeId conditionNodeId(std::string_view id);
// The event type of a report: the declared type in namespace 1, or a standard one.
NodeId conditionEventType(std::uint32_t type);

class AlarmConditions {
 public:
  // A report from the condition table: the event it raises (the condition's new state),
  // none while the condition is disabled or shelved.
  std::optional<UaEvent> changed(const ConditionReport& report);
  // The methods of AcknowledgeableConditionType and ConditionType on one condition: the
  // event the change raises, or why it was refused (BadNodeIdUnknown for a condition that
  // is not retained, BadEventIdUnknown for an EventId not its last one,
  // BadConditionBranchAlreadyAcked / AlreadyConfirmed).
  StatusCode acknowledge(std::string_view id, std::string_view eventId, const LocalizedText& comment,
                         const std::string& user, UaEvent& out);
  StatusCode confirm(std::string_view id, std::string_view eventId, const LocalizedText& comment,
                     const std::string& user, UaEvent& out);
  StatusCode addComment(std::string_view id, std::string_view eventId, const LocalizedText& comment,
                        const std::string& user, UaEvent& out);
  // Enable and Disable (BadConditionAlreadyEnabled / AlreadyDisabled): a disabled
  // condition raises one event saying so, then none until enabled, when it shows its
  // state again. Only a condition that is retained, disabled or shelved is known.
  StatusCode setEnabled(std::string_view id, bool enabled, const std::string& user, std::optional<UaEvent>& out);
  // The ShelvedStateMachine: a timed shelf for ms (1 ms to a day, else
  // BadShelvingTimeOutOfRange), a one-shot shelf until the condition is inactive again,
  // or unshelving (BadConditionNotShelved); shelving a shelved one is
  // BadConditionAlreadyShelved. A shelved condition raises no event; unshelved, it raises
  // one with its state.
  enum class Shelf : std::uint8_t { None, Timed, OneShot };
  StatusCode shelve(std::string_view id, Shelf shelf, double ms, const std::string& user, std::optional<UaEvent>& out);
  // Timed shelves whose time ended by now (ticks): unshelved, each with its event.
  std::vector<UaEvent> expireShelves(std::int64_t now);
  // When the next timed shelf ends (ticks); max when none.
  std::int64_t nextShelfEnd() const noexcept;
  // Every retained, enabled condition as it is now, with its last EventId (ConditionRefresh).
  std::vector<UaEvent> retained() const;
  std::size_t size() const noexcept { return conditions_.size(); }
  // The enabled conditions that wait for an acknowledgement, active or not, by id.
  std::map<std::string, std::uint16_t> unacknowledged() const;
  // The condition's state as its last event showed it, for its nodes; one that is held
  // no longer (or never was) shows quiet's: inactive, acknowledged, enabled, no EventId.
  UaEvent stateOf(const ConditionReport& quiet) const;

  // The frames of a refresh.
  static UaEvent refreshEvent(bool start);

 private:
  struct State {
    ConditionReport report;
    bool acked = true;
    bool confirmed = true;
    std::uint16_t lastSeverity = 0;
    std::string eventId;
    LocalizedText comment;
    std::int64_t commentTime = 0;
    std::string clientUserId;
    std::int64_t time = 0;  // of the last change
    bool enabled = true;
    Shelf shelf = Shelf::None;
    std::int64_t shelfEnd = 0;  // ticks, a timed shelf's
    bool retain() const { return enabled && (report.active || !acked); }
    // Held while it asks for someone, or someone set it aside.
    bool kept() const { return report.active || !acked || !enabled || shelf != Shelf::None; }
    bool quiet() const { return !enabled || shelf != Shelf::None; }
  };
  UaEvent eventOf(const State& s) const;
  // The state's next event: a new EventId, then the event.
  UaEvent raise(State& s, std::int64_t time);
  StatusCode comment(std::string_view id, std::string_view eventId, const LocalizedText& comment,
                     const std::string& user, int what, UaEvent& out);

  std::map<std::string, State, std::less<>> conditions_;
};

}  // namespace OpcToolbox::ua
