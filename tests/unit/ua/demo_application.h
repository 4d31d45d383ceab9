#pragma once
// The toolbox application the OPC UA tests serve: a "Demo" folder holding a readable and
// writeable reported Int32 item "Demo.Int32" of value -5, started and ready.

#include <memory>

#include "opctoolbox/application.h"

inline OpcToolbox::Application* startDemoApplication() {
  using namespace OpcToolbox;
  Application* a = getApp();
  a->setProgIdDa("Test.Server.1");
  a->initialize(std::make_unique<Creator>());
  a->start();
  auto folder = std::make_shared<DaAddressSpaceElement>("", "Demo", kReadable, kIoNone, VT_EMPTY);
  folder->setHasChildren(true);
  a->getDaAddressSpaceRoot()->addChild(folder);
  auto item = std::make_shared<DaAddressSpaceElement>("", "Int32", kReadWriteable, kIoReport, VT_I4);
  Variant v;
  v.setI4(-5);
  item->valueChanged(ValueQT(v, kQualityGood, DateTime::now()));
  folder->addChild(item);
  a->ready();
  return a;
}

inline void stopDemoApplication() {
  OpcToolbox::getApp()->stop();
  OpcToolbox::getApp()->terminate();
  OpcToolbox::releaseApp();
}
