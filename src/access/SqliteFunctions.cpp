#include "access/SqliteFunctions.h"

#include "access/AccessFunctions.h"

#include <QHash>
#include <QSet>
#include <QVarLengthArray>
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <sqlite3.h>
#include <stdexcept>
#include <vector>

namespace velmora::access {

namespace {

constexpr int kFixedSidWidth = 47; // User2Group pads its SIDs with blanks to this width

// ---------------------------------------------------------------------------------------
// Statements on the connection's own handle.

class Stmt
{
public:
    Stmt(sqlite3* db, const char* sql)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(db));
    }
    ~Stmt() { sqlite3_finalize(m_stmt); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    void Bind(int index, const QByteArray& text)
    {
        sqlite3_bind_text(m_stmt, index, text.constData(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
    }
    void Bind(int index, int value) { sqlite3_bind_int(m_stmt, index, value); }
    // Starts over with new bindings.
    void Reset()
    {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }
    bool Step()
    {
        const int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        throw std::runtime_error(sqlite3_errmsg(sqlite3_db_handle(m_stmt)));
    }
    // Valid until the next step.
    QByteArray Text(int column) const
    {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, column));
        return QByteArray::fromRawData(text ? text : "", sqlite3_column_bytes(m_stmt, column));
    }
    QByteArray TextCopy(int column) const
    {
        const QByteArray t = Text(column);
        return QByteArray(t.constData(), t.size());
    }
    int Int(int column) const { return sqlite3_column_int(m_stmt, column); }
    bool IsNull(int column) const { return sqlite3_column_type(m_stmt, column) == SQLITE_NULL; }

private:
    sqlite3_stmt* m_stmt = nullptr;
};

// SIDs as the functions compare them: without surrounding blanks, upper-case.
QByteArray NormalSid(const QByteArray& text)
{
    QByteArray sid = text.trimmed();
    for (char& c : sid) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return sid;
}

// ---------------------------------------------------------------------------------------
// Permission entries and what a set of them grants.

struct Ace
{
    int resource = 0;
    bool deny = false;
    quint8 full = 0; // 1: carries 0x001F01FF, 2: carries 0x000F01FF (folder entries)
    quint32 mask = 0;
};

Ace ShareAce(int resource, int fullAccess, int changeAccess, int readAccess)
{
    Ace ace;
    ace.resource = resource;
    const int value = fullAccess != 0 ? fullAccess : changeAccess != 0 ? changeAccess : readAccess;
    ace.mask = fullAccess != 0     ? kShareFull
               : changeAccess != 0 ? kShareChange
               : readAccess != 0   ? kShareRead
                                   : 0;
    ace.deny = value == 2;
    return ace;
}

// `values` are the six right columns in table order, then FullControl.
Ace FolderAce(int resource, const int values[7])
{
    static const quint32 bits[6] = {0x1, 0x2, 0x4, 0x20, 0x40, 0x10000};
    Ace ace;
    ace.resource = resource;
    for (int i = 0; i < 6; ++i) {
        if (values[i] != 0)
            ace.mask |= bits[i];
        ace.deny = ace.deny || values[i] == 2;
    }
    if (values[6] == 1 || values[6] == 2) {
        ace.full = static_cast<quint8>(values[6]);
        ace.mask |= values[6] == 1 ? kFolderFull : kFolderFullNoSync;
    }
    return ace;
}

struct Sum
{
    quint32 allowed = 0;
    quint32 denied = 0;
    quint8 fullAllowed = 0; // bit 0: an allow entry with 0x001F01FF, bit 1: with 0x000F01FF
    bool touched = false;

