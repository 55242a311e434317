// The reference evaluator of the access-rights functions on a small hand-made network, with
// the expected rows written out.

#include "access/Reference.h"
#include "support/QtPrinters.h"

#include <QStringList>
#include <gtest/gtest.h>

using namespace velmora::access;

namespace {

const QString kAlice = QStringLiteral("S-1-5-21-9-1001");
const QString kBob = QStringLiteral("S-1-5-21-9-1002");
const QString kPreSales = QStringLiteral("S-1-5-21-9-1105");
const QString kSales = QStringLiteral("S-1-5-21-9-11050"); // "Pre Sales" SID is a prefix of it
const QString kStaff = QStringLiteral("S-1-5-21-9-1200");
const QString kEveryone = QStringLiteral("S-1-1-0");

// User2Group keeps SIDs blank-padded to 47 characters.
QString Padded(const QString& sid)
{
    return sid.leftJustified(47, QLatin1Char(' '));
}

// Servers SRV1 and SRV2 of CORP, SRV9 of OTHER.
//   alice -> Pre Sales -> Staff -> Pre Sales (a cycle); bob -> Sales -> Staff.
//   \\SRV1\Data:   Pre Sales Change, Staff Read
//   \\SRV1\Public: Everyone Read, bob Full denied
//   \\SRV2\Apps:   Sales Full, alice Full and alice Read denied
//   \\SRV9\Foreign (other domain): alice Full
// Folders:
//   \\SRV1\Data            Pre Sales: six bits and full mask 0x001F01FF
//   \\SRV1\Data\Private    alice ListDirectory+Traverse; Staff ListDirectory denied
//   \\SRV2\Apps\Bin        Sales: six bits and full mask; bob DeleteChild denied
//   \\SRV1\Public\Docs     Everyone ListDirectory+AddFile
AuditData Network()
{
    AuditData d;
    d.servers = {{QStringLiteral("CORP"), QStringLiteral("SRV1")},
                 {QStringLiteral("CORP"), QStringLiteral("SRV2")},
                 {QStringLiteral("OTHER"), QStringLiteral("SRV9")}};
    // Listed out of order: the first function sorts by server and share itself.
    d.shares = {{QStringLiteral("{S3}"), QStringLiteral("SRV2"), QStringLiteral("Apps")},
                {QStringLiteral("{S2}"), QStringLiteral("SRV1"), QStringLiteral("Public")},
                {QStringLiteral("{S1}"), QStringLiteral("SRV1"), QStringLiteral("Data")},
                {QStringLiteral("{S9}"), QStringLiteral("SRV9"), QStringLiteral("Foreign")}};
    d.shareAccess = {{QStringLiteral("{S1}"), kPreSales, 0, 1, 0},
                     {QStringLiteral("{S1}"), kStaff, 0, 0, 1},
                     {QStringLiteral("{S2}"), kEveryone, 0, 0, 1},
                     {QStringLiteral("{S2}"), kBob, 2, 0, 0},
                     {QStringLiteral("{S3}"), kSales, 1, 0, 0},
                     {QStringLiteral("{S3}"), kAlice, 1, 0, 0},
                     {QStringLiteral("{S3}"), kAlice, 0, 0, 2},
                     {QStringLiteral("{S9}"), kAlice, 1, 0, 0}};
    d.folders = {{QStringLiteral("{F1}"), QStringLiteral("{S1}"), QStringLiteral("\\\\SRV1\\Data")},
                 {QStringLiteral("{F2}"), QStringLiteral("{S1}"),
                  QStringLiteral("\\\\SRV1\\Data\\Private")},
                 {QStringLiteral("{F3}"), QStringLiteral("{S3}"),
                  QStringLiteral("\\\\SRV2\\Apps\\Bin")},
                 {QStringLiteral("{F4}"), QStringLiteral("{S2}"),
                  QStringLiteral("\\\\SRV1\\Public\\Docs")}};
    d.folderAccess = {{QStringLiteral("{F1}"), kPreSales, 1, 1, 1, 1, 1, 1, 1},
                      {QStringLiteral("{F2}"), kAlice, 1, 0, 0, 1, 0, 0, 0},
                      {QStringLiteral("{F2}"), kStaff, 2, 0, 0, 0, 0, 0, 0},
                      {QStringLiteral("{F3}"), kSales, 1, 1, 1, 1, 1, 1, 1},
                      {QStringLiteral("{F3}"), kBob, 0, 0, 0, 0, 2, 0, 0},
                      {QStringLiteral("{F4}"), kEveryone, 1, 1, 0, 0, 0, 0, 0}};
    d.accounts = {{kAlice, QStringLiteral("alice"), QStringLiteral("CORP"), false},
                  {kBob, QStringLiteral("bob"), QStringLiteral("CORP"), false},
                  {kPreSales, QStringLiteral("Pre Sales"), QStringLiteral("CORP"), true},
                  {kSales, QStringLiteral("Sales"), QStringLiteral("CORP"), true},
                  {kStaff, QStringLiteral("Staff"), QStringLiteral("CORP"), true},
                  {kEveryone, QStringLiteral("Everyone"), QStringLiteral("BUILTIN"), true}};
    d.memberships = {{Padded(kAlice), Padded(kPreSales)},
                     {Padded(kBob), Padded(kSales)},
                     {Padded(kPreSales), Padded(kStaff)},
                     {Padded(kStaff), Padded(kPreSales)},
                     {Padded(kSales), Padded(kStaff)}};
    return d;
}

struct Case
{
    const char* name;
    AccessFunction function;
    QVariantList arguments;
    QStringList expected; // RowText lines; in this order for the first function
};

QStringList Rows(const AuditData& data, const Case& c)
{
    QList<AccessRow> rows;
    QString error;
    EXPECT_TRUE(Evaluate(data, c.function, c.arguments, rows, error)) << error.toStdString();
    QStringList lines;
    for (const AccessRow& row : rows)
        lines << RowText(row, c.function);
    if (c.function != AccessFunction::SharesForUser)
        lines.sort();
    return lines;
}

QString S(const char* text)
{
    return QString::fromUtf8(text);
}

TEST(AccessReferenceTest, RowsOfHandMadeCases)
{
    using F = AccessFunction;
    const QString corp = QStringLiteral("CORP");
    const QString all = QStringLiteral("[ALL]");
    const Case cases[] = {
        // Own entries only: alice's Full allow and Read deny on Apps leave no share right;
        // her Full on the other domain's share is not shown.
        {"own entries", F::SharesForUser, {corp, kAlice, QString(), QString()}, {}},
        {"through groups", F::SharesForUser, {corp, kAlice, QString(), S("G")},
         {S("|SRV1|Data||011")}},
        {"through Everyone", F::SharesForUser, {corp, kAlice, QString(), S("E")},
         {S("|SRV1|Public||001")}},
        // Sorted by server then share although the data lists Apps first.
        {"any token, sorted", F::SharesForUser, {corp, kAlice, QString(), S("ge")},
         {S("|SRV1|Data||011"), S("|SRV1|Public||001")}},
        // bob's Full deny on Public beats Everyone's Read; a cycle in the groups ends.
        {"deny beats allow", F::SharesForUser, {corp, kBob, QString(), S("GE")},
         {S("|SRV1|Data||011"), S("|SRV2|Apps||111")}},
        // Staff is reached only through the excluded Pre Sales.
        {"excluded group and its parents", F::SharesForUser,
         {corp, kAlice, kPreSales, S("G")}, {}},
        // Excluding Sales (whose SID starts with Pre Sales') leaves Pre Sales; garbage
        // entries are ignored.
        {"exclusion by whole SID", F::SharesForUser,
         {corp, kAlice, S("junk, ") + kSales + S(" ,'; DROP TABLE x"), S("G")},
         {S("|SRV1|Data||011")}},
        {"exclusion ignored without G", F::SharesForUser, {corp, kAlice, kPreSales, S("E")},
         {S("|SRV1|Public||001")}},
        // Change on the share caps FullControl; Staff's ListDirectory deny leaves Traverse.
        {"folders capped by Change", F::FoldersForUser, {corp, kAlice, QString(), S("G")},
         {S("|SRV1|Data|\\\\SRV1\\Data|1111110"),
          S("|SRV1|Data|\\\\SRV1\\Data\\Private|0001000")}},
        // Read on the share leaves ListDirectory and Traverse only.
        {"folders capped by Read", F::FoldersForUser, {corp, kAlice, QString(), S("E")},
         {S("|SRV1|Public|\\\\SRV1\\Public\\Docs|1000000")}},
        // A deny of one bit takes FullControl away; Public is not reachable for bob.
        {"full mask broken by a deny", F::FoldersForUser, {corp, kBob, QString(), S("GE")},
         {S("|SRV1|Data|\\\\SRV1\\Data|1111110"),
          S("|SRV2|Apps|\\\\SRV2\\Apps\\Bin|1111010")}},
        {"no share right, no folder", F::FoldersForUser, {corp, kAlice, QString(), QString()},
         {}},
        {"all users", F::SharesForAllUsersGroups, {corp, 0, QString(), S("G")},
         {S("alice|SRV1|Data||011"), S("bob|SRV1|Data||011"), S("bob|SRV2|Apps||111")}},
        // Everyone is a BUILTIN account, not one of CORP's groups.
        {"all groups", F::SharesForAllUsersGroups, {corp, S("True"), QString(), QString()},
         {S("Pre Sales|SRV1|Data||011"), S("Sales|SRV2|Apps||111"),
          S("Staff|SRV1|Data||001")}},
        {"all groups' folders", F::FoldersForAllUsersGroups, {corp, 1, QString(), QString()},
         {S("Pre Sales|SRV1|Data|\\\\SRV1\\Data|1111110"),
          S("Sales|SRV2|Apps|\\\\SRV2\\Apps\\Bin|1111111")}},
        {"server: show Everyone", F::UsersToServerShare, {corp, S("SRV1"), all, S("S")},
         {S("BUILTIN\\Everyone|SRV1|Public||001"), S("CORP\\Pre Sales|SRV1|Data||011"),
          S("CORP\\Staff|SRV1|Data||001")}},
        {"server: hide Everyone", F::UsersToServerShare, {corp, S("SRV1"), all, S("H")},
         {S("CORP\\Pre Sales|SRV1|Data||011"), S("CORP\\Staff|SRV1|Data||001")}},
        // Every user counts Everyone's entries with its own: alice (named nowhere) gets
        // Public, bob's deny still wins.
        {"server: expand Everyone", F::UsersToServerShare, {corp, S("SRV1"), all, S("X")},
         {S("CORP\\Pre Sales|SRV1|Data||011"), S("CORP\\Staff|SRV1|Data||001"),
          S("CORP\\alice|SRV1|Public||001")}},
        {"groups expanded, Everyone shown", F::UsersToServerShare,
         {corp, S("SRV1"), all, S("ES")},
         {S("BUILTIN\\Everyone|SRV1|Public||001"), S("CORP\\alice|SRV1|Data||011"),
          S("CORP\\bob|SRV1|Data||011")}},
        {"groups expanded, Everyone hidden", F::UsersToServerShare,
         {corp, S("SRV1"), all, S("EH")},
         {S("CORP\\alice|SRV1|Data||011"), S("CORP\\bob|SRV1|Data||011")}},
        {"groups and Everyone expanded", F::UsersToServerShare, {corp, S("SRV1"), all, S("EX")},
         {S("CORP\\alice|SRV1|Data||011"), S("CORP\\alice|SRV1|Public||001"),
          S("CORP\\bob|SRV1|Data||011")}},
        {"one share of every server", F::UsersToServerShare, {corp, all, S("Public"), S("S")},
         {S("BUILTIN\\Everyone|SRV1|Public||001")}},
        {"server of another domain", F::UsersToServerShare, {corp, S("SRV9"), all, S("S")},
         {}},
        // Named accounts with their own entries only: alice and bob have none that reach.
        {"folders of a server", F::UsersToServerShareFolders, {corp, S("SRV2"), all, S("S")},
         {S("CORP\\Sales|SRV2|Apps|\\\\SRV2\\Apps\\Bin|1111111")}},
        {"folders, groups and Everyone expanded", F::UsersToServerShareFolders,
         {corp, S("SRV2"), all, S("EX")},
         {S("CORP\\bob|SRV2|Apps|\\\\SRV2\\Apps\\Bin|1111010")}},
    };
    const AuditData data = Network();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QStringList expected = c.expected;
        if (c.function != F::SharesForUser)
            expected.sort();
        EXPECT_EQ(Rows(data, c), expected);
    }
}

TEST(AccessReferenceTest, LevelsOutsideTheLetterSetsAreErrors)
{
    const AuditData data = Network();
    const struct
    {
        AccessFunction function;
        const char* level;
    } bad[] = {{AccessFunction::SharesForUser, "Q"},
               {AccessFunction::FoldersForUser, "GG"},
               {AccessFunction::UsersToServerShare, ""},
               {AccessFunction::UsersToServerShareFolders, "XE"},
               {AccessFunction::UsersToServerShare, "ESH"}};
    for (const auto& b : bad) {
        QList<AccessRow> rows;
        QString error;
        EXPECT_FALSE(Evaluate(data, b.function,
                              {QStringLiteral("CORP"), kAlice, QStringLiteral("[ALL]"),
                               QString::fromUtf8(b.level)},
                              rows, error))
            << b.level;
        EXPECT_TRUE(error.contains(FunctionName(b.function))) << error.toStdString();
    }
}

} // namespace
