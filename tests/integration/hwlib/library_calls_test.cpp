// The library against simulated crates on loopback: every call, its results and its
// refusals, and the channel physics as a client sees it.

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "hwlib/VEXAHVWrapper.h"
#include "support/simulated_crates.h"

namespace {

using vexahv::test::SimulatedCrates;

std::vector<std::string> splitNul(const char* list, std::size_t count) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < count; ++i) {
    out.emplace_back(list);
    list += out.back().size() + 1;
  }
  return out;
}

std::vector<std::string> nameFields(const char* list) {
  std::vector<std::string> out;
  for (; list[0] != '\0'; list += VEXAHV_PARAM_NAME_SIZE) out.emplace_back(list);
  return out;
}

float chFloat(int h, std::uint16_t slot, const char* par, std::uint16_t ch) {
  float v = -1;
  EXPECT_EQ(VEXAHV_GetChParam(h, slot, par, 1, &ch, &v), VEXAHV_OK) << par;
  return v;
}

std::uint32_t chUint(int h, std::uint16_t slot, const char* par, std::uint16_t ch) {
  std::uint32_t v = 0xFFFFFFFF;
  EXPECT_EQ(VEXAHV_GetChParam(h, slot, par, 1, &ch, &v), VEXAHV_OK) << par;
  return v;
}

int setFloat(int h, std::uint16_t slot, const char* par, std::uint16_t ch, float v) {
  return VEXAHV_SetChParam(h, slot, par, 1, &ch, &v);
}

int setUint(int h, std::uint16_t slot, const char* par, std::uint16_t ch, std::uint32_t v) {
  return VEXAHV_SetChParam(h, slot, par, 1, &ch, &v);
}

