#pragma once
// The network management library, bound by name: the entry points are looked up once and
// called through; a call whose entry point is missing raises the "Cannot load library"
// message instead of crashing. Also the readable texts of its status codes and the two
// account lists that the domain-account collection reads.
//
// Text arguments are handed to the library whole, whatever their length: the interface
// takes QString, so no fixed-size argument buffer can cut a long name.
//
// Called on the main thread; the binding takes no lock.

#include "platform/Network.h"

#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

namespace velmora::netsec {

// "SRV", "\SRV" and "\\SRV" all give "\\SRV"; an empty name stays empty.
QString MakeServerUNC(const QString& name);
// Removes two leading backslashes; other names are returned unchanged.
QString StripServerUNC(const QString& name);

class NetApiDFX
{
  public:
    // Loads "netapi32.dll" from the network backend and resolves every name of
    // EntryPointNames() once, in that order. A library that cannot be loaded leaves every
    // slot empty; nothing is reported until the first call.
    explicit NetApiDFX(platform::Network& network);

    const QString& BoundLibraryName() const { return m_libraryName; }
    bool Loaded() const { return m_library != nullptr; }

    // The names the binding resolves, in resolution order. Only NetApiBufferFree,
    // NetUserEnum, NetUserGetGroups, NetServerGetInfo and NetShareEnum are ever called.
    static const QStringList& EntryPointNames();
    // Whether the library offered the entry (false for names outside the table).
    bool HasEntryPoint(const QString& name) const;

    // Call-through functions: the status of the call. They raise Exception
    // "Cannot load library \"netapi32.dll\" or linked libraries" when the library or the
    // entry point is missing.
    uint32_t NetApiBufferFree(void* buffer) const;
    uint32_t NetServerGetInfo(const QString& server, uint32_t level, void** buffer) const;
    uint32_t NetShareEnum(const QString& server, uint32_t level, void** buffer,
                          uint32_t preferredMaxLength, uint32_t& entriesRead,
                          uint32_t& totalEntries, uint32_t* resumeHandle) const;
    uint32_t NetUserEnum(const QString& server, uint32_t level, uint32_t filter, void** buffer,
                         uint32_t preferredMaxLength, uint32_t& entriesRead, uint32_t& totalEntries,
                         uint32_t* resumeHandle) const;
    uint32_t NetUserGetGroups(const QString& server, const QString& userName, uint32_t level,
                              void** buffer, uint32_t preferredMaxLength, uint32_t& entriesRead,
                              uint32_t& totalEntries) const;

    // Readable text for a status: the system text below 2100; from 2100 on our own text
    // of the network-management code, "Unknown network management error %d" for a code
    // without one. No trailing full stop.
    static QString NetErrorText(uint32_t status);

    // Appends the user account names of a server (empty: the local computer) to `list`:
    // normal accounts, and inter-domain trust accounts too when asked. Reads in pages until
    // the server says there is no more; a failing status is logged with its text and ends
    // the reading with what was collected. Never raises for a status.
    void GetUserNames(const QString& server, bool includeTrustAccounts, QStringList& list) const;
    // Appends the global groups of one user account to `list`. The groups come in one
    // answer (the call has no resume position, so asking again would repeat the first
    // ones). False with NetErrorText of the status in the last-error store (not logged).
    bool GetUserGroupNames(const QString& server, const QString& user, QStringList& list) const;

    // Preferred length of one page of the user enumeration, in bytes.
    static constexpr uint32_t kUserEnumPageBytes = 65536;

  private:
    [[noreturn]] void RaiseNotLoaded() const;
    void ReleaseBuffer(void* buffer) const noexcept;
    template <typename Fn> const Fn& Entry(int slot) const;

    QString m_libraryName;
    std::shared_ptr<const platform::NetApiLibrary> m_library;
    std::vector<const void*> m_slots; // one per EntryPointNames() entry
};

} // namespace velmora::netsec
