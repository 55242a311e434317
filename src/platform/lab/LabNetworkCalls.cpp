// The lab backend's share and account listings, account lookup, local security authority,
// file search and file security, registry reads and service status: everything a scan asks
// of a machine once it has been found. Each call counts itself under the machine it is
// aimed at and refuses the caller exactly where connections do (LabNetworkState.h: Reach).

#include "platform/Security.h"
#include "platform/lab/LabNetworkState.h"

#include <QSet>
#include <algorithm>

namespace velmora::platform::lab {

namespace {

QString Fold(const QString& text)
{
    return text.toCaseFolded();
}

bool IsController(const Machine& machine)
{
    return !machine.typeError && (machine.type & (kSvTypeDomainCtrl | kSvTypeDomainBakCtrl));
}

// Bytes a text takes in a 32-bit record's string area: UTF-16 with its NUL.
uint32_t Utf16Size(const QString& text)
{
    return 2 * (uint32_t(text.size()) + 1);
}

QByteArray SidBytes(const QString& text)
{
    return text.isEmpty() ? QByteArray() : SidFromText(text);
}

// The descriptor in binary self-relative form, with the parts `information` asks for.
QByteArray DescriptorBytes(const SecurityDescriptor& sd,
                           uint32_t information = kOwnerSecurityInformation |
                                                  kGroupSecurityInformation |
                                                  kDaclSecurityInformation)
{
    const QByteArray owner =
        (information & kOwnerSecurityInformation) ? SidBytes(sd.owner) : QByteArray();
    const QByteArray group =
        (information & kGroupSecurityInformation) ? SidBytes(sd.group) : QByteArray();
    if (!(information & kDaclSecurityInformation))
        return BuildSecurityDescriptor(owner, group, DaclKind::Absent);
    switch (sd.daclForm) {
    case DaclForm::Null:
        return BuildSecurityDescriptor(owner, group, DaclKind::Null);
    case DaclForm::Absent:
        return BuildSecurityDescriptor(owner, group, DaclKind::Absent);
    case DaclForm::List:
        break;
    }
    QList<AceSpec> entries;
    entries.reserve(qsizetype(sd.dacl.size()));
    for (const Ace& ace : sd.dacl)
        entries.append(AceSpec{ace.type, ace.flags, ace.mask,
                               ace.rawSid ? *ace.rawSid : SidFromText(ace.sid)});
    return BuildSecurityDescriptor(owner, group, DaclKind::List, entries);
}

// One page of a listing: entries [begin, end) of `sizes`. All in one piece for
// kMaxPreferredLength; otherwise as many as the preferred length holds, and at least one,
// so that a caller reading with a resume handle always gets on.
size_t PageEnd(const std::vector<uint32_t>& sizes, size_t begin, size_t limit,
               uint32_t preferredMaxLength)
{
    if (preferredMaxLength == kMaxPreferredLength)
        return limit;
    size_t end = begin;
    uint64_t used = 0;
    while (end < limit && (end == begin || used + sizes[end] <= preferredMaxLength)) {
        used += sizes[end];
        ++end;
    }
    return end;
}

// --- well-known accounts ------------------------------------------------------------------

struct WellKnownAccount
{
    const char* domain;
    const char* name;
    const char* alias; // the name the audit lists it under, when it differs
    const char* sid;
    uint32_t use;
};

// The accounts every machine resolves without the file listing them.
constexpr WellKnownAccount kWellKnown[] = {
    {"", "Everyone", nullptr, "S-1-1-0", kSidTypeWellKnownGroup},
    {"BUILTIN", "Administrators", nullptr, "S-1-5-32-544", kSidTypeAlias},
    {"BUILTIN", "Print Operators", nullptr, "S-1-5-32-550", kSidTypeAlias},
    {"BUILTIN", "Guests", nullptr, "S-1-5-32-546", kSidTypeAlias},
    {"BUILTIN", "Account Operators", nullptr, "S-1-5-32-548", kSidTypeAlias},
    {"BUILTIN", "Replicator", nullptr, "S-1-5-32-552", kSidTypeAlias},
    {"BUILTIN", "Server Operators", nullptr, "S-1-5-32-549", kSidTypeAlias},
    {"BUILTIN", "Backup Operators", nullptr, "S-1-5-32-551", kSidTypeAlias},
    {"NT AUTHORITY", "SYSTEM", "LocalSystem", "S-1-5-18", kSidTypeWellKnownGroup},
    {"NT AUTHORITY", "LOCAL SERVICE", "LocalService", "S-1-5-19", kSidTypeWellKnownGroup},
    {"NT AUTHORITY", "NETWORK SERVICE", "NetworkService", "S-1-5-20", kSidTypeWellKnownGroup},
};

constexpr char kBuiltinDomainSid[] = "S-1-5-32";

struct Resolved
{
    QString sid;
    QString domain;
    uint32_t use = kSidTypeUnknown;
};

uint32_t UseOf(AccountKind kind)
{
    switch (kind) {
    case AccountKind::User:
    case AccountKind::Trust:
        return kSidTypeUser;
    case AccountKind::Group:
        return kSidTypeGroup;
    case AccountKind::Alias:
        return kSidTypeAlias;
    case AccountKind::WellKnown:
        return kSidTypeWellKnownGroup;
    }
    return kSidTypeUnknown;
}

// Among the well-known accounts of `domain` (any of them for a null text).
std::optional<Resolved> FindWellKnown(const QString& name, const QString& domain)
{
    for (const WellKnownAccount& account : kWellKnown) {
        const QString accountDomain = QString::fromLatin1(account.domain);
        if (!domain.isNull() && !SameIdentity(domain, accountDomain))
            continue;
        if (SameIdentity(name, QString::fromLatin1(account.name)) ||
            (account.alias && SameIdentity(name, QString::fromLatin1(account.alias))))
            return Resolved{QString::fromLatin1(account.sid), accountDomain, account.use};
    }
    if (domain.isNull() && SameIdentity(name, QStringLiteral("BUILTIN")))
        return Resolved{QString::fromLatin1(kBuiltinDomainSid), QStringLiteral("BUILTIN"),
                        kSidTypeDomain};
    return std::nullopt;
}

// In a domain's account database. `fails` is set for an account whose lookup the file
// makes fail, which ends the search.
std::optional<Resolved> FindInDomain(const QString& name, const Domain& domain, bool& fails)
{
    for (const Account& account : domain.accounts) {
        if (!SameIdentity(account.name, name))
            continue;
        if (account.lookupFails) {
            fails = true;
            return std::nullopt;
        }
        return Resolved{account.sid, domain.name, UseOf(account.lookupKind.value_or(account.kind))};
    }
    if (!domain.sid.isEmpty() && SameIdentity(name, domain.name))
        return Resolved{domain.sid, domain.name, kSidTypeDomain};
    return std::nullopt;
}

// --- file search ------------------------------------------------------------------------

bool WildcardMatch(QStringView pattern, QStringView name)
{
    // Iterative match of '*' and '?', without regard to case.
    qsizetype p = 0, n = 0, star = -1, mark = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == QLatin1Char('?') ||
                                   pattern[p].toCaseFolded() == name[n].toCaseFolded())) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == QLatin1Char('*')) {
            star = p++;
            mark = n;
        } else if (star >= 0) {
            p = star + 1;
            n = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == QLatin1Char('*'))
        ++p;
    return p == pattern.size();
}