TEST(LibraryCalls, CrateMapPropertiesAndParameterLists) {
  SimulatedCrates crates;
  const int h = SimulatedCrates::openCrateA();
  ASSERT_GE(h, 0);

  std::uint16_t slots = 0, *channels = nullptr, *serials = nullptr;
  char *models = nullptr, *descriptions = nullptr;
  std::uint8_t *minor = nullptr, *major = nullptr;
  ASSERT_EQ(VEXAHV_GetCrateMap(h, &slots, &channels, &models, &descriptions, &serials, &minor, &major),
            VEXAHV_OK);
  ASSERT_EQ(slots, 6);
  EXPECT_EQ(std::vector<std::uint16_t>(channels, channels + 6),
            (std::vector<std::uint16_t>{12, 24, 0, 12, 0, 0}));
  EXPECT_EQ(splitNul(models, 6), (std::vector<std::string>{"A1535", "A1536", "", "A1535", "", ""}));
  EXPECT_EQ(splitNul(descriptions, 2)[1], "24 Ch 1.5KV/1mA");
  EXPECT_EQ(serials[3], 103);
  EXPECT_EQ(major[3], 2);
  EXPECT_EQ(minor[3], 5);
  for (void* list : {static_cast<void*>(channels), static_cast<void*>(models),
                     static_cast<void*>(descriptions), static_cast<void*>(serials),
                     static_cast<void*>(minor), static_cast<void*>(major)}) {
    VEXAHV_Free(list);
  }

  std::uint16_t count = 0;
  char* names = nullptr;
  ASSERT_EQ(VEXAHV_GetSysPropList(h, &count, &names), VEXAHV_OK);
  const auto props = splitNul(names, count);
  VEXAHV_Free(names);
  ASSERT_EQ(count, 12);
  EXPECT_EQ(props.front(), "SwRelease");
  EXPECT_EQ(props.back(), "CfgPswd");

  unsigned mode = 9, type = 9;
  ASSERT_EQ(VEXAHV_GetSysPropInfo(h, "GenSignCfg", &mode, &type), VEXAHV_OK);
  EXPECT_EQ(mode, unsigned{VEXAHV_MODE_RDWR});
  EXPECT_EQ(type, unsigned{VEXAHV_SYSPROP_UINT2});
  EXPECT_EQ(VEXAHV_GetSysPropInfo(h, "NoSuchProp", &mode, &type), VEXAHV_ERR_NO_PARAMETER);

  // Each property type in the size the header gives it.
  char text[VEXAHV_SYSPROP_TEXT_SIZE];
  ASSERT_EQ(VEXAHV_GetSysProp(h, "SwRelease", text), VEXAHV_OK);
  EXPECT_STREQ(text, "3.10.2");
  std::uint16_t u2[2] = {0xAAAA, 0xAAAA};
  ASSERT_EQ(VEXAHV_GetSysProp(h, "FrontPanIn", u2), VEXAHV_OK);
  EXPECT_EQ(u2[0], 3);
  EXPECT_EQ(u2[1], 0xAAAA) << "a 16-bit property writes 2 bytes only";
  std::int16_t i2 = 0;
  ASSERT_EQ(VEXAHV_GetSysProp(h, "ClkFreq", &i2), VEXAHV_OK);
  EXPECT_EQ(i2, -12);
  float f = 0;
  ASSERT_EQ(VEXAHV_GetSysProp(h, "HvPwSM", &f), VEXAHV_OK);
  EXPECT_FLOAT_EQ(f, 1.5f);
  EXPECT_EQ(VEXAHV_GetSysProp(h, "CfgPswd", text), VEXAHV_ERR_WRITE_ONLY);

  ASSERT_EQ(VEXAHV_GetBdParamInfo(h, 0, &names), VEXAHV_OK);
  EXPECT_EQ(nameFields(names), (std::vector<std::string>{"Temp", "BdStatus", "HVMax", "BdLabel"}));
  VEXAHV_Free(names);
  int n = 0;
  ASSERT_EQ(VEXAHV_GetChParamInfo(h, 1, 23, &names, &n), VEXAHV_OK);
  const auto chParams = nameFields(names);
  VEXAHV_Free(names);
  EXPECT_EQ(n, 16);
  EXPECT_EQ(chParams.size(), 16u);
  EXPECT_EQ(chParams[0], "V0Set") << "a redefined parameter keeps its place";
  EXPECT_EQ(VEXAHV_GetBdParamInfo(h, 2, &names), VEXAHV_ERR_NO_SLOT);
  EXPECT_EQ(VEXAHV_GetChParamInfo(h, 0, 12, &names, &n), VEXAHV_ERR_NO_CHANNEL);

  // Parameter properties, by kind, and the ones a parameter does not have.
  std::uint32_t u4 = 0;
  ASSERT_EQ(VEXAHV_GetChParamProp(h, 0, 0, "Pw", "Type", &u4), VEXAHV_OK);
  EXPECT_EQ(u4, 1u);
  ASSERT_EQ(VEXAHV_GetChParamProp(h, 0, 0, "Pswd", "Mode", &u4), VEXAHV_OK);
  EXPECT_EQ(u4, 1u);
  ASSERT_EQ(VEXAHV_GetChParamProp(h, 1, 0, "V0Set", "Maxval", &f), VEXAHV_OK);
  EXPECT_FLOAT_EQ(f, 1500.0f);
  std::int16_t e = 0;
  ASSERT_EQ(VEXAHV_GetChParamProp(h, 0, 0, "IMon", "Exp", &e), VEXAHV_OK);
  EXPECT_EQ(e, -6);
  std::uint16_t unit = 0, resol = 0;
  ASSERT_EQ(VEXAHV_GetChParamProp(h, 0, 0, "IMon", "Unit", &unit), VEXAHV_OK);
  EXPECT_EQ(unit, 1);
  ASSERT_EQ(VEXAHV_GetChParamProp(h, 0, 0, "VMon", "Resol", &resol), VEXAHV_OK);
  EXPECT_EQ(resol, 1);
  char label[VEXAHV_PROP_TEXT_SIZE];
  ASSERT_EQ(VEXAHV_GetChParamProp(h, 0, 0, "GlbOnEn", "Onstate", label), VEXAHV_OK);
  EXPECT_STREQ(label, "Enabled");
  EXPECT_EQ(VEXAHV_GetChParamProp(h, 0, 0, "Pw", "Minval", &f), VEXAHV_ERR_NO_PROPERTY);
  EXPECT_EQ(VEXAHV_GetBdParamProp(h, 0, "Temp", "Resol", &resol), VEXAHV_ERR_NO_PROPERTY);
  EXPECT_EQ(VEXAHV_GetBdParamProp(h, 0, "Temp", "Colour", &resol), VEXAHV_ERR_NO_PROPERTY);
  ASSERT_EQ(VEXAHV_GetBdParamProp(h, 0, "Temp", "Unit", &unit), VEXAHV_OK);
  EXPECT_EQ(unit, 4);

  EXPECT_STRNE(VEXAHVLibSwRel(), "");
  EXPECT_EQ(VEXAHV_DeinitSystem(h), VEXAHV_OK);
  EXPECT_EQ(VEXAHV_GetSysProp(h, "SwRelease", text), VEXAHV_ERR_UNKNOWN_HANDLE);
  EXPECT_EQ(VEXAHV_DeinitSystem(h), VEXAHV_ERR_UNKNOWN_HANDLE);
}

