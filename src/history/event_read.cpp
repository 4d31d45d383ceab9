#include "history/event_read.h"

#include <algorithm>
#include <limits>

#include "history/raw_read.h"

namespace vexahv::history {

EventAnswer readEvents(HistoryStore& store, const EventRequest& request, std::size_t limit,
                       const EventCursor* resume, const std::function<bool(const EventRecord&)>& pass,
                       std::size_t maxScanned) {
  EventAnswer answer;
  const bool hasStart = request.start != 0, hasEnd = request.end != 0;
  // Both times, or one with a count (Part 11: else the read has no end).
  if ((!hasStart && !hasEnd) || ((!hasStart || !hasEnd) && request.maxEvents == 0)) {
    answer.status = kBadInvalidTimestampArgument;
    return answer;
  }
  EventScan scan;
  scan.forward = hasStart && (!hasEnd || request.start <= request.end);
  if (scan.forward) {
    scan.from = request.start;
    scan.to = !hasEnd ? std::numeric_limits<std::int64_t>::max() : request.start == request.end ? request.end + 1 : request.end;
  } else {
    scan.from = hasStart ? request.start : request.end;
    scan.to = hasStart ? request.end : std::numeric_limits<std::int64_t>::min();
  }
  scan.scope = request.scope;
  EventCursor cursor = resume != nullptr ? *resume : EventCursor{request, std::nullopt};
  std::size_t budget = limit == 0 ? std::numeric_limits<std::size_t>::max() : limit;
  if (request.maxEvents != 0) budget = std::min<std::size_t>(budget, request.maxEvents);
  std::size_t scanned = 0;
  bool left = true;
  std::vector<StoredEvent> rows;
  while (left && answer.given < budget && scanned < maxScanned) {
    rows.clear();
    scan.after = cursor.last;
    scan.max = std::min<std::size_t>(512, maxScanned - scanned);
    if (StoreStatus s = store.scanEvents(scan, rows); !s.ok()) {
      answer = EventAnswer{kBadHistoryOperationUnsupported, 0, std::nullopt};
      return answer;
    }
    left = rows.size() == scan.max;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      ++scanned;
      cursor.last = StoredEvent{EventRecord{rows[i].event.time, {}, {}}, rows[i].seq};
      if (pass(rows[i].event) && ++answer.given == budget) {
        left = left || i + 1 < rows.size();
        break;
      }
    }
  }
  if (left) answer.more = cursor;
  answer.status = resume == nullptr && answer.given == 0 && !answer.more ? kGoodNoData : 0;
  return answer;
}

}  // namespace vexahv::history
