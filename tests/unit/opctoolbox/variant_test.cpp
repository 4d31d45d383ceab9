// Variant semantics the server relies on, conversions and their failures, text forms,
// and DateTime.

#include <gtest/gtest.h>

#include <cmath>

#include "opctoolbox/date_time.h"
#include "opctoolbox/variant.h"

namespace {

using namespace OpcToolbox;

TEST(Variant, RawFieldAndTextForms) {
  Variant v;
  EXPECT_TRUE(v.isEmpty());
  EXPECT_EQ(v.toString(), "");
  v.setBOOL(true);
  EXPECT_EQ(v.rawUI2(), 0xFFFF) << "VARIANT_TRUE sets all 16 bits";
  EXPECT_EQ(v.toString(), "true");
  v.setBOOL(false);
  EXPECT_EQ(v.toString(), "false");
  v.setI4(0x12345678);
  EXPECT_EQ(v.rawUI2(), 0x5678);
  v.setI2(-1);
  EXPECT_EQ(v.rawUI4(), 0xFFFFu) << "a setter clears the whole data field first";
  v.setR4(0.1f);
  EXPECT_EQ(v.toString(), "0.1");
  v.setR4(1.5f);
  EXPECT_EQ(v.toString(), "1.5");
  v.setR8(1e300);
  EXPECT_EQ(v.toString(), "1e+300");
  v.setUI4(4000000000u);
  EXPECT_EQ(v.toString(), "4000000000");
  v.setI1(-7);
  EXPECT_EQ(v.toString(), "-7");
  v.setBSTR("Beam left");
  EXPECT_EQ(v.toString(), "Beam left");
  EXPECT_EQ(v.rawUI4(), 0u);
  v.clear();
  EXPECT_EQ(v.vartype(), VT_EMPTY);
}

TEST(Variant, ChangeDatatypeConvertsOrSaysWhyNot) {
  Variant v;
  v.setI4(70000);
  EXPECT_EQ(v.changeDatatype(VT_I2), DISP_E_OVERFLOW);
  EXPECT_EQ(v.vartype(), VT_I4) << "a failed conversion leaves the value";
  EXPECT_EQ(v.changeDatatype(VT_R4), S_OK);
  EXPECT_FLOAT_EQ(v.rawR4(), 70000.0f);

  v.setBSTR(" 12 ");
  ASSERT_EQ(v.changeDatatype(VT_UI2), S_OK);
  EXPECT_EQ(v.rawUI2(), 12);
  v.setBSTR("-1");
  EXPECT_EQ(v.changeDatatype(VT_UI4), DISP_E_OVERFLOW);
  v.setBSTR("abc");
  EXPECT_EQ(v.changeDatatype(VT_I4), DISP_E_TYPEMISMATCH);
  v.setBSTR("2.5e3");
  ASSERT_EQ(v.changeDatatype(VT_R4), S_OK);
  EXPECT_FLOAT_EQ(v.rawR4(), 2500.0f);
  v.setBSTR("TRUE");
  ASSERT_EQ(v.changeDatatype(VT_BOOL), S_OK);
  EXPECT_EQ(v.rawUI2(), 0xFFFF);
  v.setBSTR("99999999999999999999");
  EXPECT_EQ(v.changeDatatype(VT_I4), DISP_E_OVERFLOW);

  // Floats round half to even; NaN and huge values do not fit an integer.
  v.setR4(2.5f);
  ASSERT_EQ(v.changeDatatype(VT_I4), S_OK);
  EXPECT_EQ(v.rawI4(), 2);
  v.setR8(3.5);
  ASSERT_EQ(v.changeDatatype(VT_I2), S_OK);
  EXPECT_EQ(v.rawI2(), 4);
  v.setR8(std::nan(""));
  EXPECT_EQ(v.changeDatatype(VT_I4), DISP_E_OVERFLOW);
  v.setR8(1e39);
  EXPECT_EQ(v.changeDatatype(VT_R4), DISP_E_OVERFLOW);

  v.setBOOL(true);
  ASSERT_EQ(v.changeDatatype(VT_UI2), S_OK);
  EXPECT_EQ(v.rawUI2(), 0xFFFF);
  v.setBOOL(true);
  ASSERT_EQ(v.changeDatatype(VT_I4), S_OK);
  EXPECT_EQ(v.rawI4(), -1);
  v.setUI2(0);
  ASSERT_EQ(v.changeDatatype(VT_BOOL), S_OK);
  EXPECT_EQ(v.toString(), "false");
  v.setI4(-5);
  ASSERT_EQ(v.changeDatatype(VT_BSTR), S_OK);
  EXPECT_EQ(v.text(), "-5");
  Variant empty;
  ASSERT_EQ(empty.changeDatatype(VT_I4), S_OK);
  EXPECT_EQ(empty.rawI4(), 0);
  EXPECT_EQ(empty.changeDatatype(99), DISP_E_BADVARTYPE);
}

TEST(Variant, EqualityAndDateTime) {
  Variant a, b;
  a.setI4(1);
  b.setI2(1);
  EXPECT_FALSE(Variant::areEqual(a, b)) << "the type is part of the value";
  b.setI4(1);
  EXPECT_TRUE(Variant::areEqual(a, b));
  a.setBSTR("x");
  b.setBSTR("x");
  EXPECT_TRUE(a == b);

  const DateTime t = DateTime::now();
  EXPECT_TRUE(t.isSet());
  EXPECT_GT(t.ticks(), 132000000000000000LL) << "after 2019, in 100 ns ticks from 1601";
  EXPECT_EQ(DateTime::fromSystemClock(t.toSystemClock()), t);
  EXPECT_EQ(DateTime::fromTicks(116444736000000000LL + 15).toString(), "1970-01-01T00:00:00.0000015Z");
  DateTime u = t;
  u.init();
  EXPECT_FALSE(u.isSet());
}

}  // namespace
