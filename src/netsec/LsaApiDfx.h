#pragma once
// The local security authority's entry points, bound by name from "advapi32.dll". Unlike
// the network management binding, a call whose entry point is missing does not raise: it
// answers the status 0xFFFF, which the callers treat like any failing status.
//
// Called on the main thread; the binding takes no lock.

#include "platform/Network.h"

#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

namespace velmora::netsec {

class LsaApiDfx
{
  public:
    static constexpr uint32_t kMissingEntryStatus = 0xFFFF;

    // Loads "advapi32.dll" from the network backend and resolves every name of
    // EntryPointNames() once, in order. A library that cannot be loaded leaves every slot
    // empty.
    explicit LsaApiDfx(platform::Network& network);

    bool Loaded() const { return m_library != nullptr; }
    static QString LibraryName() { return QStringLiteral("advapi32.dll"); }
    // The names the binding resolves, in order. Only LsaOpenPolicy,
    // LsaQueryInformationPolicy, LsaFreeMemory, LsaClose and LsaNtStatusToWinError are
    // ever called.
    static const QStringList& EntryPointNames();
    bool HasEntryPoint(const QString& name) const;

    uint32_t LsaOpenPolicy(const QString& systemName, uint32_t desiredAccess,
                           platform::LsaHandle& handle) const;
    uint32_t LsaQueryInformationPolicy(platform::LsaHandle handle, uint32_t informationClass,
                                       void** buffer) const;
    uint32_t LsaFreeMemory(void* buffer) const;
    uint32_t LsaClose(platform::LsaHandle handle) const;
    uint32_t LsaNtStatusToWinError(uint32_t status) const;

  private:
    template <typename Fn> const Fn* Entry(int slot) const;

    std::shared_ptr<const platform::Library> m_library;
    std::vector<const void*> m_slots;
};

} // namespace velmora::netsec
