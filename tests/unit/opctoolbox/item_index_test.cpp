// The item-id index against a plain map: insertions, removals (whose backward shift must
// leave every remaining id findable), refused twins, compaction of the key buffer, and the
// batch look-up agreeing with single look-ups.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "opctoolbox/da_address_space_element.h"
#include "opctoolbox/item_index.h"

using namespace OpcToolbox;

namespace {

std::string idOf(unsigned n) { return "S.Board" + std::to_string(n / 100) + ".Chan" + std::to_string(n % 100) + ".VMon"; }

void expectSame(const ItemIndex& index, const std::map<std::string, ElementPtr>& model, unsigned universe) {
  std::vector<std::string> names;
  for (unsigned n = 0; n < universe; ++n) names.push_back(idOf(n));
  names.push_back("");
  std::vector<std::string_view> ids(names.begin(), names.end());
  std::vector<ElementPtr> many(ids.size());
  index.findMany(ids, many);
  for (std::size_t k = 0; k < ids.size(); ++k) {
    auto it = model.find(names[k]);
    const ElementPtr want = it == model.end() ? nullptr : it->second;
    ASSERT_EQ(index.find(ids[k]), want) << names[k];
    ASSERT_EQ(many[k], want) << names[k] << " (batch)";
  }
  ASSERT_EQ(index.size(), model.size());
}

}  // namespace

TEST(ItemIndex, AgreesWithAMapThroughGrowthRemovalAndCompaction) {
  ItemIndex index;
  std::map<std::string, ElementPtr> model;
  std::mt19937 random(7);
  constexpr unsigned kUniverse = 3000;
  // Three rounds: fill (the table doubles many times), churn at high load (runs of
  // displaced slots shift back on every removal), drain (erased keys are compacted away).
  for (int round = 0; round < 3; ++round) {
    for (int op = 0; op < 12000; ++op) {
      const unsigned n = random() % kUniverse;
      const std::string id = idOf(n);
      const bool add = round == 0 ? random() % 4 != 0 : round == 1 ? random() % 2 == 0 : random() % 5 == 0;
      if (add) {
        auto e = std::make_shared<DaAddressSpaceElement>();
        const bool fresh = model.emplace(id, e).second;
        ASSERT_EQ(index.insert(id, e, e.get()), fresh) << "a second element of one id is refused";
      } else {
        auto it = model.find(id);
        auto stranger = std::make_shared<DaAddressSpaceElement>();
        ASSERT_FALSE(index.erase(id, stranger.get())) << "only the element the id names is removed";
        ASSERT_EQ(index.erase(id, it == model.end() ? nullptr : it->second.get()), it != model.end());
        if (it != model.end()) model.erase(it);
      }
    }
    expectSame(index, model, kUniverse);
  }
  // An element gone from memory is no longer handed out.
  {
    auto e = std::make_shared<DaAddressSpaceElement>();
    ASSERT_TRUE(index.insert("Gone", e, e.get()));
  }
  EXPECT_EQ(index.find("Gone"), nullptr);
  index.clear();
  model.clear();
  expectSame(index, model, 10);
}
