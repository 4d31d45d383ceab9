#pragma once
// The alarms the hardware raises, of alarm types of this server's own, reported to the
// application's condition table: per channel one condition per alarm bit of its status
// word (tripped, over-current, over-voltage, under-voltage, at the software maximum,
// killed, interlocked), per board one per bit of its own (power failed, over- and
// under-temperature, calibration lost, firmware fault), whenever a word comes in; per
// crate its connection, lost or back, whether it could be built, and its event channel.
// Also what keeps them current unattended: the status items are watched by the server
// itself, so their words come whether or not a client watches them.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "addressspace/vexahv_element.h"
#include "opctoolbox/condition_table.h"

namespace vexahv {

// The channel, board and crate alarm types, ids in namespace 1, and which sources have
// which conditions (a channel or board with a status word its bits', a crate its
// connection); declared once, before the endpoint starts.
void declareAlarmTypes(OpcToolbox::ConditionTable& table);

// The alarms file (kAlarmsFile under the platform root): a severity per kind of alarm,
// "Trip = 950" ('#' starts a comment), the kinds not named keeping their defaults (Trip
// 900, Killed 800, OverCurrent and OverVoltage 700, UnderVoltage 500, AtMaximum 300,
// Interlock 900; PowerFail 900, OverTemperature 800, UnderTemperature 500, CalibrationLost
// and FirmwareFault 600; ConnectionLost 1000, NotBuilt 900, EventChannelLost 800).
// Read before anything reports; a missing file is the defaults.
// The error names the file and the line, and leaves every severity as it was.
inline constexpr const char* kAlarmsFile = "alarms.conf";
std::string loadAlarmSeverities(const std::filesystem::path& file);
std::string parseAlarmSeverities(std::string_view text);
// The severity in force of a kind of alarm ("Trip"); 0 for no such kind.
std::uint16_t alarmSeverity(std::string_view name);

// A status word of a channel's or a board's status item came in: each alarm bit's
// condition is reported as the word says (the table passes on only what changed). The
// message names the channel or board, the cause and its VMon and IMon, or its Temp.
void reportStatusWord(OpcToolbox::ConditionTable& table, const VEXAHVElement& status, std::uint32_t word,
                      const OpcToolbox::DateTime& when);

// A crate's address space could not be built (initResult: its connection's result, not 0;
// -1 when it could not be tried), or was built (0).
void reportCrateBuilt(OpcToolbox::ConditionTable& table, const std::string& crate, const std::string& address,
                      int initResult);

// A crate that reports over UDP went silent while it answers (lost), or sends again.
void reportCrateEvents(OpcToolbox::ConditionTable& table, const std::string& crate, bool lost);

// A crate's connection status changed (kStatusOk, kStatusKo; pending says nothing).
void reportCrateConnection(OpcToolbox::ConditionTable& table, const std::string& crate, const std::string& address,
                           std::int32_t status);

// Monitors a crate's status items for the server itself, every kStatusWatchMs: those of a
// crate that reports events (no call: their events flow), and those of a polled crate
// while reads are batched (a call per board). With reads item by item a polled crate's
// words follow the clients' monitoring, as the warning logged then says.
inline constexpr int kStatusWatchMs = 1000;
void watchStatusItems(const std::string& system, const std::vector<VEXAHVElementPtr>& items);
// Reads became batched, or item by item (the server setting): the polled crates' status
// words are watched again, or left to the clients (with the warning).
void followBatchedReads(bool batched);

}  // namespace vexahv