const Folder* ChildNamed(const Folder& folder, const QString& name)
{
    for (const Folder& child : folder.folders) {
        if (SameIdentity(child.name, name))
            return &child;
    }
    return nullptr;
}

// The folder a junction leads to (the folder itself when it is none); nullptr when the
// target is missing or junctions lead round in circles.
const Folder* Target(const Folder& root, const Folder* folder, int hops = 0)
{
    while (folder != nullptr && !folder->link.isEmpty()) {
        if (++hops > 32)
            return nullptr;
        const Folder* current = &root;
        for (const QString& part : folder->link.split(QLatin1Char('\\'), Qt::SkipEmptyParts)) {
            current = Target(root, current, hops);
            current = current != nullptr ? ChildNamed(*current, part) : nullptr;
            if (current == nullptr)
                return nullptr;
        }
        folder = current;
    }
    return folder;
}

const QString& DotName()
{
    static const QString name = QStringLiteral(".");
    return name;
}

const QString& DotDotName()
{
    static const QString name = QStringLiteral("..");
    return name;
}

// Remarks the platform gives its own special shares.
QString SpecialShareRemark(const QString& name)
{
    if (SameIdentity(name, QStringLiteral("IPC$")))
        return QStringLiteral("Remote IPC");
    if (SameIdentity(name, QStringLiteral("ADMIN$")))
        return QStringLiteral("Remote Admin");
    if (name.size() == 2 && name[0].isLetter() && name[1] == QLatin1Char('$'))
        return QStringLiteral("Default share");
    return QString();
}

struct NtStatusPair
{
    uint32_t status;
    uint32_t error;
};

constexpr NtStatusPair kNtStatuses[] = {
    {kStatusInvalidInfoClass, kErrorInvalidParameter},
    {kStatusInvalidHandle, kErrorInvalidHandle},
    {kStatusInvalidParameter, kErrorInvalidParameter},
    {kStatusAccessDenied, kErrorAccessDenied},
    {kStatusNoLogonServers, kErrorNoLogonServers},
    {kStatusLogonFailure, kErrorLogonFailure},
    {kStatusBadNetworkPath, kErrorBadNetPath},
    {kStatusBadNetworkName, kErrorBadNetName},
    {kStatusRpcServerUnavailable, kRpcServerUnavailable},
};

// The NT status for a refusal the other calls answer as an error code; a code without
// its own status reads as the server being unavailable.
uint32_t NtStatusFor(uint32_t error)
{
    if (error == kErrorInvalidParameter)
        return kStatusInvalidParameter;
    for (const NtStatusPair& pair : kNtStatuses) {
        if (pair.error == error)
            return pair.status;
    }
    return kStatusRpcServerUnavailable;
}

} // namespace

uint32_t LsaNtStatusToWinError(uint32_t status)
{
    if (status == 0)
        return kNoError;
    for (const NtStatusPair& pair : kNtStatuses) {
        if (pair.status == status)
            return pair.error;
    }
    return kErrorMrMidNotFound;
}

// --- reaching a machine -------------------------------------------------------------------

