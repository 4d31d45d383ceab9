// The C entry points: argument checks, handle look-up, then the call over the link.

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "hwlib/VEXAHVWrapper.h"
#include "hwlib/event_reception.h"
#include "hwlib/handle_table.h"
#include "hwlib/library_calls.h"

using vexahv::hwlib::HandleTable;
using vexahv::hwlib::Op;
namespace calls = vexahv::hwlib::calls;

namespace {

constexpr const char* kRelease = "VEXAHVWrapper 1.0.0 (protocol 1)";

bool acceptedSystemType(int type) {
  return type == 0 || type == 2 || type == 4 || type == 5 || type == 7 || type == 10;
}

// No exception crosses the C boundary: a failed allocation becomes a result code.
template <class F>
int withLink(int handle, F&& f) noexcept {
  try {
    auto link = HandleTable::instance().find(handle);
    if (!link) return VEXAHV_ERR_UNKNOWN_HANDLE;
    return f(*link);
  } catch (const std::bad_alloc&) {
    return VEXAHV_ERR_NO_MEMORY;
  } catch (...) {
    return VEXAHV_ERR_PROTOCOL;
  }
}

template <class Record>
int handOut(std::vector<Record>& records, Record** events, unsigned* count) {
  auto* list = static_cast<Record*>(std::malloc(records.size() * sizeof(Record)));
  if (list == nullptr) return VEXAHV_ERR_NO_MEMORY;
  std::memcpy(list, records.data(), records.size() * sizeof(Record));
  *events = list;
  *count = static_cast<unsigned>(records.size());
  return VEXAHV_OK;
}

}  // namespace

