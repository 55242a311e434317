#include "netsec/SocketDfx.h"

#include "applib/DfxFormat.h"
#include "applib/LastError.h"
#include "applib/Log.h"
#include "netsec/NetApiDfx.h"

#include <QStringList>

namespace velmora::netsec {

using namespace platform;

uint32_t ParseAddress(const QString& text)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return kInaddrNone;
    uint32_t address = 0;
    for (const QString& part : parts) {
        bool ok = false;
        const uint octet = part.toUInt(&ok, 10);
        if (!ok || part.isEmpty() || part.size() > 3 || octet > 255 || !part.at(0).isDigit())
            return kInaddrNone;
        address = (address << 8) | octet;
    }
    return address;
}

bool AddressText(uint32_t address, QString& text)
{
    text.clear();
    if (address == kInaddrNone)
        return false;
    text = Fmt("%u.%u.%u.%u", (address >> 24) & 0xFF, (address >> 16) & 0xFF, (address >> 8) & 0xFF,
               address & 0xFF);
    return true;
}

bool HostAddressText(Network& network, const QString& host, QString& address)
{
    address.clear();
    uint32_t resolved = 0;
    if (!network.ResolveHost(StripServerUNC(host), resolved))
        return false;
    return AddressText(resolved, address);
}

QString ResolveErrorText(uint32_t code)
{
    switch (code) {
    case 11001:
        return QStringLiteral("The host name is not known");
    case 11002:
        return QStringLiteral("The host name is not known for now; try again later");
    case 11003:
        return QStringLiteral("The name server failed for good");
    case 11004:
        return QStringLiteral("The host name is known but has no address");
    default:
        return SystemErrorText(code);
    }
}

QString StartupText(uint32_t code)
{
    switch (code) {
    case 10014:
        return QStringLiteral("The lpWSAData is not a valid pointer.");
    case 10036:
        return QStringLiteral("A blocking Windows Sockets 1.1 operation is in progress.");
    case 10067:
        return QStringLiteral("Limit on the number of tasks supported by the Windows Sockets "
                              "implementation has been reached.");
    case 10091:
        return QStringLiteral("Indicates that the underlying network subsystem is not ready for "
                              "network communication.");
    case 10092:
        return QStringLiteral("The version of Windows Sockets support requested is not provided "
                              "by this particular Windows Sockets implementation.");
    default:
        return QString();
    }
}

void ReportSocketStartup(uint32_t result)
{
    if (result != 0)
        LogErrorFmt(QStringLiteral("WSAStartup(v1.1) Failed: \"%s\""), {StartupText(result)});
}

void ReportSocketCleanup(uint32_t result)
{
    if (result != 0)
        LogError(QStringLiteral("Unable to perform WSACleanup"));
}

} // namespace velmora::netsec
