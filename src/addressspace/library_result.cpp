#include "addressspace/library_result.h"

#include "hwlib/VEXAHVWrapper.h"
#include "opctoolbox/results.h"
#include "opctoolbox/value_qt.h"

namespace vexahv {
namespace {

enum class Failure { None, NotDone, OutOfRange, ReadOnly, NotConnected, TimedOut, Device };

Failure failureOf(std::int32_t status) noexcept {
  switch (status) {
    case VEXAHV_OK: return Failure::None;
    case -1:
    case VEXAHV_ERR_WRITE_ONLY: return Failure::NotDone;  // the server's own doing, not the device's
    case VEXAHV_ERR_OUT_OF_RANGE: return Failure::OutOfRange;
    case VEXAHV_ERR_READ_ONLY: return Failure::ReadOnly;
    case VEXAHV_ERR_NOT_CONNECTED:
    case VEXAHV_ERR_UNKNOWN_HANDLE:
    case VEXAHV_ERR_SOCKET: return Failure::NotConnected;
    case VEXAHV_ERR_TIMEOUT: return Failure::TimedOut;
    default: return Failure::Device;  // refused by the mainframe (inhibited, no such item, ...) or garbled
  }
}

}  // namespace

long requestResultOf(std::int32_t status) noexcept {
  using namespace OpcToolbox;
  switch (failureOf(status)) {
    case Failure::None: return S_OK;
    case Failure::NotDone: return E_FAIL;
    case Failure::OutOfRange: return OPC_E_RANGE;
    case Failure::ReadOnly: return OPC_E_BADRIGHTS;
    case Failure::NotConnected: return E_DEVICE_NOT_CONNECTED;
    case Failure::TimedOut: return E_DEVICE_TIMEOUT;
    case Failure::Device: break;
  }
  return E_DEVICE_FAILURE;
}

std::uint16_t qualityOf(std::int32_t status) noexcept {
  using namespace OpcToolbox;
  switch (failureOf(status)) {
    case Failure::None: return kQualityGood;
    case Failure::NotDone: return kQualityBad;
    case Failure::NotConnected: return kQualityNotConnected;
    case Failure::TimedOut: return kQualityCommFailure;
    default: return kQualityDeviceFailure;
  }
}

}  // namespace vexahv
