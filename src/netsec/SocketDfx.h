#pragma once
// Name resolution for the ping, and the socket library's start-up and shut-down reports.
//
// On Linux there is no socket library to start: the resolver is always ready, so nothing
// runs at program start or exit. The start-up failure texts and the two log lines stay
// here for a backend that has such a library to report through ReportSocketStartup and
// ReportSocketCleanup.

#include "platform/Network.h"

#include <QString>

namespace velmora::netsec {

// The address value that stands for "not an address" (INADDR_NONE).
inline constexpr uint32_t kInaddrNone = 0xFFFFFFFFu;

// Parses dotted IPv4 text ("10.0.0.1", four decimal octets) to an address in host order;
// kInaddrNone for anything else.
uint32_t ParseAddress(const QString& text);
// Dotted text of an address. False and an empty text for kInaddrNone.
bool AddressText(uint32_t address, QString& text);
// Resolves a host name (leading backslashes removed) to the dotted text of its address.
// False when it does not resolve; the platform's last error then holds the reason.
bool HostAddressText(platform::Network& network, const QString& host, QString& address);

// Our texts for the resolver's failures (11001 host not found, ...); the system texts for
// other codes.
QString ResolveErrorText(uint32_t code);

// The reason for a socket start-up result code; empty for a code without one.
QString StartupText(uint32_t code);
// Logs a failed start-up ("WSAStartup(v1.1) Failed: \"<reason>\""); nothing for 0.
void ReportSocketStartup(uint32_t result);
// Logs a failed shut-down ("Unable to perform WSACleanup"); nothing for 0.
void ReportSocketCleanup(uint32_t result);

} // namespace velmora::netsec
