#pragma once
// The reference evaluator of the six access-rights functions: plain loops over the rows
// of the seven scan tables, written for clarity rather than speed. Tests compare every
// database implementation with it row for row.

#include "access/AccessFunctions.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantList>

namespace velmora::access {

struct ServerRow
{
    QString domainName;
    QString server;
};

struct ShareRow
{
    QString guid;
    QString server;
    QString share;
};

// Access values: 0 none, 1 allow, 2 deny.
struct ShareAccessRow
{
    QString shareGuid;
    QString sid;
    int fullAccess = 0;
    int changeAccess = 0;
    int readAccess = 0;
};

struct FolderRow
{
    QString guid;
    QString shareGuid;
    QString folderName;
};

struct FolderAccessRow
{
    QString folderGuid;
    QString sid;
    int listDirectory = 0;
    int addFile = 0;
    int addSubdirectory = 0;
    int traverse = 0;
    int deleteChild = 0;
    int deleteRight = 0; // _Delete
    int fullControl = 0; // 1: 0x001F01FF, 2: 0x000F01FF
};

struct AccountRow
{
    QString sid;
    QString name;
    QString domainName;
    bool isGroup = false;
};

struct MembershipRow
{
    QString memberSid;
    QString groupSid;
};

struct AuditData
{
    QList<ServerRow> servers;
    QList<ShareRow> shares;
    QList<ShareAccessRow> shareAccess;
    QList<FolderRow> folders;
    QList<FolderAccessRow> folderAccess;
    QList<AccountRow> accounts;
    QList<MembershipRow> memberships;
};

// Reads the seven tables with plain SELECTs; raises Exception on a database error.
AuditData LoadAuditData(data::Connection& connection);

// One result row of any of the six functions. Fields a function lacks stay empty: `account`
// is UserGroupName or UserName; `rights` holds the rights columns as bits in column order
// (bit 0 the first rights column).
struct AccessRow
{
    QString account;
    QString server;
    QString share;
    QString folderName;
    quint32 rights = 0;

    bool operator==(const AccessRow&) const = default;
};

// One line per row, "account|server|share|folder|bits" (bits as 0/1 in column order): the
// form tests compare.
QString RowText(const AccessRow& row, AccessFunction function);

// The rows of `function` for the four arguments in call order. Rows come ordered by
// Server, Share (case-insensitively) for the first function; other functions return rows
// in no particular order. False with `error` for a level the function does not accept.
bool Evaluate(const AuditData& data, AccessFunction function, const QVariantList& arguments,
              QList<AccessRow>& rows, QString& error);

} // namespace velmora::access
