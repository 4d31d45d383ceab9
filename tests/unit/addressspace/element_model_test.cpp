// System entries, the name tables and the bounded name-list walk.

#include <gtest/gtest.h>

#include <cstring>

#include "addressspace/name_tables.h"
#include "addressspace/parameter_items.h"
#include "addressspace/vexahv_element.h"
#include "hwlib/VEXAHVWrapper.h"

namespace {

using vexahv::VEXAHVElement;

TEST(ElementModel, SystemEntries) {
  auto e = VEXAHVElement::parseSystemEntry("SYS1,1,0,192.168.0.9:admin:secret");
  EXPECT_EQ(e.name, "SYS1");
  EXPECT_EQ(e.systemType, 2);
  EXPECT_EQ(e.linkType, 0);
  EXPECT_EQ(e.address, "192.168.0.9");
  EXPECT_EQ(e.userName, "admin");
  EXPECT_EQ(e.password, "secret");
  e = VEXAHVElement::parseSystemEntry("X,9,2,usb0");
  EXPECT_EQ(e.systemType, 2) << "an index out of range";
  EXPECT_EQ(e.linkType, 2);
  EXPECT_EQ(e.address, "usb0");
  EXPECT_EQ(e.userName, "");
  e = VEXAHVElement::parseSystemEntry(",,A,,4,x");
  EXPECT_EQ(e.name, "A") << "runs of separators count as one";
  EXPECT_EQ(e.systemType, 7);
  EXPECT_EQ(e.linkType, 0) << "not a number gives 0";
  e = VEXAHVElement::parseSystemEntry("Short");
  EXPECT_EQ(e.linkType, 0);
  EXPECT_EQ(e.address, "");
  EXPECT_EQ(VEXAHVElement::parseSystemEntry("N,-3,0,a").systemType, 2);
  EXPECT_EQ(VEXAHVElement::parseSystemEntry("N,5,0,a").systemType, 10);

  // Types 0 and 1 keep the default credential whatever the entry says.
  VEXAHVElement node;
  node.setName("SYS0,0,0,10.0.0.1:u:p", vexahv::ElementKind::System);
  EXPECT_EQ(node.getName(), "SYS0");
  EXPECT_EQ(node.getSystemType(), 0);
  EXPECT_EQ(node.getUserName(), "qwzrt");
  EXPECT_EQ(node.getPassword(), "qwzrt");
  EXPECT_EQ(node.getAddress(), "10.0.0.1");
  VEXAHVElement item;
  item.setName("VMon", vexahv::ElementKind::ChannelParam);
  EXPECT_EQ(item.getName(), "VMon");
  EXPECT_EQ(item.getSystemType(), 2) << "own fields keep their defaults";
  EXPECT_EQ(item.getHandle(), -1);
  EXPECT_EQ(vexahv::statusText(7), std::string());
}

TEST(ElementModel, NameTablesAndBoundedNameLists) {
  EXPECT_EQ(std::string(vexahv::prefixSymbol(-3)) + vexahv::unitName(1), "mAmpere");
  EXPECT_EQ(std::string(vexahv::prefixSymbol(0)) + vexahv::unitName(2), "Volt");
  EXPECT_STREQ(vexahv::unitName(11), "");
  EXPECT_STREQ(vexahv::prefixName(6), "Mega");
  EXPECT_EQ(vexahv::propertyDataType("CoClose"), OpcToolbox::VT_BSTR);
  EXPECT_EQ(vexahv::propertyDataType("Whatever"), OpcToolbox::VT_R4);
  EXPECT_EQ(vexahv::accessRightsOfMode(7), 1u);

  // Two full fields and no empty one: the walk stops at the list's end.
  char list[2 * VEXAHV_PARAM_NAME_SIZE];
  std::memset(list, 'A', sizeof list);
  const auto names = vexahv::parameterNames(list, 2);
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0], std::string(10, 'A')) << "a field without NUL is cut at its size";
  char ended[3 * VEXAHV_PARAM_NAME_SIZE] = "VMon";
  EXPECT_EQ(vexahv::parameterNames(ended, 3), std::vector<std::string>{"VMon"});
}

}  // namespace