uint32_t LabNetwork::State::Reach(const QString& server, const Machine*& machine) const
{
    if (IsLocal(server)) {
        machine = model.FindMachine(model.local.computer);
        return kNoError;
    }
    machine = model.FindMachine(server);
    if (machine == nullptr)
        return kErrorBadNetPath;
    if (machine->connectError)
        return *machine->connectError;
    if (!Admits(*machine))
        return kErrorAccessDenied;
    return kNoError;
}

const Domain* LabNetwork::State::AccountDomainOf(const QString& server) const
{
    const Machine* machine = model.FindMachine(IsLocal(server) ? model.local.computer : server);
    if (machine != nullptr)
        return model.FindDomain(machine->domain);
    return IsLocal(server) ? model.FindDomain(model.local.primaryDomain.name) : nullptr;
}

// --- network management: shares and accounts ----------------------------------------------

uint32_t LabNetwork::State::NetShareEnum(const QString& server, uint32_t level, void** buffer,
                                         uint32_t preferredMaxLength, uint32_t& entriesRead,
                                         uint32_t& totalEntries, uint32_t* resumeHandle)
{
    std::lock_guard lock(mutex);
    Count(CountedName(server), "NetShareEnum");
    entriesRead = 0;
    totalEntries = 0;
    if (buffer == nullptr)
        return Failed(kErrorInvalidParameter);
    *buffer = nullptr;
    if (level != 0 && level != 1 && level != 2 && level != 502)
        return Failed(kErrorInvalidLevel);
    const Machine* machine = nullptr;
    if (const uint32_t status = Reach(server, machine))
        return Failed(status);
    if (machine != nullptr && machine->shareEnumError)
        return Failed(*machine->shareEnumError);

    static const std::vector<Share> kNoShares;
    const std::vector<Share>& shares = machine != nullptr ? machine->shares : kNoShares;
    std::vector<ShareInfo> all;
    std::vector<uint32_t> sizes;
    all.reserve(shares.size());
    for (const Share& share : shares) {
        ShareInfo info;
        info.netname = share.name;
        uint32_t size = 4 + Utf16Size(info.netname);
        if (level >= 1) {
            info.type = share.type;
            info.remark = SpecialShareRemark(share.name);
            size += 8 + Utf16Size(info.remark);
        }
        if (level >= 2) {
            const QString drive = share.name.left(1).toUpper();
            if (share.name.size() == 2 && share.name.endsWith(QLatin1Char('$')) &&
                machine->drives.contains(drive))
                info.path = drive + QStringLiteral(":\\");
            size += 20 + Utf16Size(info.path);
        }
        if (level == 502) {
            if (share.sd)
                info.securityDescriptor = DescriptorBytes(*share.sd);
            size += 8 + uint32_t(info.securityDescriptor.size());
        }
        all.push_back(std::move(info));
        sizes.push_back(size);
    }

    const size_t begin = resumeHandle != nullptr ? *resumeHandle : 0;
    if (begin > all.size())
        return Failed(kErrorInvalidParameter);
    const size_t end = PageEnd(sizes, begin, all.size(), preferredMaxLength);
    totalEntries = uint32_t(all.size() - begin);
    entriesRead = uint32_t(end - begin);
    const bool more = end < all.size();
    if (resumeHandle != nullptr)
        *resumeHandle = more ? uint32_t(end) : 0;
    if (entriesRead > 0) {
        auto page = std::make_shared<std::vector<ShareInfo>>(all.begin() + qsizetype(begin),
                                                             all.begin() + qsizetype(end));
        *buffer = HandOut(page, page->data());
    }
    return more ? Failed(kErrorMoreData) : kNoError;
}

