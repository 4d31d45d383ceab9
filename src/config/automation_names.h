#pragma once
// The automation interface's names on D-Bus, shared by the server, its registration and
// the configuration tool.

namespace vexahv {

inline constexpr const char* kAutomationBusName = "VEXAHVOPCService.VEXAHVOPCService";
inline constexpr const char* kAutomationObjectPath = "/VEXAHVOPCService";
inline constexpr const char* kAutomationInterface = "VEXAHVOPCService.IVEXAHVOPCService";

}  // namespace vexahv
