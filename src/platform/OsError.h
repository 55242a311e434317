#pragma once
// The platform's per-thread last error code (the counterpart of GetLastError/SetLastError):
// every platform call that fails sets it, as the wire-level calls would.

#include <cstdint>

namespace velmora::platform {

uint32_t GetOsLastError();
void SetOsLastError(uint32_t code);

} // namespace velmora::platform
