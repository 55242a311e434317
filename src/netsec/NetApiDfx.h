#pragma once
// The network management library, bound by name: the entry points are looked up once and
// called through; a call whose entry point is missing raises the "Cannot load library"
// message instead of crashing.

#include "platform/Network.h"

#include <QString>
#include <memory>

namespace velmora::netsec {

QString MakeServerUNC(const QString& name);
QString StripServerUNC(const QString& name);

class NetApiDFX
{
public:
    // Loads "netapi32.dll" from the network backend and resolves the entry points.
    explicit NetApiDFX(platform::Network& network);

    const QString& BoundLibraryName() const { return m_libraryName; }
    bool Loaded() const { return m_library != nullptr; }

    // Call-through functions: the status of the call; raise Exception
    // "Cannot load library \"netapi32.dll\" or linked libraries" when the entry is missing.
    uint32_t NetApiBufferFree(void* buffer) const;
    uint32_t NetServerGetInfo(const QString& server, uint32_t level, void** buffer) const;

    // Readable text for a status: the system text below 2100, the network-management
    // message text from 2100 on.
    static QString NetErrorText(uint32_t status);

private:
    [[noreturn]] void RaiseNotLoaded() const;
    QString m_libraryName;
    std::shared_ptr<const platform::NetApiLibrary> m_library;
    const platform::netapi::NetApiBufferFreeFn* m_netApiBufferFree = nullptr;
    const platform::netapi::NetServerGetInfoFn* m_netServerGetInfo = nullptr;
};

} // namespace velmora::netsec