uint32_t LabNetwork::State::NetUserEnum(const QString& server, uint32_t level, uint32_t filter,
                                        void** buffer, uint32_t preferredMaxLength,
                                        uint32_t& entriesRead, uint32_t& totalEntries,
                                        uint32_t* resumeHandle)
{
    std::lock_guard lock(mutex);
    Count(CountedName(server), "NetUserEnum");
    entriesRead = 0;
    totalEntries = 0;
    if (buffer == nullptr)
        return Failed(kErrorInvalidParameter);
    *buffer = nullptr;
    if (level != 0)
        return Failed(kErrorInvalidLevel);
    constexpr uint32_t kKnownFilters = kFilterTempDuplicateAccount | kFilterNormalAccount |
                                       kFilterInterdomainTrustAccount |
                                       kFilterWorkstationTrustAccount | kFilterServerTrustAccount;
    if (filter & ~kKnownFilters)
        return Failed(kErrorInvalidParameter);
    const Machine* machine = nullptr;
    if (const uint32_t status = Reach(server, machine))
        return Failed(status);

    // Controllers answer from their domain's database. Member servers and workstations
    // have only local accounts, which lab files do not describe; and no file describes
    // machine trust accounts, so those filters list nothing.
    std::vector<UserInfo0> all;
    std::vector<uint32_t> sizes;
    const Domain* domain =
        machine != nullptr && IsController(*machine) ? model.FindDomain(machine->domain) : nullptr;
    if (domain != nullptr) {
        const bool normal = filter == 0 || (filter & kFilterNormalAccount);
        const bool trust = filter == 0 || (filter & kFilterInterdomainTrustAccount);
        for (const Account& account : domain->accounts) {
            if ((account.kind == AccountKind::User && normal) ||
                (account.kind == AccountKind::Trust && trust)) {
                all.push_back(UserInfo0{account.name});
                sizes.push_back(4 + Utf16Size(account.name));
            }
        }
    }

    // Plain values rather than the optional: gcc's optimiser cannot see that the failure
    // code below is only read when the limit applies.
    size_t available = all.size();
    uint32_t failCode = 0;
    if (machine != nullptr && machine->userEnumErrorAfter &&
        machine->userEnumErrorAfter->count < available) {
        available = machine->userEnumErrorAfter->count;
        failCode = machine->userEnumErrorAfter->code;
    }
    const size_t begin = resumeHandle != nullptr ? *resumeHandle : 0;
    if (begin > 0 && begin >= all.size())
        return Failed(kErrorHandleEof); // resumed past the end of the list
    if (begin >= available && available < all.size())
        return Failed(failCode);
    const size_t end = PageEnd(sizes, begin, available, preferredMaxLength);
    totalEntries = uint32_t(all.size() - begin);
    entriesRead = uint32_t(end - begin);
    const bool more = end < all.size();
    if (resumeHandle != nullptr)
        *resumeHandle = more ? uint32_t(end) : 0;
    if (entriesRead > 0) {
        auto page = std::make_shared<std::vector<UserInfo0>>(all.begin() + qsizetype(begin),
                                                             all.begin() + qsizetype(end));
        *buffer = HandOut(page, page->data());
    }
    return more ? Failed(kErrorMoreData) : kNoError;
}

uint32_t LabNetwork::State::NetUserGetGroups(const QString& server, const QString& userName,
                                             uint32_t level, void** buffer,
                                             uint32_t preferredMaxLength, uint32_t& entriesRead,
                                             uint32_t& totalEntries)
{
    std::lock_guard lock(mutex);
    Count(CountedName(server), "NetUserGetGroups");
    entriesRead = 0;
    totalEntries = 0;
    if (buffer == nullptr)
        return Failed(kErrorInvalidParameter);
    *buffer = nullptr;
    if (level != 0)
        return Failed(kErrorInvalidLevel);
    const Machine* machine = nullptr;
    if (const uint32_t status = Reach(server, machine))
        return Failed(status);
    const Domain* domain =
        machine != nullptr && IsController(*machine) ? model.FindDomain(machine->domain) : nullptr;
    const Account* user = nullptr;
    if (domain != nullptr) {
        for (const Account& account : domain->accounts) {
            if ((account.kind == AccountKind::User || account.kind == AccountKind::Trust) &&
                SameIdentity(account.name, userName)) {
                user = &account;
                break;
            }
        }
    }
    if (user == nullptr)
        return Failed(kNerrUserNotFound);

    // One piece: as many groups as the preferred length holds (possibly none), 234 when
    // that is not all of them. There is no resume position.
    auto groups = std::make_shared<std::vector<GroupUsersInfo0>>();
    uint64_t used = 0;
    for (const QString& group : user->groups) {
        const uint32_t size = 4 + Utf16Size(group);
        if (preferredMaxLength != kMaxPreferredLength && used + size > preferredMaxLength)
            break;
        used += size;
        groups->push_back(GroupUsersInfo0{group});
    }
    totalEntries = uint32_t(user->groups.size());
    entriesRead = uint32_t(groups->size());
    if (!groups->empty())
        *buffer = HandOut(groups, groups->data());
    return entriesRead < totalEntries ? Failed(kErrorMoreData) : kNoError;
}

// --- local security authority -------------------------------------------------------------

uint32_t LabNetwork::State::LsaOpenPolicy(const QString& systemName, uint32_t /*desiredAccess*/,
                                          LsaHandle& handle)
{
    std::lock_guard lock(mutex);
    Count(CountedName(systemName), "LsaOpenPolicy");
    handle = 0;
    LsaPolicy policy;
    if (IsLocal(systemName)) {
        policy.primaryDomain = model.local.primaryDomain;
    } else {
        const Machine* machine = nullptr;
        if (const uint32_t status = Reach(systemName, machine))
            return status == kErrorBadNetPath ? uint32_t(kStatusRpcServerUnavailable)
                                              : NtStatusFor(status);
        policy.machineKey = Key(machine->name);
        policy.primaryDomain = machine->primaryDomain;
    }
    handle = nextLsaHandle++;
    lsaHandles.emplace(handle, std::move(policy));
    return kNoError;
}

uint32_t LabNetwork::State::LsaQueryInformationPolicy(LsaHandle handle, uint32_t informationClass,
                                                      void** buffer)
{
    std::lock_guard lock(mutex);
    const auto it = lsaHandles.find(handle);
    Count(it != lsaHandles.end() && !it->second.machineKey.isEmpty() ? it->second.machineKey
                                                                     : model.local.computer,
          "LsaQueryInformationPolicy");
    if (buffer == nullptr)
        return kStatusInvalidParameter;
    *buffer = nullptr;
    if (it == lsaHandles.end())
        return kStatusInvalidHandle;
    if (informationClass != kPolicyPrimaryDomainInformation)
        return kStatusInvalidInfoClass;
    auto info = std::make_shared<PolicyPrimaryDomainInfo>();
    info->name = it->second.primaryDomain.name;
    info->sid = SidBytes(it->second.primaryDomain.sid);
    *buffer = info.get();
    lsaBuffers.emplace(info.get(), info);
    return kNoError;
}