TEST(LibraryCalls, ReadsAndWritesWithTheirRefusals) {
  SimulatedCrates crates;
  const int h = SimulatedCrates::openCrateA();
  ASSERT_GE(h, 0);

  // 24 channels in one call, in list order.
  std::vector<std::uint16_t> all(24);
  for (std::uint16_t i = 0; i < 24; ++i) all[i] = static_cast<std::uint16_t>(23 - i);
  std::vector<float> sets(24, -1);
  ASSERT_EQ(setFloat(h, 1, "V0Set", 5, 750.0f), VEXAHV_OK);
  ASSERT_EQ(VEXAHV_GetChParam(h, 1, "V0Set", 24, all.data(), sets.data()), VEXAHV_OK);
  EXPECT_FLOAT_EQ(sets[23 - 5], 750.0f);
  EXPECT_FLOAT_EQ(sets[0], 0.0f);

  // A set learns the parameter's type once per connection: one round trip after that.
  auto requests = [&] { return crates.crate("CrateA").requestCount(); };
  std::uint64_t before = requests();
  ASSERT_EQ(setFloat(h, 1, "V0Set", 5, 750.0f), VEXAHV_OK);
  EXPECT_EQ(requests() - before, 1u) << "the type was learnt by the first set";
  before = requests();
  ASSERT_EQ(setFloat(h, 1, "V0Set", 9, 750.0f), VEXAHV_OK);
  EXPECT_EQ(requests() - before, 1u) << "for every channel of the board";
  const int again = SimulatedCrates::openCrateA();
  before = requests();
  ASSERT_EQ(setFloat(again, 1, "V0Set", 5, 750.0f), VEXAHV_OK);
  EXPECT_EQ(requests() - before, 2u) << "a new connection asks again";
  std::uint32_t type = 99;
  ASSERT_EQ(VEXAHV_GetChParamProp(again, 1, 3, "I0Set", "Type", &type), VEXAHV_OK);
  before = requests();
  ASSERT_EQ(setFloat(again, 1, "I0Set", 5, 100.0f), VEXAHV_OK);
  EXPECT_EQ(requests() - before, 1u) << "a caller that asked the type taught it";
  VEXAHV_DeinitSystem(again);

  // Text values: one 1024-byte field per channel or slot.
  std::uint16_t two[2] = {0, 1};
  ASSERT_EQ(VEXAHV_SetChParam(h, 0, "Label", 1, &two[1], "HV-B"), VEXAHV_OK);
  std::vector<char> texts(2 * VEXAHV_TEXT_VALUE_SIZE, 'x');
  ASSERT_EQ(VEXAHV_GetChParam(h, 0, "Label", 2, two, texts.data()), VEXAHV_OK);
  EXPECT_STREQ(texts.data(), "");
  EXPECT_STREQ(texts.data() + VEXAHV_TEXT_VALUE_SIZE, "HV-B");
  std::uint16_t boards[2] = {3, 0};
  ASSERT_EQ(VEXAHV_GetBdParam(h, 2, boards, "BdLabel", texts.data()), VEXAHV_OK);
  EXPECT_STREQ(texts.data() + VEXAHV_TEXT_VALUE_SIZE, "upstream");
  float temps[2] = {};
  ASSERT_EQ(VEXAHV_GetBdParam(h, 2, boards, "Temp", temps), VEXAHV_OK);
  EXPECT_FLOAT_EQ(temps[1], 31.5f);

  // Refusals change nothing.
  EXPECT_EQ(setFloat(h, 1, "V0Set", 5, 1600.0f), VEXAHV_ERR_OUT_OF_RANGE);
  EXPECT_EQ(setFloat(h, 1, "V0Set", 5, std::bit_cast<float>(0x7FC00000u)), VEXAHV_ERR_OUT_OF_RANGE);
  EXPECT_FLOAT_EQ(chFloat(h, 1, "V0Set", 5), 750.0f);
  EXPECT_EQ(setFloat(h, 0, "VMon", 0, 10.0f), VEXAHV_ERR_READ_ONLY);
  EXPECT_EQ(setUint(h, 0, "Pw", 0, 2), VEXAHV_ERR_OUT_OF_RANGE);
  EXPECT_EQ(setFloat(h, 0, "Nope", 0, 1.0f), VEXAHV_ERR_NO_PARAMETER);
  EXPECT_EQ(setFloat(h, 2, "V0Set", 0, 1.0f), VEXAHV_ERR_NO_SLOT);
  EXPECT_EQ(setFloat(h, 0, "V0Set", 12, 1.0f), VEXAHV_ERR_NO_CHANNEL);
  std::uint16_t mixed[2] = {0, 40};
  const float v100 = 100.0f;
  EXPECT_EQ(VEXAHV_SetChParam(h, 0, "V0Set", 2, mixed, &v100), VEXAHV_ERR_NO_CHANNEL);
  EXPECT_FLOAT_EQ(chFloat(h, 0, "V0Set", 0), 0.0f) << "a list with one bad channel writes none";
  std::uint32_t pswd = 0;
  std::uint16_t ch0 = 0;
  EXPECT_EQ(VEXAHV_GetChParam(h, 0, "Pswd", 1, &ch0, &pswd), VEXAHV_ERR_WRITE_ONLY);
  EXPECT_EQ(setUint(h, 0, "Pswd", 0, 1234), VEXAHV_OK);
  EXPECT_EQ(VEXAHV_GetChParam(h, 0, "VMon", 0, &ch0, &pswd), VEXAHV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(VEXAHV_GetChParam(h, 0, nullptr, 1, &ch0, &pswd), VEXAHV_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(VEXAHV_GetChParam(h, 0, "TooLongName", 1, &ch0, &pswd), VEXAHV_ERR_INVALID_ARGUMENT);
  const std::uint32_t one = 1;
  EXPECT_EQ(VEXAHV_SetBdParam(h, 1, &ch0, "Temp", &one), VEXAHV_ERR_READ_ONLY);

  // Channel names: 11 characters at most.
  char got[2][VEXAHV_CH_NAME_SIZE];
  ASSERT_EQ(VEXAHV_GetChName(h, 0, 2, two, got), VEXAHV_OK);
  EXPECT_STREQ(got[0], "Beam left");
  EXPECT_STREQ(got[1], "Beam right");
  ASSERT_EQ(VEXAHV_SetChName(h, 0, 1, &two[1], "Elevenchars"), VEXAHV_OK);
  EXPECT_EQ(VEXAHV_SetChName(h, 0, 1, &two[1], "Twelve chars"), VEXAHV_ERR_OUT_OF_RANGE);
  ASSERT_EQ(VEXAHV_GetChName(h, 0, 1, &two[1], got), VEXAHV_OK);
  EXPECT_STREQ(got[0], "Elevenchars");

  // System properties of each width, refused types and modes.
  const std::uint16_t cfg = 0x0102;
  ASSERT_EQ(VEXAHV_SetSysProp(h, "GenSignCfg", &cfg), VEXAHV_OK);
  std::uint16_t back = 0;
  ASSERT_EQ(VEXAHV_GetSysProp(h, "GenSignCfg", &back), VEXAHV_OK);
  EXPECT_EQ(back, 0x0102);
  const std::int16_t minus = -300;
  ASSERT_EQ(VEXAHV_SetSysProp(h, "ClkFreq", &minus), VEXAHV_OK);
  std::int16_t i2 = 0;
  ASSERT_EQ(VEXAHV_GetSysProp(h, "ClkFreq", &i2), VEXAHV_OK);
  EXPECT_EQ(i2, -300);
  const std::uint16_t two16 = 2;
  EXPECT_EQ(VEXAHV_SetSysProp(h, "HVFanOn", &two16), VEXAHV_ERR_OUT_OF_RANGE);
  EXPECT_EQ(VEXAHV_SetSysProp(h, "SwRelease", "9.9"), VEXAHV_ERR_READ_ONLY);
  EXPECT_EQ(VEXAHV_SetSysProp(h, "CfgPswd", "secret"), VEXAHV_OK);
  EXPECT_EQ(VEXAHV_ExecComm(h, "SelfDestruct"), VEXAHV_ERR_NO_COMMAND);
  EXPECT_EQ(VEXAHV_ExecComm(h, "Format"), VEXAHV_OK);
  VEXAHV_DeinitSystem(h);
}

TEST(LibraryCalls, ChannelPhysicsRampTripKillAndClear) {
  SimulatedCrates crates;
  const int h = SimulatedCrates::openCrateA();
  ASSERT_GE(h, 0);
  // Board 0: 100 MOhm loads, 50 V/s ramps, trip after 2 s over the limit.
  ASSERT_EQ(setFloat(h, 0, "V0Set", 0, 100.0f), VEXAHV_OK);
  ASSERT_EQ(setUint(h, 0, "Pw", 0, 1), VEXAHV_OK);
  crates.step(10);  // one second
  EXPECT_NEAR(chFloat(h, 0, "VMon", 0), 50.0f, 0.01);
  EXPECT_EQ(chUint(h, 0, "Status", 0), 0x3u) << "on and ramping up";
  crates.step(15);
  EXPECT_NEAR(chFloat(h, 0, "VMon", 0), 100.0f, 0.01);
  EXPECT_NEAR(chFloat(h, 0, "IMon", 0), 1.0f, 0.05) << "100 V over 100 MOhm is 1 uA";
  EXPECT_EQ(chUint(h, 0, "Status", 0), 0x1u);
  EXPECT_NEAR(chFloat(h, 0, "VMon", 1), 0.0f, 0.001) << "other channels stay off";

  // The software maximum caps the target.
  ASSERT_EQ(setFloat(h, 0, "SVMax", 0, 80.0f), VEXAHV_OK);
  crates.step(10);
  EXPECT_NEAR(chFloat(h, 0, "VMon", 0), 80.0f, 0.01);
  EXPECT_TRUE(chUint(h, 0, "Status", 0) & (1u << 6)) << "at the maximum";

  // Over the current limit for longer than the trip time: off and tripped.
  ASSERT_EQ(setFloat(h, 0, "I0Set", 0, 0.5f), VEXAHV_OK);
  crates.step(5);
  EXPECT_TRUE(chUint(h, 0, "Status", 0) & (1u << 3)) << "over-current";
  EXPECT_EQ(chUint(h, 0, "Pw", 0), 1u);
  crates.step(17);
  EXPECT_EQ(chUint(h, 0, "Pw", 0), 0u);
  EXPECT_TRUE(chUint(h, 0, "Status", 0) & (1u << 7)) << "tripped";
  EXPECT_EQ(setUint(h, 0, "Pw", 0, 1), VEXAHV_ERR_INHIBITED);

  // Kill: every channel off at once; ClearAlarm lets them on again.
  ASSERT_EQ(setFloat(h, 0, "V0Set", 1, 40.0f), VEXAHV_OK);
  ASSERT_EQ(setUint(h, 0, "Pw", 1, 1), VEXAHV_OK);
  crates.step(4);
  ASSERT_GT(chFloat(h, 0, "VMon", 1), 10.0f);
  ASSERT_EQ(VEXAHV_ExecComm(h, "Kill"), VEXAHV_OK);
  EXPECT_EQ(chFloat(h, 0, "VMon", 1), 0.0f);
  EXPECT_EQ(chUint(h, 0, "Pw", 1), 0u);
  crates.step(1);
  EXPECT_TRUE(chUint(h, 0, "Status", 1) & (1u << 8)) << "killed";
  EXPECT_EQ(setUint(h, 0, "Pw", 1, 1), VEXAHV_ERR_INHIBITED);
  ASSERT_EQ(VEXAHV_ExecComm(h, "ClearAlarm"), VEXAHV_OK);
  EXPECT_EQ(setUint(h, 0, "Pw", 1, 1), VEXAHV_OK);
  crates.step(1);
  EXPECT_EQ(chUint(h, 0, "Status", 1), 0x3u);
  VEXAHV_DeinitSystem(h);
}

}  // namespace
