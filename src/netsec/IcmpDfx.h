#pragma once
// ICMP echo towards a machine, with the texts of the reply statuses.

#include "platform/Network.h"

#include <QString>

namespace velmora::netsec {

// True when the host answered one echo request within timeoutMs; otherwise false with the
// reason in the last-error store (not logged).
bool Ping(platform::Network& network, const QString& host, uint32_t timeoutMs);
bool PingRtt(platform::Network& network, const QString& host, uint32_t& roundTripMs,
             uint32_t timeoutMs);
// The text of an IP status ("Request timed out", "ICMP error #%d" outside the table).
QString PingStatusText(uint32_t status);

} // namespace velmora::netsec
