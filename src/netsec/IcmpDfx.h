#pragma once
// ICMP echo towards a machine, with the texts of the reply statuses.

#include "platform/Network.h"

#include <QString>

namespace velmora::netsec {

// True when the host answered one echo request (32 bytes of "X") within timeoutMs;
// otherwise false with the reason in the last-error store (not logged): the resolver's text
// for a name that does not resolve, the text of 1232 for one that resolves to no usable
// address, the reply-status text for a missing answer. A dotted address is used as it is,
// without asking the resolver. Blocks the calling thread for up to timeoutMs.
bool Ping(platform::Network& network, const QString& host, uint32_t timeoutMs);
// The same, also giving the round-trip time in milliseconds (at least 1).
bool PingRtt(platform::Network& network, const QString& host, uint32_t& roundTripMs,
             uint32_t timeoutMs);
// The text of an IP status ("Request timed out", "ICMP error #%d" outside the table).
QString PingStatusText(uint32_t status);
// The same for the calling thread's current platform last error.
QString PingStatusText();

} // namespace velmora::netsec
