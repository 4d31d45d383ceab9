#pragma once
// The library's calls, each over any Exchange, with the C API's arguments. The C entry
// points resolve the handle and forward here; the response fuzz target drives these with
// damaged answers.

#include <cstdint>

#include "hwlib/VEXAHVWrapper.h"
#include "hwlib/mainframe_link.h"

namespace vexahv::hwlib::calls {

int getCrateMap(Exchange& x, std::uint16_t* nrOfSlots, std::uint16_t** chansPerSlot,
                char** models, char** descriptions, std::uint16_t** serials,
                std::uint8_t** fmwMinor, std::uint8_t** fmwMajor);
int getSysPropList(Exchange& x, std::uint16_t* count, char** names);
int getSysPropInfo(Exchange& x, const char* prop, unsigned* mode, unsigned* type);
int getSysProp(Exchange& x, const char* prop, void* value);
int setSysProp(Exchange& x, const char* prop, const void* value);
int getBdParamInfo(Exchange& x, std::uint16_t slot, char** names);
int getBdParamProp(Exchange& x, std::uint16_t slot, const char* param, const char* prop,
                   void* value);
int getBdParam(Exchange& x, std::uint16_t nrOfSlots, const std::uint16_t* slotList,
               const char* param, void* values);
int setBdParam(Exchange& x, std::uint16_t nrOfSlots, const std::uint16_t* slotList,
               const char* param, const void* value);
int getChParamInfo(Exchange& x, std::uint16_t slot, std::uint16_t channel, char** names,
                   int* count);
int getChParamProp(Exchange& x, std::uint16_t slot, std::uint16_t channel, const char* param,
                   const char* prop, void* value);
int getChParam(Exchange& x, std::uint16_t slot, const char* param, std::uint16_t nrOfChannels,
               const std::uint16_t* channelList, void* values);
int setChParam(Exchange& x, std::uint16_t slot, const char* param, std::uint16_t nrOfChannels,
               const std::uint16_t* channelList, const void* value);
int getChName(Exchange& x, std::uint16_t slot, std::uint16_t nrOfChannels,
              const std::uint16_t* channelList, char (*names)[VEXAHV_CH_NAME_SIZE]);
int setChName(Exchange& x, std::uint16_t slot, std::uint16_t nrOfChannels,
              const std::uint16_t* channelList, const char* name);
int execComm(Exchange& x, const char* command);
// op: Op::Subscribe or Op::UnSubscribe.
int subscribe(Exchange& x, Op op, std::uint16_t port, std::uint16_t count, const char* list,
              char* results);
int subscribeSystem(Exchange& x, std::uint16_t port, const char* list, std::uint16_t count,
                    char* results);
int subscribeBoard(Exchange& x, std::uint16_t port, std::uint16_t slot, const char* list,
                   std::uint16_t count, char* results);
int subscribeChannel(Exchange& x, std::uint16_t port, std::uint16_t slot, std::uint16_t channel,
                     const char* list, std::uint16_t count, char* results);

}  // namespace vexahv::hwlib::calls
