// The build with shared channel reads against the plain channel-by-channel walk: the same
// nodes, fields, first values and log lines, for far fewer library calls; and crates
// configured in parallel, each appearing whole, each with its log in order.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "built_address_space.h"
#include "hwlib/VEXAHVWrapper.h"
#include "sim/crate_file.h"

namespace {

using namespace OpcToolbox;
using vexahv::VEXAHVElement;
using vexahv::VEXAHVOPCServer;
using vexahv::test::BuiltAddressSpace;

// Boards of four models in one crate: channel counts 1 to 16, a write-only, a text and a
// binary parameter, prefixes, labels, and an empty slot.
constexpr const char* kMixedCrate = R"(mainframe name=Mixed address=127.0.0.40 type=0 slots=8
property name=SwRelease type=text mode=ro value="1.0"
command name=Kill
command name=ClearAlarm
board slot=0 model=M100 description="4 Ch" serial=7 firmware=1.2 channels=4
boardparam name=Temp type=numeric mode=ro min=0 max=90 unit=4 value=28
channelparam name=V0Set type=numeric mode=rw min=0 max=6 unit=2 exp=3 resol=2 value=1.5
channelparam name=IMon type=numeric mode=ro min=0 max=900 unit=1 exp=-9 value=0
channelparam name=Pw type=onoff mode=rw on="Up" off="Down" value=0
channelparam name=Key type=binary mode=wo min=0 max=99 value=0
channelparam name=Tag type=string mode=rw value="t"
channelparam name=Status type=chstatus mode=ro value=0
channelname channel=2 name="two"
board slot=1 model=M200 description="16 Ch" serial=8 firmware=3.0 channels=16
channelparam name=VMon type=numeric mode=ro min=0 max=100 unit=2 value=0
channelparam name=Pw type=onoff mode=rw value=1
board slot=3 model=M300 description="1 Ch" serial=9 firmware=0.1 channels=1
channelparam name=VMon type=numeric mode=ro min=0 max=100 unit=2 value=0
board slot=5 like=0 model=M101 serial=10 channels=9
channelparam name=Extra type=numeric mode=rw min=-5 max=5 unit=9 exp=6 value=-1
)";

// Every node below these, one line each, in browse order.
void describe(const std::vector<ElementPtr>& children, std::vector<std::string>& out) {
  for (const auto& child : children) {
    std::ostringstream line;
    line << child->getItemId() << " name=" << child->getName() << " type=" << child->getDatatype()
         << " access=" << child->getAccessRights() << " io=" << child->getIoMode()
         << " children=" << child->getHasChildren();
    if (auto v = std::dynamic_pointer_cast<VEXAHVElement>(child)) {
      const ValueQT value = v->getCachedValue();
      line << " kind=" << static_cast<int>(v->getKind()) << " active=" << v->getActiveForClients()
           << " index=" << v->getSystemIndex() << " systype=" << v->getSystemType() << " slot=" << v->getSlot()
           << " channel=" << v->getChannel() << " ptype=" << v->getParamType() << " chname=" << v->getChannelName()
           << " handle=" << (v->getHandle() == -1 ? "none" : "set") << " value=" << value.getData().toString()
           << " vt=" << value.getData().vartype() << " q=" << value.getQuality();
      if (const auto* hw = v->hardware()) {
        line << " bound=" << hw->systemName << "/" << hw->slot << "/" << hw->channel << "/" << hw->parameter << "/"
             << hw->paramType << "/" << hw->datatype;
      }
    }
    out.push_back(line.str());
    describe(child->getChildren(), out);
  }
}

// The messages of the log without time, thread and handle numbers.
std::vector<std::string> messages(const std::string& log) {
  static const std::regex handle(R"((handle ?\[|^Error getting \[)-?\d+(\]))");
  std::vector<std::string> out;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    const auto at = line.find("]: ");
    if (at == std::string::npos || line.find("; Debug]") != std::string::npos) continue;
    out.push_back(std::regex_replace(line.substr(at + 3), handle, "$1H$2"));
  }
  return out;
}

struct Build {
  std::vector<std::string> nodes;
  std::vector<std::string> log;
  std::uint64_t calls = 0;
};