extern "C" {

int VEXAHV_InitSystem(int systemType, int linkType, const char* linkArg, const char* userName,
                      const char* password, int* handle) {
  if (handle == nullptr || linkArg == nullptr) return VEXAHV_ERR_INVALID_ARGUMENT;
  if (!acceptedSystemType(systemType)) return VEXAHV_ERR_SYSTEM_TYPE;
  if (linkType != VEXAHV_LINK_TCPIP) return VEXAHV_ERR_LINK_TYPE;
  try {
    vexahv::hwlib::LinkSettings settings;
    if (!vexahv::hwlib::LinkSettings::fromEnvironment(settings)) return VEXAHV_ERR_INVALID_ARGUMENT;
    if (!vexahv::platform::Ipv4Endpoint::parseAddress(linkArg, settings.mainframe.address)) {
      return VEXAHV_ERR_INVALID_ARGUMENT;
    }
    std::unique_ptr<vexahv::hwlib::MainframeLink> link;
    const int rc = vexahv::hwlib::MainframeLink::open(settings, systemType,
                                                      userName ? userName : "",
                                                      password ? password : "", link);
    if (rc != VEXAHV_OK) return rc;
    *handle = HandleTable::instance().add(std::move(link));
    return VEXAHV_OK;
  } catch (const std::bad_alloc&) {
    return VEXAHV_ERR_NO_MEMORY;
  }
}

int VEXAHV_DeinitSystem(int handle) {
  auto link = HandleTable::instance().remove(handle);
  if (!link) return VEXAHV_ERR_UNKNOWN_HANDLE;
  link->shutdown();
  return VEXAHV_OK;
}

int VEXAHV_GetCrateMap(int handle, uint16_t* nrOfSlots, uint16_t** chansPerSlot, char** models,
                       char** descriptions, uint16_t** serials, uint8_t** fmwMinor,
                       uint8_t** fmwMajor) {
  return withLink(handle, [&](auto& x) {
    return calls::getCrateMap(x, nrOfSlots, chansPerSlot, models, descriptions, serials,
                              fmwMinor, fmwMajor);
  });
}

int VEXAHV_GetSysPropList(int handle, uint16_t* count, char** names) {
  return withLink(handle, [&](auto& x) { return calls::getSysPropList(x, count, names); });
}

int VEXAHV_GetSysPropInfo(int handle, const char* prop, unsigned* mode, unsigned* type) {
  return withLink(handle, [&](auto& x) { return calls::getSysPropInfo(x, prop, mode, type); });
}

int VEXAHV_GetSysProp(int handle, const char* prop, void* value) {
  return withLink(handle, [&](auto& x) { return calls::getSysProp(x, prop, value); });
}

int VEXAHV_SetSysProp(int handle, const char* prop, const void* value) {
  return withLink(handle, [&](auto& x) { return calls::setSysProp(x, prop, value); });
}

int VEXAHV_GetBdParamInfo(int handle, uint16_t slot, char** names) {
  return withLink(handle, [&](auto& x) { return calls::getBdParamInfo(x, slot, names); });
}

int VEXAHV_GetBdParamProp(int handle, uint16_t slot, const char* param, const char* prop,
                          void* value) {
  return withLink(handle,
                  [&](auto& x) { return calls::getBdParamProp(x, slot, param, prop, value); });
}

int VEXAHV_GetBdParam(int handle, uint16_t nrOfSlots, const uint16_t* slotList, const char* param,
                      void* values) {
  return withLink(handle,
                  [&](auto& x) { return calls::getBdParam(x, nrOfSlots, slotList, param, values); });
}

int VEXAHV_SetBdParam(int handle, uint16_t nrOfSlots, const uint16_t* slotList, const char* param,
                      const void* value) {
  return withLink(handle,
                  [&](auto& x) { return calls::setBdParam(x, nrOfSlots, slotList, param, value); });
}

int VEXAHV_GetChParamInfo(int handle, uint16_t slot, uint16_t channel, char** names, int* count) {
  return withLink(handle,
                  [&](auto& x) { return calls::getChParamInfo(x, slot, channel, names, count); });
}

int VEXAHV_GetChParamProp(int handle, uint16_t slot, uint16_t channel, const char* param,
                          const char* prop, void* value) {
  return withLink(handle, [&](auto& x) {
    return calls::getChParamProp(x, slot, channel, param, prop, value);
  });
}

int VEXAHV_GetChParam(int handle, uint16_t slot, const char* param, uint16_t nrOfChannels,
                      const uint16_t* channelList, void* values) {
  return withLink(handle, [&](auto& x) {
    return calls::getChParam(x, slot, param, nrOfChannels, channelList, values);
  });
}

int VEXAHV_SetChParam(int handle, uint16_t slot, const char* param, uint16_t nrOfChannels,
                      const uint16_t* channelList, const void* value) {
  return withLink(handle, [&](auto& x) {
    return calls::setChParam(x, slot, param, nrOfChannels, channelList, value);
  });
}

int VEXAHV_GetChName(int handle, uint16_t slot, uint16_t nrOfChannels, const uint16_t* channelList,
                     char (*names)[VEXAHV_CH_NAME_SIZE]) {
  return withLink(handle, [&](auto& x) {
    return calls::getChName(x, slot, nrOfChannels, channelList, names);
  });
}

int VEXAHV_SetChName(int handle, uint16_t slot, uint16_t nrOfChannels, const uint16_t* channelList,
                     const char* name) {
  return withLink(handle, [&](auto& x) {
    return calls::setChName(x, slot, nrOfChannels, channelList, name);
  });
}

int VEXAHV_ExecComm(int handle, const char* command) {
  return withLink(handle, [&](auto& x) { return calls::execComm(x, command); });
}

int VEXAHV_Subscribe(int handle, uint16_t port, uint16_t count, const char* list, char* results) {
  return withLink(handle, [&](auto& x) {
    return calls::subscribe(x, Op::Subscribe, port, count, list, results);
  });
}

int VEXAHV_UnSubscribe(int handle, uint16_t port, uint16_t count, const char* list,
                       char* results) {
  return withLink(handle, [&](auto& x) {
    return calls::subscribe(x, Op::UnSubscribe, port, count, list, results);
  });
}

int VEXAHV_SubscribeSystemParams(int handle, uint16_t port, const char* list, uint16_t count,
                                 char* results) {
  return withLink(handle,
                  [&](auto& x) { return calls::subscribeSystem(x, port, list, count, results); });
}

int VEXAHV_SubscribeBoardParams(int handle, uint16_t port, uint16_t slot, const char* list,
                                uint16_t count, char* results) {
  return withLink(handle, [&](auto& x) {
    return calls::subscribeBoard(x, port, slot, list, count, results);
  });
}

int VEXAHV_SubscribeChannelParams(int handle, uint16_t port, uint16_t slot, uint16_t channel,
                                  const char* list, uint16_t count, char* results) {
  return withLink(handle, [&](auto& x) {
    return calls::subscribeChannel(x, port, slot, channel, list, count, results);
  });
}

int VEXAHV_GetEventData(int socket, VEXAHVSystemStatus* status, VEXAHVTcpEventRecord** events,
                        unsigned* count) {
  if (status == nullptr || events == nullptr || count == nullptr) return VEXAHV_ERR_INVALID_ARGUMENT;
  try {
    VEXAHVSystemStatus got{};
    VEXAHVTcpEventRecord* list = nullptr;
    unsigned n = 0;
    if (int rc = vexahv::hwlib::receiveTcpBatchList(socket, got, list, n); rc != VEXAHV_OK) return rc;
    *events = list;
    *count = n;
    *status = got;
    return VEXAHV_OK;
  } catch (const std::bad_alloc&) {
    return VEXAHV_ERR_NO_MEMORY;
  }
}

int VEXAHV_FreeEventData(VEXAHVTcpEventRecord** events) {
  if (events == nullptr) return VEXAHV_ERR_INVALID_ARGUMENT;
  std::free(*events);
  *events = nullptr;
  return VEXAHV_OK;
}

int VEXAHVGetEventData(int socket, VEXAHVUdpEventRecord** events, unsigned* count) {
  if (events == nullptr || count == nullptr) return VEXAHV_ERR_INVALID_ARGUMENT;
  try {
    std::vector<VEXAHVUdpEventRecord> records;
    if (int rc = vexahv::hwlib::receiveUdpEvents(socket, records); rc != VEXAHV_OK) return rc;
    return handOut(records, events, count);
  } catch (const std::bad_alloc&) {
    return VEXAHV_ERR_NO_MEMORY;
  }
}

int VEXAHVFreeEventData(VEXAHVUdpEventRecord** events) {
  if (events == nullptr) return VEXAHV_ERR_INVALID_ARGUMENT;
  std::free(*events);
  *events = nullptr;
  return VEXAHV_OK;
}

const char* VEXAHVLibSwRel(void) { return kRelease; }

int VEXAHV_Free(void* list) {
  std::free(list);
  return VEXAHV_OK;
}

int VEXAHV_GetCallStatistics(int handle, VEXAHVCallStatistics* statistics) {
  if (statistics == nullptr) return VEXAHV_ERR_INVALID_ARGUMENT;
  return withLink(handle, [&](vexahv::hwlib::MainframeLink& link) {
    link.statistics().copyTo(*statistics);
    return VEXAHV_OK;
  });
}

}  // extern "C"