uint32_t LabNetwork::State::LsaFreeMemory(void* buffer)
{
    std::lock_guard lock(mutex);
    if (buffer == nullptr)
        return kNoError;
    return lsaBuffers.erase(buffer) == 0 ? uint32_t(kStatusInvalidParameter) : uint32_t(kNoError);
}

uint32_t LabNetwork::State::LsaClose(LsaHandle handle)
{
    std::lock_guard lock(mutex);
    return lsaHandles.erase(handle) == 0 ? uint32_t(kStatusInvalidHandle) : uint32_t(kNoError);
}

// --- account lookup -------------------------------------------------------------------------

bool LabNetwork::LookupAccountName(const QString& system, const QString& accountName,
                                   QByteArray* sid, uint32_t& sidSize, QString& domain,
                                   uint32_t& domainChars, uint32_t& use)
{
    State& state = *m_state;
    std::lock_guard lock(state.mutex);
    const LabModel& model = state.model;
    state.Count(state.CountedName(system), "LookupAccountName");
    const Machine* machine = nullptr;
    if (const uint32_t status = state.Reach(system, machine)) {
        // The lookup travels over the authority's remote procedure calls: a name that answers
        // nothing is an unavailable server there.
        Failed(status == kErrorBadNetPath ? uint32_t(kRpcServerUnavailable) : status);
        return false;
    }
    const QString domainName = machine != nullptr      ? machine->domain
                               : state.IsLocal(system) ? model.local.primaryDomain.name
                                                       : QString();
    const Domain* accounts = model.FindDomain(domainName);

    std::optional<Resolved> found;
    bool fails = false;
    const qsizetype slash = accountName.indexOf(QLatin1Char('\\'));
    if (slash < 0) {
        if (accounts != nullptr)
            found = FindInDomain(accountName, *accounts, fails);
        if (!found && !fails)
            found = FindWellKnown(accountName, QString());
    } else {
        const QString qualifier = accountName.left(slash);
        const QString name = accountName.mid(slash + 1);
        const Machine* named = model.FindMachine(qualifier);
        const bool domainQualifier =
            SameIdentity(qualifier, domainName) ||
            (named != nullptr && IsController(*named) && SameIdentity(named->domain, domainName));
        if (domainQualifier && accounts != nullptr)
            found = FindInDomain(name, *accounts, fails);
        else if (SameIdentity(qualifier, QStringLiteral("BUILTIN")) ||
                 SameIdentity(qualifier, QStringLiteral("NT AUTHORITY")))
            found = FindWellKnown(name, qualifier.toUpper());
    }
    if (!found || fails) {
        Failed(kErrorNoneMapped);
        return false;
    }

    const QByteArray bytes = SidFromText(found->sid);
    const uint32_t neededSid = uint32_t(bytes.size());
    const uint32_t neededChars = uint32_t(found->domain.size()) + 1;
    if (sid == nullptr || sidSize < neededSid || domainChars < neededChars) {
        sidSize = neededSid;
        domainChars = neededChars;
        Failed(kErrorInsufficientBuffer);
        return false;
    }
    *sid = bytes;
    sidSize = neededSid;
    domain = found->domain;
    domainChars = uint32_t(found->domain.size());
    use = found->use;
    return true;
}

// --- files ----------------------------------------------------------------------------------

namespace {

// Splits "\\SRV\SHARE\A\B" or "C:\A\B" into where the tree is and the folder names below it.
struct ParsedPath
{
    bool unc = false;
    QString server; // unc
    QString share;  // unc
    QString drive;  // local path: the letter
    QStringList parts;
};

bool ParsePath(const QString& path, ParsedPath& parsed)
{
    if (path.startsWith(QStringLiteral("\\\\"))) {
        const QStringList parts = path.mid(2).split(QLatin1Char('\\'));
        parsed.unc = true;
        parsed.server = parts.value(0);
        parsed.share = parts.value(1);
        for (qsizetype i = 2; i < parts.size(); ++i) {
            if (!parts[i].isEmpty())
                parsed.parts.append(parts[i]);
        }
        return !parsed.server.isEmpty();
    }
    if (path.size() >= 2 && path[0].isLetter() && path[1] == QLatin1Char(':')) {
        parsed.drive = path.left(1).toUpper();
        parsed.parts = path.mid(2).split(QLatin1Char('\\'), Qt::SkipEmptyParts);
        return true;
    }
    return false;
}

} // namespace