Build build(const std::string& entry, bool share, const std::string& extraCrate = {},
            const std::function<void(vexahv::test::SimulatedCrates&)>& prepare = {}) {
  Build b;
  std::uint64_t before = 0;
  auto total = [](BuiltAddressSpace& s) {
    std::uint64_t n = 0;
    for (const auto& m : s.crates().simulator().mainframes()) n += m->requestCount();
    return n;
  };
  BuiltAddressSpace space({entry}, true, 500, [&](BuiltAddressSpace& s) {
    if (!extraCrate.empty()) {
      vexahv::sim::CrateSpec spec;
      std::string error;
      ASSERT_TRUE(vexahv::sim::parseCrateText(extraCrate, spec, error)) << error;
      ASSERT_TRUE(s.crates().simulator().add(std::move(spec), error)) << error;
    }
    if (prepare) prepare(s.crates());
    VEXAHVOPCServer::BuildOptions options;
    options.shareChannelReads = share;
    s.server().setBuildOptions(options);
    before = total(s);
  });
  b.calls = total(space) - before;
  describe(getApp()->getDaAddressSpaceRoot()->getChildren(), b.nodes);
  b.log = messages(space.log());
  return b;
}

TEST(SharedChannelReads, BuildExactlyWhatTheChannelWalkBuildsWithFarFewerCalls) {
  struct Case {
    const char* entry;
    std::string crate;
  };
  for (const Case& c : {Case{"CrateA,0,0,127.0.0.2", ""}, Case{"CrateB,1,0,127.0.0.3:admin:hvsecret", ""},
                        Case{"CrateC,4,0,127.0.0.4", ""}, Case{"Mixed,0,0,127.0.0.40", kMixedCrate}}) {
    SCOPED_TRACE(c.entry);
    const Build plain = build(c.entry, false, c.crate);
    const Build shared = build(c.entry, true, c.crate);
    ASSERT_GT(plain.nodes.size(), 50u);
    ASSERT_EQ(plain.nodes.size(), shared.nodes.size());
    for (std::size_t i = 0; i < plain.nodes.size(); ++i) ASSERT_EQ(plain.nodes[i], shared.nodes[i]);
    EXPECT_EQ(plain.log, shared.log);
    EXPECT_LT(shared.calls * 2, plain.calls) << "plain " << plain.calls << ", shared " << shared.calls;
  }
}

// One channel reads above the limits its sibling reported for VMon: it is walked on its own,
// said in a Notice, and the build is the plain walk's all the same.
TEST(SharedChannelReads, AChannelThatDoesNotLookLikeItsSiblingIsWalkedOnItsOwn) {
  constexpr const char* kOdd = R"(mainframe name=Odd address=127.0.0.41 type=0 slots=1
property name=SwRelease type=text mode=ro value="1.0"
board slot=0 model=M400 description="4 Ch" serial=11 firmware=1.0 channels=4
channelparam name=V0Set type=numeric mode=rw min=0 max=1000 unit=2 value=0
channelparam name=VMon type=numeric mode=ro min=0 max=100 unit=2 value=0
channelparam name=RUp type=numeric mode=rw min=0 max=100000 unit=2 value=10000
channelparam name=Pw type=onoff mode=rw value=0
)";
  auto raise = [](vexahv::test::SimulatedCrates& crates) {
    int h = -1;
    ASSERT_EQ(VEXAHV_InitSystem(0, 0, "127.0.0.41", "qwzrt", "qwzrt", &h), VEXAHV_OK);
    const std::uint16_t ch = 2;
    const float volts = 500.0f;
    const std::uint32_t on = 1;
    ASSERT_EQ(VEXAHV_SetChParam(h, 0, "V0Set", 1, &ch, &volts), VEXAHV_OK);
    ASSERT_EQ(VEXAHV_SetChParam(h, 0, "Pw", 1, &ch, &on), VEXAHV_OK);
    crates.step(2);
    VEXAHV_DeinitSystem(h);
  };
  const Build plain = build("Odd,0,0,127.0.0.41", false, kOdd, raise);
  Build shared = build("Odd,0,0,127.0.0.41", true, kOdd, raise);
  ASSERT_EQ(plain.nodes, shared.nodes);
  const std::string notice =
      "Channel [2] of board [0] of system [Odd] is walked on its own, not as channel [0]: its [VMon] of [500] lies "
      "outside that channel's limits";
  const auto it = std::find(shared.log.begin(), shared.log.end(), notice);
  ASSERT_NE(it, shared.log.end());
  shared.log.erase(it);
  EXPECT_EQ(plain.log, shared.log) << "otherwise the lines of the plain walk";
}

