#include "access/Reference.h"

#include "data/Dataset.h"

#include <QHash>
#include <QSet>
#include <algorithm>

namespace velmora::access {

namespace {

// Rights bits in column order.
constexpr quint32 kFullControlBit = 1u << 0;
constexpr quint32 kChangeBit = 1u << 1;
constexpr quint32 kReadBit = 1u << 2;
constexpr quint32 kSixFolderBits = 0x3F;
constexpr quint32 kListDirectoryBit = 1u << 0;
constexpr quint32 kTraverseBit = 1u << 3;
constexpr quint32 kFolderFullControlBit = 1u << 6;

QString Sid(const QString& text)
{
    return text.trimmed().toUpper();
}

bool Same(const QString& a, const QString& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

bool ShareInDomain(const AuditData& data, const ShareRow& share, const QString& domain)
{
    for (const ServerRow& server : data.servers) {
        if (Same(server.server, share.server) && Same(server.domainName, domain))
            return true;
    }
    return false;
}

const AccountRow* FindAccount(const AuditData& data, const QString& sid)
{
    for (const AccountRow& account : data.accounts) {
        if (account.sid == sid)
            return &account;
    }
    return nullptr;
}

// Own SID, then (with `groups`) every group reached through the membership graph without
// entering an excluded group, then (with `everyone`) Everyone.
QStringList Token(const AuditData& data, const QString& ownSid, bool groups, bool everyone,
                  const QStringList& excluded)
{
    QStringList token{Sid(ownSid)};
    if (groups) {
        for (qsizetype next = 0; next < token.size(); ++next) {
            const QString current = token[next];
            for (const MembershipRow& m : data.memberships) {
                if (m.memberSid == current && !excluded.contains(m.groupSid) &&
                    !token.contains(m.groupSid))
                    token.append(m.groupSid);
            }
        }
    }
    if (everyone && !token.contains(QLatin1String(kEveryoneSid)))
        token.append(QLatin1String(kEveryoneSid));
    return token;
}

// The token's entries, by share or folder GUID.
struct TokenEntries
{
    QHash<QString, QList<const ShareAccessRow*>> shares;
    QHash<QString, QList<const FolderAccessRow*>> folders;
};

TokenEntries EntriesOf(const AuditData& data, const QStringList& token)
{
    const QSet<QString> sids(token.begin(), token.end());
    TokenEntries entries;
    for (const ShareAccessRow& e : data.shareAccess) {
        if (sids.contains(e.sid))
            entries.shares[e.shareGuid].append(&e);
    }
    for (const FolderAccessRow& e : data.folderAccess) {
        if (sids.contains(e.sid))
            entries.folders[e.folderGuid].append(&e);
    }
    return entries;
}

quint32 ShareRights(const TokenEntries& entries, const QString& shareGuid)
{
    quint32 allowed = 0;
    quint32 denied = 0;
    for (const ShareAccessRow* entry : entries.shares.value(shareGuid)) {
        const ShareAccessRow& e = *entry;
        quint32 mask = 0;
        int value = 0;
        if (e.fullAccess != 0) {
            mask = kShareFull;
            value = e.fullAccess;
        } else if (e.changeAccess != 0) {
            mask = kShareChange;
            value = e.changeAccess;
        } else if (e.readAccess != 0) {
            mask = kShareRead;
            value = e.readAccess;
        }
        if (value == 2)
            denied |= mask;
        else
            allowed |= mask;
    }
    const quint32 effective = allowed & ~denied;
    quint32 rights = 0;
    if ((effective & kShareFull) == kShareFull)
        rights |= kFullControlBit;
    if ((effective & kShareChange) == kShareChange)
        rights |= kChangeBit;
    if ((effective & kShareRead) == kShareRead)
        rights |= kReadBit;
    return rights;
}

// NTFS rights of the token on the folder, before the share cap.
quint32 FolderRights(const TokenEntries& entries, const QString& folderGuid)
{
    static const quint32 bits[6] = {0x1, 0x2, 0x4, 0x20, 0x40, 0x10000};
    quint32 allowed = 0;
    quint32 denied = 0;
    QList<quint32> allowedFullMasks;
    for (const FolderAccessRow* entry : entries.folders.value(folderGuid)) {
        const FolderAccessRow& e = *entry;
        const int columns[6] = {e.listDirectory, e.addFile,     e.addSubdirectory,
                                e.traverse,      e.deleteChild, e.deleteRight};
        bool deny = false;
        quint32 mask = 0;
        for (int i = 0; i < 6; ++i) {
            if (columns[i] != 0)
                mask |= bits[i];
            if (columns[i] == 2)
                deny = true;
        }
        quint32 fullMask = 0;
        if (e.fullControl == 1)
            fullMask = kFolderFull;
        else if (e.fullControl == 2)
            fullMask = kFolderFullNoSync;
        mask |= fullMask;
        if (deny) {
            denied |= mask;
        } else {
            allowed |= mask;
            if (fullMask != 0)
                allowedFullMasks.append(fullMask);
        }
    }
    const quint32 effective = allowed & ~denied;
    quint32 rights = 0;
    for (int i = 0; i < 6; ++i) {
        if (effective & bits[i])
            rights |= 1u << i;
    }
    for (quint32 fullMask : allowedFullMasks) {
        if ((effective & fullMask) == fullMask)
            rights |= kFolderFullControlBit;
    }
    return rights;
}

quint32 CapByShare(quint32 folderRights, quint32 shareRights)
{
    if (shareRights & kFullControlBit)
        return folderRights;
    if (shareRights & kChangeBit)
        return folderRights & kSixFolderBits;
    if (shareRights & kReadBit)
        return folderRights & (kListDirectoryBit | kTraverseBit);
    return 0;
}

struct Resources
{
    QList<const ShareRow*> shares;
    QList<const FolderRow*> folders;
    QHash<QString, const ShareRow*> shareByGuid;
    QSet<QString> folderGuids;
};

Resources SelectResources(const AuditData& data, const QString& domain, const QString& server,
                          const QString& share)
{
    Resources r;
    for (const ShareRow& s : data.shares) {
        if (!ShareInDomain(data, s, domain))
            continue;
        if (server != QLatin1String(kAllMarker) && !Same(s.server, server))
            continue;
        if (share != QLatin1String(kAllMarker) && !Same(s.share, share))
            continue;
        r.shares.append(&s);
        r.shareByGuid.insert(s.guid, &s);
    }
    for (const FolderRow& f : data.folders) {
        if (r.shareByGuid.contains(f.shareGuid)) {
            r.folders.append(&f);
            r.folderGuids.insert(f.guid);
        }
    }
    return r;
}

// Rows of one token on every selected resource, with `account` as the account column.
void TokenRows(const AuditData& data, const Resources& r, bool folders, const QStringList& token,
               const QString& account, QList<AccessRow>& rows)
{
    const TokenEntries entries = EntriesOf(data, token);
    if (!folders) {
        for (const ShareRow* s : r.shares) {
            const quint32 rights = ShareRights(entries, s->guid);
            if (rights != 0)
                rows.append(AccessRow{account, s->server, s->share, QString(), rights});
        }
        return;
    }
    for (const FolderRow* f : r.folders) {
        const ShareRow* s = r.shareByGuid.value(f->shareGuid);
        const quint32 rights =
            CapByShare(FolderRights(entries, f->guid), ShareRights(entries, s->guid));
        if (rights != 0)
            rows.append(AccessRow{account, s->server, s->share, f->folderName, rights});
    }
}

QString UserName(const AccountRow& account)
{
    return account.domainName + QLatin1Char('\\') + account.name;
}

bool IsUserOf(const AccountRow& account, const QString& domain)
{
    return !account.isGroup && Same(account.domainName, domain);
}

void ResourceSideRows(const AuditData& data, const Resources& r, bool folders,
                      const QString& domain, const ResourceLevel& level, QList<AccessRow>& rows)
{
    using Everyone = ResourceLevel::Everyone;
    const QString everyone = QLatin1String(kEveryoneSid);
    const bool everyoneForUsers = level.everyone == Everyone::Expand;
    if (level.expandGroups) {
        for (const AccountRow& account : data.accounts) {
            if (IsUserOf(account, domain))
                TokenRows(data, r, folders, Token(data, account.sid, true, everyoneForUsers, {}),
                          UserName(account), rows);
        }
        if (level.everyone == Everyone::Show) {
            if (const AccountRow* account = FindAccount(data, everyone))
                TokenRows(data, r, folders, {everyone}, UserName(*account), rows);
        }
        return;
    }
    // Accounts named by an entry on a selected resource, then (under X) the domain's users.
    QStringList named;
    for (const ShareAccessRow& e : data.shareAccess) {
        if (r.shareByGuid.contains(e.shareGuid) && !named.contains(e.sid))
            named.append(e.sid);
    }
    if (folders) {
        for (const FolderAccessRow& e : data.folderAccess) {
            if (r.folderGuids.contains(e.folderGuid) && !named.contains(e.sid))
                named.append(e.sid);
        }
    }
    if (everyoneForUsers) {
        for (const AccountRow& account : data.accounts) {
            if (IsUserOf(account, domain) && !named.contains(account.sid))
                named.append(account.sid);
        }
    }
    for (const QString& sid : named) {
        if (sid == everyone && level.everyone != Everyone::Show)
            continue;
        const AccountRow* account = FindAccount(data, sid);
        if (!account)
            continue;
        const bool withEveryone = everyoneForUsers && IsUserOf(*account, domain);
        TokenRows(data, r, folders, Token(data, sid, false, withEveryone, {}),
                  UserName(*account), rows);
    }
}

// SIDs compare without surrounding blanks (User2Group pads them) and without letter case.
AuditData WithNormalSids(const AuditData& stored)
{
    AuditData data = stored;
    for (ShareAccessRow& row : data.shareAccess)
        row.sid = Sid(row.sid);
    for (FolderAccessRow& row : data.folderAccess)
        row.sid = Sid(row.sid);
    for (AccountRow& row : data.accounts)
        row.sid = Sid(row.sid);
    for (MembershipRow& row : data.memberships) {
        row.memberSid = Sid(row.memberSid);
        row.groupSid = Sid(row.groupSid);
    }
    return data;
}

QString Text(const QVariant& value)
{
    return value.isNull() ? QString() : value.toString();
}

} // namespace

AuditData LoadAuditData(data::Connection& connection)
{
    AuditData d;
    data::Statement q(connection);
    auto run = [&q](const char* sql) {
        q.SetSQL(QString::fromLatin1(sql));
        q.Open();
    };
    auto text = [&q](int i) { return Text(q.FieldAt(i)); };
    auto number = [&q](int i) { return q.FieldAt(i).toInt(); };
    run("SELECT DomainName, Server FROM Servers");
    for (; !q.Eof(); q.Next())
        d.servers.append({text(0), text(1)});
    run("SELECT GUID, Server, Share FROM ServerShares");
    for (; !q.Eof(); q.Next())
        d.shares.append({text(0), text(1), text(2)});
    run("SELECT ServerShareGUID, UserGroupSID, FullAccess, ChangeAccess, ReadAccess "
        "FROM ShareAccessList");
    for (; !q.Eof(); q.Next())
        d.shareAccess.append({text(0), text(1), number(2), number(3), number(4)});
    run("SELECT GUID, ServerShareGUID, FolderName FROM sharefolders");
    for (; !q.Eof(); q.Next())
        d.folders.append({text(0), text(1), text(2)});
    run("SELECT FolderGUID, UserGroupSID, ListDirectory, AddFile, AddSubdirectory, Traverse, "
        "DeleteChild, _Delete, FullControl FROM folderaccesslist");
    for (; !q.Eof(); q.Next())
        d.folderAccess.append({text(0), text(1), number(2), number(3), number(4), number(5),
                               number(6), number(7), number(8)});
    run("SELECT SID, UserGroupName, DomainName, isGroup FROM UserGroupList");
    for (; !q.Eof(); q.Next())
        d.accounts.append({text(0), text(1), text(2), q.FieldAt(3).toBool()});
    run("SELECT UserGroupSID, GroupSID FROM User2Group");
    for (; !q.Eof(); q.Next())
        d.memberships.append({text(0), text(1)});
    return d;
}

QString RowText(const AccessRow& row, AccessFunction function)
{
    const int count = IsFolderFunction(function) ? kFolderRightCount : kShareRightCount;
    QString bits;
    for (int i = 0; i < count; ++i)
        bits += (row.rights & (1u << i)) ? QLatin1Char('1') : QLatin1Char('0');
    return QStringList{row.account, row.server, row.share, row.folderName, bits}.join(
        QLatin1Char('|'));
}

bool Evaluate(const AuditData& stored, AccessFunction function, const QVariantList& arguments,
              QList<AccessRow>& rows, QString& error)
{
    const AuditData data = WithNormalSids(stored);
    rows.clear();
    error.clear();
    const QString domain = Text(arguments.value(0));
    const QString levelText = Text(arguments.value(3));
    const bool folders = IsFolderFunction(function);

    if (IsResourceSide(function)) {
        ResourceLevel level;
        if (!ParseResourceLevel(levelText, level)) {
            error = BadLevelText(function, levelText);
            return false;
        }
        const Resources r =
            SelectResources(data, domain, Text(arguments.value(1)), Text(arguments.value(2)));
        ResourceSideRows(data, r, folders, domain, level, rows);
        return true;
    }

    AccountLevel level;
    if (!ParseAccountLevel(levelText, level)) {
        error = BadLevelText(function, levelText);
        return false;
    }
    const QStringList excluded =
        level.groups ? ParseExcludedGroups(Text(arguments.value(2))) : QStringList();
    const Resources r = SelectResources(data, domain, QLatin1String(kAllMarker),
                                        QLatin1String(kAllMarker));
    if (IsAllAccounts(function)) {
        const bool groups = ParseAllGroupsFlag(arguments.value(1));
        for (const AccountRow& account : data.accounts) {
            if (account.isGroup != groups || !Same(account.domainName, domain))
                continue;
            TokenRows(data, r, folders,
                      Token(data, account.sid, level.groups, level.everyone, excluded),
                      account.name, rows);
        }
        return true;
    }
    const QStringList token =
        Token(data, Text(arguments.value(1)), level.groups, level.everyone, excluded);
    TokenRows(data, r, folders, token, QString(), rows);
    if (function == AccessFunction::SharesForUser) {
        std::stable_sort(rows.begin(), rows.end(), [](const AccessRow& a, const AccessRow& b) {
            const int byServer = a.server.compare(b.server, Qt::CaseInsensitive);
            return byServer != 0 ? byServer < 0 : a.share.compare(b.share, Qt::CaseInsensitive) < 0;
        });
    }
    return true;
}

} // namespace velmora::access
