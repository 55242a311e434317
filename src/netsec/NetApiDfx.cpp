#include "netsec/NetApiDfx.h"

#include "applib/DfxFormat.h"
#include "applib/Exceptions.h"
#include "applib/LastError.h"

namespace velmora::netsec {

QString MakeServerUNC(const QString& name)
{
    if (name.isEmpty())
        return name;
    QString out = name;
    while (!out.startsWith(QLatin1String("\\\\")))
        out.prepend(QLatin1Char('\\'));
    return out;
}

QString StripServerUNC(const QString& name)
{
    return name.startsWith(QLatin1String("\\\\")) ? name.mid(2) : name;
}

NetApiDFX::NetApiDFX(platform::Network& network)
    : m_libraryName(QStringLiteral("netapi32.dll")),
      m_library(network.LoadNetApiLibrary(m_libraryName))
{
    if (!m_library)
        return;
    m_netApiBufferFree = static_cast<const platform::netapi::NetApiBufferFreeFn*>(
        m_library->Resolve(QStringLiteral("NetApiBufferFree")));
    m_netServerGetInfo = static_cast<const platform::netapi::NetServerGetInfoFn*>(
        m_library->Resolve(QStringLiteral("NetServerGetInfo")));
}

void NetApiDFX::RaiseNotLoaded() const
{
    throw Exception(QStringLiteral("Cannot load library \"") + m_libraryName +
                    QStringLiteral("\" or linked libraries"));
}

uint32_t NetApiDFX::NetApiBufferFree(void* buffer) const
{
    if (!m_netApiBufferFree || !*m_netApiBufferFree)
        RaiseNotLoaded();
    return (*m_netApiBufferFree)(buffer);
}

uint32_t NetApiDFX::NetServerGetInfo(const QString& server, uint32_t level, void** buffer) const
{
    if (!m_netServerGetInfo || !*m_netServerGetInfo)
        RaiseNotLoaded();
    return (*m_netServerGetInfo)(server, level, buffer);
}

QString NetApiDFX::NetErrorText(uint32_t status)
{
    // The network-management texts share the system table; codes without a text of ours
    // read as the system's unknown-error text.
    return SystemErrorText(status);
}

} // namespace velmora::netsec