    void Add(const Ace& ace)
    {
        touched = true;
        if (ace.deny) {
            denied |= ace.mask;
            return;
        }
        allowed |= ace.mask;
        if (ace.full != 0)
            fullAllowed |= static_cast<quint8>(ace.full);
    }
    quint32 Effective() const { return allowed & ~denied; }
};

quint32 ShareRights(const Sum& sum)
{
    const quint32 e = sum.Effective();
    return ((e & kShareFull) == kShareFull ? 1u : 0u) |
           ((e & kShareChange) == kShareChange ? 2u : 0u) |
           ((e & kShareRead) == kShareRead ? 4u : 0u);
}

// The folder's rights over the network: NTFS rights capped by the share rights.
quint32 FolderRights(const Sum& sum, quint32 shareRights)
{
    static const quint32 bits[6] = {0x1, 0x2, 0x4, 0x20, 0x40, 0x10000};
    const quint32 e = sum.Effective();
    quint32 rights = 0;
    for (int i = 0; i < 6; ++i) {
        if (e & bits[i])
            rights |= 1u << i;
    }
    if (((sum.fullAllowed & 1) && (e & kFolderFull) == kFolderFull) ||
        ((sum.fullAllowed & 2) && (e & kFolderFullNoSync) == kFolderFullNoSync))
        rights |= 1u << 6;
    if (shareRights & 1u)
        return rights;
    if (shareRights & 2u)
        return rights & 0x3Fu;
    if (shareRights & 4u)
        return rights & 0x9u; // ListDirectory and Traverse
    return 0;
}

// ---------------------------------------------------------------------------------------
// What one call reads and returns.

struct ShareInfo
{
    QByteArray guid;
    QByteArray server;
    QByteArray share;
};

struct FolderInfo
{
    QByteArray name;
    int share = -1;
};

struct OutRow
{
    int account = -1;
    int share = -1;
    int folder = -1;
    quint32 rights = 0;
};

struct Result
{
    std::vector<ShareInfo> shares;
    std::vector<FolderInfo> folders;
    std::vector<QByteArray> accounts;
    std::vector<OutRow> rows;
};

struct Account
{
    QByteArray sid;
    QByteArray name;
    QByteArray domain;
    bool isGroup = false;
};

struct TokenRights
{
    std::vector<std::pair<int, quint32>> shares;
    std::vector<std::pair<int, quint32>> folders;
};

class Computation
{
public:
    Computation(sqlite3* db, AccessFunction function) : m_db(db), m_function(function) {}

    void Run(const QByteArray args[4], Result& result);

private:
    // Shares of the domain, optionally of one server and one share.
    void LoadShares(const QByteArray& domain, const QByteArray& server, const QByteArray& share);
    // Every entry on the loaded shares (and their folders), grouped by SID.
    void LoadResourceEntries();
    // The groups the SID is a direct member of (read once per SID).
    const std::vector<QByteArray>& GroupsOf(const QByteArray& sid);
    std::vector<QByteArray> Token(const QByteArray& sid, bool groups, bool everyone,
                                  const QList<QByteArray>& excluded);
    std::vector<Account> DomainAccounts(const QByteArray& domain, bool groups);
    bool FindAccount(const QByteArray& sid, Account& account);

    // Rights of a token on the loaded resources, shared by every account whose token
    // meets the same entries.
    std::shared_ptr<const TokenRights> RightsOf(const std::vector<QByteArray>& token);
    void Emit(int account, const TokenRights& rights);

    void SingleAccount(const QByteArray& sid, const AccountLevel& level,
                       const QList<QByteArray>& excluded);
    void AllAccounts(const QByteArray& domain, bool groups, const AccountLevel& level,
                     const QList<QByteArray>& excluded);
    void ResourceSide(const QByteArray& domain, const ResourceLevel& level);
    int AddAccountName(const QByteArray& name);

