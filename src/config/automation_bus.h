#pragma once
// The automation object on D-Bus: well-known name VEXAHVOPCService.VEXAHVOPCService,
// object /VEXAHVOPCService, interface VEXAHVOPCService.IVEXAHVOPCService (the methods and
// their signatures are those of dbus/VEXAHVOPCService.xml). Method calls are served one at
// a time on the connection's own thread, never on a toolbox thread.

#include <memory>
#include <string>

#include "config/automation_names.h"

namespace vexahv {

class VEXAHVOPCService;

enum class AutomationBusKind { System, Session };

class AutomationBus {
 public:
  AutomationBus();
  ~AutomationBus();
  AutomationBus(const AutomationBus&) = delete;
  AutomationBus& operator=(const AutomationBus&) = delete;

  // Takes the name and serves `service` until stop(). Empty on success, else why not (the
  // bus cannot be reached, the name is owned already or the bus policy refuses it).
  std::string start(VEXAHVOPCService& service, AutomationBusKind kind);
  // Ends the serving thread; no call reaches the service afterwards.
  void stop();

 private:
  struct Served;
  std::unique_ptr<Served> served_;
};

}  // namespace vexahv
