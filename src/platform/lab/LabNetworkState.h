#pragma once
// The lab backend's shared state, private to the backend's sources: the model, the handles
// it has handed out and its counters. Every member function expects the caller to hold
// `mutex` unless it says it takes the lock itself.

#include "platform/OsError.h"
#include "platform/lab/LabNetwork.h"

#include <QHash>
#include <map>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace velmora::platform::lab {

inline QString Key(const QString& name)
{
    return StripServerPrefix(name).toCaseFolded();
}

inline uint32_t Failed(uint32_t code)
{
    SetOsLastError(code);
    return code;
}

inline bool SameIdentity(const QString& a, const QString& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

struct Enumeration
{
    std::vector<NetResource> entries;
    size_t next = 0;
    std::optional<ErrorAfter> failAfter; // the enumeration fails once `count` entries went out
};

struct Connection
{
    QString remoteName; // as the caller wrote it
    QString machineKey;
    QString user;        // the account it was made with
    bool withCredential; // made with one of the machine's credentials
};

// An open registry key: the machine ("" local), the hive ("HKLM", "HKU") and the path below
// it ("" for the hive's root).
struct OpenKey
{
    QString machineKey;
    QString hive;
    QString path;
};

// An open file search: what is left to hand out.
struct Search
{
    QString machineKey;
    std::vector<FindData> entries;
    size_t next = 0;
};

struct LsaPolicy
{
    QString machineKey; // "" local
    PrimaryDomain primaryDomain;
};

// Where a UNC path or a local drive path leads: the tree it is in and the folder it names.
struct FolderPlace
{
    const Folder* root = nullptr;
    const Folder* folder = nullptr; // the folder named, junctions on the way followed
    bool driveRoot = false;         // the root of a drive, which lists no "." and ".."
    bool isFile = false;            // the path names a file of `folder`
    QString machineKey;
};

struct LabNetwork::State
{
    explicit State(LabModel m) : model(std::move(m)) {}

    const LabModel model;
    mutable std::mutex mutex;

    std::map<EnumHandle, Enumeration> enumerations;
    EnumHandle nextEnumHandle = 1;
    std::map<RegKey, OpenKey> registryKeys;
    RegKey nextRegistryKey = 0x1000;
    std::vector<Connection> connections;
    QHash<QString, QHash<QString, int>> callCounts; // machine key -> call -> count
    std::unordered_map<void*, std::shared_ptr<void>> buffers;
    std::unordered_map<void*, std::shared_ptr<void>> lsaBuffers;
    std::map<LsaHandle, LsaPolicy> lsaHandles;
    LsaHandle nextLsaHandle = 0x2000;
    std::map<FindHandle, Search> searches;
    FindHandle nextFindHandle = 0x3000;

    void Count(const QString& machine, const char* call)
    {
        ++callCounts[Key(machine)][QString::fromLatin1(call)];
    }

    bool IsLocal(const QString& machine) const
    {
        const QString name = StripServerPrefix(machine);
        return name.isEmpty() || name == QStringLiteral(".") ||
               Key(name) == Key(model.local.computer);
    }

    // The name calls on `machine` are counted under: the local computer for "" and ".".
    QString CountedName(const QString& machine) const
    {
        return IsLocal(machine) ? model.local.computer : StripServerPrefix(machine);
    }

    bool Admits(const Machine& machine) const;

    // Whether the interactive user reaches `server` for a call over the network: 0 with
    // `machine` set (nullptr for the local computer when the file does not list it), 53
    // for a name that answers nothing, the machine's connect_error, or 5 for a caller it
    // refuses. The local computer always lets its own user in.
    uint32_t Reach(const QString& server, const Machine*& machine) const;

    // The account database a machine answers from (its domain's), nullptr when none.
    const Domain* AccountDomainOf(const QString& server) const;

    // Takes the lock itself.
    uint32_t NetServerGetInfo(const QString& server, uint32_t level, void** buffer);
    uint32_t NetApiBufferFree(void* buffer);
    uint32_t NetShareEnum(const QString& server, uint32_t level, void** buffer,
                          uint32_t preferredMaxLength, uint32_t& entriesRead,
                          uint32_t& totalEntries, uint32_t* resumeHandle);
    uint32_t NetUserEnum(const QString& server, uint32_t level, uint32_t filter, void** buffer,
                         uint32_t preferredMaxLength, uint32_t& entriesRead, uint32_t& totalEntries,
                         uint32_t* resumeHandle);
    uint32_t NetUserGetGroups(const QString& server, const QString& userName, uint32_t level,
                              void** buffer, uint32_t preferredMaxLength, uint32_t& entriesRead,
                              uint32_t& totalEntries);
    uint32_t LsaOpenPolicy(const QString& systemName, uint32_t desiredAccess, LsaHandle& handle);
    uint32_t LsaQueryInformationPolicy(LsaHandle handle, uint32_t informationClass, void** buffer);
    uint32_t LsaFreeMemory(void* buffer);
    uint32_t LsaClose(LsaHandle handle);

    // Hands a buffer to the caller and counts it until it is freed.
    template <typename T> void* HandOut(std::shared_ptr<T> owner, void* first)
    {
        buffers.emplace(first, std::shared_ptr<void>(owner, first));
        return first;
    }
};

} // namespace velmora::platform::lab
