#include "views/UserAccessDM.h"

#include "applib/DfxFormat.h"
#include "applib/Exceptions.h"
#include "views/AccessRows.h"

namespace velmora::views {

using data::Statement;

namespace {

const QString kDomainName = QStringLiteral("DomainName");
const QString kUserGroupSID = QStringLiteral("UserGroupSID");
const QString kIsAllGroupsOrAllUsers = QStringLiteral("IsAllGroupsOrAllUsers");
const QString kExcludedGroupsSID = QStringLiteral("ExcludedGroupsSID");
const QString kAccessRelationLevel = QStringLiteral("AccessRelationLevel");

std::unique_ptr<Statement> MakeUserStatement(data::Connection& connection, const char* sql)
{
    auto statement = MakeStatement(connection, sql);
    statement->SetParamSize(kDomainName, 80);
    return statement;
}

// A null text would reach the function as NULL; "no exclusion" and "direct entries only"
// are empty texts.
QString NonNull(const QString& text)
{
    return text.isNull() ? QStringLiteral("") : text;
}

} // namespace

QString UserAccessRelationLevel(int tokenKind)
{
    switch (tokenKind) {
    case kDirectAccessToken:
        return QStringLiteral("");
    case kDirectAndGroupAccess:
        return QStringLiteral("G");
    case kDirectAndEveryoneAccess:
        return QStringLiteral("E");
    case kAccessViaAnyToken:
        return QStringLiteral("GE");
    default:
        throw Exception(Fmt("Unknown token kind %d", tokenKind));
    }
}

bool TokenKindAllowsExclusion(int tokenKind)
{
    return tokenKind == kDirectAndGroupAccess || tokenKind == kAccessViaAnyToken;
}

TUserAccessDM::TUserAccessDM(data::Connection& connection, TLookupDM& lookups) : m_lookups(lookups)
{
    m_quUserShares = MakeUserStatement(
        connection,
        "SELECT * FROM ListActualAccessRightsToSharesWithRelativeACEsForUser( :DomainName, "
        ":UserGroupSID, :ExcludedGroupsSID, :AccessRelationLevel)");
    m_quUserFolders = MakeUserStatement(
        connection,
        "SELECT * FROM ListActualAccessRightsToFoldersWithRelativeACEsForUser( :DomainName, "
        ":UserGroupSID, :ExcludedGroupsSID, :AccessRelationLevel) Order BY Server, Share, "
        "FolderName");
    // As wide as the SID column: a narrower parameter would cut the longest SIDs.
    m_quUserShares->SetParamSize(kUserGroupSID, kSidWidth);
    m_quUserFolders->SetParamSize(kUserGroupSID, kSidWidth);
    m_quAllUserShares = MakeUserStatement(
        connection,
        "SELECT * FROM ListActualAccessRightsToSharesWithRelativeACEsForAllUsersGroups( "
        ":DomainName, :IsAllGroupsOrAllUsers, :ExcludedGroupsSID, :AccessRelationLevel) ORDER BY "
        "UserGroupName, Server, Share");
    m_quAllUserShares->SetParamSize(kAccessRelationLevel, 2);
    m_quAllUserFolders = MakeUserStatement(
        connection,
        "SELECT * FROM ListActualAccessRightsToFoldersWithRelativeACEsForForAllUsersGroups( "
        ":DomainName, :IsAllGroupsOrAllUsers, :ExcludedGroupsSID, :AccessRelationLevel ) Order BY "
        "UserGroupName, Server, Share, FolderName");
}

TUserAccessDM::~TUserAccessDM() = default;

void TUserAccessDM::OpenUserShares(const QString& domain, const QString& account, int tokenKind,
                                   bool groupsOnly, const QString& excludedSids)
{
    Open(*m_quUserShares, *m_quAllUserShares, domain, account, tokenKind, groupsOnly, excludedSids);
}

void TUserAccessDM::OpenUserFolders(const QString& domain, const QString& account, int tokenKind,
                                    bool groupsOnly, const QString& excludedSids)
{
    Open(*m_quUserFolders, *m_quAllUserFolders, domain, account, tokenKind, groupsOnly,
         excludedSids);
}

void TUserAccessDM::Open(Statement& single, Statement& all, const QString& domain,
                         const QString& account, int tokenKind, bool groupsOnly,
                         const QString& excludedSids)
{
    const QString level = UserAccessRelationLevel(tokenKind);
    if (m_current)
        m_current->Close();
    const bool everyAccount = account == QLatin1String(kAllKeyword);
    m_current = everyAccount ? &all : &single;
    m_current->Close();
    m_current->SetParam(kDomainName, domain);
    if (everyAccount) {
        m_current->SetParam(kIsAllGroupsOrAllUsers, groupsOnly ? 1 : 0);
    } else {
        const QString sid = m_lookups.AccountSid(account);
        if (sid.isEmpty())
            throw Exception(
                Fmt("Account \"%s\" is not in the account list of domain \"%s\"", account, domain));
        m_current->SetParam(kUserGroupSID, sid);
    }
    // Excluding a group means something only when group tokens count.
    m_current->SetParam(kExcludedGroupsSID, TokenKindAllowsExclusion(tokenKind)
                                                ? NonNull(excludedSids)
                                                : QStringLiteral(""));
    m_current->SetParam(kAccessRelationLevel, level);
    m_current->Open();
}

QList<data::FieldDef> TUserAccessDM::CurrentFields() const
{
    if (m_current == m_quUserShares.get())
        return AccessFields({{"Server", 80}, {"Share", 80}}, ShareRightsFields());
    if (m_current == m_quUserFolders.get())
        return AccessFields({{"Server", 80}, {"Share", 120}, {"FolderName", 255}},
                            FolderRightsFields());
    if (m_current == m_quAllUserShares.get())
        return AccessFields({{"Server", 80}, {"Share", 120}, {"UserGroupName", 80}},
                            ShareRightsFields());
    if (m_current == m_quAllUserFolders.get())
        return AccessFields(
            {{"UserGroupName", 80}, {"Server", 80}, {"Share", 120}, {"FolderName", 255}},
            FolderRightsFields());
    return {};
}

} // namespace velmora::views
