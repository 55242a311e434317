// The scan steps of one server: the domain's accounts and memberships (read from the
// controller), the shares with their share permissions, and each ordinary share's folders
// with their NTFS permissions. Every row is posted the moment it is complete.

#include "applib/DfxFormat.h"
#include "applib/LastError.h"
#include "applib/Log.h"
#include "engine/DataDM.h"
#include "engine/WellKnownAccounts.h"
#include "netsec/SecurityDfx.h"
#include "platform/OsError.h"
#include "platform/Security.h"
#include "store/Schema.h"

#include <QScopeGuard>

namespace velmora::engine {

using namespace platform;

namespace {

const QString kServer = QStringLiteral("Server");
const QString kShare = QStringLiteral("Share");
const QString kGuid = QStringLiteral("GUID");
const QString kIsIPC = QStringLiteral("isIPC");
const QString kIsDC = QStringLiteral("isDC");
const QString kSid = QStringLiteral("SID");
const QString kUserGroupName = QStringLiteral("UserGroupName");
const QString kDomainName = QStringLiteral("DomainName");
const QString kDomainController = QStringLiteral("DomainController");
const QString kIsGroup = QStringLiteral("isGroup");
const QString kHasAdminRights = QStringLiteral("hasAdminRights");
const QString kUserGroupSid = QStringLiteral("UserGroupSID");
const QString kGroupSid = QStringLiteral("GroupSID");
const QString kServerShareGuid = QStringLiteral("ServerShareGUID");
const QString kFolderGuid = QStringLiteral("FolderGUID");
const QString kFolderName = QStringLiteral("FolderName");

const QString kEveryoneSid = QStringLiteral("S-1-1-0");
const QString kAdministratorsSid = QStringLiteral("S-1-5-32-544");

constexpr uint32_t kFullControlMask = 0x001F01FFu;
constexpr uint32_t kChangeMask = 0x001301BFu;
constexpr uint32_t kReadMask = 0x001200A9u;
// The full-control mask without SYNCHRONIZE, as a deny entry often carries it.
constexpr uint32_t kFullControlNoSyncMask = 0x000F01FFu;

// Folder right columns and the mask bit each one reads.
struct FolderBit
{
    const QString column;
    uint32_t bit;
};
const FolderBit kFolderBits[] = {
    {QStringLiteral("ListDirectory"), 0x00000001u},   {QStringLiteral("AddFile"), 0x00000002u},
    {QStringLiteral("AddSubdirectory"), 0x00000004u}, {QStringLiteral("Traverse"), 0x00000020u},
    {QStringLiteral("DeleteChild"), 0x00000040u},     {QStringLiteral("_Delete"), 0x00010000u},
};
const QString kFullControl = QStringLiteral("FullControl");

// The looked-up SIDs are remembered per share; a share naming very many distinct SIDs starts
// the memory afresh rather than letting it grow.
constexpr qsizetype kKnownSidsLimit = 4096;

enum class DaclRead
{
    Everyone, // no DACL, or a null one: everyone may do everything
    Failed,   // the list cannot be read (logged)
    Entries,  // `dacl` holds `count` entries
};

DaclRead ReadDacl(QByteArrayView descriptor, QByteArrayView& dacl, uint32_t& count)
{
    bool present = false;
    bool defaulted = false;
    if (!GetSecurityDescriptorDacl(descriptor, present, dacl, defaulted) || !present ||
        dacl.data() == nullptr)
        return DaclRead::Everyone;
    AclSizeInformation info;
    if (!GetAclInformation(dacl, info)) {
        SetLastErrorFromOS(true);
        return DaclRead::Failed;
    }
    count = info.aceCount;
    return DaclRead::Entries;
}

bool IsSkippedFolderName(const QString& name)
{
    return name == QLatin1String(".") || name == QLatin1String("..") || name == QLatin1String(" ");
}

} // namespace

// The folder walk of one share. The path grows and shrinks with the walk, so a folder costs
// no path of its own. Junctions cannot be told where they lead (the file search reports
// only the reparse attribute), so a junction is known by its name and its descriptor; one
// that is already being walked further up the current chain is recorded but not entered
// again, which ends the walk of a junction that leads to one of its own ancestors.
struct TDataDM::FolderWalk
{
    QString path;
    struct Junction
    {
        QString name; // case-folded
        size_t identity;
    };
    std::vector<Junction> junctions; // those entered on the current chain
};

// --- accounts -------------------------------------------------------------------------------

void TDataDM::BuildAccounts()
{
    if (!m_tbServers->FieldByName(kIsDC).AsBoolean())
        return;
    const QString controller = m_tbServers->FieldByName(kServer).AsString();
    m_progress.SetWaitHeading(
        Fmt("Building Domain Controller: \"%s\" account information...", controller));
    m_progress.ProcessMessages();
    // The account rows change below: what the share steps remember must be asked again.
    m_knownSids.clear();

    if (!m_tbUserGroupList->Locate(kSid, kEveryoneSid))
        AppendWellKnownAccounts();

    QStringList users;
    m_netApi.GetUserNames(controller, false, users);
    QStringList groups;
    for (const QString& user : std::as_const(users))
        ScanUser(controller, user, groups);
}

void TDataDM::AppendWellKnownAccounts()
{
    data::TableDataset& t = *m_tbUserGroupList;
    for (const WellKnownAccount& account : kWellKnownAccounts) {
        t.Append();
        t.FieldByName(kSid).SetAsString(QString::fromLatin1(account.sid));
        t.FieldByName(kUserGroupName).SetAsString(QString::fromLatin1(account.name));
        t.FieldByName(kDomainName).SetAsString(QStringLiteral("BUILTIN"));
        t.FieldByName(kIsGroup).SetAsBoolean(true);
        t.FieldByName(kHasAdminRights).SetAsBoolean(false);
        t.Post();
    }
}

void TDataDM::ScanUser(const QString& controller, const QString& user, QStringList& groups)
{
    data::TableDataset& accounts = *m_tbUserGroupList;
    bool adminMark = false;

    QByteArray sid;
    QString domain;
    QString userSid;
    if (!netsec::FindAccountSid(m_network, controller, user, sid, domain,
                                netsec::kUserAccountTypes) ||
        !netsec::SidToText(sid, userSid)) {
        LogLastError();
        return;
    }
    if (!accounts.Locate(kSid, userSid)) {
        const bool admin = netsec::IsSidOfKind(sid, netsec::kSidKindAdministrators);
        accounts.Append();
        accounts.FieldByName(kSid).SetAsString(userSid);
        accounts.FieldByName(kUserGroupName).SetAsString(user);
        accounts.FieldByName(kDomainName).SetAsString(domain);
        accounts.FieldByName(kDomainController).SetAsString(controller);
        accounts.FieldByName(kIsGroup).SetAsBoolean(false);
        accounts.FieldByName(kHasAdminRights).SetAsBoolean(admin);
        accounts.Post();
        if (admin)
            AppendMembership(userSid, kAdministratorsSid);
    }

    groups.clear();
    m_netApi.GetUserGroupNames(controller, user, groups);
    QString groupSid;
    for (const QString& group : std::as_const(groups)) {
        if (!netsec::FindAccountSid(m_network, controller, group, sid, domain,
                                    netsec::kGroupAccountTypes) ||
            !netsec::SidToText(sid, groupSid)) {
            LogLastError();
            continue;
        }
        if (accounts.Locate(kSid, groupSid)) {
            if (accounts.FieldByName(kHasAdminRights).AsBoolean())
                adminMark = true;
        } else {
            const bool admin = netsec::IsSidOfKind(sid, netsec::kSidKindAdministrators);
            accounts.Append();
            accounts.FieldByName(kSid).SetAsString(groupSid);
            accounts.FieldByName(kUserGroupName).SetAsString(group);
            accounts.FieldByName(kDomainName).SetAsString(domain);
            accounts.FieldByName(kDomainController).SetAsString(controller);
            accounts.FieldByName(kIsGroup).SetAsBoolean(true);
            accounts.FieldByName(kHasAdminRights).SetAsBoolean(admin);
            adminMark |= admin;
            accounts.Post();
        }
        AppendMembership(userSid, groupSid);
    }

    if (adminMark && accounts.Locate(kSid, userSid) &&
        !accounts.FieldByName(kHasAdminRights).AsBoolean()) {
        accounts.Edit();
        accounts.FieldByName(kHasAdminRights).SetAsBoolean(true);
        accounts.Post();
    }
}

void TDataDM::AppendMembership(const QString& userSid, const QString& groupSid)
{
    data::TableDataset& t = *m_tbUser2Group;
    if (t.Locate(QStringList{kUserGroupSid, kGroupSid}, QVariantList{userSid, groupSid}))
        return;
    t.Append();
    t.FieldByName(kUserGroupSid).SetAsString(userSid);
    t.FieldByName(kGroupSid).SetAsString(groupSid);
    t.Post();
}

// --- permission entries ---------------------------------------------------------------------

bool TDataDM::IsKnownSid(const QString& sidText)
{
    const auto it = m_knownSids.constFind(sidText);
    if (it != m_knownSids.constEnd())
        return *it;
    if (m_knownSids.size() >= kKnownSidsLimit)
        m_knownSids.clear();
    const bool known = m_tbUserGroupList->Locate(kSid, sidText);
    m_knownSids.insert(sidText, known);
    return known;
}

void TDataDM::StoreIfKnown(QByteArrayView sid, bool deny, uint32_t mask, StoreEntryFn store)
{
    QString text;
    if (!netsec::SidToText(sid, text) || !IsKnownSid(text))
        return;
    (this->*store)(text, deny, mask);
}

void TDataDM::StoreEntriesIfKnown(QByteArrayView dacl, uint32_t count, StoreEntryFn store)
{
    AceView ace;
    for (uint32_t i = 0; i < count; ++i) {
        if (GetAce(dacl, i, ace))
            StoreIfKnown(ace.sid, ace.type == kAccessDeniedAceType, ace.mask, store);
    }
}

void TDataDM::StoreShareEntry(const QString& sidText, bool deny, uint32_t mask)
{
    if (!IsKnownSid(sidText)) {
        LogErrorFmt(
            QStringLiteral("StoreToAccessList:UserGroupSIDText \"%s\" not in   tbUserGroupList"),
            {sidText});
        return;
    }
    data::TableDataset& t = *m_tbShareAccessList;
    t.Append();
    t.FieldByName(kServerShareGuid).SetAsString(m_shareGuid);
    t.FieldByName(kUserGroupSid).SetAsString(sidText);
    const int value = deny ? 2 : 1;
    if (mask == kFullControlMask)
        t.FieldByName(QStringLiteral("FullAccess")).SetAsInteger(value);
    else if (mask == kChangeMask)
        t.FieldByName(QStringLiteral("ChangeAccess")).SetAsInteger(value);
    else if (mask == kReadMask)
        t.FieldByName(QStringLiteral("ReadAccess")).SetAsInteger(value);
    t.Post();
}

void TDataDM::StoreFolderEntry(const QString& sidText, bool deny, uint32_t mask)
{
    data::TableDataset& t = *m_tbFolderAccessList;
    t.Append();
    t.FieldByName(kFolderGuid).SetAsString(m_folderGuid);
    t.FieldByName(kUserGroupSid).SetAsString(sidText);
    const int value = deny ? 2 : 1;
    for (const FolderBit& right : kFolderBits)
        t.FieldByName(right.column).SetAsInteger(mask & right.bit ? value : 0);
    // Full control is read from the whole mask, whatever the entry's type.
    int fullControl = 0;
    if (mask == kFullControlMask)
        fullControl = 1;
    else if (mask == kFullControlNoSyncMask)
        fullControl = 2;
    t.FieldByName(kFullControl).SetAsInteger(fullControl);
    t.Post();
}

void TDataDM::StoreSharePermissions(const QByteArray& descriptor, bool special)
{
    if (descriptor.isEmpty()) {
        // A share without a descriptor is open to everyone; a special share to the
        // administrators only.
        StoreShareEntry(special ? kAdministratorsSid : kEveryoneSid, false, kFullControlMask);
        return;
    }
    QByteArrayView dacl;
    uint32_t count = 0;
    switch (ReadDacl(descriptor, dacl, count)) {
    case DaclRead::Everyone:
        StoreShareEntry(kEveryoneSid, false, kFullControlMask);
        return;
    case DaclRead::Failed:
        return;
    case DaclRead::Entries:
        break;
    }
    if (count == 0) {
        // An empty list admits nobody but the owner, who may always change it.
        QByteArrayView owner;
        bool defaulted = false;
        if (GetSecurityDescriptorOwner(descriptor, owner, defaulted) && owner.data() != nullptr)
            StoreIfKnown(owner, false, kFullControlMask, &TDataDM::StoreShareEntry);
        return;
    }
    StoreEntriesIfKnown(dacl, count, &TDataDM::StoreShareEntry);
}

void TDataDM::StoreFolderPermissions(QByteArrayView descriptor)
{
    QByteArrayView dacl;
    uint32_t count = 0;
    switch (ReadDacl(descriptor, dacl, count)) {
    case DaclRead::Everyone:
        StoreFolderEntry(kEveryoneSid, false, kFullControlMask);
        return;
    case DaclRead::Failed:
        return;
    case DaclRead::Entries:
        break;
    }
    StoreEntriesIfKnown(dacl, count, &TDataDM::StoreFolderEntry);
}

// --- shares ---------------------------------------------------------------------------------

void TDataDM::BuildShares()
{
    const QString server = m_tbServers->FieldByName(kServer).AsString();
    m_progress.SetWaitHeading(Fmt("Building Server: \"%s\" share information...", server));
    m_progress.ProcessMessages();
    m_knownSids.clear();

    void* buffer = nullptr;
    uint32_t entriesRead = 0;
    uint32_t totalEntries = 0;
    uint32_t resumeHandle = 0;
    const uint32_t status = m_netApi.NetShareEnum(server, 502, &buffer, kMaxPreferredLength,
                                                  entriesRead, totalEntries, &resumeHandle);
    auto release = qScopeGuard([&] {
        if (buffer)
            m_netApi.NetApiBufferFree(buffer);
    });
    if (status != 0 || entriesRead == 0 || buffer == nullptr)
        return;

    const auto* shares = static_cast<const ShareInfo*>(buffer);
    data::TableDataset& t = *m_tbServerShares;
    for (uint32_t i = 0; i < entriesRead; ++i) {
        const ShareInfo& share = shares[i];
        const bool special = (share.type & kStypeSpecial) != 0;
        t.Append();
        t.FieldByName(kGuid).SetAsString(store::NewGuidText());
        t.FieldByName(kServer).SetAsString(server);
        t.FieldByName(kShare).SetAsString(share.netname);
        t.FieldByName(kIsIPC).SetAsBoolean(special);
        t.Post();
        m_shareGuid = t.FieldByName(kGuid).AsString();
        StoreSharePermissions(share.securityDescriptor, special);
        if (!t.FieldByName(kIsIPC).AsBoolean())
            BuildFolders();
    }
}

// --- folders --------------------------------------------------------------------------------

void TDataDM::BuildFolders()
{
    data::TableDataset& t = *m_tbServerShares;
    const QString server = t.FieldByName(kServer).AsString();
    m_shareGuid = t.FieldByName(kGuid).AsString();
    m_progress.SetWaitHeading(Fmt("Building Server: \"%s\" folder information...", server));
    m_progress.ProcessMessages();
    m_knownSids.clear();

    FolderWalk walk;
    walk.path.reserve(512);
    walk.path =
        QStringLiteral("\\\\") + server + QLatin1Char('\\') + t.FieldByName(kShare).AsString();
    WalkFolder(walk, 1, false);
}

void TDataDM::WalkFolder(FolderWalk& walk, int level, bool junction)
{
    if (level == MaxFolderDepth)
        return;
    const qsizetype length = walk.path.size();
    FindHandle handle = 0;
    FindData found;
    walk.path += QStringLiteral("\\*");
    const bool listed = m_network.FindFirstFile(walk.path, handle, found);
    walk.path.truncate(length);
    if (!listed)
        return;
    // The search lists every entry, hidden and system ones included; folders are picked
    // out by their attribute below.
    auto close = qScopeGuard([&] { m_network.FindClose(handle); });

    size_t identity = 0;
    RecordFolder(walk.path, identity);
    if (junction) {
        QString name = walk.path.mid(walk.path.lastIndexOf(QLatin1Char('\\')) + 1).toCaseFolded();
        for (const FolderWalk::Junction& entered : walk.junctions) {
            if (entered.identity == identity && entered.name == name)
                return;
        }
        walk.junctions.push_back({std::move(name), identity});
    }
    auto leave = qScopeGuard([&] {
        if (junction)
            walk.junctions.pop_back();
    });

    do {
        if (!(found.attributes & kFileAttributeDirectory) || IsSkippedFolderName(found.fileName))
            continue;
        walk.path += QLatin1Char('\\');
        walk.path += found.fileName;
        WalkFolder(walk, level + 1, (found.attributes & kFileAttributeReparsePoint) != 0);
        walk.path.truncate(length);
    } while (m_network.FindNextFile(handle, found));
}

bool TDataDM::RecordFolder(const QString& path, size_t& identity)
{
    uint32_t needed = 0;
    m_network.GetFileSecurity(path, kDaclSecurityInformation, nullptr, 0, needed);
    if (needed == 0) {
        identity = GetOsLastError();
        SetLastErrorFromOS(true);
        return false;
    }
    QByteArray descriptor(qsizetype(needed), '\0');
    if (!m_network.GetFileSecurity(path, kDaclSecurityInformation, &descriptor, needed, needed)) {
        identity = GetOsLastError();
        SetLastErrorFromOS(true);
        return false;
    }
    identity = qHash(descriptor);

    data::TableDataset& t = *m_tbShareFolders;
    m_folderGuid = store::NewGuidText();
    t.Append();
    t.FieldByName(kGuid).SetAsString(m_folderGuid);
    t.FieldByName(kServerShareGuid).SetAsString(m_shareGuid);
    t.FieldByName(kFolderName).SetAsString(path);
    t.Post();
    StoreFolderPermissions(descriptor);
    return true;
}

} // namespace velmora::engine
