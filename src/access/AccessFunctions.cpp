#include "access/AccessFunctions.h"

#include "applib/Exceptions.h"
#include "data/Connection.h"
#include "data/Dataset.h"

#include <QRegularExpression>

namespace velmora::access {

const QList<AccessFunction>& AllAccessFunctions()
{
    static const QList<AccessFunction> all = {
        AccessFunction::SharesForUser,           AccessFunction::FoldersForUser,
        AccessFunction::SharesForAllUsersGroups, AccessFunction::FoldersForAllUsersGroups,
        AccessFunction::UsersToServerShare,      AccessFunction::UsersToServerShareFolders,
    };
    return all;
}

QString FunctionName(AccessFunction function)
{
    switch (function) {
    case AccessFunction::SharesForUser:
        return QStringLiteral("ListActualAccessRightsToSharesWithRelativeACEsForUser");
    case AccessFunction::FoldersForUser:
        return QStringLiteral("ListActualAccessRightsToFoldersWithRelativeACEsForUser");
    case AccessFunction::SharesForAllUsersGroups:
        return QStringLiteral("ListActualAccessRightsToSharesWithRelativeACEsForAllUsersGroups");
    case AccessFunction::FoldersForAllUsersGroups:
        return QStringLiteral(
            "ListActualAccessRightsToFoldersWithRelativeACEsForForAllUsersGroups");
    case AccessFunction::UsersToServerShare:
        return QStringLiteral("ListActualAccessRightsForUsersToServerShare");
    case AccessFunction::UsersToServerShareFolders:
        return QStringLiteral("ListActualAccessRightsForUsersToServerShareFolders");
    }
    return {};
}

QStringList ArgumentNames(AccessFunction function)
{
    if (IsResourceSide(function))
        return {QStringLiteral("DomainName"), QStringLiteral("Server"), QStringLiteral("Share"),
                QStringLiteral("AccessRelationLevel")};
    return {QStringLiteral("DomainName"),
            IsAllAccounts(function) ? QStringLiteral("IsAllGroupsOrAllUsers")
                                    : QStringLiteral("UserGroupSID"),
            QStringLiteral("ExcludedGroupsSID"), QStringLiteral("AccessRelationLevel")};
}

QStringList ShareRightColumns()
{
    return {QStringLiteral("Full Control"), QStringLiteral("Change"), QStringLiteral("Read")};
}

QStringList FolderRightColumns()
{
    return {QStringLiteral("ListDirectory"), QStringLiteral("AddFile"),
            QStringLiteral("AddSubdirectory"), QStringLiteral("Traverse"),
            QStringLiteral("DeleteChild"), QStringLiteral("Delete"),
            QStringLiteral("FullControl")};
}

QStringList ResultColumns(AccessFunction function)
{
    const QString server = QStringLiteral("Server");
    const QString share = QStringLiteral("Share");
    const QString folder = QStringLiteral("FolderName");
    switch (function) {
    case AccessFunction::SharesForUser:
        return QStringList{server, share} + ShareRightColumns();
    case AccessFunction::FoldersForUser:
        return QStringList{server, share, folder} + FolderRightColumns();
    case AccessFunction::SharesForAllUsersGroups:
        return QStringList{server, share, QStringLiteral("UserGroupName")} + ShareRightColumns();
    case AccessFunction::FoldersForAllUsersGroups:
        return QStringList{QStringLiteral("UserGroupName"), server, share, folder} +
               FolderRightColumns();
    case AccessFunction::UsersToServerShare:
        return QStringList{server, share, QStringLiteral("UserName")} + ShareRightColumns();
    case AccessFunction::UsersToServerShareFolders:
        return QStringList{server, share, folder, QStringLiteral("UserName")} +
               FolderRightColumns();
    }
    return {};
}

bool IsFolderFunction(AccessFunction function)
{
    return function == AccessFunction::FoldersForUser ||
           function == AccessFunction::FoldersForAllUsersGroups ||
           function == AccessFunction::UsersToServerShareFolders;
}

bool IsResourceSide(AccessFunction function)
{
    return function == AccessFunction::UsersToServerShare ||
           function == AccessFunction::UsersToServerShareFolders;
}

bool IsAllAccounts(AccessFunction function)
{
    return function == AccessFunction::SharesForAllUsersGroups ||
           function == AccessFunction::FoldersForAllUsersGroups;
}

bool ParseAccountLevel(const QString& text, AccountLevel& level)
{
    level = AccountLevel();
    for (QChar c : text) {
        const QChar letter = c.toUpper();
        if (letter == QLatin1Char('G') && !level.groups)
            level.groups = true;
        else if (letter == QLatin1Char('E') && !level.everyone)
            level.everyone = true;
        else
            return false;
    }
    return true;
}

bool ParseResourceLevel(const QString& text, ResourceLevel& level)
{
    level = ResourceLevel();
    QString rest = text.toUpper();
    if (rest.size() == 2 && rest.startsWith(QLatin1Char('E'))) {
        level.expandGroups = true;
        rest.remove(0, 1);
    }
    if (rest == QLatin1String("S"))
        level.everyone = ResourceLevel::Everyone::Show;
    else if (rest == QLatin1String("H"))
        level.everyone = ResourceLevel::Everyone::Hide;
    else if (rest == QLatin1String("X"))
        level.everyone = ResourceLevel::Everyone::Expand;
    else
        return false;
    return true;
}

QStringList ParseExcludedGroups(const QString& text)
{
    static const QRegularExpression sid(QStringLiteral("^S-\\d+(-\\d+)+$"));
    QStringList result;
    for (const QString& part : text.split(QLatin1Char(','))) {
        const QString entry = part.trimmed().toUpper();
        if (sid.match(entry).hasMatch() && !result.contains(entry))
            result.append(entry);
    }
    return result;
}

bool ParseAllGroupsFlag(const QVariant& value)
{
    if (value.isNull())
        return false;
    const QString text = value.toString().trimmed();
    if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
        return true;
    bool number = false;
    const double n = text.toDouble(&number);
    return number && n != 0;
}

QString BadLevelText(AccessFunction function, const QString& level)
{
    return QStringLiteral("%1: the access relation level \"%2\" is not one of %3")
        .arg(FunctionName(function), level,
             IsResourceSide(function) ? QStringLiteral("S, H, X, ES, EH, EX")
                                      : QStringLiteral("\"\", G, E, GE"));
}

bool HasAccessFunctions(data::Connection& connection, QString& missing)
{
    missing.clear();
    if (!connection.Connected()) {
        missing = QStringLiteral("The audit database is not connected");
        return false;
    }
    for (AccessFunction function : AllAccessFunctions()) {
        const QString name = FunctionName(function);
        try {
            data::Statement query(connection);
            query.SetSQL(QStringLiteral("SELECT * FROM %1(:a, :b, :c, :d) WHERE 1 = 0").arg(name));
            query.SetParam(QStringLiteral("a"), QString());
            query.SetParam(QStringLiteral("b"), QString());
            query.SetParam(QStringLiteral("c"), QString());
            query.SetParam(QStringLiteral("d"),
                           IsResourceSide(function) ? QStringLiteral("S") : QString());
            query.Open();
            // Names compare without case: PostgreSQL gives the unquoted ones in lower case.
            const QStringList columns = query.FieldNames();
            if (columns.join(QLatin1Char('|')).compare(
                    ResultColumns(function).join(QLatin1Char('|')), Qt::CaseInsensitive) != 0) {
                missing = QStringLiteral("The access-rights function %1 of the audit database "
                                         "returns the columns %2 instead of %3")
                              .arg(name, columns.join(QStringLiteral(", ")),
                                   ResultColumns(function).join(QStringLiteral(", ")));
                return false;
            }
        } catch (const Exception& e) {
            missing = QStringLiteral("The audit database lacks the access-rights function %1: %2")
                          .arg(name, e.Message());
            return false;
        }
    }
    return true;
}

} // namespace velmora::access
