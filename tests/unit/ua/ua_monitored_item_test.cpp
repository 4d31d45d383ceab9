// A monitored item's queue: a queue of one is the last value itself, larger queues keep
// what the client asked, and changing the size either way keeps the newest value.

#include <gtest/gtest.h>

#include "opctoolbox/ua/services/ua_subscription.h"

namespace {

using namespace OpcToolbox;
using namespace OpcToolbox::ua;

class Item : public ::testing::Test {
 protected:
  void change(std::int32_t v) {
    OpcToolbox::Variant value;
    value.setI4(v);
    item.onValueChanged(*element, ValueQT(value, kQualityGood, DateTime::now()));
  }
  std::vector<std::int32_t> taken(std::size_t max = 100) {
    std::vector<std::pair<std::uint32_t, DataValue>> out;
    item.take(out, max);
    std::vector<std::int32_t> values;
    for (const auto& [handle, v] : out) {
      EXPECT_EQ(handle, 7u);
      values.push_back(std::get<std::int32_t>(v.value->values.front()));
    }
    return values;
  }
  std::vector<StatusCode> takenStatus() {
    std::vector<std::pair<std::uint32_t, DataValue>> out;
    item.take(out, 100);
    std::vector<StatusCode> codes;
    for (const auto& [handle, v] : out) codes.push_back(v.status.value_or(kGood));
    return codes;
  }

  ElementPtr element = std::make_shared<DaAddressSpaceElement>("", "I", kReadable, kIoReport, VT_I4);
  MonitoredItem item{1, 7, element, 3, 1, true, DataChangeFilter{}};
};

TEST_F(Item, QueueOfOneSendsTheNewestOnceAndFiltersAgainstIt) {
  EXPECT_FALSE(item.hasNotifications());
  change(1);
  change(2);
  EXPECT_TRUE(item.hasNotifications());
  EXPECT_EQ(taken(0), std::vector<std::int32_t>{}) << "nothing when no room";
  EXPECT_EQ(taken(), std::vector<std::int32_t>{2});
  EXPECT_EQ(taken(), std::vector<std::int32_t>{}) << "sent once";
  change(2);
  EXPECT_FALSE(item.hasNotifications()) << "the same value again is no change";
  change(3);
  EXPECT_EQ(taken(), std::vector<std::int32_t>{3});
}

TEST_F(Item, ResizingKeepsTheNewestAndLargerQueuesMarkOverflow) {
  change(1);
  item.modify(7, 3, true, DataChangeFilter{});
  change(2);
  change(3);
  EXPECT_EQ(taken(), (std::vector<std::int32_t>{1, 2, 3})) << "the pending value leads the new queue";
  for (int v = 4; v <= 7; ++v) change(v);
  const std::vector<StatusCode> codes = takenStatus();
  ASSERT_EQ(codes.size(), 3u);
  EXPECT_NE(codes[0] & 0x00000480u, 0u) << "the oldest kept value carries the overflow bit";
  for (int v = 8; v <= 10; ++v) change(v);
  item.modify(7, 1, true, DataChangeFilter{});
  EXPECT_EQ(taken(), std::vector<std::int32_t>{10}) << "back to one: the newest stays";
  change(10);
  EXPECT_FALSE(item.hasNotifications());
}

// The server's budget of queued values bounds every queue together: an item that finds it
// spent overflows as a full queue does, and what is sent or deleted is given back.
TEST(QueuedValues, TheServerBudgetBoundsAllQueuesTogether) {
  auto budget = std::make_shared<QueuedValueBudget>(3);
  auto element = std::make_shared<DaAddressSpaceElement>("", "I", kReadable, kIoReport, VT_I4);
  auto a = std::make_unique<MonitoredItem>(1, 1, element, 3, 10, true, DataChangeFilter{}, budget);
  MonitoredItem b(2, 2, element, 3, 10, true, DataChangeFilter{}, budget);
  auto offer = [](MonitoredItem& item, int from, int to) {
    for (int v = from; v <= to; ++v) item.offer(DataValue{ua::Variant::scalar(BuiltinType::Int32, std::int32_t{v}), {}, {}, {}});
  };
  auto take = [](MonitoredItem& item) {
    std::vector<std::pair<std::uint32_t, DataValue>> out;
    item.take(out, 100);
    return out;
  };
  offer(*a, 1, 5);
  EXPECT_EQ(budget->used(), 3u) << "its first value is free, the next three spend the budget";
  offer(b, 1, 3);
  const auto fromB = take(b);
  ASSERT_EQ(fromB.size(), 1u) << "b may hold only its first value";
  EXPECT_EQ(std::get<std::int32_t>(fromB[0].second.value->values.front()), 3) << "the newest, discarding the oldest";
  EXPECT_NE(fromB[0].second.status.value_or(0) & 0x00000480u, 0u) << "marked as overflow";
  EXPECT_EQ(take(*a).size(), 4u);
  EXPECT_EQ(budget->used(), 0u) << "sent values give their units back";
  offer(*a, 6, 9);
  EXPECT_EQ(budget->used(), 3u);
  a.reset();
  EXPECT_EQ(budget->used(), 0u) << "a deleted item gives its units back";
}

// A full event queue says so: an EventQueueOverflowEvent first in the queue when the
// oldest events go, last when the newest do; one per overflow until the client takes.
// Queued events are charged to the server's budget for events until taken.
TEST(EventQueue, AnOverflowIsMarkedOnceWhereTheEventsWereLost) {
  auto element = std::make_shared<DaAddressSpaceElement>("", "I", kReadable, kIoReport, VT_I4);
  const IsEventSubtype any = [](const NodeId&, const NodeId&) { return true; };
  auto severityOf = [](const std::vector<ua::Variant>& fields) -> int {
    return fields[1].type == BuiltinType::UInt16 ? std::get<std::uint16_t>(fields[1].values.front()) : -1;
  };
  for (const bool discardOldest : {true, false}) {
    auto budget = std::make_shared<QueuedValueBudget>(100);
    MonitoredItem item(1, 9, nullptr, 3, 3, discardOldest, DataChangeFilter{}, budget);
    EventFilterSpec filter;
    filter.select = {EventField{NodeId::numericId(0, 2041), "EventType", 13}, EventField{NodeId::numericId(0, 2041), "Severity", 13}};
    item.makeEventItem(filter);
    for (std::uint16_t s = 1; s <= 6; ++s) {
      UaEvent e;
      e.eventType = NodeId::numericId(0, 2041);
      e.fields = {{"EventType", ua::Variant::scalar(BuiltinType::NodeId, e.eventType)},
                  {"Severity", ua::Variant::scalar(BuiltinType::UInt16, s)}};
      item.offerEvent(e, any);
    }
    std::vector<std::pair<std::uint32_t, DataValue>> values;
    item.take(values, 10);  // the publisher asks every item for both
    EXPECT_EQ(budget->used(), 3u) << "each queued event is charged";
    std::vector<std::pair<std::uint32_t, std::vector<ua::Variant>>> out;
    ASSERT_EQ(item.takeEvents(out, 10), 3u) << "bounded by the queue size";
    EXPECT_EQ(budget->used(), 0u) << "and given back when taken";
    const ua::Variant overflow = ua::Variant::scalar(BuiltinType::NodeId, NodeId::numericId(0, 3035));
    std::vector<int> severities;
    for (const auto& [handle, fields] : out) severities.push_back(fields[0] == overflow ? 0 : severityOf(fields));
    EXPECT_EQ(severities, discardOldest ? (std::vector<int>{0, 5, 6}) : (std::vector<int>{1, 2, 0})) << discardOldest;
  }
}

}  // namespace

