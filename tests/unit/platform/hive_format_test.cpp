#include "platform/hive_format.h"

#include <gtest/gtest.h>

namespace vexahv::platform {
namespace {

RegValue value(std::string name, RegType type, std::string data) {
  return {std::move(name), type, std::move(data)};
}

TEST(HiveFormat, EveryTypeAndAwkwardBytesSurviveARoundTrip) {
  HiveData hive;
  RegKeyData& key = hive.keys[foldName("Software\\VEXA/ZOLT\\S")];
  key.path = "Software\\VEXA/ZOLT\\S";
  const RegValue values[] = {
      value("Text", RegType::String, std::string("a \"quoted\" \\ line\nnext\t\x01\x7f", 24) + '\0'),
      value("Path", RegType::ExpandString, std::string("$HOME/x") + '\0'),
      value("Blob", RegType::Binary, std::string("\x00\xff\x10", 3)),
      value("Count", RegType::Dword, std::string("\x02\x00\x00\x00", 4)),
      value("Unterminated", RegType::String, "abc"),           // no canonical sz form
      value("ShortDword", RegType::Dword, std::string("\x01", 1)),
      value("", RegType::String, std::string(1, '\0')),          // default value, empty text
  };
  for (const RegValue& v : values) key.values[foldName(v.name)] = v;

  HiveData back;
  std::string error;
  ASSERT_TRUE(parseHive(formatHive(hive), back, error)) << error;
  const RegKeyData& k = back.keys.at(foldName("software\\vexa/zolt\\s"));
  EXPECT_EQ(k.path, "Software\\VEXA/ZOLT\\S");
  for (const RegValue& v : values) {
    const RegValue& got = k.values.at(foldName(v.name));
    EXPECT_EQ(got.name, v.name);
    EXPECT_EQ(got.type, v.type) << v.name;
    EXPECT_EQ(got.data, v.data) << v.name;
  }
}

TEST(HiveFormat, DamageIsRejectedWithTheLineNamed) {
  const struct {
    const char* text;
    const char* expect;
  } cases[] = {
      {"", "header"},
      {"NOT-A-HIVE\n", "header"},
      {"VEXAHV-REGISTRY-HIVE 1\n\"v\" = dword:1\n", "line 2"},  // value before any key
      {"VEXAHV-REGISTRY-HIVE 1\n[K]\n\"v\" = dword:99999999999\n", "line 3"},
      {"VEXAHV-REGISTRY-HIVE 1\n[K]\n\"v\" = sz:\"open\n", "line 3"},
      {"VEXAHV-REGISTRY-HIVE 1\n[K]\n\"v\" = binary:0g\n", "line 3"},
      {"VEXAHV-REGISTRY-HIVE 1\n[K]\n\"v\" = weird:1\n", "line 3"},
      {"VEXAHV-REGISTRY-HIVE 1\n[K\n", "line 2"},
  };
  for (const auto& c : cases) {
    HiveData out;
    std::string error;
    EXPECT_FALSE(parseHive(c.text, out, error)) << c.text;
    EXPECT_NE(error.find(c.expect), std::string::npos) << c.text << " -> " << error;
  }
}

TEST(HiveFormat, KeyPathsNormaliseAndRejectWhatCannotBeOneLine) {
  EXPECT_EQ(normalizeKeyPath("A\\\\B\\"), "A\\B");
  EXPECT_EQ(normalizeKeyPath("\\"), "");
  EXPECT_FALSE(normalizeKeyPath("A\nB"));
  EXPECT_FALSE(normalizeKeyPath(std::string(kMaxKeyComponent + 1, 'x')));
  EXPECT_EQ(foldName("VEXA/Zolt"), "vexa/zolt");
}

}  // namespace
}  // namespace vexahv::platform
