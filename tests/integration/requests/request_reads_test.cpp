// Read transactions over the simulated crates, item by item and batched: equal answers
// both ways, one library call per parameter, system and slot, and the requests that
// must not be batched.

#include <gtest/gtest.h>

#include <regex>

#include "../addressspace/built_address_space.h"
#include "config/server_globals.h"
#include "core/vexahv_creator.h"
#include "hwlib/VEXAHVWrapper.h"
#include "opctoolbox/da_property.h"
#include "requests/group_read_transaction_handler.h"
#include "requests/vexahv_transaction.h"

namespace {

using namespace OpcToolbox;
using vexahv::VEXAHVServerGlobals::setUseBatchedGroupTransactions;
using vexahv::test::BuiltAddressSpace;

struct Read {
  ElementPtr element;
  int propertyId = 0;
};

std::shared_ptr<DaTransaction> transactionOf(const std::vector<Read>& reads) {
  vexahv::VEXAHVCreator creator;
  RequestList requests;
  std::uint32_t handle = 1;
  for (const Read& r : reads) requests.push_back(creator.createRequest(EnumTransactionType::Read, 1, r.element, r.propertyId, handle++));
  return creator.createTransaction(EnumTransactionType::Read, requests, 1);
}

std::vector<Read> itemsOf(BuiltAddressSpace& space, const std::vector<std::string>& ids) {
  std::vector<Read> reads;
  for (const auto& id : ids) {
    auto e = space.find(id);
    EXPECT_TRUE(e) << id;
    reads.push_back({e});
  }
  return reads;
}

std::uint64_t callsTo(BuiltAddressSpace& space, const char* crate) { return space.crates().crate(crate).requestCount(); }

std::string channelItem(int slot, int channel, const char* param) {
  char id[64];
  std::snprintf(id, sizeof id, "CrateA.Board%02d.Chan%03d.%s", slot, channel, param);
  return id;
}

class Batching : public ::testing::Test {
 protected:
  ~Batching() override { setUseBatchedGroupTransactions(false); }
};

TEST_F(Batching, BatchedAndOneByOneGiveEqualValuesWithOneCallPerParameterAndSlot) {
  BuiltAddressSpace space({"CrateA,0,0,127.0.0.2", "CrateB,1,0,127.0.0.3:admin:hvsecret"}, false);
  const int h = space.find("CrateA")->getHandle();
  for (std::uint16_t ch = 0; ch < 12; ++ch) {
    const float v = 100.0f + ch;
    ASSERT_EQ(VEXAHV_SetChParam(h, 0, "V0Set", 1, &ch, &v), VEXAHV_OK);
  }
  const std::uint32_t on = 1;
  const std::uint16_t five = 5;
  ASSERT_EQ(VEXAHV_SetChParam(h, 1, "Pw", 1, &five, &on), VEXAHV_OK);
  const std::uint16_t three = 3;
  ASSERT_EQ(VEXAHV_SetChParam(h, 0, "Label", 1, &three, "left arm"), VEXAHV_OK);
  space.crates().step(20);

  std::vector<std::string> ids;
  for (int slot : {0, 1}) {
    for (int ch = 0; ch < 12; ++ch) {
      for (const char* p : {"VMon", "IMon", "V0Set", "Pw", "Status", "Name", "RUp", "Label"}) {
        ids.push_back(channelItem(slot, ch, p));
      }
    }
  }
  ids.push_back("CrateA.ModelName");
  ids.push_back("CrateA.Board00.Temp");
  ids.push_back("CrateB.Board00.Chan000.VMon");
  const auto reads = itemsOf(space, ids);

  setUseBatchedGroupTransactions(false);
  auto oneByOne = transactionOf(reads);
  std::uint64_t before = callsTo(space, "CrateA");
  oneByOne->handleReadRequests();
  EXPECT_EQ(callsTo(space, "CrateA") - before, ids.size() - 1);

  setUseBatchedGroupTransactions(true);
  auto batched = transactionOf(reads);
  before = callsTo(space, "CrateA");
  const std::uint64_t beforeB = callsTo(space, "CrateB");
  batched->handleReadRequests();
  // Five listed parameters and two more (a number, a text) by name on two slots; 24 names
  // and two other items one by one.
  EXPECT_EQ(callsTo(space, "CrateA") - before, 7u * 2u + 24u + 2u);
  EXPECT_EQ(callsTo(space, "CrateB") - beforeB, 1u);

  for (std::size_t i = 0; i < ids.size(); ++i) {
    const auto& a = oneByOne->getRequests()[i];
    const auto& b = batched->getRequests()[i];
    EXPECT_EQ(a->getResult(), S_OK) << ids[i];
    EXPECT_EQ(b->getResult(), S_OK) << ids[i];
    EXPECT_EQ(a->getValue().getQuality(), kQualityGood) << ids[i];
    EXPECT_EQ(b->getValue().getQuality(), kQualityGood) << ids[i];
    EXPECT_EQ(a->getValue().getData().vartype(), b->getValue().getData().vartype()) << ids[i];
    EXPECT_TRUE(a->getValue().getData() == b->getValue().getData())
        << ids[i] << ": " << a->getValue().getData().toString() << " vs " << b->getValue().getData().toString();
  }
  EXPECT_FLOAT_EQ(batched->getRequests()[2 * 8 + 2]->getValue().getData().rawR4(), 102.0f) << "Chan002.V0Set";
  EXPECT_EQ(batched->getRequests()[(12 + 5) * 8 + 3]->getValue().getData().rawUI2(), 1) << "Board01.Chan005.Pw";
  EXPECT_EQ(batched->getRequests()[3 * 8 + 7]->getValue().getData().text(), "left arm") << "Chan003.Label";
  const std::string log = space.log();
  EXPECT_NE(log.find("VEXAHVTransaction::handleReadRequests+ start read ["), std::string::npos);
  EXPECT_NE(log.find("] batched? [Y] item count [" + std::to_string(ids.size()) + "]"), std::string::npos);
  EXPECT_TRUE(std::regex_search(log, std::regex(R"(- stop read \[\d+\], elapsed time \[\d+ms\])")));

  // A failed batch names the mainframe, slot and parameter it was for.
  space.crates().control("silent CrateB on");
  transactionOf(itemsOf(space, {"CrateB.Board00.Chan000.VMon"}))->handleReadRequests();
  EXPECT_NE(space.log().find("VEXAHV_GetChParam returned failure value [2] (system [CrateB], slot [0], "
                             "parameter [VMon], [1] channels)"),
            std::string::npos);
}

TEST_F(Batching, GroupsAreReadInHandleAndSlotOrderAndOddRequestsOneByOne) {
  // One worker: the crates connect in entry order, so CrateA has the lower handle.
  BuiltAddressSpace space({"CrateA,0,0,127.0.0.2", "CrateB,1,0,127.0.0.3:admin:hvsecret"}, false, 500,
                          [](BuiltAddressSpace& s) { s.server().setBuildOptions({1, true}); });
  setUseBatchedGroupTransactions(true);
  const auto vmonB = space.find("CrateB.Board00.Chan001.VMon");
  const auto vmonA1 = space.find(channelItem(1, 3, "VMon"));
  const auto vmonA0 = space.find(channelItem(0, 4, "VMon"));
  const int hA = vmonA0->getSystemHandle();
  const int hB = vmonB->getSystemHandle();
  ASSERT_LT(hA, hB);

  // Asked in descending order, duplicates included.
  auto t = transactionOf({{vmonB}, {vmonA1}, {vmonA0}, {vmonA0}});
  std::uint64_t before = callsTo(space, "CrateA");
  t->handleReadRequests();
  EXPECT_EQ(callsTo(space, "CrateA") - before, 2u);
  std::string log = space.log();
  auto at = [&](const std::string& text) { return log.find(text); };
  const auto a0 = at("building read parameters for system [" + std::to_string(hA) + "] slot [0] with [2] channels");
  const auto a1 = at("building read parameters for system [" + std::to_string(hA) + "] slot [1] with [1] channels");
  const auto b0 = at("building read parameters for system [" + std::to_string(hB) + "] slot [0] with [1] channels");
  ASSERT_NE(a0, std::string::npos);
  ASSERT_NE(a1, std::string::npos);
  ASSERT_NE(b0, std::string::npos);
  EXPECT_LT(a0, a1);
  EXPECT_LT(a1, b0);
  EXPECT_NE(at(" reading [2] values for mainframe with SystemHandle [" + std::to_string(hA) + "] slot Number [0]..."),
            std::string::npos);
  EXPECT_NE(at(" batch read complete, read [2] parameter type [VMon] return value from hw read [0]"), std::string::npos);

  // Write-only, disconnected, a property, and a name: none is batched.
  EXPECT_EQ(vexahv::getBatchReadType(vmonA0.get()), 1);
  EXPECT_EQ(vexahv::getBatchReadType(space.find(channelItem(0, 0, "Status")).get()), 0);
  EXPECT_EQ(vexahv::getBatchReadType(space.find(channelItem(0, 0, "Name")).get()), vexahv::kNotBatched);
  EXPECT_EQ(vexahv::getBatchReadType(space.find(channelItem(0, 0, "Pswd")).get()), vexahv::kNotBatched);
  EXPECT_EQ(vexahv::getBatchReadType(nullptr), vexahv::kNotBatched);
  const auto writeOnly = space.find(channelItem(0, 7, "VMon"));
  writeOnly->setAccessRights(kWriteable);
  EXPECT_EQ(vexahv::getBatchReadType(writeOnly.get()), vexahv::kNotBatched);
  // A lost system: its handle is -1 on the node and every item, as a failed reconnection
  // leaves it.
  const auto lost = space.find(channelItem(0, 8, "VMon"));
  const auto crateA = space.find("CrateA");
  const int handleA = crateA->getHandle();
  crateA->setHandle(-1);
  crateA->setSystemHandle(-1);
  EXPECT_EQ(vexahv::getBatchReadType(lost.get()), vexahv::kNotBatched);

  auto property = std::make_unique<DaConstantProperty>(ValueQT(Variant{}, kQualityGood, DateTime::now()));
  property->setId(5001);
  vmonA1->addProperty(std::move(property));
  before = callsTo(space, "CrateA");
  auto props = transactionOf({{vmonA1, 5001}, {vmonA1, 5002}, {lost}});
  props->handleReadRequests();
  EXPECT_EQ(callsTo(space, "CrateA"), before) << "properties and a lost system never reach the hardware";
  EXPECT_EQ(props->getRequests()[0]->getValue().getQuality(), kQualityGood);
  EXPECT_EQ(props->getRequests()[1]->getValue().getQuality(), kQualityBad) << "no such property";
  EXPECT_EQ(props->getRequests()[2]->getValue().getQuality(), kQualityNotConnected);
  for (const auto& r : props->getRequests()) EXPECT_EQ(r->getResult(), S_OK);
  crateA->setHandle(handleA);
  crateA->setSystemHandle(handleA);
}

TEST_F(Batching, OneByOneStopsAtAnInvalidRequestAndAnswersProperties) {
  BuiltAddressSpace space({"CrateA,0,0,127.0.0.2"}, false);
  setUseBatchedGroupTransactions(false);
  const auto v0 = space.find(channelItem(0, 0, "V0Set"));
  auto property = std::make_unique<DaConstantProperty>(ValueQT(Variant{}, kQualityGood, DateTime::now()));
  property->setId(5001);
  v0->addProperty(std::move(property));

  const std::uint64_t before = callsTo(space, "CrateA");
  auto t = transactionOf({{v0}, {v0, 5001}, {nullptr}, {v0}, {v0, 5002}});
  t->handleReadRequests();
  const auto& r = t->getRequests();
  EXPECT_EQ(callsTo(space, "CrateA") - before, 1u) << "the property read costs no call";
  EXPECT_EQ(r[0]->getResult(), S_OK);
  EXPECT_EQ(r[0]->getValue().getQuality(), kQualityGood);
  EXPECT_EQ(r[1]->getResult(), S_OK);
  EXPECT_EQ(r[2]->getResult(), E_FAIL);
  EXPECT_EQ(r[3]->getValue().getQuality(), kQualityWaitingForInitialData) << "left unanswered";
  EXPECT_TRUE(t->completed());
  EXPECT_NE(space.log().find("Handle read request received an invalid item"), std::string::npos);

  auto rest = transactionOf({{v0, 5002}});
  rest->handleReadRequests();
  EXPECT_EQ(rest->getRequests()[0]->getResult(), OPC_E_INVALID_PID);

  auto empty = transactionOf({});
  EXPECT_EQ(empty->handleReadRequests(), S_OK);
  EXPECT_TRUE(empty->completed());
  EXPECT_NE(space.log().find("batched? [N] item count [0]"), std::string::npos);
}

}  // namespace