TEST(ParallelBuild, CratesAreBuiltAtOnceEachWholeAndInOrder) {
  std::atomic<bool> done{false};
  std::atomic<bool> fastSeenFirst{false};
  std::atomic<int> partial{0};
  std::jthread watcher;
  BuiltAddressSpace space(
      {"Gone,0,0,127.0.0.99", "CrateA,0,0,127.0.0.2", "CrateB,1,0,127.0.0.3:admin:hvsecret", "CrateC,4,0,127.0.0.4"},
      false, 2000, [&](BuiltAddressSpace& s) {
        s.crates().control("latency CrateB 15");
        // While the build runs: CrateA is either bare or whole, and whole before CrateB is.
        watcher = std::jthread([&s, &done, &fastSeenFirst, &partial](std::stop_token stop) {
          auto* root = getApp()->getDaAddressSpaceRoot();
          while (!stop.stop_requested() && !done) {
            const auto a = root->findElement("CrateA.Board03.Chan011.VMon#EU");
            const auto aBoard = root->findElement("CrateA.Board00");
            const auto aItems = root->findElement("CrateA.DisMsg");
            if ((aBoard != nullptr) != (aItems != nullptr) || (aBoard != nullptr) != (a != nullptr)) ++partial;
            if (aItems && !root->findElement("CrateB.Kill")) fastSeenFirst = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
          }
          (void)s;
        });
      });
  done = true;
  watcher.join();
  EXPECT_EQ(partial, 0) << "a client saw part of a crate";
  EXPECT_TRUE(fastSeenFirst) << "CrateA waited for the slow crate";
  EXPECT_EQ(space.childNames("").front(), "Gone") << "entry order kept";
  EXPECT_EQ(space.find("Gone.ConnStatus")->getCachedValue().getData().text(), "Ko");
  for (const char* id : {"CrateA.Board00.Chan000.VMon", "CrateB.Board00.Chan000.VMon", "CrateC.ConnStatus"}) {
    EXPECT_NE(space.find(id), nullptr) << id;
  }
  auto* list = space.server().getSystemList();
  for (std::size_t i = 0; i < list->snapshot().size(); ++i) EXPECT_EQ(list->at(i)->getSystemIndex(), i);

  EXPECT_NE(space.find("CrateA.Board03.Chan011.VMon#EU"), nullptr);

  // Each crate is configured by one worker, its lines in the walk's order.
  std::map<std::string, std::vector<std::string>> byThread;
  std::istringstream in(space.log());
  for (std::string line; std::getline(in, line);) {
    const auto dot = line.find('.');
    const auto comma = line.find(',');
    const auto at = line.find("]: ");
    if (dot == std::string::npos || comma == std::string::npos || at == std::string::npos) continue;
    byThread[line.substr(dot + 1, comma - dot - 1)].push_back(line.substr(at + 3));
  }
  int configured = 0;
  for (const auto& [tid, lines] : byThread) {
    for (auto first = lines.begin(); first != lines.end(); ++first) {
      if (first->rfind("Configuring system [", 0) != 0) continue;
      ++configured;
      const std::string name = first->substr(20, first->find(']') - 20);
      const auto end = std::find(first, lines.end(), "Getting global settings");
      ASSERT_NE(end, lines.end()) << name;
      auto it = first;
      for (const std::string& e : {std::string("Getting system properties"), std::string("Getting board items"),
                                   "End system [" + name + "] configuration",
                                   "System [" + name + "] address space built",
                                   std::string("Getting system connection status")}) {
        it = std::find(it, end, e);
        EXPECT_NE(it, end) << name << ": \"" << e << "\" missing or out of order";
      }
      for (auto l = first; l != end; ++l) {
        EXPECT_TRUE(l->find("ystem [") == std::string::npos || l->find("[" + name + "]") != std::string::npos)
            << name << ": " << *l;
      }
    }
  }
  EXPECT_EQ(configured, 3);
}

}  // namespace
