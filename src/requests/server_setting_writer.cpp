#include "requests/server_setting_writer.h"

#include <algorithm>
#include <cctype>

#include "addressspace/hardware_alarms.h"
#include "addressspace/vexahv_element.h"
#include "config/configuration_file.h"
#include "config/server_globals.h"
#include "logging/logging.h"
#include "service/service_module.h"

namespace vexahv {

using OpcToolbox::DateTime;
using OpcToolbox::ValueQT;
using OpcToolbox::Variant;

namespace {

bool equalsIgnoringCase(const std::string& a, const char* b) {
  const std::string_view bv(b);
  return a.size() == bv.size() && std::equal(a.begin(), a.end(), bv.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

void cache(VEXAHVElement& element, const Variant& value, const DateTime& when) {
  element.setCachedValue(ValueQT(value, OpcToolbox::kQualityGood, when));
}

}  // namespace

std::int32_t writeServerSetting(VEXAHVElement& element, const std::string& name, const Variant& value) {
  const DateTime now = DateTime::now();

  if (name == "OPCServerEventMode" || name == "OPCServerLiveInsertion") {
    const std::string& text = value.text();
    if (!equalsIgnoringCase(text, "true") && !equalsIgnoringCase(text, "false")) {
      logError("Refused writing [", name, "]: [", text, "] is neither true nor false");
      return -1;
    }
    // Cached only once stored: the item must not show a setting the next start will not have.
    if (!writeConfigurationEntry(name, text)) return -1;
    cache(element, value, now);
    // The setting takes effect in a new run of the service; without one, at the next start.
    restartService();
    return 0;
  }

  if (name == "OPCServerVerifyTime") {
    const std::string text = std::to_string(value.rawI4());
    if (!writeConfigurationEntry(name, text)) return -1;
    cache(element, value, now);
    restartService();
    return 0;
  }

  if (name == "OPCServerLogLevel") {
    const std::uint32_t level = std::min<std::uint32_t>(value.rawUI4(), 9);
    setLogLevel(level);
    // Cached in the item's own data type, so readers see one type throughout.
    Variant cached;
    cached.setUI4(level);
    cached.changeDatatype(element.getDatatype());
    cache(element, cached, now);
    return writeConfigurationEntry(name, std::to_string(level)) ? 0 : -1;
  }

  if (name == "OPCServerUseBatchedGroupTransactions") {
    const bool on = value.rawUI2() == 0xFFFF;
    VEXAHVServerGlobals::setUseBatchedGroupTransactions(on);
    followBatchedReads(on);
    cache(element, value, now);
    return writeConfigurationEntry(name, on ? "true" : "false") ? 0 : -1;
  }

  return -1;
}

}  // namespace vexahv
