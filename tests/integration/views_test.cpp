// The lookup lists and the two access questions on a hand-filled audit database
// (tests/data/views_audit.json), answered by the database's own access-rights functions.

#include "applib/Exceptions.h"
#include "store/AuditDatabase.h"
#include "support/AuditFixture.h"
#include "support/PgTestServer.h"
#include "views/AccessRows.h"
#include "views/LookupDM.h"
#include "views/ResourceAccessDM.h"
#include "views/UserAccessDM.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace velmora::test {
namespace {

using views::TLookupDM;

const QString kAlice = QStringLiteral("S-1-5-21-1-1001");
const QString kSales = QStringLiteral("S-1-5-21-1-2001");
const QString kPreSales = QStringLiteral("S-1-5-21-1-2002");

// A row as "FS2|Home|T|T|T": texts as they are, booleans T or F.
QStringList Lines(const views::AccessRows& rows)
{
    QStringList lines;
    for (const QVariantList& row : rows.rows) {
        QStringList cells;
        for (const QVariant& v : row)
            cells << (v.typeId() == QMetaType::Bool
                          ? QString(v.toBool() ? QLatin1Char('T') : QLatin1Char('F'))
                          : v.toString());
        lines << cells.join(QLatin1Char('|'));
    }
    return lines;
}

// Runs on the embedded database and, when the test server is there, on PostgreSQL.
class ViewsTest : public AuditFixture, public ::testing::WithParamInterface<const char*>
{
  protected:
    void SetUp() override
    {
        AuditFixture::SetUp();
        if (HasFatalFailure())
            return;
        if (QLatin1String(GetParam()) == QLatin1String("PostgreSQL")) {
            VELMORA_CREATE_PG_DATABASE(pg);
            QString report, error;
            ASSERT_TRUE(
                store::InitServerDatabase(store::ProgramFolder(home), pg.Params(), report, error))
                << error.toStdString();
        }
        connection = std::make_unique<store::TConnectionDM>(store::ProgramFolder(home));
        connection->Connect();
        QFile file(QStringLiteral(VELMORA_TEST_DATA_DIR "/views_audit.json"));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        for (const QJsonValue& sql :
             QJsonDocument::fromJson(file.readAll()).object()[QStringLiteral("sql")].toArray())
            connection->Connection().ExecDirect(sql.toString());
        lookups = std::make_unique<TLookupDM>(connection->Connection());
        userAccess = std::make_unique<views::TUserAccessDM>(connection->Connection(), *lookups);
        resourceAccess = std::make_unique<views::TResourceAccessDM>(connection->Connection());
    }
    void TearDown() override
    {
        resourceAccess.reset();
        userAccess.reset();
        lookups.reset();
        AuditFixture::TearDown();
    }

    QStringList List(data::MemTable& table, const QString& field)
    {
        return TLookupDM::Column(table, field);
    }

