#include "views/ResourceAccessDM.h"

#include "applib/DfxFormat.h"
#include "applib/Exceptions.h"
#include "views/AccessRows.h"
#include "views/LookupDM.h"

namespace velmora::views {

using data::Statement;

QString ResourceAccessRelationLevel(bool expandGroups, int everyone)
{
    static const char kLetters[] = {'S', 'H', 'X'};
    if (everyone < kEveryoneShow || everyone > kEveryoneExpand)
        throw Exception(Fmt("Unknown Everyone treatment %d", everyone));
    QString level = expandGroups ? QStringLiteral("E") : QStringLiteral("");
    level += QLatin1Char(kLetters[everyone]);
    return level;
}

TResourceAccessDM::TResourceAccessDM(data::Connection& connection)
{
    m_quShareUsers = MakeStatement(
        connection, "SELECT Server, Share, UserName, [Full Control], [Change], [Read] FROM "
                    "ListActualAccessRightsForUsersToServerShare(:DomainName, :Server, :Share, "
                    ":AccessRelationLevel) ORDER BY Server, Share, UserName");
    m_quFolderUsers = MakeStatement(
        connection,
        "SELECT * FROM ListActualAccessRightsForUsersToServerShareFolders(:DomainName, :Server, "
        ":Share, :AccessRelationLevel) ORDER BY Server, Share, FolderName, UserName");
}

TResourceAccessDM::~TResourceAccessDM() = default;

void TResourceAccessDM::OpenShareUsers(const QString& domain, const QString& server, int everyone,
                                       bool expandGroups, const QString& share)
{
    Open(*m_quShareUsers, domain, server, everyone, expandGroups, share);
}

void TResourceAccessDM::OpenFolderUsers(const QString& domain, const QString& server, int everyone,
                                        bool expandGroups, const QString& share)
{
    Open(*m_quFolderUsers, domain, server, everyone, expandGroups, share);
}

void TResourceAccessDM::Open(Statement& statement, const QString& domain, const QString& server,
                             int everyone, bool expandGroups, const QString& share)
{
    const QString level = ResourceAccessRelationLevel(expandGroups, everyone);
    statement.Close();
    statement.SetParam(QStringLiteral("DomainName"), domain);
    statement.SetParam(QStringLiteral("Server"), server);
    statement.SetParam(QStringLiteral("Share"),
                       share.isEmpty() ? QString::fromLatin1(kAllKeyword) : share);
    statement.SetParam(QStringLiteral("AccessRelationLevel"), level);
    statement.Open();
}

QList<data::FieldDef> TResourceAccessDM::ShareUsersFields()
{
    return AccessFields({{"Server", 80}, {"Share", 80}, {"UserName", 161}}, ShareRightsFields());
}

QList<data::FieldDef> TResourceAccessDM::FolderUsersFields()
{
    return AccessFields({{"Server", 80}, {"Share", 120}, {"FolderName", 255}, {"UserName", 161}},
                        FolderRightsFields());
}

} // namespace velmora::views
