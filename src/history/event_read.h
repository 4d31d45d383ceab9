#pragma once
// Reading kept events as OPC UA's HistoryRead does it (Part 11, ReadEventDetails), over any
// store: the direction the two times give, at most so many events a call, a cursor to carry
// on from where a call stopped, and the caller's filter deciding which events count (the
// store never reads an event's fields). A filter that lets little through over a long range
// costs a bounded scan a call, not an unbounded one: the cursor then carries on.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "history/history_store.h"

namespace vexahv::history {

struct EventRequest {
  std::int64_t start = 0;  // 0: not given
  std::int64_t end = 0;
  std::uint32_t maxEvents = 0;  // 0: no limit asked
  std::string scope;            // a branch's item id; empty: every event
};

struct EventCursor {
  EventRequest request;
  std::optional<StoredEvent> last;  // its time and seq (not its body)
};

struct EventAnswer {
  std::uint32_t status = 0;     // Good, GoodNoData, or the reason nothing was read
  std::size_t given = 0;         // events the filter took
  std::optional<EventCursor> more;
};

// pass: called for each event in order; true when it is one of the answer's (the caller
// keeps what it needs of it). At most limit events are taken, and at most maxScanned read.
EventAnswer readEvents(HistoryStore& store, const EventRequest& request, std::size_t limit,
                       const EventCursor* resume, const std::function<bool(const EventRecord&)>& pass,
                       std::size_t maxScanned = 100'000);

}  // namespace vexahv::history