    sqlite3* m_db;
    AccessFunction m_function;
    Result* m_result = nullptr;
    QHash<QByteArray, int> m_shareByGuid;
    // Entries of the loaded resources by SID.
    QHash<QByteArray, int> m_sidIndex;
    std::vector<std::vector<Ace>> m_shareAces;
    std::vector<std::vector<Ace>> m_folderAces;
    std::map<std::vector<int>, std::shared_ptr<const TokenRights>> m_cache;
    std::vector<Sum> m_shareSums;
    std::vector<Sum> m_folderSums;
    QHash<QByteArray, std::vector<QByteArray>> m_groups;
    std::unique_ptr<Stmt> m_groupsStmt;
};

int Computation::AddAccountName(const QByteArray& name)
{
    m_result->accounts.push_back(name);
    return static_cast<int>(m_result->accounts.size()) - 1;
}

void Computation::LoadShares(const QByteArray& domain, const QByteArray& server,
                             const QByteArray& share)
{
    Stmt q(m_db, "SELECT GUID, Server, Share FROM ServerShares s "
                 "WHERE EXISTS (SELECT 1 FROM Servers v "
                 "              WHERE v.Server = s.Server AND v.DomainName = ?1) "
                 "AND (?2 = '[ALL]' OR s.Server = ?2) AND (?3 = '[ALL]' OR s.Share = ?3)");
    q.Bind(1, domain);
    q.Bind(2, server);
    q.Bind(3, share);
    while (q.Step()) {
        if (q.IsNull(0))
            continue;
        const QByteArray guid = q.TextCopy(0);
        if (m_shareByGuid.contains(guid))
            continue;
        m_shareByGuid.insert(guid, static_cast<int>(m_result->shares.size()));
        m_result->shares.push_back({guid, q.TextCopy(1), q.TextCopy(2)});
    }
}

void Computation::LoadResourceEntries()
{
    auto sidSlot = [this](const QByteArray& rawSid) {
        const QByteArray sid = NormalSid(rawSid);
        auto it = m_sidIndex.constFind(sid);
        if (it != m_sidIndex.constEnd())
            return *it;
        const int index = static_cast<int>(m_shareAces.size());
        m_sidIndex.insert(sid, index);
        m_shareAces.emplace_back();
        m_folderAces.emplace_back();
        return index;
    };
    Stmt shareEntries(m_db, "SELECT UserGroupSID, FullAccess, ChangeAccess, ReadAccess "
                            "FROM ShareAccessList WHERE ServerShareGUID = ?1");
    for (size_t s = 0; s < m_result->shares.size(); ++s) {
        shareEntries.Reset();
        shareEntries.Bind(1, m_result->shares[s].guid);
        while (shareEntries.Step()) {
            if (shareEntries.IsNull(0))
                continue;
            m_shareAces[static_cast<size_t>(sidSlot(shareEntries.Text(0)))].push_back(
                ShareAce(static_cast<int>(s), shareEntries.Int(1), shareEntries.Int(2),
                         shareEntries.Int(3)));
        }
    }
    if (!IsFolderFunction(m_function))
        return;
    // Folders and their entries share by share; a folder's rows come together.
    Stmt folders(m_db, "SELECT f.GUID, f.FolderName, a.UserGroupSID, a.ListDirectory, "
                       "a.AddFile, a.AddSubdirectory, a.Traverse, a.DeleteChild, a._Delete, "
                       "a.FullControl "
                       "FROM sharefolders f LEFT JOIN folderaccesslist a ON a.FolderGUID = f.GUID "
                       "WHERE f.ServerShareGUID = ?1");
    QHash<QByteArray, int> folderByGuid;
    for (size_t s = 0; s < m_result->shares.size(); ++s) {
        folders.Reset();
        folders.Bind(1, m_result->shares[s].guid);
        QByteArray lastGuid;
        int folder = -1;
        while (folders.Step()) {
            const QByteArray guid = folders.Text(0);
            if (folder < 0 || guid != lastGuid) {
                lastGuid = folders.TextCopy(0);
                auto it = folderByGuid.constFind(lastGuid);
                if (it != folderByGuid.constEnd()) {
                    folder = *it;
                } else {
                    folder = static_cast<int>(m_result->folders.size());
                    folderByGuid.insert(lastGuid, folder);
                    m_result->folders.push_back({folders.TextCopy(1), static_cast<int>(s)});
                }
            }
            if (folders.IsNull(2))
                continue;
            int values[7];
            for (int i = 0; i < 7; ++i)
                values[i] = folders.Int(3 + i);
            m_folderAces[static_cast<size_t>(sidSlot(folders.Text(2)))].push_back(
                FolderAce(folder, values));
        }
    }
}

const std::vector<QByteArray>& Computation::GroupsOf(const QByteArray& sid)
{
    auto it = m_groups.find(sid);
    if (it != m_groups.end())
        return *it;
    if (!m_groupsStmt)
        m_groupsStmt = std::make_unique<Stmt>(
            m_db, "SELECT GroupSID FROM User2Group WHERE UserGroupSID IN (?1, ?2)");
    Stmt& q = *m_groupsStmt;
    q.Reset();
    q.Bind(1, sid);
    q.Bind(2, sid.size() < kFixedSidWidth ? sid.leftJustified(kFixedSidWidth, ' ') : sid);
    std::vector<QByteArray> groups;
    while (q.Step()) {
        if (!q.IsNull(0))
            groups.push_back(NormalSid(q.Text(0)));
    }
    return *m_groups.insert(sid, std::move(groups));
}

std::vector<QByteArray> Computation::Token(const QByteArray& sid, bool groups, bool everyone,
                                           const QList<QByteArray>& excluded)
{
    std::vector<QByteArray> token{NormalSid(sid)};
    if (groups) {
        QSet<QByteArray> seen{token.front()};
        for (size_t next = 0; next < token.size(); ++next) {
            const std::vector<QByteArray> direct = GroupsOf(token[next]);
            for (const QByteArray& group : direct) {
                if (excluded.contains(group) || seen.contains(group))
                    continue;
                seen.insert(group);
                token.push_back(group);
            }
        }
    }
    if (everyone)
        token.push_back(QByteArray(kEveryoneSid));
    return token;
}

std::vector<Account> Computation::DomainAccounts(const QByteArray& domain, bool groups)
{
    Stmt q(m_db, "SELECT SID, UserGroupName, DomainName FROM UserGroupList "
                 "WHERE DomainName = ?1 AND (CASE WHEN isGroup THEN 1 ELSE 0 END) = ?2");
    q.Bind(1, domain);
    q.Bind(2, groups ? 1 : 0);
    std::vector<Account> accounts;
    while (q.Step())
        accounts.push_back({NormalSid(q.Text(0)), q.TextCopy(1), q.TextCopy(2), groups});
    return accounts;
}

bool Computation::FindAccount(const QByteArray& sid, Account& account)
{
    Stmt q(m_db, "SELECT UserGroupName, DomainName, CASE WHEN isGroup THEN 1 ELSE 0 END "
                 "FROM UserGroupList WHERE SID = ?1");
    q.Bind(1, sid);
    if (!q.Step())
        return false;
    account = {sid, q.TextCopy(0), q.TextCopy(1), q.Int(2) != 0};
    return true;
}

std::shared_ptr<const TokenRights> Computation::RightsOf(const std::vector<QByteArray>& token)
{
    std::vector<int> key;
    for (const QByteArray& sid : token) {
        auto it = m_sidIndex.constFind(sid);
        if (it != m_sidIndex.constEnd())
            key.push_back(*it);
    }
    std::sort(key.begin(), key.end());
    key.erase(std::unique(key.begin(), key.end()), key.end());
    auto cached = m_cache.find(key);
    if (cached != m_cache.end())
        return cached->second;

    auto rights = std::make_shared<TokenRights>();
    m_shareSums.resize(m_result->shares.size());
    m_folderSums.resize(m_result->folders.size());
    std::vector<int> touchedShares;
    std::vector<int> touchedFolders;
    for (int sid : key) {
        for (const Ace& ace : m_shareAces[static_cast<size_t>(sid)]) {
            Sum& sum = m_shareSums[static_cast<size_t>(ace.resource)];
            if (!sum.touched)
                touchedShares.push_back(ace.resource);
            sum.Add(ace);
        }
        for (const Ace& ace : m_folderAces[static_cast<size_t>(sid)]) {
            Sum& sum = m_folderSums[static_cast<size_t>(ace.resource)];
            if (!sum.touched)
                touchedFolders.push_back(ace.resource);
            sum.Add(ace);
        }
    }
    std::sort(touchedShares.begin(), touchedShares.end());
    std::sort(touchedFolders.begin(), touchedFolders.end());
    if (IsFolderFunction(m_function)) {
        for (int f : touchedFolders) {
            const int share = m_result->folders[static_cast<size_t>(f)].share;
            const quint32 r = FolderRights(m_folderSums[static_cast<size_t>(f)],
                                           ShareRights(m_shareSums[static_cast<size_t>(share)]));
            if (r != 0)
                rights->folders.emplace_back(f, r);
        }
    } else {
        for (int s : touchedShares) {
            const quint32 r = ShareRights(m_shareSums[static_cast<size_t>(s)]);
            if (r != 0)
                rights->shares.emplace_back(s, r);
        }
    }
    for (int s : touchedShares)
        m_shareSums[static_cast<size_t>(s)] = Sum();
    for (int f : touchedFolders)
        m_folderSums[static_cast<size_t>(f)] = Sum();
    m_cache.emplace(std::move(key), rights);
    return rights;
}

void Computation::Emit(int account, const TokenRights& rights)
{
    for (const auto& [share, r] : rights.shares)
        m_result->rows.push_back({account, share, -1, r});
    for (const auto& [folder, r] : rights.folders)
        m_result->rows.push_back({account, m_result->folders[static_cast<size_t>(folder)].share,
                                  folder, r});
}

// One account: only the entries of its token are read (by SID), and only the folders of
// the shares it reaches.
void Computation::SingleAccount(const QByteArray& sid, const AccountLevel& level,
                                const QList<QByteArray>& excluded)
{
    const std::vector<QByteArray> token = Token(sid, level.groups, level.everyone, excluded);
    std::vector<Sum> shareSums(m_result->shares.size());
    {
        Stmt q(m_db, "SELECT ServerShareGUID, FullAccess, ChangeAccess, ReadAccess "
                     "FROM ShareAccessList WHERE UserGroupSID = ?1");
        for (const QByteArray& member : token) {
            q.Reset();
            q.Bind(1, member);
            while (q.Step()) {
                auto it = m_shareByGuid.constFind(q.Text(0));
                if (it != m_shareByGuid.constEnd())
                    shareSums[static_cast<size_t>(*it)].Add(
                        ShareAce(*it, q.Int(1), q.Int(2), q.Int(3)));
            }
        }
    }
    if (!IsFolderFunction(m_function)) {
        for (size_t s = 0; s < shareSums.size(); ++s) {
            const quint32 r = ShareRights(shareSums[s]);
            if (r != 0)
                m_result->rows.push_back({-1, static_cast<int>(s), -1, r});
        }
        return;
    }
    QHash<QByteArray, Sum> folderSums;
    {
        Stmt q(m_db, "SELECT FolderGUID, ListDirectory, AddFile, AddSubdirectory, Traverse, "
                     "DeleteChild, _Delete, FullControl FROM folderaccesslist "
                     "WHERE UserGroupSID = ?1");
        for (const QByteArray& member : token) {
            q.Reset();
            q.Bind(1, member);
            while (q.Step()) {
                int values[7];
                for (int i = 0; i < 7; ++i)
                    values[i] = q.Int(1 + i);
                folderSums[q.TextCopy(0)].Add(FolderAce(0, values));
            }
        }
    }
    if (folderSums.isEmpty())
        return;
    Stmt q(m_db, "SELECT GUID, FolderName FROM sharefolders WHERE ServerShareGUID = ?1");
    for (size_t s = 0; s < shareSums.size(); ++s) {
        const quint32 shareRights = ShareRights(shareSums[s]);
        if (shareRights == 0)
            continue;
        q.Reset();
        q.Bind(1, m_result->shares[s].guid);
        while (q.Step()) {
            auto it = folderSums.constFind(q.Text(0));
            if (it == folderSums.constEnd())
                continue;
            const quint32 r = FolderRights(*it, shareRights);
            if (r == 0)
                continue;
            const int folder = static_cast<int>(m_result->folders.size());
            m_result->folders.push_back({q.TextCopy(1), static_cast<int>(s)});
            m_result->rows.push_back({-1, static_cast<int>(s), folder, r});
        }
    }
}

void Computation::AllAccounts(const QByteArray& domain, bool groups, const AccountLevel& level,
                              const QList<QByteArray>& excluded)
{
    LoadResourceEntries();
    for (const Account& account : DomainAccounts(domain, groups)) {
        const auto rights =
            RightsOf(Token(account.sid, level.groups, level.everyone, excluded));
        if (!rights->shares.empty() || !rights->folders.empty())
            Emit(AddAccountName(account.name), *rights);
    }
}

void Computation::ResourceSide(const QByteArray& domain, const ResourceLevel& level)
{
    using Everyone = ResourceLevel::Everyone;
    LoadResourceEntries();
    const QByteArray everyone(kEveryoneSid);
    const bool everyoneForUsers = level.everyone == Everyone::Expand;
    auto emitFor = [this](const Account& account, const std::vector<QByteArray>& token) {
        const auto rights = RightsOf(token);
        if (!rights->shares.empty() || !rights->folders.empty())
            Emit(AddAccountName(account.domain + '\\' + account.name), *rights);
    };
    if (level.expandGroups) {
        for (const Account& user : DomainAccounts(domain, false))
            emitFor(user, Token(user.sid, true, everyoneForUsers, {}));
        Account account;
        if (level.everyone == Everyone::Show && FindAccount(everyone, account))
            emitFor(account, {everyone});
        return;
    }
    // Accounts named by an entry, each with its own entries (users of the domain with
    // Everyone's under X); then, under X, the domain's users that no entry names.
    QSet<QByteArray> done;
    std::vector<QByteArray> named(m_sidIndex.size());
    for (auto it = m_sidIndex.constBegin(); it != m_sidIndex.constEnd(); ++it)
        named[static_cast<size_t>(it.value())] = it.key();
    for (const QByteArray& sid : named) {
        if (sid == everyone && level.everyone != Everyone::Show)
            continue;
        Account account;
        if (!FindAccount(sid, account))
            continue;
        done.insert(sid);
        const bool userOfDomain =
            !account.isGroup &&
            QString::fromUtf8(account.domain).compare(QString::fromUtf8(domain),
                                                      Qt::CaseInsensitive) == 0;
        emitFor(account, Token(sid, false, everyoneForUsers && userOfDomain, {}));
    }
    if (everyoneForUsers) {
        for (const Account& user : DomainAccounts(domain, false)) {
            if (!done.contains(user.sid))
                emitFor(user, {user.sid, everyone});
        }
    }
}

QList<QByteArray> ExcludedSids(const QByteArray& text)
{
    QList<QByteArray> result;
    for (const QString& sid : ParseExcludedGroups(QString::fromUtf8(text)))
        result.append(sid.toUtf8());
    return result;
}

void Computation::Run(const QByteArray args[4], Result& result)
{
    m_result = &result;
    const QByteArray& domain = args[0];
    const QString levelText = QString::fromUtf8(args[3]);
    const QByteArray all(kAllMarker);
    if (IsResourceSide(m_function)) {
        ResourceLevel level;
        if (!ParseResourceLevel(levelText, level))
            throw std::runtime_error(BadLevelText(m_function, levelText).toStdString());
        LoadShares(domain, args[1], args[2]);
        ResourceSide(domain, level);
        return;
    }
    AccountLevel level;
    if (!ParseAccountLevel(levelText, level))
        throw std::runtime_error(BadLevelText(m_function, levelText).toStdString());
    const QList<QByteArray> excluded = level.groups ? ExcludedSids(args[2]) : QList<QByteArray>();
    LoadShares(domain, all, all);
    if (IsAllAccounts(m_function)) {
        AllAccounts(domain, ParseAllGroupsFlag(QString::fromUtf8(args[1])), level, excluded);
        return;
    }
    SingleAccount(args[1], level, excluded);
    if (m_function == AccessFunction::SharesForUser) {
        const auto& shares = result.shares;
        std::stable_sort(result.rows.begin(), result.rows.end(),
                         [&shares](const OutRow& a, const OutRow& b) {
                             const ShareInfo& x = shares[static_cast<size_t>(a.share)];
                             const ShareInfo& y = shares[static_cast<size_t>(b.share)];
                             const int byServer = QString::fromUtf8(x.server).compare(
                                 QString::fromUtf8(y.server), Qt::CaseInsensitive);
                             if (byServer != 0)
                                 return byServer < 0;
                             return QString::fromUtf8(x.share).compare(
                                        QString::fromUtf8(y.share), Qt::CaseInsensitive) < 0;
                         });
    }
}

// ---------------------------------------------------------------------------------------
// The virtual table modules.

enum class ColumnKind { Server, Share, FolderName, Account, Right };

struct FunctionTable
{
    sqlite3_vtab base;
    sqlite3* db;
    AccessFunction function;
    int resultColumns;
    int firstRight;
    ColumnKind kinds[16];
};

struct FunctionCursor
{
    sqlite3_vtab_cursor base;
    Result result;
    QByteArray args[4];
    size_t row = 0;
};

QByteArray QuotedName(const QString& name)
{
    return '"' + name.toUtf8() + '"';
}

int Connect(sqlite3* db, void* clientData, int, const char* const*, sqlite3_vtab** table,
            char**)
{
    const auto function = *static_cast<const AccessFunction*>(clientData);
    QByteArray declaration = "CREATE TABLE x(";
    const QStringList columns = ResultColumns(function);
    const int rightCount = IsFolderFunction(function) ? kFolderRightCount : kShareRightCount;
    const int firstRight = static_cast<int>(columns.size()) - rightCount;
    ColumnKind kinds[16];
    for (int i = 0; i < columns.size(); ++i) {
        const QString& column = columns[i];
        kinds[i] = i >= firstRight                             ? ColumnKind::Right
                   : column == QLatin1String("Server")         ? ColumnKind::Server
                   : column == QLatin1String("Share")          ? ColumnKind::Share
                   : column == QLatin1String("FolderName")     ? ColumnKind::FolderName
                                                               : ColumnKind::Account;
        declaration += QuotedName(column) +
                       (kinds[i] == ColumnKind::Right ? " INTEGER, " : " TEXT COLLATE NOCASE, ");
    }
    // Argument columns carry a prefix: "Server" and "Share" are result columns as well.
    const QStringList arguments = ArgumentNames(function);
    for (qsizetype i = 0; i < arguments.size(); ++i)
        declaration += QuotedName(QStringLiteral("arg ") + arguments[i]) + " HIDDEN" +
                       (i + 1 < arguments.size() ? ", " : ")");
    const int rc = sqlite3_declare_vtab(db, declaration.constData());
    if (rc != SQLITE_OK)
        return rc;
    sqlite3_vtab_config(db, SQLITE_VTAB_INNOCUOUS);
    auto* t = static_cast<FunctionTable*>(sqlite3_malloc(sizeof(FunctionTable)));
    if (!t)
        return SQLITE_NOMEM;
    memset(t, 0, sizeof(FunctionTable));
    t->db = db;
    t->function = function;
    t->resultColumns = static_cast<int>(columns.size());
    t->firstRight = firstRight;
    std::copy(kinds, kinds + columns.size(), t->kinds);
    *table = &t->base;
    return SQLITE_OK;
}

int Disconnect(sqlite3_vtab* table)
{
    sqlite3_free(table);
    return SQLITE_OK;
}

int BestIndex(sqlite3_vtab* vtab, sqlite3_index_info* info)
{
    const auto* table = reinterpret_cast<FunctionTable*>(vtab);
    int slot[4] = {-1, -1, -1, -1};
    for (int i = 0; i < info->nConstraint; ++i) {
        const auto& c = info->aConstraint[i];
        const int argument = c.iColumn - table->resultColumns;
        if (argument < 0 || argument > 3 || c.op != SQLITE_INDEX_CONSTRAINT_EQ)
            continue;
        if (!c.usable)
            return SQLITE_CONSTRAINT;
        slot[argument] = i;
    }
    int mask = 0;
    int next = 1;
    for (int a = 0; a < 4; ++a) {
        if (slot[a] < 0)
            continue;
        mask |= 1 << a;
        info->aConstraintUsage[slot[a]].argvIndex = next++;
        info->aConstraintUsage[slot[a]].omit = 1;
    }
    info->idxNum = mask;
    info->estimatedCost = mask == 0xF ? 1000.0 : 1e12;
    info->estimatedRows = 1000;
    return SQLITE_OK;
}

int Open(sqlite3_vtab*, sqlite3_vtab_cursor** cursor)
{
    auto* c = new (std::nothrow) FunctionCursor();
    if (!c)
        return SQLITE_NOMEM;
    *cursor = &c->base;
    return SQLITE_OK;
}

int Close(sqlite3_vtab_cursor* cursor)
{
    delete reinterpret_cast<FunctionCursor*>(cursor);
    return SQLITE_OK;
}

int SetError(sqlite3_vtab* vtab, const QString& message)
{
    sqlite3_free(vtab->zErrMsg);
    vtab->zErrMsg = sqlite3_mprintf("%s", message.toUtf8().constData());
    return SQLITE_ERROR;
}

int Filter(sqlite3_vtab_cursor* cursor, int idxNum, const char*, int argc, sqlite3_value** argv)
{
    auto* c = reinterpret_cast<FunctionCursor*>(cursor);
    auto* table = reinterpret_cast<FunctionTable*>(cursor->pVtab);
    c->result = Result();
    c->row = 0;
    if (idxNum != 0xF) {
        QStringList missing;
        const QStringList names = ArgumentNames(table->function);
        for (int a = 0; a < 4; ++a) {
            if (!(idxNum & (1 << a)))
                missing << names[a];
        }
        return SetError(cursor->pVtab, QStringLiteral("%1 needs its arguments %2; %3 missing")
                                           .arg(FunctionName(table->function),
                                                names.join(QStringLiteral(", ")),
                                                missing.join(QStringLiteral(", "))));
    }
    for (int a = 0; a < 4 && a < argc; ++a) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(argv[a]));
        c->args[a] = text ? QByteArray(text, sqlite3_value_bytes(argv[a])) : QByteArray();
    }
    try {
        Computation computation(table->db, table->function);
        computation.Run(c->args, c->result);
    } catch (const std::exception& e) {
        c->result = Result();
        return SetError(cursor->pVtab, QStringLiteral("%1: %2").arg(FunctionName(table->function),
                                                                   QString::fromUtf8(e.what())));
    }
    return SQLITE_OK;
}

