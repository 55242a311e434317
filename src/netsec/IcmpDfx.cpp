#include "netsec/IcmpDfx.h"

#include "applib/DfxFormat.h"
#include "applib/LastError.h"
#include "netsec/NetApiDfx.h"
#include "netsec/SocketDfx.h"
#include "platform/OsError.h"

namespace velmora::netsec {

using namespace platform;

QString PingStatusText(uint32_t status)
{
    switch (status) {
    case 0:
        return QStringLiteral("No error");
    case 11001:
        return QStringLiteral("Buffer too small");
    case 11002:
        return QStringLiteral("Destination network unreachable");
    case 11003:
        return QStringLiteral("Destination host unreachable");
    case 11004:
        return QStringLiteral("Destination protocol unreachable");
    case 11005:
        return QStringLiteral("Destination port unreachable");
    case 11006:
        return QStringLiteral("No resources");
    case 11007:
        return QStringLiteral("Bad option");
    case 11008:
        return QStringLiteral("Hardware error");
    case 11009:
        return QStringLiteral("Packet too big");
    case 11010:
        return QStringLiteral("Request timed out");
    case 11011:
        return QStringLiteral("Bad request");
    case 11012:
        return QStringLiteral("Bad route");
    case 11013:
        return QStringLiteral("TTL expired in transit");
    case 11014:
        return QStringLiteral("TTL expired in reassembly");
    case 11015:
        return QStringLiteral("Parameter problem");
    case 11016:
        return QStringLiteral("Source quench");
    case 11017:
        return QStringLiteral("Option too big");
    case 11018:
        return QStringLiteral("Bad Destination");
    case 11019:
        return QStringLiteral("Address deleted");
    case 11020:
        return QStringLiteral("Spec MTU change");
    case 11021:
        return QStringLiteral("MTU change");
    case 11050:
        return QStringLiteral("General failure");
    case 11255:
        return QStringLiteral("Pending");
    default:
        return Fmt("ICMP error #%d", status);
    }
}

QString PingStatusText()
{
    return PingStatusText(GetOsLastError());
}

bool PingRtt(Network& network, const QString& host, uint32_t& roundTripMs, uint32_t timeoutMs)
{
    constexpr uint32_t kHostUnreachable = 1232;
    uint32_t address = ParseAddress(StripServerUNC(host));
    if (address == kInaddrNone) {
        QString text;
        if (!HostAddressText(network, host, text)) {
            const uint32_t code = GetOsLastError();
            SetLastErrorText(ResolveErrorText(code == 0 ? kHostUnreachable : code), false,
                             code == 0 ? kHostUnreachable : code);
            return false;
        }
        address = ParseAddress(text);
        if (address == kInaddrNone) {
            SetLastErrorCode(kHostUnreachable, false);
            return false;
        }
    }
    const QByteArray request(32, 'X');
    EchoReply reply;
    if (network.IcmpSendEcho(address, request, timeoutMs, reply) == 1) {
        roundTripMs = reply.roundTripMs == 0 ? 1 : reply.roundTripMs;
        return true;
    }
    SetLastErrorText(PingStatusText(), false, kDfxErrorText);
    return false;
}

bool Ping(Network& network, const QString& host, uint32_t timeoutMs)
{
    uint32_t rtt = 0;
    return PingRtt(network, host, rtt, timeoutMs);
}

} // namespace velmora::netsec