    std::unique_ptr<TLookupDM> lookups;
    std::unique_ptr<views::TUserAccessDM> userAccess;
    std::unique_ptr<views::TResourceAccessDM> resourceAccess;
    PgTestDatabase pg;
};

INSTANTIATE_TEST_SUITE_P(Backends, ViewsTest, ::testing::Values("SQLite", "PostgreSQL"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

TEST_P(ViewsTest, LookupListsWithTheirKeywordRows)
{
    lookups->RefreshLookups();
    EXPECT_EQ(List(lookups->DomainList(), QStringLiteral("DomainName")),
              (QStringList{QStringLiteral("CORP"), QStringLiteral("OTHER")}));
    EXPECT_EQ(List(lookups->LookupExcludableGroups(), QStringLiteral("UserGroupName")),
              QStringList{QStringLiteral("[NONE]")});

    lookups->LoadDomainAccounts(QStringLiteral("CORP"));
    lookups->ApplyAccountFilter(false);
    EXPECT_EQ(List(lookups->AccountList(), QStringLiteral("UserGroupName")),
              (QStringList{QStringLiteral("[ALL]"), QStringLiteral("alice"), QStringLiteral("bob"),
                           QStringLiteral("carol")}));
    lookups->ApplyAccountFilter(true);
    EXPECT_EQ(List(lookups->AccountList(), QStringLiteral("UserGroupName")),
              (QStringList{QStringLiteral("[ALL]"), QStringLiteral("Domain Admins"),
                           QStringLiteral("Pre Sales"), QStringLiteral("Sales")}));
    // The filter hides rows from the list, not from the SID lookup.
    EXPECT_EQ(lookups->AccountSid(QStringLiteral("ALICE")), kAlice);
    EXPECT_EQ(lookups->AccountSid(QStringLiteral("[ALL]")),
              QStringLiteral("{00000000-0000-0000-0000-000000000000}"));
    EXPECT_EQ(lookups->AccountSid(QStringLiteral("dave")), QString())
        << "an account of another domain";
    // Groups with administrator rights cannot be left out; "[NONE]" comes first.
    EXPECT_EQ(List(lookups->LookupExcludableGroups(), QStringLiteral("UserGroupName")),
              (QStringList{QStringLiteral("[NONE]"), QStringLiteral("Pre Sales"),
                           QStringLiteral("Sales")}));

    lookups->LoadDomainServers(QStringLiteral("CORP"));
    EXPECT_EQ(List(lookups->LookupShareUsersServers(), QStringLiteral("Server")),
              (QStringList{QStringLiteral("[ALL]"), QStringLiteral("FS1"), QStringLiteral("FS2")}));
    lookups->LoadServerShares(QStringLiteral("FS1"));
    EXPECT_EQ(List(lookups->LookupServerShareUsersShare(), QStringLiteral("Share")),
              (QStringList{QStringLiteral("[ALL]"), QStringLiteral("PreSales"),
                           QStringLiteral("Public"), QStringLiteral("SalesDocs")}));

    // A refresh of the lists drops the domain's accounts, groups and servers.
    lookups->RefreshLookups();
    EXPECT_FALSE(lookups->AccountList().Active());
    EXPECT_FALSE(lookups->LookupShareUsersServers().Active());
    EXPECT_EQ(List(lookups->LookupExcludableGroups(), QStringLiteral("UserGroupName")),
              QStringList{QStringLiteral("[NONE]")});

    // "[ALL]" is taken from the share table: without any share it is not offered.
    connection->Connection().ExecDirect(QStringLiteral("DELETE FROM ServerShares"));
    lookups->LoadDomainServers(QStringLiteral("CORP"));
    EXPECT_EQ(List(lookups->LookupShareUsersServers(), QStringLiteral("Server")),
              (QStringList{QStringLiteral("FS1"), QStringLiteral("FS2")}));
    lookups->LoadServerShares(QStringLiteral("FS1"));
    EXPECT_EQ(List(lookups->LookupServerShareUsersShare(), QStringLiteral("Share")), QStringList());
}

// Excluding "Pre Sales" must not mark "Sales", whose name followed by a comma occurs in
// "Pre Sales,": marks follow whole SIDs.
TEST_P(ViewsTest, ExcludedGroupsAreMarkedBySid)
{
    lookups->LoadDomainAccounts(QStringLiteral("CORP"));
    auto marked = [&](const QString& sids) {
        QStringList names;
        for (const views::ExcludableGroup& g : lookups->ExcludableGroupChoices(sids))
            names << g.name + (g.marked ? QStringLiteral("*") : QString());
        return names;
    };
    EXPECT_EQ(marked(QString()),
              (QStringList{QStringLiteral("Pre Sales"), QStringLiteral("Sales")}));
    EXPECT_EQ(marked(kPreSales),
              (QStringList{QStringLiteral("Pre Sales*"), QStringLiteral("Sales")}));
    EXPECT_EQ(marked(kSales), (QStringList{QStringLiteral("Pre Sales"), QStringLiteral("Sales*")}));
    // A SID that another one starts with is not a match either.
    EXPECT_EQ(marked(QStringLiteral("S-1-5-21-1-200")),
              (QStringList{QStringLiteral("Pre Sales"), QStringLiteral("Sales")}));

    const views::GroupExclusion picked =
        lookups->ExcludeGroups({QStringLiteral("sales"), QStringLiteral("Pre Sales"),
                                QStringLiteral("[NONE]"), QStringLiteral("Domain Admins")});
    EXPECT_EQ(picked.names, QStringLiteral("Sales, Pre Sales"));
    EXPECT_EQ(picked.sids, kSales + QStringLiteral(", ") + kPreSales);
    EXPECT_EQ(picked.unknown,
              (QStringList{QStringLiteral("[NONE]"), QStringLiteral("Domain Admins")}));
    EXPECT_EQ(marked(picked.sids),
              (QStringList{QStringLiteral("Pre Sales*"), QStringLiteral("Sales*")}));
    EXPECT_EQ(lookups->ExcludeGroups({}).sids, QString());
}

TEST(AccessLevels, LettersOfTheChoices)
{
    const char* userLevels[] = {"", "G", "E", "GE"};
    for (int kind = 0; kind < 4; ++kind)
        EXPECT_EQ(views::UserAccessRelationLevel(kind), QString::fromLatin1(userLevels[kind]));
    EXPECT_THROW(views::UserAccessRelationLevel(4), Exception);
    const char* resourceLevels[2][3] = {{"S", "H", "X"}, {"ES", "EH", "EX"}};
    for (int expand = 0; expand < 2; ++expand)
        for (int everyone = 0; everyone < 3; ++everyone)
            EXPECT_EQ(views::ResourceAccessRelationLevel(expand == 1, everyone),
                      QString::fromLatin1(resourceLevels[expand][everyone]));
    EXPECT_THROW(views::ResourceAccessRelationLevel(false, 3), Exception);
}

struct UserCase
{
    const char* name;
    QString account;
    int tokenKind;
    bool groupsOnly;
    QStringList exclude; // group names
    bool folders;
    QStringList rows;
};

TEST_P(ViewsTest, UserAccessChoosesFunctionAndArguments)
{
    using namespace views;
    const QString all = QStringLiteral("[ALL]");
    const UserCase cases[] = {
        {"own entries only",
         QStringLiteral("alice"),
         kDirectAccessToken,
         false,
         {},
         false,
         {QStringLiteral("FS2|Home|T|T|T")}},
        {"through groups, grouped by server",
         QStringLiteral("alice"),
         kDirectAndGroupAccess,
         false,
         {},
         false,
         {QStringLiteral("FS1|SalesDocs|F|T|T"), QStringLiteral("FS2|Home|T|T|T")}},
        {"through Everyone",
         QStringLiteral("alice"),
         kDirectAndEveryoneAccess,
         false,
         {},
         false,
         {QStringLiteral("FS1|Public|F|F|T"), QStringLiteral("FS2|Home|T|T|T")}},
        {"any token",
         QStringLiteral("alice"),
         kAccessViaAnyToken,
         false,
         {},
         false,
         {QStringLiteral("FS1|Public|F|F|T"), QStringLiteral("FS1|SalesDocs|F|T|T"),
          QStringLiteral("FS2|Home|T|T|T")}},
        {"Sales left out",
         QStringLiteral("alice"),
         kAccessViaAnyToken,
         false,
         {QStringLiteral("Sales")},
         false,
         {QStringLiteral("FS1|Public|F|F|T"), QStringLiteral("FS2|Home|T|T|T")}},
        {"Pre Sales left out keeps Sales",
         QStringLiteral("alice"),
         kDirectAndGroupAccess,
         false,
         {QStringLiteral("Pre Sales")},
         false,
         {QStringLiteral("FS1|SalesDocs|F|T|T"), QStringLiteral("FS2|Home|T|T|T")}},
        {"exclusions count only with group tokens",
         QStringLiteral("alice"),
         kDirectAndEveryoneAccess,
         false,
         {QStringLiteral("Sales")},
         false,
         {QStringLiteral("FS1|Public|F|F|T"), QStringLiteral("FS2|Home|T|T|T")}},
        {"bob through Pre Sales",
         QStringLiteral("bob"),
         kDirectAndGroupAccess,
         false,
         {},
         false,
         {QStringLiteral("FS1|PreSales|T|T|T"), QStringLiteral("FS2|Home|F|F|T")}},
        {"bob without Pre Sales",
         QStringLiteral("bob"),
         kDirectAndGroupAccess,
         false,
         {QStringLiteral("Pre Sales")},
         false,
         {QStringLiteral("FS2|Home|F|F|T")}},
        {"a SID of the full 47 characters",
         QStringLiteral("carol"),
         kDirectAccessToken,
         false,
         {},
         false,
         {QStringLiteral("FS2|Carol|F|F|T")}},
        {"folders capped by the share",
         QStringLiteral("alice"),
         kDirectAndGroupAccess,
         false,
         {},
         true,
         {QStringLiteral("FS1|SalesDocs|Q1|T|T|T|T|T|T|F"),
          QStringLiteral("FS2|Home|Docs|T|T|T|T|T|T|T")}},
        {"folders of a read-only share",
         QStringLiteral("bob"),
         kDirectAccessToken,
         false,
         {},
         true,
         {QStringLiteral("FS2|Home|Docs|T|F|F|F|F|F|F")}},
        {"every user",
         all,
         kDirectAccessToken,
         false,
         {},
         false,
         {QStringLiteral("FS2|Home|alice|T|T|T"), QStringLiteral("FS2|Home|bob|F|F|T"),
          QStringLiteral("FS2|Carol|carol|F|F|T")}},
        {"every group",
         all,
         kDirectAccessToken,
         true,
         {},
         false,
         {QStringLiteral("FS1|PreSales|Pre Sales|T|T|T"),
          QStringLiteral("FS1|SalesDocs|Sales|F|T|T")}},
        {"every user's folders",
         all,
         kDirectAndGroupAccess,
         false,
         {},
         true,
         {QStringLiteral("alice|FS1|SalesDocs|Q1|T|T|T|T|T|T|F"),
          QStringLiteral("alice|FS2|Home|Docs|T|T|T|T|T|T|T"),
          QStringLiteral("bob|FS2|Home|Docs|T|F|F|F|F|F|F"),
          QStringLiteral("carol|FS1|SalesDocs|Q1|T|T|T|T|T|T|F")}},
        {"every user's folders without Sales",
         all,
         kDirectAndGroupAccess,
         false,
         {QStringLiteral("Sales")},
         true,
         {QStringLiteral("alice|FS2|Home|Docs|T|T|T|T|T|T|T"),
          QStringLiteral("bob|FS2|Home|Docs|T|F|F|F|F|F|F")}},
    };
    lookups->LoadDomainAccounts(QStringLiteral("CORP"));
    for (const UserCase& c : cases) {
        SCOPED_TRACE(c.name);
        lookups->ApplyAccountFilter(c.groupsOnly);
        const GroupExclusion exclusion = lookups->ExcludeGroups(c.exclude);
        ASSERT_TRUE(exclusion.unknown.isEmpty());
        if (c.folders)
            userAccess->OpenUserFolders(QStringLiteral("CORP"), c.account, c.tokenKind,
                                        c.groupsOnly, exclusion.sids);
        else
            userAccess->OpenUserShares(QStringLiteral("CORP"), c.account, c.tokenKind, c.groupsOnly,
                                       exclusion.sids);
        data::Statement* expected =
            c.account == all
                ? (c.folders ? &userAccess->quAllUserFolders() : &userAccess->quAllUserShares())
                : (c.folders ? &userAccess->quUserFolders() : &userAccess->quUserShares());
        ASSERT_EQ(userAccess->CurrentStatement(), expected);
        EXPECT_EQ(expected->Param(QStringLiteral("AccessRelationLevel")).toString(),
                  UserAccessRelationLevel(c.tokenKind));
        EXPECT_EQ(expected->Param(QStringLiteral("ExcludedGroupsSID")).toString(),
                  TokenKindAllowsExclusion(c.tokenKind) ? exclusion.sids : QString());
        EXPECT_EQ(Lines(ReadAccessRows(*expected, userAccess->CurrentFields())), c.rows);
    }
}

TEST_P(ViewsTest, UserAccessKeepsOneStatementOpenAndNamesAnUnknownAccount)
{
    lookups->LoadDomainAccounts(QStringLiteral("CORP"));
    userAccess->OpenUserShares(QStringLiteral("CORP"), QStringLiteral("alice"),
                               views::kAccessViaAnyToken, false, {});
    EXPECT_TRUE(userAccess->quUserShares().Active());
    userAccess->OpenUserFolders(QStringLiteral("CORP"), QStringLiteral("[ALL]"),
                                views::kDirectAccessToken, true, {});
    EXPECT_FALSE(userAccess->quUserShares().Active());
    EXPECT_TRUE(userAccess->quAllUserFolders().Active());
    EXPECT_EQ(userAccess->quAllUserFolders().Param(QStringLiteral("IsAllGroupsOrAllUsers")).toInt(),
              1);

    try {
        userAccess->OpenUserShares(QStringLiteral("CORP"), QStringLiteral("dave"),
                                   views::kDirectAccessToken, false, {});
        ADD_FAILURE() << "no error for an account of another domain";
    } catch (const Exception& e) {
        EXPECT_TRUE(e.Message().contains(QStringLiteral("\"dave\""))) << e.Message().toStdString();
    }
    EXPECT_FALSE(userAccess->quAllUserFolders().Active());
}

struct ResourceCase
{
    const char* name;
    QString server;
    QString share;
    int everyone;
    bool expand;
    bool folders;
    QStringList rows;
};

TEST_P(ViewsTest, ResourceAccessPassesServerShareAndLevel)
{
    using namespace views;
    const QString all = QStringLiteral("[ALL]");
    const ResourceCase cases[] = {
        {"entries as they are",
         QStringLiteral("FS1"),
         {},
         kEveryoneShow,
         false,
         false,
         {QStringLiteral("FS1|PreSales|CORP\\Pre Sales|T|T|T"),
          QStringLiteral("FS1|Public|BUILTIN\\Everyone|F|F|T"),
          QStringLiteral("FS1|SalesDocs|CORP\\Sales|F|T|T")}},
        {"Everyone hidden",
         QStringLiteral("FS1"),
         all,
         kEveryoneHide,
         false,
         false,
         {QStringLiteral("FS1|PreSales|CORP\\Pre Sales|T|T|T"),
          QStringLiteral("FS1|SalesDocs|CORP\\Sales|F|T|T")}},
        {"Everyone expanded",
         QStringLiteral("FS1"),
         QStringLiteral("Public"),
         kEveryoneExpand,
         false,
         false,
         {QStringLiteral("FS1|Public|CORP\\alice|F|F|T"),
          QStringLiteral("FS1|Public|CORP\\bob|F|F|T"),
          QStringLiteral("FS1|Public|CORP\\carol|F|F|T")}},
        {"groups expanded",
         QStringLiteral("FS1"),
         {},
         kEveryoneHide,
         true,
         false,
         {QStringLiteral("FS1|PreSales|CORP\\bob|T|T|T"),
          QStringLiteral("FS1|SalesDocs|CORP\\alice|F|T|T"),
          QStringLiteral("FS1|SalesDocs|CORP\\carol|F|T|T")}},
        {"one share on every server",
         all,
         QStringLiteral("Home"),
         kEveryoneShow,
         false,
         false,
         {QStringLiteral("FS2|Home|CORP\\alice|T|T|T"),
          QStringLiteral("FS2|Home|CORP\\bob|F|F|T")}},
        {"folders",
         all,
         {},
         kEveryoneShow,
         false,
         true,
         {QStringLiteral("FS1|SalesDocs|Q1|CORP\\Sales|T|T|T|T|T|T|F"),
          QStringLiteral("FS2|Home|Docs|CORP\\alice|T|T|T|T|T|T|T"),
          QStringLiteral("FS2|Home|Docs|CORP\\bob|T|F|F|F|F|F|F")}},
        {"folders with groups expanded",
         QStringLiteral("FS1"),
         {},
         kEveryoneShow,
         true,
         true,
         {QStringLiteral("FS1|SalesDocs|Q1|CORP\\alice|T|T|T|T|T|T|F"),
          QStringLiteral("FS1|SalesDocs|Q1|CORP\\carol|T|T|T|T|T|T|F")}},
    };
    for (const ResourceCase& c : cases) {
        SCOPED_TRACE(c.name);
        data::Statement& statement =
            c.folders ? resourceAccess->quFolderUsers() : resourceAccess->quShareUsers();
        if (c.folders)
            resourceAccess->OpenFolderUsers(QStringLiteral("CORP"), c.server, c.everyone, c.expand,
                                            c.share);
        else
            resourceAccess->OpenShareUsers(QStringLiteral("CORP"), c.server, c.everyone, c.expand,
                                           c.share);
        EXPECT_EQ(statement.Param(QStringLiteral("Share")).toString(),
                  c.share.isEmpty() ? all : c.share);
        EXPECT_EQ(statement.Param(QStringLiteral("AccessRelationLevel")).toString(),
                  ResourceAccessRelationLevel(c.expand, c.everyone));
        const QList<data::FieldDef> fields = c.folders ? TResourceAccessDM::FolderUsersFields()
                                                       : TResourceAccessDM::ShareUsersFields();
        EXPECT_EQ(Lines(ReadAccessRows(statement, fields)), c.rows);
    }
    // Each operation closes only its own statement.
    resourceAccess->OpenShareUsers(QStringLiteral("CORP"), all, kEveryoneShow, false, {});
    resourceAccess->OpenFolderUsers(QStringLiteral("CORP"), all, kEveryoneShow, false, {});
    EXPECT_TRUE(resourceAccess->quShareUsers().Active());
    EXPECT_TRUE(resourceAccess->quFolderUsers().Active());
}

} // namespace
} // namespace velmora::test