int Next(sqlite3_vtab_cursor* cursor)
{
    ++reinterpret_cast<FunctionCursor*>(cursor)->row;
    return SQLITE_OK;
}

int Eof(sqlite3_vtab_cursor* cursor)
{
    const auto* c = reinterpret_cast<FunctionCursor*>(cursor);
    return c->row >= c->result.rows.size();
}

void ResultText(sqlite3_context* context, const QByteArray& text)
{
    sqlite3_result_text(context, text.constData(), static_cast<int>(text.size()),
                        SQLITE_TRANSIENT);
}

int Column(sqlite3_vtab_cursor* cursor, sqlite3_context* context, int column)
{
    const auto* c = reinterpret_cast<FunctionCursor*>(cursor);
    const auto* table = reinterpret_cast<FunctionTable*>(cursor->pVtab);
    if (column >= table->resultColumns) {
        ResultText(context, c->args[column - table->resultColumns]);
        return SQLITE_OK;
    }
    const OutRow& row = c->result.rows[c->row];
    const ShareInfo& share = c->result.shares[static_cast<size_t>(row.share)];
    switch (table->kinds[column]) {
    case ColumnKind::Right:
        sqlite3_result_int(context, static_cast<int>((row.rights >> (column - table->firstRight)) & 1u));
        break;
    case ColumnKind::Server:
        ResultText(context, share.server);
        break;
    case ColumnKind::Share:
        ResultText(context, share.share);
        break;
    case ColumnKind::FolderName:
        ResultText(context, c->result.folders[static_cast<size_t>(row.folder)].name);
        break;
    case ColumnKind::Account:
        ResultText(context, c->result.accounts[static_cast<size_t>(row.account)]);
        break;
    }
    return SQLITE_OK;
}