// An item's range changes (a board replaced): its next value says so, once, whatever the
// filter; a percent deadband follows the new range; a value that replaces the marked one
// in a queue of one, or comes after the item was disabled, keeps the mark.
TEST(SemanticsChanged, TheNextValueCarriesTheBitOnceAndThePercentDeadbandFollows) {
  auto element = std::make_shared<DaAddressSpaceElement>("", "VMon", kReadable, kIoReport, VT_I4);
  auto low = std::make_shared<DaAddressSpaceElement>("", "VMon#LowEU", kReadable, kIoReport, VT_R8);
  auto high = std::make_shared<DaAddressSpaceElement>("", "VMon#HighEU", kReadable, kIoReport, VT_R8);
  const auto limit = [](const ElementPtr& e, double v) {
    OpcToolbox::Variant d;
    d.setR8(v);
    e->valueChanged(ValueQT(d, kQualityGood, DateTime::now()));
  };
  limit(low, 0);
  limit(high, 100);
  MonitoredItem item{1, 7, element, 3, 1, true, DataChangeFilter{1, 1, 10}};  // 10 % of 0..100
  item.setPercentDeadband(PercentDeadband{10, low, high});
  element->addObserver(&item);
  const auto change = [&](std::int32_t v) {
    OpcToolbox::Variant value;
    value.setI4(v);
    element->valueChanged(ValueQT(value, kQualityGood, DateTime::now()));
  };
  const auto taken = [&] {
    std::vector<std::pair<std::int32_t, bool>> out;
    std::vector<std::pair<std::uint32_t, DataValue>> values;
    item.take(values, 100);
    for (const auto& [handle, v] : values) {
      out.emplace_back(std::get<std::int32_t>(v.value->values.front()), (v.status.value_or(kGood) & kSemanticsChangedBit) != 0);
    }
    return out;
  };
  using Sent = std::vector<std::pair<std::int32_t, bool>>;
  change(0);
  EXPECT_EQ(taken(), (Sent{{0, false}}));
  change(5);
  EXPECT_EQ(taken(), Sent{}) << "within 10 % of 0..100";

  limit(high, 1000);
  element->semanticsChanged();
  EXPECT_EQ(taken(), (Sent{{5, true}})) << "sent although within the deadband";
  change(50);
  EXPECT_EQ(taken(), Sent{}) << "10 % of the new range, 0..1000";
  change(200);
  EXPECT_EQ(taken(), (Sent{{200, false}})) << "the bit is news once, not a status change back";

  element->semanticsChanged();
  change(400);
  EXPECT_EQ(taken(), (Sent{{400, true}})) << "the newer value in a queue of one keeps the mark";

  item.monitoringMode = 0;
  element->semanticsChanged();
  item.monitoringMode = 2;
  change(600);
  EXPECT_EQ(taken(), (Sent{{600, true}})) << "a change while disabled is told when the item reports again";
  element->removeObserver(&item);
}