// Finds the folder a path names (not following a junction at its end); 0 or the error code
// the file calls answer (2 for a missing last name, 3 for a missing folder on the way).
static uint32_t Locate(const LabNetwork::State& state, const QString& path, FolderPlace& place)
{
    ParsedPath parsed;
    if (!ParsePath(path, parsed))
        return kErrorInvalidName;
    const LabModel& model = state.model;
    if (parsed.unc) {
        const Machine* machine = nullptr;
        if (const uint32_t status = state.Reach(parsed.server, machine))
            return status;
        place.machineKey = Key(state.CountedName(parsed.server));
        if (parsed.share.isEmpty())
            return kErrorBadNetName;
        const bool driveShare = parsed.share.size() == 2 && parsed.share[0].isLetter() &&
                                parsed.share[1] == QLatin1Char('$');
        const QMap<QString, Folder>& drives =
            machine != nullptr ? machine->drives : model.local.files;
        if (driveShare && drives.contains(parsed.share.left(1).toUpper())) {
            place.root = &*drives.constFind(parsed.share.left(1).toUpper());
            place.driveRoot = true;
        } else if (machine != nullptr) {
            const Share* share = nullptr;
            for (const Share& candidate : machine->shares) {
                if (SameIdentity(candidate.name, parsed.share))
                    share = &candidate;
            }
            if (share == nullptr)
                return kErrorBadNetName;
            if (!share->root) {
                // Printer, device and IPC shares hold no files; a disk share without a root
                // in the file has nothing that can be reached.
                return (share->type & 0xFF) == kStypeDisktree ? uint32_t(kErrorPathNotFound)
                                                              : uint32_t(kErrorBadDevType);
            }
            place.root = &*share->root;
        } else {
            return kErrorBadNetName;
        }
    } else {
        place.machineKey = Key(model.local.computer);
        const auto it = model.local.files.constFind(parsed.drive);
        if (it == model.local.files.constEnd())
            return kErrorPathNotFound;
        place.root = &*it;
        place.driveRoot = true;
    }

    const Folder* current = place.root;
    for (qsizetype i = 0; i < parsed.parts.size(); ++i) {
        const bool last = i + 1 == parsed.parts.size();
        const Folder* listed = Target(*place.root, current);
        if (listed == nullptr)
            return kErrorPathNotFound;
        const Folder* child = ChildNamed(*listed, parsed.parts[i]);
        if (child == nullptr) {
            if (last && listed->files.contains(parsed.parts[i], Qt::CaseInsensitive)) {
                place.folder = listed;
                place.isFile = true;
                return kNoError;
            }
            return last ? kErrorFileNotFound : kErrorPathNotFound;
        }
        current = child;
    }
    place.folder = current;
    place.driveRoot = place.driveRoot && parsed.parts.isEmpty();
    return kNoError;
}

bool LabNetwork::FindFirstFile(const QString& pattern, FindHandle& handle, FindData& data)
{
    State& state = *m_state;
    std::lock_guard lock(state.mutex);
    handle = 0;
    data = FindData{};
    ParsedPath parsed;
    ParsePath(pattern, parsed);
    state.Count(parsed.unc ? state.CountedName(parsed.server) : state.model.local.computer,
                "FindFirstFile");
    const qsizetype slash = pattern.lastIndexOf(QLatin1Char('\\'));
    if (slash < 0) {
        Failed(kErrorInvalidName);
        return false;
    }
    QString mask = pattern.mid(slash + 1);
    if (mask == QStringLiteral("*.*"))
        mask = QStringLiteral("*");
    FolderPlace place;
    if (uint32_t status = Locate(state, pattern.left(slash), place)) {
        Failed(status == kErrorFileNotFound ? uint32_t(kErrorPathNotFound) : status);
        return false;
    }
    if (place.isFile) {
        Failed(kErrorPathNotFound);
        return false;
    }
    if (place.folder->listError) {
        Failed(*place.folder->listError);
        return false;
    }
    const Folder* listed = Target(*place.root, place.folder);
    if (listed == nullptr) {
        Failed(kErrorPathNotFound);
        return false;
    }
    if (listed->listError) {
        Failed(*listed->listError);
        return false;
    }

    Search search;
    search.machineKey = place.machineKey;
    const auto add = [&](uint32_t attributes, const QString& name) {
        if (WildcardMatch(mask, name))
            search.entries.push_back(FindData{attributes, name});
    };
    // A drive's root has no "." and ".."; every other folder lists them first.
    if (!place.driveRoot) {
        add(place.folder->attributes, DotName());
        add(kFileAttributeDirectory, DotDotName());
    }
    // A junction is a folder that is a reparse point, whether or not the file says so.
    for (const Folder& folder : listed->folders)
        add(folder.link.isEmpty() ? folder.attributes : folder.attributes | kFileAttributeReparsePoint,
            folder.name);
    for (const QString& file : listed->files)
        add(kFileAttributeArchive, file);
    // A search that matches nothing fails as the platform's does: file not found.
    if (search.entries.empty()) {
        Failed(kErrorFileNotFound);
        return false;
    }
    data = search.entries.front();
    search.next = 1;
    handle = state.nextFindHandle++;
    state.searches.emplace(handle, std::move(search));
    return true;
}

bool LabNetwork::FindNextFile(FindHandle handle, FindData& data)
{
    State& state = *m_state;
    std::lock_guard lock(state.mutex);
    const auto it = state.searches.find(handle);
    if (it == state.searches.end()) {
        Failed(kErrorInvalidHandle);
        return false;
    }
    Search& search = it->second;
    ++state.callCounts[search.machineKey][QStringLiteral("FindNextFile")];
    if (search.next >= search.entries.size()) {
        Failed(kErrorNoMoreFiles);
        return false;
    }
    data = search.entries[search.next++];
    return true;
}