int RowId(sqlite3_vtab_cursor* cursor, sqlite3_int64* rowId)
{
    *rowId = static_cast<sqlite3_int64>(reinterpret_cast<FunctionCursor*>(cursor)->row);
    return SQLITE_OK;
}

sqlite3_module MakeModule()
{
    sqlite3_module m{};
    m.iVersion = 0;
    m.xCreate = nullptr; // eponymous only: callable by name, never created as a table
    m.xConnect = Connect;
    m.xBestIndex = BestIndex;
    m.xDisconnect = Disconnect;
    m.xDestroy = Disconnect;
    m.xOpen = Open;
    m.xClose = Close;
    m.xFilter = Filter;
    m.xNext = Next;
    m.xEof = Eof;
    m.xColumn = Column;
    m.xRowid = RowId;
    return m;
}

} // namespace

bool RegisterSqliteAccessFunctions(sqlite3* db, QString& error)
{
    static const sqlite3_module module = MakeModule();
    static const AccessFunction functions[] = {
        AccessFunction::SharesForUser,           AccessFunction::FoldersForUser,
        AccessFunction::SharesForAllUsersGroups, AccessFunction::FoldersForAllUsersGroups,
        AccessFunction::UsersToServerShare,      AccessFunction::UsersToServerShareFolders,
    };
    for (const AccessFunction& function : functions) {
        const QByteArray name = FunctionName(function).toUtf8();
        if (sqlite3_create_module_v2(db, name.constData(), &module,
                                     const_cast<AccessFunction*>(&function),
                                     nullptr) != SQLITE_OK) {
            error = QStringLiteral("Cannot register the access-rights function %1: %2")
                        .arg(QString::fromUtf8(name), QString::fromUtf8(sqlite3_errmsg(db)));
            return false;
        }
    }
    return true;
}

} // namespace velmora::access
