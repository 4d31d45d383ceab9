// The Data Access model's pure parts: the unit table and the property node ids.

#include <gtest/gtest.h>

#include "opctoolbox/ua/model/ua_engineering_units.h"
#include "opctoolbox/ua/model/ua_item_model.h"

namespace OpcToolbox::ua {
namespace {

TEST(UaItemModelTest, EveryUnitOfTheSampleCratesMapsToItsCommonCode) {
  // (the "EU" text the crates' unit and exponent give, code, symbol); -1 keeps the text.
  const struct {
    const char* eu;
    const char* code;
    const char* symbol;
  } table[] = {
      {"Volt", "VLT", "V"},      {"mAmpere", "4K", "mA"},      {"uAmpere", "B84", "\xC2\xB5" "A"},
      {"Celsius", "CEL", "\xC2\xB0" "C"}, {"Vps", "H46", "V/s"}, {"Second", "SEC", "s"},
      {"kVolt", "KVT", "kV"},    {"Ampere", "AMP", "A"},       {"Watt", "WTT", "W"},
      {"Rpm", nullptr, "Rpm"},   {"Count", nullptr, "Count"},  {"", nullptr, ""},
  };
  for (const auto& row : table) {
    const EngineeringUnit u = engineeringUnitOf(row.eu);
    EXPECT_EQ(u.unitId, row.code ? unitIdOf(row.code) : -1) << row.eu;
    EXPECT_EQ(u.symbol, row.symbol) << row.eu;
  }
  EXPECT_EQ(unitIdOf("VLT"), 5655636);
  EXPECT_EQ(unitIdOf("2Z"), 12890);
}

TEST(UaItemModelTest, PropertyNodeIdsSplitOnlyForTheirOwnNames) {
  EXPECT_EQ(propertyNodeId("A.Board00.Chan000.VMon", UaProperty::EURange), "A.Board00.Chan000.VMon#EURange");
  const auto split = splitPropertyNodeId("A.Board00.Chan000.VMon#EngineeringUnits");
  ASSERT_TRUE(split);
  EXPECT_EQ(split->first, "A.Board00.Chan000.VMon");
  EXPECT_EQ(split->second, UaProperty::EngineeringUnits);
  // The DA property items keep their own ids; unknown names and empty owners are none.
  for (const char* id : {"A.VMon#LowEU", "A.VMon#EU", "A.VMon", "#EURange", "A.VMon#eurange"}) {
    EXPECT_FALSE(splitPropertyNodeId(id)) << id;
  }
}

}  // namespace
}  // namespace OpcToolbox::ua
