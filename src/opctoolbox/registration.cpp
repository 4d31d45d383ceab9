#include "opctoolbox/registration.h"

#include <cctype>
#include <sstream>

#include "opctoolbox/results.h"
#include "platform/registry.h"

namespace OpcToolbox {
namespace {

using vexahv::platform::Hive;
using vexahv::platform::RegResult;
using vexahv::platform::RegType;

bool sameText(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return i == a.size() && b[i] == '\0';
}

bool complete(const RegistrationInfo& i) {
  return !i.clsid.empty() && !i.progId.empty() && !i.verIndProgId.empty();
}

}  // namespace

int registrationSwitch(const std::string& commandLine) {
  std::istringstream in(commandLine);
  for (std::string word; in >> word;) {
    if (word.size() < 2 || (word[0] != '-' && word[0] != '/')) continue;
    const std::string name = word.substr(1);
    if (sameText(name, "RegServer")) return 1;
    if (sameText(name, "Service")) return 2;
    if (sameText(name, "UnregServer")) return 3;
  }
  return 0;
}

long registerServer(const RegistrationInfo& info, bool asService) {
  if (!complete(info)) return E_INVALIDARG;
  const auto registry = vexahv::platform::Registry::forProcess();
  vexahv::platform::RegistryTransaction tx;
  if (registry.begin(Hive::ClassesRoot, vexahv::platform::Registry::Access::Write, tx) != RegResult::Success) {
    return E_FAIL;
  }
  const std::string clsidKey = "CLSID\\" + info.clsid;
  bool ok = true;
  auto put = [&](const std::string& key, const std::string& name, const std::string& value) {
    ok = ok && tx.createKey(key) == RegResult::Success &&
         tx.setValue(key, name, RegType::String, vexahv::platform::stringData(value)) == RegResult::Success;
  };
  put(info.progId, "", info.description);
  put(info.progId + "\\CLSID", "", info.clsid);
  put(info.verIndProgId, "", info.description);
  put(info.verIndProgId + "\\CLSID", "", info.clsid);
  put(info.verIndProgId + "\\CurVer", "", info.progId);
  put(clsidKey, "", info.description);
  put(clsidKey + "\\ProgID", "", info.progId);
  put(clsidKey + "\\VersionIndependentProgID", "", info.verIndProgId);
  put(clsidKey + "\\LocalServer32", "", info.executable);
  if (asService) {
    put(clsidKey, "AppID", info.clsid);
    put("AppID\\" + info.clsid, "", info.description);
    put("AppID\\" + info.clsid, "LocalService", info.serviceName);
  }
  // Without commit nothing reaches the file: a failed registration leaves no half.
  if (!ok || tx.commit() != RegResult::Success) return E_FAIL;
  return S_OK;
}

long unregisterServer(const RegistrationInfo& info) {
  if (!complete(info)) return E_INVALIDARG;
  const auto registry = vexahv::platform::Registry::forProcess();
  vexahv::platform::RegistryTransaction tx;
  if (registry.begin(Hive::ClassesRoot, vexahv::platform::Registry::Access::Write, tx) != RegResult::Success) {
    return E_FAIL;
  }
  for (const std::string& key : {info.progId, info.verIndProgId, "CLSID\\" + info.clsid,
                                 "AppID\\" + info.clsid}) {
    const RegResult r = tx.deleteKey(key);
    if (r != RegResult::Success && r != RegResult::NotFound) return E_FAIL;
  }
  return tx.commit() == RegResult::Success ? S_OK : E_FAIL;
}

}  // namespace OpcToolbox
