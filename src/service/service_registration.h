#pragma once
// The service shell's keys in HKEY_CLASSES_ROOT of the registry stand-in: the AppID with
// its "LocalService" value (what marks the installation as a service), the executable's
// AppID key, and the class registration of the configuration automation object with its
// type library. Each operation is one registry transaction: all of its keys or none.

#include <filesystem>
#include <string>

namespace vexahv {

inline constexpr const char* kAppId = "{6B1E0F52-3C1A-4E0B-9D7A-2F8C5A1B9E41}";
inline constexpr const char* kAppIdName = "VEXAServiceModule";
inline constexpr const char* kServiceClsid = "{A4D3C2B1-7E6F-4A5B-8C9D-0E1F2A3B4C5D}";
inline constexpr const char* kServiceLibId = "{5E2F8A61-9B3C-4D7E-A1F0-6C8B2D4E9A17}";
inline constexpr const char* kServiceProgId = "VEXAHVOPCService.VEXAHVOPCService.1";
inline constexpr const char* kServiceVerIndProgId = "VEXAHVOPCService.VEXAHVOPCService";
inline constexpr const char* kServiceFriendlyName = "VEXAHVOPCService Object";
inline constexpr const char* kTypeLibHelp = "VEXAHVOPCServerModule 5.0 Type Library";

// The AppID keys; "LocalService" = serviceName when asService, removed otherwise.
// HRESULT: S_OK, or the registry's failure.
long registerAppIdKeys(const std::filesystem::path& executable, const std::string& serviceName, bool asService);
// Removes "LocalService" and the AppID keys; the parent "AppID" stays.
long unregisterAppIdKeys(const std::filesystem::path& executable);
// The class keys and the type library; the class's own key is rewritten whole.
long registerServiceClass(const std::filesystem::path& executable);
long unregisterServiceClass();
// 0 when the AppID key has "LocalService", else the registry's error number.
long queryLocalService(std::string& serviceName);

}  // namespace vexahv
