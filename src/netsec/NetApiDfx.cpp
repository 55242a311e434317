#include "netsec/NetApiDfx.h"

#include "applib/DfxFormat.h"
#include "applib/Exceptions.h"
#include "applib/LastError.h"
#include "applib/Log.h"
#include "netsec/EntryPoints.h"

#include <QHash>
#include <QScopeGuard>
#include <array>

namespace velmora::netsec {

using namespace platform;

namespace {

// The whole table is resolved (as the program always has), though only five are called.
constexpr std::array<const char*, 53> kEntryPoints = {
    "NetEnumerateTrustedDomains",
    "NetScheduleJobAdd",
    "NetScheduleJobDel",
    "NetScheduleJobEnum",
    "NetScheduleJobGetInfo",
    "NetMessageBufferSend",
    "NetRemoteTOD",
    "NetServerEnum",
    "NetApiBufferFree",
    "NetConnectionEnum",
    "NetUserEnum",
    "NetUserChangePassword",
    "NetUserGetInfo",
    "NetQueryDisplayInformation",
    "NetGetDisplayInformationIndex",
    "NetGroupEnum",
    "NetLocalGroupEnum",
    "NetUserGetGroups",
    "NetUserGetLocalGroups",
    "NetLocalGroupAddMembers",
    "NetLocalGroupDelMembers",
    "NetGroupAddUser",
    "NetGroupDelUser",
    "NetWkstaUserEnum",
    "NetLocalGroupAdd",
    "NetLocalGroupDel",
    "NetGroupAdd",
    "NetGroupDel",
    "NetUserSetInfo",
    "NetUserAdd",
    "NetUserDel",
    "NetGroupGetUsers",
    "NetLocalGroupGetMembers",
    "NetLocalGroupSetMembers",
    "NetGroupSetUsers",
    "NetGroupGetInfo",
    "NetGroupSetInfo",
    "NetLocalGroupGetInfo",
    "NetLocalGroupSetInfo",
    "NetShareGetInfo",
    "NetShareSetInfo",
    "NetServerGetInfo",
    "NetSessionEnum",
    "NetSessionDel",
    "NetFileEnum",
    "NetFileClose",
    "NetShareAdd",
    "NetShareDel",
    "NetShareEnum",
    "NetGetAnyDCName",
    "NetGetDCName",
    "NetGetJoinInformation",
    "NetWkstaTransportEnum",
};

constexpr int SlotOf(const char* name)
{
    return EntrySlot(kEntryPoints, name);
}

constexpr int kSlotBufferFree = SlotOf("NetApiBufferFree");
constexpr int kSlotUserEnum = SlotOf("NetUserEnum");
constexpr int kSlotUserGetGroups = SlotOf("NetUserGetGroups");
constexpr int kSlotServerGetInfo = SlotOf("NetServerGetInfo");
constexpr int kSlotShareEnum = SlotOf("NetShareEnum");
static_assert(kSlotBufferFree >= 0 && kSlotUserEnum >= 0 && kSlotUserGetGroups >= 0 &&
              kSlotServerGetInfo >= 0 && kSlotShareEnum >= 0);

// Our wording for the network-management codes that a scan meets.
const QHash<uint32_t, QString>& NetTexts()
{
    static const QHash<uint32_t, QString> texts = {
        {2102, QStringLiteral("The workstation driver is not installed on this computer")},
        {2103, QStringLiteral("The server cannot be found")},
        {2106, QStringLiteral("This operation can be carried out on a server only")},
        {2114, QStringLiteral("The server service is not running")},
        {2123, QStringLiteral("The answer does not fit the buffer given to the call")},
        {2138, QStringLiteral("The workstation service is not running")},
        {2139, QStringLiteral("The browser service is not running")},
        {2140, QStringLiteral("The network service met an internal failure")},
        {2141, QStringLiteral("The server does not accept transactions")},
        {2184, QStringLiteral("The service is not installed")},
        {2202, QStringLiteral("The user name or group name is not valid")},
        {2220, QStringLiteral("No such group exists")},
        {2221, QStringLiteral("No such user account exists")},
        {2222, QStringLiteral("No such resource exists")},
        {2226, QStringLiteral("The operation needs the primary domain controller of the domain")},
        {2250, QStringLiteral("No such network connection exists")},
        {2310, QStringLiteral("No such share exists on the server")},
        {2311, QStringLiteral("The device is not shared")},
        {2320, QStringLiteral("The computer is not part of this domain")},
        {2351, QStringLiteral("The computer name is not valid")},
        {2392, QStringLiteral("The shared resource cannot be found")},
        {2453, QStringLiteral("No domain controller of this domain can be found")},
        {2455, QStringLiteral("The net logon service is not running")},
    };
    return texts;
}

} // namespace

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

NetApiDFX::NetApiDFX(Network& network)
    : m_libraryName(QStringLiteral("netapi32.dll")),
      m_library(network.LoadNetApiLibrary(m_libraryName)),
      m_slots(ResolveEntryPoints(m_library.get(), kEntryPoints))
{
}

const QStringList& NetApiDFX::EntryPointNames()
{
    static const QStringList names = EntryNameList(kEntryPoints);
    return names;
}

bool NetApiDFX::HasEntryPoint(const QString& name) const
{
    const qsizetype slot = EntryPointNames().indexOf(name);
    return slot >= 0 && m_slots[size_t(slot)] != nullptr;
}

void NetApiDFX::RaiseNotLoaded() const
{
    throw Exception(QStringLiteral("Cannot load library \"") + m_libraryName +
                    QStringLiteral("\" or linked libraries"));
}

template <typename Fn> const Fn& NetApiDFX::Entry(int slot) const
{
    const auto* entry = static_cast<const Fn*>(m_slots[size_t(slot)]);
    if (entry == nullptr || !*entry)
        RaiseNotLoaded();
    return *entry;
}

uint32_t NetApiDFX::NetApiBufferFree(void* buffer) const
{
    return Entry<netapi::NetApiBufferFreeFn>(kSlotBufferFree)(buffer);
}

uint32_t NetApiDFX::NetServerGetInfo(const QString& server, uint32_t level, void** buffer) const
{
    return Entry<netapi::NetServerGetInfoFn>(kSlotServerGetInfo)(server, level, buffer);
}

uint32_t NetApiDFX::NetShareEnum(const QString& server, uint32_t level, void** buffer,
                                 uint32_t preferredMaxLength, uint32_t& entriesRead,
                                 uint32_t& totalEntries, uint32_t* resumeHandle) const
{
    return Entry<netapi::NetShareEnumFn>(kSlotShareEnum)(server, level, buffer, preferredMaxLength,
                                                         entriesRead, totalEntries, resumeHandle);
}

uint32_t NetApiDFX::NetUserEnum(const QString& server, uint32_t level, uint32_t filter,
                                void** buffer, uint32_t preferredMaxLength, uint32_t& entriesRead,
                                uint32_t& totalEntries, uint32_t* resumeHandle) const
{
    return Entry<netapi::NetUserEnumFn>(kSlotUserEnum)(
        server, level, filter, buffer, preferredMaxLength, entriesRead, totalEntries, resumeHandle);
}

uint32_t NetApiDFX::NetUserGetGroups(const QString& server, const QString& userName, uint32_t level,
                                     void** buffer, uint32_t preferredMaxLength,
                                     uint32_t& entriesRead, uint32_t& totalEntries) const
{
    return Entry<netapi::NetUserGetGroupsFn>(kSlotUserGetGroups)(
        server, userName, level, buffer, preferredMaxLength, entriesRead, totalEntries);
}

void NetApiDFX::ReleaseBuffer(void* buffer) const noexcept
{
    // Runs from scope guards, so it must not raise: without the entry point there is
    // nothing that could release the buffer anyway.
    const auto* entry = static_cast<const netapi::NetApiBufferFreeFn*>(m_slots[kSlotBufferFree]);
    if (buffer != nullptr && entry != nullptr && *entry)
        (*entry)(buffer);
}

QString NetApiDFX::NetErrorText(uint32_t status)
{
    if (status < kNerrBase)
        return SystemErrorText(status);
    const auto& texts = NetTexts();
    const auto it = texts.constFind(status);
    if (it != texts.constEnd())
        return *it;
    return Fmt("Unknown network management error %d", status);
}

void NetApiDFX::GetUserNames(const QString& server, bool includeTrustAccounts,
                             QStringList& list) const
{
    const uint32_t filter = includeTrustAccounts
                                ? kFilterNormalAccount | kFilterInterdomainTrustAccount
                                : kFilterNormalAccount;
    uint32_t resume = 0;
    for (;;) {
        void* buffer = nullptr;
        uint32_t entriesRead = 0;
        uint32_t totalEntries = 0;
        const uint32_t status = NetUserEnum(server, 0, filter, &buffer, kUserEnumPageBytes,
                                            entriesRead, totalEntries, &resume);
        auto release = qScopeGuard([&] { ReleaseBuffer(buffer); });
        if (status == kErrorHandleEof)
            return;
        if (status != kNoError && status != kErrorMoreData) {
            LogError(NetErrorText(status));
            return;
        }
        const auto* users = static_cast<const UserInfo0*>(buffer);
        for (uint32_t i = 0; users != nullptr && i < entriesRead; ++i)
            list << users[i].name;
        // The last page answers 0. A "more data" page that brought nothing would be asked
        // for again and again: stop there too.
        if (status == kNoError || entriesRead == 0)
            return;
    }
}

bool NetApiDFX::GetUserGroupNames(const QString& server, const QString& user,
                                  QStringList& list) const
{
    void* buffer = nullptr;
    uint32_t entriesRead = 0;
    uint32_t totalEntries = 0;
    // One answer with everything: the call has no resume position, and asking again with a
    // limited length would list the first groups twice and never reach the others.
    const uint32_t status = NetUserGetGroups(MakeServerUNC(server), user, 0, &buffer,
                                             kMaxPreferredLength, entriesRead, totalEntries);
    auto release = qScopeGuard([&] { ReleaseBuffer(buffer); });
    if (status != kNoError && status != kErrorMoreData) {
        SetLastErrorText(NetErrorText(status), false, kDfxErrorText);
        return false;
    }
    const auto* groups = static_cast<const GroupUsersInfo0*>(buffer);
    for (uint32_t i = 0; groups != nullptr && i < entriesRead; ++i)
        list << groups[i].name;
    return true;
}

} // namespace velmora::netsec
