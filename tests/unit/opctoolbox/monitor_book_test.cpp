// The monitor book against a plain model (a multiset of rates per element): random adds
// and removes at a few rates must keep every element's fastest rate, say when an element
// is monitored first and last, and refuse handles that are spent, forged or from before
// the book emptied.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <vector>

#include "opctoolbox/da_address_space_element.h"
#include "opctoolbox/monitor_book.h"

using namespace OpcToolbox;

namespace {

struct Observer : ValueObserver {
  void onValueChanged(DaAddressSpaceElement&, const ValueQT&) override {}
};

}  // namespace

TEST(MonitorBook, FollowsTheRatesOfEveryElementAndRefusesSpentHandles) {
  std::vector<ElementPtr> elements;
  for (int i = 0; i < 8; ++i) elements.push_back(std::make_shared<DaAddressSpaceElement>());
  Observer observer;
  MonitorBook book;
  std::map<const DaAddressSpaceElement*, std::multiset<int>> model;
  struct Live {
    std::uint64_t handle;
    ElementPtr element;
    int rate;
  };
  std::vector<Live> live;
  std::vector<std::uint64_t> spent;
  std::mt19937 random(7);
  auto fastest = [&](const DaAddressSpaceElement* e) { return model[e].empty() ? 0 : *model[e].begin(); };
  for (int step = 0; step < 4000; ++step) {
    if (live.empty() || random() % 5 < 3) {
      const ElementPtr& e = elements[random() % elements.size()];
      const int rate = 100 * static_cast<int>(1 + random() % 4);
      const bool first = model[e.get()].empty();
      if (random() % 50 == 0) book.reserve(1 + random() % 100);
      const MonitorBook::Added added = book.add(e, rate, &observer);
      model[e.get()].insert(rate);
      ASSERT_NE(added.handle, 0u);
      EXPECT_EQ(added.first, first);
      EXPECT_EQ(added.fastest, fastest(e.get()));
      live.push_back({added.handle, e, rate});
    } else {
      const std::size_t k = random() % live.size();
      const Live gone = live[k];
      live.erase(live.begin() + static_cast<long>(k));
      auto [m, left] = book.remove(gone.handle);
      ASSERT_EQ(m.element, gone.element);
      EXPECT_EQ(m.rate, gone.rate);
      EXPECT_EQ(m.observer, &observer);
      model[gone.element.get()].erase(model[gone.element.get()].find(gone.rate));
      EXPECT_EQ(left, fastest(gone.element.get()));
      spent.push_back(gone.handle);
    }
    ASSERT_EQ(book.size(), live.size());
    for (const ElementPtr& e : elements) ASSERT_EQ(book.rateOf(e.get()), fastest(e.get())) << "step " << step;
  }
  // A spent handle never removes the monitor that reuses its slot, nor does a forged one.
  for (std::uint64_t h : spent) EXPECT_FALSE(book.remove(h).first.element);
  EXPECT_FALSE(book.remove(0).first.element);
  EXPECT_FALSE(book.remove(0xFFFFFFFFull).first.element);
  // Emptied, the book lets its slots go; a handle from before still finds nothing.
  const std::uint64_t before = live.empty() ? 0 : live.front().handle;
  for (const Live& l : live) EXPECT_TRUE(book.remove(l.handle).first.element);
  EXPECT_EQ(book.size(), 0u);
  const MonitorBook::Added again = book.add(elements[0], 100, &observer);
  EXPECT_TRUE(again.first);
  if (before != 0) {
    EXPECT_FALSE(book.remove(before).first.element);
  }
  EXPECT_TRUE(book.remove(again.handle).first.element);
}
