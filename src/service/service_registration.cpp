#include "service/service_registration.h"

#include "opctoolbox/results.h"
#include "platform/registry.h"

namespace vexahv {
namespace {

using platform::Hive;
using platform::RegResult;
using platform::RegType;

// The registry's failure as a Win32 error number.
long win32Error(RegResult r) {
  switch (r) {
    case RegResult::Success: return 0;
    case RegResult::NotFound: return 2;          // ERROR_FILE_NOT_FOUND
    case RegResult::MoreData: return 234;        // ERROR_MORE_DATA
    case RegResult::AccessDenied: return 5;      // ERROR_ACCESS_DENIED
    case RegResult::Corrupt: return 1009;        // ERROR_BADDB
    case RegResult::InvalidArgument: return 87;  // ERROR_INVALID_PARAMETER
    case RegResult::IoError: break;
  }
  return 1016;  // ERROR_REGISTRY_IO_FAILED
}

long hresult(RegResult r) {
  return r == RegResult::Success ? OpcToolbox::S_OK : static_cast<std::int32_t>(0x80070000u | static_cast<std::uint32_t>(win32Error(r)));
}

// Runs body in one write transaction of HKEY_CLASSES_ROOT; body returns the first failure.
template <class Body>
long inClassesRoot(Body body) {
  platform::RegistryTransaction tx;
  RegResult r = platform::Registry::forProcess().begin(Hive::ClassesRoot, platform::Registry::Access::Write, tx);
  if (r == RegResult::Success) r = body(tx);
  if (r == RegResult::Success) r = tx.commit();
  return hresult(r);
}

RegResult put(platform::RegistryTransaction& tx, const std::string& key, const std::string& name,
              const std::string& value) {
  RegResult r = tx.createKey(key);
  if (r == RegResult::Success) r = tx.setValue(key, name, RegType::String, platform::stringData(value));
  return r;
}

RegResult removeKey(platform::RegistryTransaction& tx, const std::string& key) {
  const RegResult r = tx.deleteKey(key);
  return r == RegResult::NotFound ? RegResult::Success : r;
}

std::string appIdKey() { return std::string("AppID\\") + kAppId; }
std::string exeKey(const std::filesystem::path& executable) { return "AppID\\" + executable.filename().string(); }
std::string classKey() { return std::string("CLSID\\") + kServiceClsid; }
std::string typeLibKey() { return std::string("TypeLib\\") + kServiceLibId; }

}  // namespace

long registerAppIdKeys(const std::filesystem::path& executable, const std::string& serviceName, bool asService) {
  return inClassesRoot([&](platform::RegistryTransaction& tx) {
    RegResult r = put(tx, appIdKey(), "", kAppIdName);
    if (r == RegResult::Success) r = put(tx, exeKey(executable), "AppID", kAppId);
    if (r == RegResult::Success) {
      r = tx.deleteValue(appIdKey(), "LocalService");
      if (r == RegResult::NotFound) r = RegResult::Success;
    }
    if (r == RegResult::Success && asService) r = put(tx, appIdKey(), "LocalService", serviceName);
    return r;
  });
}

long unregisterAppIdKeys(const std::filesystem::path& executable) {
  return inClassesRoot([&](platform::RegistryTransaction& tx) {
    RegResult r = removeKey(tx, appIdKey());
    if (r == RegResult::Success) r = removeKey(tx, exeKey(executable));
    return r;
  });
}

long registerServiceClass(const std::filesystem::path& executable) {
  return inClassesRoot([&](platform::RegistryTransaction& tx) {
    // The class's own key is written whole: nothing of an older registration survives.
    RegResult r = removeKey(tx, classKey());
    const std::string cls = classKey();
    for (const auto& [key, name, value] : std::initializer_list<std::tuple<std::string, std::string, std::string>>{
             {kServiceProgId, "", kServiceFriendlyName},
             {std::string(kServiceProgId) + "\\CLSID", "", kServiceClsid},
             {kServiceVerIndProgId, "", kServiceFriendlyName},
             {std::string(kServiceVerIndProgId) + "\\CLSID", "", kServiceClsid},
             {std::string(kServiceVerIndProgId) + "\\CurVer", "", kServiceProgId},
             {cls, "", kServiceFriendlyName},
             {cls, "AppID", kAppId},
             {cls + "\\ProgID", "", kServiceProgId},
             {cls + "\\VersionIndependentProgID", "", kServiceVerIndProgId},
             {cls + "\\LocalServer32", "", "\"" + executable.string() + "\""},
             {cls + "\\LocalServer32", "ThreadingModel", "apartment"},
             {cls + "\\TypeLib", "", kServiceLibId},
             {typeLibKey() + "\\1.0", "", kTypeLibHelp},
         }) {
      if (r != RegResult::Success) break;
      r = put(tx, key, name, value);
    }
    if (r == RegResult::Success) r = tx.createKey(cls + "\\Programmable");
    return r;
  });
}

long unregisterServiceClass() {
  return inClassesRoot([&](platform::RegistryTransaction& tx) {
    RegResult r = RegResult::Success;
    for (const std::string& key : {std::string(kServiceProgId), std::string(kServiceVerIndProgId), classKey(), typeLibKey()}) {
      if (r == RegResult::Success) r = removeKey(tx, key);
    }
    return r;
  });
}

long queryLocalService(std::string& serviceName) {
  // A buffer of 260 characters, as the run decision has always read it.
  char buffer[260] = {};
  std::uint32_t size = sizeof buffer;
  RegType type{};
  const RegResult r = platform::Registry::forProcess().queryValue(Hive::ClassesRoot, appIdKey(), "LocalService",
                                                                  &type, buffer, &size);
  if (r != RegResult::Success) return win32Error(r);
  serviceName.assign(buffer, size > 0 && buffer[size - 1] == '\0' ? size - 1 : size);
  return 0;
}

}  // namespace vexahv
