#pragma once
// Toolbox results, as HRESULTs: 0 success, negative failure.

#include <cstdint>

namespace OpcToolbox {

inline constexpr long S_OK = 0;
inline constexpr long S_FALSE = 1;
inline constexpr long E_FAIL = static_cast<std::int32_t>(0x80004005u);
inline constexpr long E_INVALIDARG = static_cast<std::int32_t>(0x80070057u);
inline constexpr long E_OUTOFMEMORY = static_cast<std::int32_t>(0x8007000Eu);
inline constexpr long E_UNEXPECTED = static_cast<std::int32_t>(0x8000FFFFu);  // call out of order
inline constexpr long E_ABORT = static_cast<std::int32_t>(0x80004004u);       // cancelled at stop
inline constexpr long E_CANCELLED_BY_CLIENT = static_cast<std::int32_t>(0x800704C7u);  // ERROR_CANCELLED
inline constexpr long OPC_E_BADRIGHTS = static_cast<std::int32_t>(0xC0040006u);     // not readable / writeable
inline constexpr long OPC_E_UNKNOWNITEMID = static_cast<std::int32_t>(0xC0040007u);
inline constexpr long OPC_E_INVALID_PID = static_cast<std::int32_t>(0xC0040203u);  // no such property
inline constexpr long DISP_E_TYPEMISMATCH = static_cast<std::int32_t>(0x80020005u);
inline constexpr long DISP_E_OVERFLOW = static_cast<std::int32_t>(0x8002000Au);
inline constexpr long DISP_E_BADVARTYPE = static_cast<std::int32_t>(0x80020008u);
inline constexpr long OPC_E_RANGE = static_cast<std::int32_t>(0xC004000Bu);  // value out of range
// The device behind an item, as Win32 errors in HRESULTs: not connected, no answer in
// time, any other failure of the device.
inline constexpr long E_DEVICE_NOT_CONNECTED = static_cast<std::int32_t>(0x800708CAu);
inline constexpr long E_DEVICE_TIMEOUT = static_cast<std::int32_t>(0x800705B4u);
inline constexpr long E_DEVICE_FAILURE = static_cast<std::int32_t>(0x8007001Fu);

}  // namespace OpcToolbox
