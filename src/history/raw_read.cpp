#include "history/raw_read.h"

#include <algorithm>
#include <limits>

namespace vexahv::history {
namespace {

constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kForever = std::numeric_limits<std::int64_t>::max();

enum Part { kFirstBound = 0, kValues = 1, kLastBound = 2, kDone = 3 };

struct Plan {
  bool forward = true;
  std::int64_t from = 0, to = 0;  // the scan's range (see Scan)
  bool firstBound = false, lastBound = false;
};

Plan planOf(const RawRequest& r) {
  Plan p;
  const bool hasStart = r.start != 0, hasEnd = r.end != 0;
  // Only an end: backward from it. Both: the order they come in.
  p.forward = !hasStart ? false : !hasEnd || r.start <= r.end;
  if (p.forward) {
    p.from = r.start;
    // The same time twice: the values of that very time.
    p.to = !hasEnd ? kForever : r.start == r.end ? r.end + 1 : r.end;
  } else {
    p.from = hasStart ? r.start : r.end;
    p.to = hasStart ? r.end : kNever;
  }
  p.firstBound = r.returnBounds && hasStart;
  p.lastBound = r.returnBounds && hasEnd && r.start != r.end;
  return p;
}

}  // namespace

RawAnswer readRaw(HistoryStore& store, std::uint32_t key, const RawRequest& request, std::size_t limit,
                  const RawCursor* resume) {
  RawAnswer answer;
  if (request.start == 0 && request.end == 0) {
    answer.status = kBadInvalidTimestampArgument;
    return answer;
  }
  const Plan plan = planOf(request);
  RawCursor cursor = resume != nullptr ? *resume : RawCursor{request, kFirstBound, std::nullopt};
  // What this call may give: the server's limit, or the client's when smaller.
  std::size_t budget = limit == 0 ? std::numeric_limits<std::size_t>::max() : limit;
  if (request.maxValues != 0) budget = std::min<std::size_t>(budget, request.maxValues);
  auto fail = [&] {
    answer.status = kBadHistoryOperationUnsupported;
    answer.values.clear();
    answer.more.reset();
    return answer;
  };
  std::size_t inRange = 0;  // values of the range itself, bounds aside
  if (cursor.part == kFirstBound) {
    if (plan.firstBound) {
      std::optional<Stored> bound;
      if (StoreStatus s = store.nearest(key, plan.from, plan.forward, bound); !s.ok()) return fail();
      // A value at the very start time is the first of the values themselves.
      if (!bound) answer.values.push_back(Sample{plan.from, kBadBoundNotFound, {}});
      else if (bound->sample.time != plan.from) answer.values.push_back(bound->sample);
    }
    cursor.part = kValues;
  }
  if (cursor.part == kValues && answer.values.size() < budget) {
    Scan scan{key, plan.from, plan.to, plan.forward, 0, cursor.last};
    scan.max = budget - answer.values.size() + 1;  // one more: whether any are left
    if (budget == std::numeric_limits<std::size_t>::max()) scan.max = 0;
    std::vector<Stored> rows;
    if (StoreStatus s = store.scan(scan, rows); !s.ok()) return fail();
    const std::size_t room = budget - answer.values.size();
    const bool left = scan.max != 0 && rows.size() > room;
    if (left) rows.resize(room);
    for (const Stored& row : rows) answer.values.push_back(row.sample);
    inRange = rows.size();
    if (!rows.empty()) cursor.last = rows.back();
    if (!left) cursor.part = kLastBound;
  }
  if (cursor.part == kLastBound && answer.values.size() < budget) {
    if (plan.lastBound) {
      std::optional<Stored> bound;
      if (StoreStatus s = store.nearest(key, request.end, !plan.forward, bound); !s.ok()) return fail();
      answer.values.push_back(bound ? bound->sample : Sample{request.end, kBadBoundNotFound, {}});
    }
    cursor.part = kDone;
  }
  if (cursor.part != kDone) answer.more = cursor;
  // No data: nothing in the range (its bounds lie outside it), in a read that gave
  // nothing before either.
  const bool nothing = resume == nullptr ? inRange == 0 && !answer.more : answer.values.empty();
  answer.status = nothing ? kGoodNoData : 0;
  return answer;
}

}  // namespace vexahv::history
