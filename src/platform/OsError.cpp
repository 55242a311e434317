#include "platform/OsError.h"

namespace velmora::platform {

namespace {
thread_local uint32_t t_lastError = 0;
}

uint32_t GetOsLastError() { return t_lastError; }
void SetOsLastError(uint32_t code) { t_lastError = code; }

} // namespace velmora::platform
