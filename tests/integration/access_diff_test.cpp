// The access-rights functions of the real databases (SQLite, and PostgreSQL when the test
// server is there) against the reference evaluator, row for row: a hand-written network
// asked every combination of arguments, and a seeded generated network asked a sample.

#include "access/AccessFunctions.h"
#include "access/Reference.h"
#include "applib/Exceptions.h"
#include "data/Connection.h"
#include "data/Dataset.h"
#include "store/AuditDatabase.h"
#include "store/ConnectionDM.h"
#include "store/ProgramFolder.h"
#include "support/LoggedTest.h"
#include "support/PgTestServer.h"

#include <QSqlDatabase>
#include <QStringList>
#include <gtest/gtest.h>
#include <random>

using namespace velmora;
using namespace velmora::access;

namespace {

const QString kEveryone = QStringLiteral("S-1-1-0");
const QString kAll = QStringLiteral("[ALL]");

QString S(const char* text)
{
    return QString::fromUtf8(text);
}

QString Padded(const QString& sid)
{
    return sid.leftJustified(47, QLatin1Char(' '));
}

// Writes the network into the audit tables, as a refresh leaves them.
void Store(data::Connection& c, const AuditData& d)
{
    QSqlDatabase db = c.Database();
    ASSERT_TRUE(db.transaction());
    data::Statement q(c);
    q.SetSQL(S("INSERT INTO Servers (ProviderName, DomainName, Server, isDC, isOnline) "
               "VALUES ('Microsoft Windows Network', :d, :s, 0, 1)"));
    for (const ServerRow& r : d.servers) {
        q.SetParam(S("d"), r.domainName);
        q.SetParam(S("s"), r.server);
        q.ExecSQL();
    }
    q.SetSQL(S("INSERT INTO ServerShares (GUID, Server, Share, isIPC) VALUES (:g, :s, :n, 0)"));
    for (const ShareRow& r : d.shares) {
        q.SetParam(S("g"), r.guid);
        q.SetParam(S("s"), r.server);
        q.SetParam(S("n"), r.share);
        q.ExecSQL();
    }
    q.SetSQL(S("INSERT INTO ShareAccessList (ServerShareGUID, UserGroupSID, FullAccess, "
               "ChangeAccess, ReadAccess) VALUES (:g, :s, :f, :c, :r)"));
    for (const ShareAccessRow& r : d.shareAccess) {
        q.SetParam(S("g"), r.shareGuid);
        q.SetParam(S("s"), r.sid);
        q.SetParam(S("f"), r.fullAccess);
        q.SetParam(S("c"), r.changeAccess);
        q.SetParam(S("r"), r.readAccess);
        q.ExecSQL();
    }
    q.SetSQL(S("INSERT INTO sharefolders (GUID, ServerShareGUID, FolderName) "
               "VALUES (:g, :s, :n)"));
    for (const FolderRow& r : d.folders) {
        q.SetParam(S("g"), r.guid);
        q.SetParam(S("s"), r.shareGuid);
        q.SetParam(S("n"), r.folderName);
        q.ExecSQL();
    }
    q.SetSQL(S("INSERT INTO folderaccesslist (FolderGUID, UserGroupSID, ListDirectory, AddFile, "
               "AddSubdirectory, Traverse, DeleteChild, _Delete, FullControl) "
               "VALUES (:g, :s, :a, :b, :c, :d, :e, :f, :h)"));
    for (const FolderAccessRow& r : d.folderAccess) {
        q.SetParam(S("g"), r.folderGuid);
        q.SetParam(S("s"), r.sid);
        q.SetParam(S("a"), r.listDirectory);
        q.SetParam(S("b"), r.addFile);
        q.SetParam(S("c"), r.addSubdirectory);
        q.SetParam(S("d"), r.traverse);
        q.SetParam(S("e"), r.deleteChild);
        q.SetParam(S("f"), r.deleteRight);
        q.SetParam(S("h"), r.fullControl);
        q.ExecSQL();
    }
    q.SetSQL(S("INSERT INTO UserGroupList (SID, UserGroupName, DomainName, isGroup, "
               "hasAdminRights) VALUES (:s, :n, :d, :g, 0)"));
    for (const AccountRow& r : d.accounts) {
        q.SetParam(S("s"), r.sid);
        q.SetParam(S("n"), r.name);
        q.SetParam(S("d"), r.domainName);
        q.SetParam(S("g"), r.isGroup ? 1 : 0);
        q.ExecSQL();
    }
    q.SetSQL(S("INSERT INTO User2Group (UserGroupSID, GroupSID) VALUES (:m, :g)"));
    for (const MembershipRow& r : d.memberships) {
        q.SetParam(S("m"), Padded(r.memberSid));
        q.SetParam(S("g"), Padded(r.groupSid));
        q.ExecSQL();
    }
    ASSERT_TRUE(db.commit());
    // Statistics as the server's autovacuum would gather them for tables filled this way.
    if (c.CurrentBackend()->ProviderName() == QLatin1String("PostgreSQL"))
        c.ExecDirect(S("ANALYZE"));
}

struct Question
{
    AccessFunction function;
    QVariantList arguments;
};

std::string Describe(const Question& q)
{
    QStringList args;
    for (const QVariant& a : q.arguments)
        args << QLatin1Char('"') + a.toString() + QLatin1Char('"');
    return (FunctionName(q.function) + QLatin1Char('(') + args.join(QStringLiteral(", ")) +
            QLatin1Char(')'))
        .toStdString();
}

// The statements as the views write them: unquoted names in ORDER BY, and the fifth
// function's columns named with the bracketed "[Full Control]".
QString SqlOf(AccessFunction function)
{
    const QString call = FunctionName(function) + S("(:DomainName, :A, :B, :AccessRelationLevel)");
    switch (function) {
    case AccessFunction::SharesForUser:
        return S("SELECT * FROM ") + call;
    case AccessFunction::FoldersForUser:
        return S("SELECT * FROM ") + call + S(" Order BY Server, Share, FolderName");
    case AccessFunction::SharesForAllUsersGroups:
        return S("SELECT * FROM ") + call + S(" ORDER BY UserGroupName, Server, Share");
    case AccessFunction::FoldersForAllUsersGroups:
        return S("SELECT * FROM ") + call + S(" Order BY UserGroupName, Server, Share, FolderName");
    case AccessFunction::UsersToServerShare:
        return S("SELECT Server, Share, UserName, [Full Control], [Change], [Read] FROM ") + call +
               S(" ORDER BY Server, Share, UserName");
    case AccessFunction::UsersToServerShareFolders:
        return S("SELECT * FROM ") + call + S(" ORDER BY Server, Share, FolderName, UserName");
    }
    return {};
}

// The function's rows as RowText lines, sorted; `grouped` tells whether each server's rows
// came together.
QStringList DatabaseRows(data::Connection& c, const Question& q, bool& grouped)
{
    data::Statement s(c);
    s.SetSQL(SqlOf(q.function));
    s.SetParam(S("DomainName"), q.arguments[0]);
    s.SetParam(S("A"), q.arguments[1]);
    s.SetParam(S("B"), q.arguments[2]);
    s.SetParam(S("AccessRelationLevel"), q.arguments[3]);
    s.Open();
    // PostgreSQL gives unquoted names in lower case; the program reads them without case.
    const QStringList columns = s.FieldNames();
    EXPECT_EQ(columns.join(QLatin1Char('|')).toLower(),
              ResultColumns(q.function).join(QLatin1Char('|')).toLower());
    const QStringList rights =
        IsFolderFunction(q.function) ? FolderRightColumns() : ShareRightColumns();
    const QString account = IsResourceSide(q.function) ? S("UserName") : S("UserGroupName");
    QStringList lines;
    QStringList serversSeen;
    grouped = true;
    for (; !s.Eof(); s.Next()) {
        AccessRow row;
        if (columns.contains(account, Qt::CaseInsensitive))
            row.account = s.FieldByName(account).toString();
        row.server = s.FieldByName(S("Server")).toString();
        row.share = s.FieldByName(S("Share")).toString();
        if (columns.contains(S("FolderName"), Qt::CaseInsensitive))
            row.folderName = s.FieldByName(S("FolderName")).toString();
        for (qsizetype i = 0; i < rights.size(); ++i) {
            if (s.FieldByName(rights[i]).toBool())
                row.rights |= 1u << i;
        }
        const QString server = row.server.toLower();
        if (!serversSeen.isEmpty() && serversSeen.last() != server) {
            grouped = grouped && !serversSeen.contains(server);
            serversSeen << server;
        } else if (serversSeen.isEmpty()) {
            serversSeen << server;
        }
        lines << RowText(row, q.function);
    }
    lines.sort();
    return lines;
}

QStringList ReferenceRows(const AuditData& data, const Question& q)
{
    QList<AccessRow> rows;
    QString error;
    EXPECT_TRUE(Evaluate(data, q.function, q.arguments, rows, error)) << error.toStdString();
    QStringList lines;
    for (const AccessRow& row : rows)
        lines << RowText(row, q.function);
    lines.sort();
    return lines;
}

// ---------------------------------------------------------------------------------------
// The hand-written network.
//
// CORP: SRV1, SRV2; LAB: SRV2 again (its shares belong to both) and LABSRV.
//   alice -> Pre Sales -> Staff -> Pre Sales (a cycle); bob -> Sales -> Staff;
//   carol -> Admins -> Staff; dave (LAB) -> Lab Users.
//   "Sales" has a SID that starts with "Pre Sales"' SID.
const QString kAlice = S("S-1-5-21-9-1001");
const QString kBob = S("S-1-5-21-9-1002");
const QString kCarol = S("S-1-5-21-9-1003");
const QString kPreSales = S("S-1-5-21-9-1105");
const QString kSales = S("S-1-5-21-9-11050");
const QString kStaff = S("S-1-5-21-9-1200");
const QString kAdmins = S("S-1-5-21-9-512");
const QString kDave = S("S-1-5-21-7-1001");
const QString kLabUsers = S("S-1-5-21-7-513");
const QString kUnknown = S("S-1-5-21-9-4444"); // named by entries, not in UserGroupList

AuditData HandNetwork()
{
    AuditData d;
    d.servers = {{S("CORP"), S("SRV1")}, {S("CORP"), S("SRV2")}, {S("LAB"), S("SRV2")},
                 {S("LAB"), S("LABSRV")}};
    // Share rows name their server in another letter case than Servers does.
    d.shares = {{S("{00000000-0000-0000-0000-0000000000A1}"), S("SRV1"), S("Data")},
                {S("{00000000-0000-0000-0000-0000000000A2}"), S("srv1"), S("Public")},
                {S("{00000000-0000-0000-0000-0000000000A3}"), S("SRV2"), S("Apps")},
                {S("{00000000-0000-0000-0000-0000000000A4}"), S("SRV2"), S("Empty")},
                {S("{00000000-0000-0000-0000-0000000000A5}"), S("LABSRV"), S("Data")}};
    const QString data = d.shares[0].guid, pub = d.shares[1].guid, apps = d.shares[2].guid,
                  empty = d.shares[3].guid, lab = d.shares[4].guid;
    d.shareAccess = {
        {data, kPreSales, 0, 1, 0},  {data, kStaff, 0, 0, 1},     {data, kUnknown, 1, 0, 0},
        {data, kAdmins, 1, 0, 0},    {data, kCarol, 0, 2, 0},     {pub, kEveryone, 0, 0, 1},
        {pub, kBob, 2, 0, 0},        {pub, kAlice, 0, 0, 0},      {apps, kSales, 1, 0, 0},
        {apps, kAlice, 1, 0, 0},     {apps, kAlice, 0, 0, 2},     {apps, kEveryone, 0, 1, 0},
        {apps, kDave, 0, 0, 1},      {lab, kLabUsers, 1, 0, 0},   {lab, kEveryone, 0, 0, 1},
        {lab, kDave, 0, 0, 2},
    };
    auto folder = [&d](const char* guid, const QString& share, const char* name) {
        d.folders.append({S(guid), share, S(name)});
        return S(guid);
    };
    const QString f1 = folder("{F1}", data, "\\\\SRV1\\Data");
    const QString f2 = folder("{F2}", data, "\\\\SRV1\\Data\\Private");
    const QString f3 = folder("{F3}", apps, "\\\\SRV2\\Apps\\Bin");
    const QString f4 = folder("{F4}", pub, "\\\\srv1\\Public\\Docs");
    const QString f5 = folder("{F5}", apps, "\\\\SRV2\\Apps");
    const QString f6 = folder("{F6}", lab, "\\\\LABSRV\\Data\\X");
    folder("{F7}", empty, "\\\\SRV2\\Empty");
    d.folderAccess = {
        {f1, kPreSales, 1, 1, 1, 1, 1, 1, 1}, {f1, kAdmins, 1, 1, 1, 1, 1, 1, 1},
        {f1, kCarol, 0, 0, 0, 0, 0, 2, 0},    {f2, kAlice, 1, 0, 0, 1, 0, 0, 0},
        {f2, kStaff, 2, 0, 0, 0, 0, 0, 0},    {f2, kUnknown, 1, 1, 1, 1, 1, 1, 0},
        {f3, kSales, 1, 1, 1, 1, 1, 1, 1},    {f3, kBob, 0, 0, 0, 0, 2, 0, 0},
        {f3, kEveryone, 1, 0, 0, 1, 0, 0, 0}, {f4, kEveryone, 1, 1, 0, 0, 0, 0, 0},
        // 0x000F01FF allowed: FullControl without SYNCHRONIZE.
        {f5, kSales, 1, 1, 1, 1, 1, 1, 2},    {f5, kAlice, 1, 1, 1, 1, 1, 1, 2},
        {f5, kAlice, 0, 0, 0, 0, 0, 0, 0},    {f6, kLabUsers, 1, 1, 1, 1, 1, 1, 1},
        {f6, kEveryone, 1, 0, 0, 1, 0, 0, 0}, {f6, kDave, 0, 2, 0, 0, 0, 0, 0},
    };
    d.accounts = {{kAlice, S("alice"), S("CORP"), false},    {kBob, S("bob"), S("CORP"), false},
                  {kCarol, S("carol"), S("CORP"), false},    {kPreSales, S("Pre Sales"), S("CORP"), true},
                  {kSales, S("Sales"), S("CORP"), true},     {kStaff, S("Staff"), S("CORP"), true},
                  {kAdmins, S("Admins"), S("CORP"), true},   {kDave, S("dave"), S("LAB"), false},
                  {kLabUsers, S("Lab Users"), S("LAB"), true},
                  {kEveryone, S("Everyone"), S("BUILTIN"), true}};
    d.memberships = {{kAlice, kPreSales}, {kBob, kSales},     {kPreSales, kStaff},
                     {kStaff, kPreSales}, {kSales, kStaff},   {kCarol, kAdmins},
                     {kAdmins, kStaff},   {kDave, kLabUsers}};
    return d;
}

std::vector<Question> HandQuestions()
{
    using F = AccessFunction;
    std::vector<Question> questions;
    const QStringList accountLevels{QString(), S("G"), S("E"), S("GE")};
    const QStringList exclusions{QString(), kPreSales, kSales,
                                 S("junk, ") + kAdmins + S(" , S-1-5-21-9-1200'; --")};
    const QStringList domains{S("CORP"), S("lab")};
    for (const QString& domain : domains) {
        for (const QString& level : accountLevels) {
            for (const QString& excluded : exclusions) {
                for (const QString& sid : {kAlice, kBob, kCarol, kStaff, kDave, kEveryone,
                                           kUnknown, kAlice.toLower()}) {
                    questions.push_back({F::SharesForUser, {domain, sid, excluded, level}});
                    questions.push_back({F::FoldersForUser, {domain, sid, excluded, level}});
                }
                for (const QVariant& groups : {QVariant(0), QVariant(1)}) {
                    questions.push_back(
                        {F::SharesForAllUsersGroups, {domain, groups, excluded, level}});
                    questions.push_back(
                        {F::FoldersForAllUsersGroups, {domain, groups, excluded, level}});
                }
            }
        }
        for (const QString& level : {S("S"), S("H"), S("X"), S("ES"), S("EH"), S("eX")}) {
            for (const QString& server : {S("SRV1"), S("srv2"), S("LABSRV"), kAll, S("NONE")}) {
                for (const QString& share : {kAll, S("Data"), S("PUBLIC")}) {
                    questions.push_back({F::UsersToServerShare, {domain, server, share, level}});
                    questions.push_back(
                        {F::UsersToServerShareFolders, {domain, server, share, level}});
                }
            }
        }
    }
    return questions;
}

// ---------------------------------------------------------------------------------------
// Generated networks: a domain of a few hundred accounts with nested groups (cycles
// included), tens of shares and a few thousand folders, with allow and deny entries.

AuditData GeneratedNetwork(unsigned seed)
{
    std::mt19937 random(seed);
    auto pick = [&random](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    auto chance = [&random](int percent) { return static_cast<int>(random() % 100) < percent; };
    AuditData d;
    QStringList users, groups;
    for (int i = 0; i < 200; ++i) {
        users << S("S-1-5-21-5-%1").arg(2000 + i);
        d.accounts.append({users.last(), S("user%1").arg(i), S("CORP"), false});
    }
    for (int i = 0; i < 30; ++i) {
        groups << S("S-1-5-21-5-%1").arg(500 + i);
        d.accounts.append({groups.last(), S("group%1").arg(i), S("CORP"), true});
    }
    d.accounts.append({kEveryone, S("Everyone"), S("BUILTIN"), true});
    QSet<QString> pairs;
    auto member = [&](const QString& m, const QString& g) {
        if (m != g && !pairs.contains(m + g)) {
            pairs.insert(m + g);
            d.memberships.append({m, g});
        }
    };
    for (const QString& u : users) {
        for (int k = 1 + pick(3); k > 0; --k)
            member(u, groups[pick(static_cast<int>(groups.size()))]);
    }
    for (const QString& g : groups) {
        if (chance(50))
            member(g, groups[pick(static_cast<int>(groups.size()))]);
    }
    auto someSid = [&]() -> QString {
        const int kind = pick(10);
        if (kind < 2)
            return kEveryone;
        if (kind < 7)
            return groups[pick(static_cast<int>(groups.size()))];
        return users[pick(static_cast<int>(users.size()))];
    };
    auto access = [&]() { return chance(12) ? 2 : chance(85) ? 1 : 0; };
    for (int s = 0; s < 6; ++s)
        d.servers.append({S("CORP"), S("GSRV%1").arg(s)});
    d.servers.append({S("OTHER"), S("GSRV5")});
    for (int n = 0; n < 24; ++n) {
        const QString guid = S("{00000000-0000-0000-0001-%1}").arg(n, 12, 10, QLatin1Char('0'));
        const QString server = S("GSRV%1").arg(n % 6);
        const QString share = S("Share%1").arg(n / 6);
        d.shares.append({guid, server, share});
        for (int e = 2 + pick(4); e > 0; --e) {
            ShareAccessRow row{guid, someSid(), 0, 0, 0};
            int* columns[3] = {&row.fullAccess, &row.changeAccess, &row.readAccess};
            const int column = pick(4); // 3: all zero, an entry of another mask
            if (column < 3)
                *columns[column] = access();
            d.shareAccess.append(row);
        }
        for (int f = 0; f < 60; ++f) {
            const QString folderGuid =
                S("{00000000-0000-0000-0002-%1}").arg(n * 1000 + f, 12, 10, QLatin1Char('0'));
            d.folders.append({folderGuid, guid, S("\\\\%1\\%2\\f%3").arg(server, share).arg(f)});
            for (int e = pick(4); e > 0; --e) {
                FolderAccessRow row{folderGuid, someSid()};
                const bool deny = chance(10);
                int* columns[6] = {&row.listDirectory, &row.addFile,     &row.addSubdirectory,
                                   &row.traverse,      &row.deleteChild, &row.deleteRight};
                const bool full = chance(25);
                for (int* c : columns)
                    *c = (full || chance(50)) ? (deny ? 2 : 1) : 0;
                row.fullControl = full ? 1 + pick(2) : chance(3) ? 1 : 0;
                d.folderAccess.append(row);
            }
        }
    }
    return d;
}

std::vector<Question> SampleQuestions(unsigned seed)
{
    using F = AccessFunction;
    std::mt19937 random(seed * 7919u);
    std::vector<Question> questions;
    const QStringList accountLevels{QString(), S("G"), S("E"), S("GE")};
    for (int i = 0; i < 10; ++i) {
        const bool group = i % 3 == 0;
        const QString sid = group ? S("S-1-5-21-5-%1").arg(500 + random() % 30)
                                  : S("S-1-5-21-5-%1").arg(2000 + random() % 200);
        const QString excluded = S("S-1-5-21-5-%1, S-1-5-21-5-%2")
                                     .arg(500 + random() % 30)
                                     .arg(500 + random() % 30);
        for (const QString& level : accountLevels) {
            for (F f : {F::SharesForUser, F::FoldersForUser}) {
                questions.push_back({f, {S("CORP"), sid, QString(), level}});
                questions.push_back({f, {S("CORP"), sid, excluded, level}});
            }
        }
    }
    for (const QString& level : accountLevels) {
        for (F f : {F::SharesForAllUsersGroups, F::FoldersForAllUsersGroups}) {
            questions.push_back({f, {S("CORP"), 0, QString(), level}});
            questions.push_back({f, {S("CORP"), 1, S("S-1-5-21-5-503"), level}});
        }
    }
    // Every folder of the domain for every user is left to the hand-written network: its
    // answer is large and slow to compare.
    const std::pair<QString, QString> places[] = {
        {S("GSRV1"), kAll}, {S("GSRV5"), kAll}, {S("GSRV1"), S("Share2")}, {kAll, S("Share2")}};
    for (const QString& level : {S("S"), S("H"), S("X"), S("ES"), S("EH"), S("EX")}) {
        questions.push_back({F::UsersToServerShare, {S("CORP"), kAll, kAll, level}});
        for (const auto& [server, share] : places) {
            for (F f : {F::UsersToServerShare, F::UsersToServerShareFolders})
                questions.push_back({f, {S("CORP"), server, share, level}});
        }
    }
    return questions;
}

// ---------------------------------------------------------------------------------------

class AccessDiffTest : public test::LoggedTest, public ::testing::WithParamInterface<const char*>
{
protected:
    void SetUp() override
    {
        LoggedTest::SetUp();
        const QString provider = QString::fromLatin1(GetParam());
        data::ConnectionParams params;
        if (provider == QLatin1String("SQLite")) {
            params.provider = provider;
            params.dataSource = dir.filePath(S("audit.db"));
            QString error;
            ASSERT_TRUE(store::CreateDatabaseFile(params.dataSource, error)) << error.toStdString();
        } else {
            VELMORA_CREATE_PG_DATABASE(pg);
            QString report, error;
            const store::ProgramFolder folder(dir.path());
            ASSERT_TRUE(store::InitServerDatabase(folder, pg.Params(), report, error))
                << error.toStdString();
            params = pg.Params();
        }
        ASSERT_TRUE(connection.Open(params)) << connection.LastError().toStdString();
        QString missing;
        ASSERT_TRUE(HasAccessFunctions(connection, missing)) << missing.toStdString();
    }
    void TearDown() override
    {
        connection.Close();
        LoggedTest::TearDown();
    }

    // Every question asked of the database and of the reference; returns the rows seen.
    int Compare(const AuditData& network, const std::vector<Question>& questions)
    {
        int rowsSeen = 0;
        for (const Question& q : questions) {
            SCOPED_TRACE(Describe(q));
            bool grouped = true;
            QStringList actual;
            try {
                actual = DatabaseRows(connection, q, grouped);
            } catch (const Exception& e) {
                ADD_FAILURE() << e.Message().toStdString();
                continue;
            }
            EXPECT_EQ(actual, ReferenceRows(network, q));
            if (q.function == AccessFunction::SharesForUser) {
                EXPECT_TRUE(grouped) << "rows of one server are not together";
            }
            rowsSeen += static_cast<int>(actual.size());
            if (HasFailure())
                break; // one difference tells enough
        }
        return rowsSeen;
    }

    data::Connection connection;
    test::PgTestDatabase pg;
};

TEST_P(AccessDiffTest, HandWrittenNetworkAgreesWithTheReferenceOnEveryArgumentCombination)
{
    const AuditData network = HandNetwork();
    Store(connection, network);
    // Rows are what is compared: a run in which every answer is empty would prove nothing.
    EXPECT_GT(Compare(network, HandQuestions()), 300);
}

TEST_P(AccessDiffTest, GeneratedNetworksAgreeWithTheReferenceOnASample)
{
    const unsigned seed = 11;
    const AuditData network = GeneratedNetwork(seed);
    Store(connection, network);
    EXPECT_GT(Compare(network, SampleQuestions(seed)), 1000);
}

TEST_P(AccessDiffTest, ErrorsNameTheFunctionAndTheBadLevel)
{
    for (AccessFunction f : AllAccessFunctions()) {
        const Question q{f, {S("CORP"), kAll, kAll, S("GX")}};
        bool grouped = true;
        try {
            DatabaseRows(connection, q, grouped);
            ADD_FAILURE() << Describe(q) << " gave rows";
        } catch (const Exception& e) {
            EXPECT_TRUE(e.Message().contains(S("\"GX\""))) << e.Message().toStdString();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, AccessDiffTest, ::testing::Values("SQLite", "PostgreSQL"),
                         [](const auto& info) { return std::string(info.param); });

} // namespace