bool LabNetwork::FindClose(FindHandle handle)
{
    std::lock_guard lock(m_state->mutex);
    if (m_state->searches.erase(handle) == 0) {
        Failed(kErrorInvalidHandle);
        return false;
    }
    return true;
}

bool LabNetwork::GetFileSecurity(const QString& path, uint32_t requestedInformation,
                                 QByteArray* descriptor, uint32_t bufferSize, uint32_t& needed)
{
    State& state = *m_state;
    std::lock_guard lock(state.mutex);
    needed = 0;
    ParsedPath parsed;
    ParsePath(path, parsed);
    state.Count(parsed.unc ? state.CountedName(parsed.server) : state.model.local.computer,
                "GetFileSecurity");
    FolderPlace place;
    if (const uint32_t status = Locate(state, path, place)) {
        Failed(status);
        return false;
    }
    QByteArray bytes;
    if (place.isFile) {
        // Files carry no descriptor of their own in a lab file: the folder default.
        SecurityDescriptor sd;
        sd.owner = QString::fromLatin1(kAdministratorsSid);
        bytes = DescriptorBytes(sd, requestedInformation);
    } else if (place.folder->sdError) {
        Failed(*place.folder->sdError);
        return false;
    } else {
        bytes = DescriptorBytes(place.folder->sd, requestedInformation);
    }
    needed = uint32_t(bytes.size());
    if (descriptor == nullptr || bufferSize < needed) {
        Failed(kErrorInsufficientBuffer);
        return false;
    }
    *descriptor = bytes;
    return true;
}

// --- registry reads ---------------------------------------------------------------------

namespace {

using Hive = QMap<QString, QMap<QString, RegValue>>;

QString JoinKey(const QString& path, const QString& subKey)
{
    QString tail = subKey;
    while (tail.startsWith(QLatin1Char('\\')))
        tail.remove(0, 1);
    while (tail.endsWith(QLatin1Char('\\')))
        tail.chop(1);
    if (path.isEmpty())
        return tail;
    return tail.isEmpty() ? path : path + QLatin1Char('\\') + tail;
}

// A key exists when the file lists it or a key below it.
bool KeyExists(const Hive& hive, const QString& path)
{
    if (path.isEmpty())
        return true;
    const QString folded = Fold(path);
    const QString prefix = folded + QLatin1Char('\\');
    for (auto it = hive.constBegin(); it != hive.constEnd(); ++it) {
        const QString key = Fold(it.key());
        if (key == folded || key.startsWith(prefix))
            return true;
    }
    return false;
}

const QMap<QString, RegValue>* ValuesOf(const Hive& hive, const QString& path)
{
    const QString folded = Fold(path);
    for (auto it = hive.constBegin(); it != hive.constEnd(); ++it) {
        if (Fold(it.key()) == folded)
            return &it.value();
    }
    return nullptr;
}

QStringList SubKeysOf(const Hive& hive, const QString& path)
{
    const QString prefix = path.isEmpty() ? QString() : Fold(path) + QLatin1Char('\\');
    QStringList names;
    QSet<QString> seen;
    for (auto it = hive.constBegin(); it != hive.constEnd(); ++it) {
        const QString key = it.key();
        if (!Fold(key).startsWith(prefix) || key.size() == prefix.size())
            continue;
        const QString child = key.mid(prefix.size()).section(QLatin1Char('\\'), 0, 0);
        if (!child.isEmpty() && !seen.contains(Fold(child))) {
            seen.insert(Fold(child));
            names.append(child);
        }
    }
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        return a.compare(b, Qt::CaseInsensitive) < 0;
    });
    return names;
}

QByteArray ValueBytes(const RegValue& value, uint32_t& type)
{
    QByteArray bytes;
    switch (value.kind) {
    case RegValueKind::Sz:
    case RegValueKind::ExpandSz: {
        type = value.kind == RegValueKind::Sz ? kRegSz : kRegExpandSz;
        for (const QChar ch : value.text) {
            bytes.append(char(ch.unicode() & 0xFF));
            bytes.append(char(ch.unicode() >> 8));
        }
        bytes.append(2, '\0');
        break;
    }
    case RegValueKind::Dword:
        type = kRegDword;
        for (int i = 0; i < 4; ++i)
            bytes.append(char((value.dword >> (8 * i)) & 0xFF));
        break;
    case RegValueKind::Binary:
        type = kRegBinary;
        bytes = value.binary;
        break;
    }
    return bytes;
}

// The open key behind a handle, the local predefined keys included; false for a handle
// that is not open.
bool OpenKeyOf(const LabNetwork::State& state, RegKey key, OpenKey& open)
{
    if (key == kHKeyLocalMachine || key == kHKeyUsers) {
        open = OpenKey{QString(),
                       key == kHKeyLocalMachine ? QStringLiteral("HKLM") : QStringLiteral("HKU"),
                       QString()};
        return true;
    }
    const auto it = state.registryKeys.find(key);
    if (it == state.registryKeys.end())
        return false;
    open = it->second;
    return true;
}

