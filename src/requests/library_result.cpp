#include "requests/library_result.h"

#include "hwlib/VEXAHVWrapper.h"
#include "opctoolbox/results.h"

namespace vexahv {

long requestResultOf(std::int32_t status) noexcept {
  using namespace OpcToolbox;
  switch (status) {
    case VEXAHV_OK: return S_OK;
    case -1: return E_FAIL;
    case VEXAHV_ERR_OUT_OF_RANGE: return OPC_E_RANGE;
    case VEXAHV_ERR_READ_ONLY: return OPC_E_BADRIGHTS;
    case VEXAHV_ERR_NOT_CONNECTED:
    case VEXAHV_ERR_UNKNOWN_HANDLE:
    case VEXAHV_ERR_SOCKET: return E_DEVICE_NOT_CONNECTED;
    case VEXAHV_ERR_TIMEOUT: return E_DEVICE_TIMEOUT;
    default: return E_DEVICE_FAILURE;  // refused by the mainframe (inhibited, no such item, ...) or garbled
  }
}

}  // namespace vexahv
