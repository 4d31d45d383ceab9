// What the library does when the mainframe misbehaves: refused logins, silence, dropped
// connections, power cycles, removed boards, and many threads on one handle.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "hwlib/VEXAHVWrapper.h"
#include "hwlib/mainframe_link.h"
#include "support/simulated_crates.h"

namespace {

using Clock = std::chrono::steady_clock;
using vexahv::test::SimulatedCrates;

int probe(int h) {
  char text[VEXAHV_SYSPROP_TEXT_SIZE];
  return VEXAHV_GetSysProp(h, "SwRelease", text);
}

TEST(LibraryFaults, InitRefusals) {
  SimulatedCrates crates;
  int h = -1;
  EXPECT_EQ(VEXAHV_InitSystem(3, 0, "127.0.0.2", "", "", &h), VEXAHV_ERR_SYSTEM_TYPE);
  EXPECT_EQ(VEXAHV_InitSystem(0, 1, "127.0.0.2", "", "", &h), VEXAHV_ERR_LINK_TYPE);
  EXPECT_EQ(VEXAHV_InitSystem(0, 0, "127.0.0", "", "", &h), VEXAHV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(VEXAHV_InitSystem(0, 0, nullptr, "", "", &h), VEXAHV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(VEXAHV_InitSystem(2, 0, "127.0.0.2", "a", "b", &h), VEXAHV_ERR_SYSTEM_TYPE)
      << "CrateA is not of type 2";
  EXPECT_EQ(VEXAHV_InitSystem(2, 0, "127.0.0.3", "admin", "wrong", &h), VEXAHV_ERR_LOGIN_REFUSED);
  EXPECT_EQ(VEXAHV_InitSystem(0, 0, "127.0.0.9", "", "", &h), VEXAHV_ERR_NOT_CONNECTED)
      << "nobody serves 127.0.0.9";
  EXPECT_EQ(crates.control("refuse-login CrateA on"), "OK refuse-login");
  EXPECT_EQ(VEXAHV_InitSystem(0, 0, "127.0.0.2", "qwzrt", "qwzrt", &h), VEXAHV_ERR_LOGIN_REFUSED);
  EXPECT_EQ(crates.control("refuse-login CrateA off"), "OK refuse-login");
  h = SimulatedCrates::openCrateA();
  EXPECT_EQ(probe(h), VEXAHV_OK);
  EXPECT_EQ(probe(h + 1000), VEXAHV_ERR_UNKNOWN_HANDLE);
  VEXAHV_DeinitSystem(h);
  ::setenv("VEXAHV_MAINFRAME_PORT", "70000", 1);
  EXPECT_EQ(VEXAHV_InitSystem(0, 0, "127.0.0.2", "", "", &h), VEXAHV_ERR_INVALID_ARGUMENT);
}

TEST(LibraryFaults, SilenceTimesOutFailsFastThenTheSameHandleConnectsAgain) {
  SimulatedCrates crates(300);
  int h = SimulatedCrates::openCrateA();
  ASSERT_EQ(probe(h), VEXAHV_OK);
  crates.control("silent CrateA on");
  const auto t0 = Clock::now();
  EXPECT_EQ(probe(h), VEXAHV_ERR_TIMEOUT);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(3)) << "bounded by the call time-out";
  EXPECT_EQ(probe(h), VEXAHV_ERR_NOT_CONNECTED) << "right after a failure calls fail at once";
  // Still silent after the pause: the new stream's login times out, and the pause starts over.
  std::this_thread::sleep_for(vexahv::hwlib::MainframeLink::kReopenPause);
  EXPECT_EQ(probe(h), VEXAHV_ERR_TIMEOUT);
  crates.control("silent CrateA off");
  EXPECT_EQ(probe(h), VEXAHV_ERR_NOT_CONNECTED);
  // A late answer of the old stream is never taken for a new call's: the stream is new.
  std::this_thread::sleep_for(vexahv::hwlib::MainframeLink::kReopenPause);
  EXPECT_EQ(probe(h), VEXAHV_OK) << "the handle works again once the mainframe answers";
  const float v0 = 321.0f;
  const std::uint16_t ch0 = 2;
  EXPECT_EQ(VEXAHV_SetChParam(h, 0, "V0Set", 1, &ch0, &v0), VEXAHV_OK);
  // After a DeinitSystem the handle is gone for good.
  EXPECT_EQ(VEXAHV_DeinitSystem(h), VEXAHV_OK);
  EXPECT_EQ(probe(h), VEXAHV_ERR_UNKNOWN_HANDLE);
  h = SimulatedCrates::openCrateA();
  EXPECT_EQ(probe(h), VEXAHV_OK);

  // A slow mainframe within the time-out is just slow.
  crates.control("latency CrateA 50");
  EXPECT_EQ(probe(h), VEXAHV_OK);
  crates.control("latency CrateA 0");

  // Dropped connections fail the next call; a power cycle also resets the values.
  const float v = 123.0f;
  const std::uint16_t ch = 0;
  ASSERT_EQ(VEXAHV_SetChParam(h, 0, "V0Set", 1, &ch, &v), VEXAHV_OK);
  crates.control("drop CrateA");
  EXPECT_EQ(probe(h), VEXAHV_ERR_NOT_CONNECTED);
  VEXAHV_DeinitSystem(h);
  h = SimulatedCrates::openCrateA();
  crates.control("restart CrateA");
  EXPECT_EQ(probe(h), VEXAHV_ERR_NOT_CONNECTED);
  VEXAHV_DeinitSystem(h);
  h = SimulatedCrates::openCrateA();
  float back = -1;
  ASSERT_EQ(VEXAHV_GetChParam(h, 0, "V0Set", 1, &ch, &back), VEXAHV_OK);
  EXPECT_EQ(back, 0.0f);
  VEXAHV_DeinitSystem(h);
}

TEST(LibraryFaults, RemovedBoardIsGoneUntilInserted) {
  SimulatedCrates crates;
  const int h = SimulatedCrates::openCrateA();
  EXPECT_EQ(crates.control("remove CrateA 1"), "OK remove");
  EXPECT_EQ(crates.control("remove CrateA 1").rfind("ERROR", 0), 0u);
  std::uint16_t slots = 0, *channels = nullptr, *serials = nullptr;
  char *models = nullptr, *descriptions = nullptr;
  std::uint8_t *minor = nullptr, *major = nullptr;
  ASSERT_EQ(VEXAHV_GetCrateMap(h, &slots, &channels, &models, &descriptions, &serials, &minor, &major),
            VEXAHV_OK);
  EXPECT_EQ(channels[1], 0);
  for (void* p : {static_cast<void*>(channels), static_cast<void*>(models),
                  static_cast<void*>(descriptions), static_cast<void*>(serials),
                  static_cast<void*>(minor), static_cast<void*>(major)}) {
    VEXAHV_Free(p);
  }
  const std::uint16_t ch = 0;
  float v = 0;
  EXPECT_EQ(VEXAHV_GetChParam(h, 1, "VMon", 1, &ch, &v), VEXAHV_ERR_NO_SLOT);
  EXPECT_EQ(crates.control("insert CrateA 1"), "OK insert");
  EXPECT_EQ(VEXAHV_GetChParam(h, 1, "VMon", 1, &ch, &v), VEXAHV_OK);
  VEXAHV_DeinitSystem(h);
}

TEST(LibraryFaults, ManyThreadsOnOneHandleAndDeinitReleasesABlockedCall) {
  SimulatedCrates crates(5000);
  const int h = SimulatedCrates::openCrateA();
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      const std::uint16_t slot = t % 2 == 0 ? 0 : 1;
      std::vector<std::uint16_t> chans(12);
      for (std::uint16_t i = 0; i < 12; ++i) chans[i] = i;
      for (int i = 0; i < 150; ++i) {
        std::vector<float> v(12, -1);
        if (VEXAHV_GetChParam(h, slot, "V0Set", 12, chans.data(), v.data()) != VEXAHV_OK ||
            v[11] != 0.0f || probe(h) != VEXAHV_OK) {
          ++failures;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, 0);

  crates.control("silent CrateA on");
  std::atomic<int> blocked{-1};
  std::thread caller([&] { blocked = probe(h); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto t0 = Clock::now();
  EXPECT_EQ(VEXAHV_DeinitSystem(h), VEXAHV_OK);
  caller.join();
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2)) << "released well before the 5 s time-out";
  EXPECT_EQ(blocked, VEXAHV_ERR_NOT_CONNECTED);
}

}  // namespace