// OpenKeyOf for a call on the key, counted under the key's machine (the local computer for
// its predefined keys).
bool UseOpenKey(LabNetwork::State& state, RegKey key, OpenKey& open, const char* call)
{
    if (!OpenKeyOf(state, key, open))
        return false;
    ++state.callCounts[open.machineKey.isEmpty() ? Key(state.model.local.computer)
                                                 : open.machineKey][QString::fromLatin1(call)];
    return true;
}

const Hive& HiveOf(const LabNetwork::State& state, const OpenKey& open)
{
    static const Hive kEmpty;
    const Machine* machine =
        open.machineKey.isEmpty() ? nullptr : state.model.FindMachine(open.machineKey);
    const Registry& registry = machine != nullptr ? machine->registry : state.model.local.registry;
    const auto it = registry.hives.constFind(open.hive);
    return it != registry.hives.constEnd() ? *it : kEmpty;
}

} // namespace

uint32_t LabNetwork::RegOpenKeyEx(RegKey key, const QString& subKey, uint32_t /*access*/,
                                  RegKey& result)
{
    State& state = *m_state;
    std::lock_guard lock(state.mutex);
    result = 0;
    OpenKey open;
    if (!UseOpenKey(state, key, open, "RegOpenKeyEx"))
        return Failed(kErrorInvalidHandle);
    const QString path = JoinKey(open.path, subKey);
    if (!KeyExists(HiveOf(state, open), path))
        return Failed(kErrorFileNotFound);
    result = state.nextRegistryKey++;
    state.registryKeys.emplace(result, OpenKey{open.machineKey, open.hive, path});
    return kNoError;
}

uint32_t LabNetwork::RegQueryValueEx(RegKey key, const QString& valueName, uint32_t& type,
                                     QByteArray* data, uint32_t& size)
{
    State& state = *m_state;
    std::lock_guard lock(state.mutex);
    OpenKey open;
    if (!UseOpenKey(state, key, open, "RegQueryValueEx"))
        return Failed(kErrorInvalidHandle);
    const QMap<QString, RegValue>* values = ValuesOf(HiveOf(state, open), open.path);
    const RegValue* value = nullptr;
    if (values != nullptr) {
        for (auto it = values->constBegin(); it != values->constEnd() && !value; ++it) {
            if (SameIdentity(it.key(), valueName))
                value = &it.value();
        }
    }
    if (value == nullptr)
        return Failed(kErrorFileNotFound);
    const QByteArray bytes = ValueBytes(*value, type);
    const uint32_t needed = uint32_t(bytes.size());
    if (data == nullptr) {
        size = needed;
        return kNoError;
    }
    if (size < needed) {
        size = needed;
        return Failed(kErrorMoreData);
    }
    *data = bytes;
    size = needed;
    return kNoError;
}

uint32_t LabNetwork::RegEnumValue(RegKey key, uint32_t index, QString& valueName)
{
    State& state = *m_state;
    std::lock_guard lock(state.mutex);
    OpenKey open;
    if (!UseOpenKey(state, key, open, "RegEnumValue"))
        return Failed(kErrorInvalidHandle);
    const QMap<QString, RegValue>* values = ValuesOf(HiveOf(state, open), open.path);
    if (values == nullptr || index >= uint32_t(values->size()))
        return Failed(kErrorNoMoreItems);
    valueName = std::next(values->constBegin(), index).key();
    return kNoError;
}

uint32_t LabNetwork::RegEnumKeyEx(RegKey key, uint32_t index, QString& keyName)
{
    State& state = *m_state;
    std::lock_guard lock(state.mutex);
    OpenKey open;
    if (!UseOpenKey(state, key, open, "RegEnumKeyEx"))
        return Failed(kErrorInvalidHandle);
    const QStringList names = SubKeysOf(HiveOf(state, open), open.path);
    if (index >= uint32_t(names.size()))
        return Failed(kErrorNoMoreItems);
    keyName = names[index];
    return kNoError;
}

// --- services ---------------------------------------------------------------------------------

uint32_t LabNetwork::QueryServiceStatus(const QString& machineName, const QString& serviceName,
                                        uint32_t& currentState)
{
    State& state = *m_state;
    std::lock_guard lock(state.mutex);
    state.Count(state.CountedName(machineName), "QueryServiceStatus");
    currentState = 0;
    const Machine* machine = nullptr;
    if (const uint32_t status = state.Reach(machineName, machine))
        return Failed(status);
    if (machine != nullptr) {
        for (auto it = machine->services.constBegin(); it != machine->services.constEnd(); ++it) {
            if (SameIdentity(it.key(), serviceName)) {
                currentState = it.value() ? kServiceRunning : kServiceStopped;
                return kNoError;
            }
        }
    }
    return Failed(kErrorServiceDoesNotExist);
}

// --- what the program still holds -------------------------------------------------------------

int LabNetwork::OutstandingLsaBuffers() const
{
    std::lock_guard lock(m_state->mutex);
    return int(m_state->lsaBuffers.size());
}

int LabNetwork::OpenLsaHandles() const
{
    std::lock_guard lock(m_state->mutex);
    return int(m_state->lsaHandles.size());
}

int LabNetwork::OpenSearches() const
{
    std::lock_guard lock(m_state->mutex);
    return int(m_state->searches.size());
}

} // namespace velmora::platform::lab
