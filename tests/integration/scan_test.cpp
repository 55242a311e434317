// The scan of accounts, shares and folders on hand-written lab networks: which rows reach
// the audit tables, in which order, with which rights, and what is logged.

#include "applib/Exceptions.h"
#include "data/Dataset.h"
#include "support/AuditFixture.h"

#include <QFile>

using namespace velmora;
using velmora::test::AuditFixture;

namespace {

class ScanTest : public AuditFixture
{
  protected:
    void StartFile(const char* fileName)
    {
        QFile file(QStringLiteral(VELMORA_TEST_DATA_DIR "/") + QString::fromLatin1(fileName));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << fileName;
        StartLab(file.readAll());
    }

    void Refresh(const char* fileName, int maxFolderDepth = 3)
    {
        StartFile(fileName);
        dataDM->MaxFolderDepth = maxFolderDepth;
        ShowWait();
        dataDM->RefreshAll();
    }

    // The rows of a query, columns joined by blanks (NULL as "-").
    QStringList Rows(const QString& sql)
    {
        QStringList rows;
        data::Statement q(connection->Connection());
        q.SetSQL(sql);
        for (q.Open(); !q.Eof(); q.Next()) {
            QStringList columns;
            for (int i = 0; i < q.FieldNames().size(); ++i) {
                const QVariant v = q.FieldAt(i);
                columns << (v.isNull() ? QStringLiteral("-") : v.toString().trimmed());
            }
            rows << columns.join(QLatin1Char(' '));
        }
        return rows;
    }

    // Folder names below a share's root, in the order they were recorded ("" the root).
    QStringList FolderNames(const QString& share)
    {
        const QString root = QStringLiteral("\\\\FS1\\") + share;
        QStringList names;
        for (const QString& name :
             Rows(QStringLiteral("SELECT FolderName FROM sharefolders ORDER BY rowid"))) {
            if (name == root)
                names << QString();
            else if (name.startsWith(root + QLatin1Char('\\')))
                names << name.mid(root.size() + 1);
        }
        return names;
    }

    // Folder entries of the Tree share as "FOLDER SID ListDirectory AddFile AddSubdirectory
    // Traverse DeleteChild _Delete FullControl" in posting order.
    QStringList FolderEntries()
    {
        QStringList rows;
        for (QString row : Rows(QStringLiteral(
                 "SELECT f.FolderName, a.UserGroupSID, a.ListDirectory, a.AddFile, "
                 "a.AddSubdirectory, "
                 "a.Traverse, a.DeleteChild, a._Delete, a.FullControl FROM folderaccesslist a "
                 "JOIN sharefolders f ON f.GUID = a.FolderGUID "
                 "WHERE f.FolderName LIKE '\\\\FS1\\Tree%' ORDER BY a.rowid")))
            rows << row.replace(QStringLiteral("\\\\FS1\\Tree"), QStringLiteral("Tree"));
        return rows;
    }

    QStringList LogLinesContaining(const QString& text)
    {
        QStringList lines;
        for (const QString& line : LogLines())
            if (line.contains(text))
                lines << line;
        return lines;
    }
};

const QString kCorp = QStringLiteral("S-1-5-21-1-2-3-");

QString Corp(const char* rid)
{
    return kCorp + QString::fromLatin1(rid);
}

TEST_F(ScanTest, AccountsMembershipsAndAdminFlagsOfTwoDomains)
{
    Refresh("scan_accounts.json");

    const QString builtin = QStringLiteral(" BUILTIN - 1 0");
    QStringList expected = {
        QStringLiteral("S-1-1-0 Everyone") + builtin,
        QStringLiteral("S-1-5-32-544 Administrators") + builtin,
        QStringLiteral("S-1-5-32-550 Print Operators") + builtin,
        QStringLiteral("S-1-5-32-546 Guests") + builtin,
        QStringLiteral("S-1-5-32-548 Account Operators") + builtin,
        QStringLiteral("S-1-5-32-552 Replicator") + builtin,
        QStringLiteral("S-1-5-32-549 Server Operators") + builtin,
        QStringLiteral("S-1-5-32-551 Backup Operators") + builtin,
        QStringLiteral("S-1-5-18 LocalSystem") + builtin,
        QStringLiteral("S-1-5-19 LocalService") + builtin,
        QStringLiteral("S-1-5-20 NetworkService") + builtin,
        // RID 500 is an administrator by itself; alice through Domain Admins.
        Corp("500") + QStringLiteral(" Administrator CORP DC1 0 1"),
        Corp("513") + QStringLiteral(" Domain Users CORP DC1 1 0"),
        Corp("1001") + QStringLiteral(" alice CORP DC1 0 1"),
        Corp("512") + QStringLiteral(" Domain Admins CORP DC1 1 1"),
        Corp("1002") + QStringLiteral(" bob CORP DC1 0 0"),
        Corp("1100") + QStringLiteral(" Staff CORP DC1 1 0"),
        // BRANCH shares CORP's Staff group: no second row for it.
        QStringLiteral("S-1-5-21-4-5-6-2001 carol BRANCH BDC 0 0"),
        QStringLiteral("S-1-5-21-4-5-6-513 Domain Users BRANCH BDC 1 0"),
    };
    const QString accounts = QStringLiteral(
        "SELECT SID, UserGroupName, DomainName, DomainController, isGroup, hasAdminRights "
        "FROM UserGroupList ORDER BY rowid");
    EXPECT_EQ(Rows(accounts), expected);

    const QStringList memberships = {
        Corp("500") + QStringLiteral(" S-1-5-32-544"),
        Corp("500") + QStringLiteral(" ") + Corp("513"),
        Corp("1001") + QStringLiteral(" ") + Corp("512"),
        Corp("1001") + QStringLiteral(" ") + Corp("513"),
        Corp("1002") + QStringLiteral(" ") + Corp("513"),
        Corp("1002") + QStringLiteral(" ") + Corp("1100"),
        QStringLiteral("S-1-5-21-4-5-6-2001 ") + Corp("1100"),
        QStringLiteral("S-1-5-21-4-5-6-2001 S-1-5-21-4-5-6-513"),
    };
    const QString members =
        QStringLiteral("SELECT UserGroupSID, GroupSID FROM User2Group ORDER BY rowid");
    EXPECT_EQ(Rows(members), memberships);

    // ghost's name and bob's group Gone do not resolve (the lookup logs its own failure,
    // then the engine the stored reason); odd resolves to the wrong type of account. Each
    // is skipped, and neither ghost nor odd gets a row or a membership.
    const QString noMapping =
        QStringLiteral("An account name could not be matched to a security identifier");
    const QStringList unresolved = {QStringLiteral("Error,Error,ERROR 1332: ") + noMapping,
                                    QStringLiteral("Error,Error,") + noMapping};
    EXPECT_EQ(LogLines(),
              unresolved + unresolved +
                  QStringList{QStringLiteral(
                      "Error,Error,LookupAccountNamev3 returned the wrong type of SID")});

    // A second refresh finds every account again by its SID.
    dataDM->RefreshAll();
    EXPECT_EQ(Rows(accounts), expected);
    EXPECT_EQ(Rows(members), memberships);
}

TEST_F(ScanTest, ShareEntriesFollowTheDaclAndTheSubstitutes)
{
    Refresh("scan_accounts.json");

    EXPECT_EQ(Rows(QStringLiteral("SELECT Server, Share, isIPC FROM ServerShares ORDER BY rowid")),
              (QStringList{QStringLiteral("FS1 Data 0"), QStringLiteral("FS1 Open 0"),
                           QStringLiteral("FS1 ADMIN$ 1"), QStringLiteral("FS1 IPC$ 1"),
                           QStringLiteral("FS1 NullDacl 0"), QStringLiteral("FS1 NoDacl 0"),
                           QStringLiteral("FS1 OwnerKnown 0"), QStringLiteral("FS1 OwnerUnknown 0"),
                           QStringLiteral("FS1 Printer 0")}));

    // Share, account, FullAccess, ChangeAccess, ReadAccess; in DACL order, nothing merged.
    const QStringList expected = {
        QStringLiteral("Data S-1-1-0 0 0 1"),
        QStringLiteral("Data ") + Corp("1002") + QStringLiteral(" 0 2 0"),
        QStringLiteral("Data ") + Corp("1100") + QStringLiteral(" 0 0 0"), // mask outside the table
        QStringLiteral("Data ") + Corp("1100") + QStringLiteral(" 2 0 0"),
        QStringLiteral("Data ") + Corp("1002") + QStringLiteral(" 0 1 0"), // not type 1: allow
        QStringLiteral("Open S-1-1-0 1 0 0"),
        QStringLiteral("ADMIN$ S-1-5-32-544 1 0 0"),
        QStringLiteral("IPC$ S-1-5-32-544 1 0 0"),
        QStringLiteral("NullDacl S-1-1-0 1 0 0"),
        QStringLiteral("NoDacl S-1-1-0 1 0 0"),
        QStringLiteral("OwnerKnown S-1-5-32-544 1 0 0"),
        QStringLiteral("Printer S-1-1-0 0 0 1"),
    };
    EXPECT_EQ(Rows(QStringLiteral("SELECT s.Share, a.UserGroupSID, a.FullAccess, a.ChangeAccess, "
                                  "a.ReadAccess FROM ShareAccessList a JOIN ServerShares s "
                                  "ON s.GUID = a.ServerShareGUID ORDER BY a.rowid")),
              expected);

    // Only ordinary shares are walked; of them only Data's root can be listed. The printer
    // share is stored and its walk finds nothing.
    EXPECT_EQ(Rows(QStringLiteral("SELECT FolderName FROM sharefolders")),
              QStringList{QStringLiteral("\\\\FS1\\Data")});
    EXPECT_EQ(lab->CallCount(QStringLiteral("FS1"), QStringLiteral("FindFirstFile")), 7);
    EXPECT_EQ(lab->OutstandingBuffers(), 0);
    EXPECT_EQ(lab->OpenSearches(), 0);
}

TEST_F(ScanTest, FolderLevelsFollowTheMaximumDepth)
{
    struct Case
    {
        int depth;
        QStringList folders;
        int unreadable; // "ERROR 5" lines for Locked's descriptor
    } cases[] = {
        {1, {}, 0},
        {2, {QString()}, 0},
        {3,
         {QString(), QStringLiteral("A"), QStringLiteral("Hidden"), QStringLiteral("NoDacl")},
         1},
        {4,
         {QString(), QStringLiteral("A"), QStringLiteral("A\\B"), QStringLiteral("Hidden"),
          QStringLiteral("Locked\\Inner"), QStringLiteral("NoDacl")},
         1},
        {0,
         {QString(), QStringLiteral("A"), QStringLiteral("A\\B"), QStringLiteral("A\\B\\C"),
          QStringLiteral("Hidden"), QStringLiteral("Locked\\Inner"), QStringLiteral("NoDacl")},
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.depth);
        ClearLog();
        Refresh("scan_folders.json", c.depth);
        EXPECT_EQ(FolderNames(QStringLiteral("Tree")), c.folders);
        EXPECT_EQ(LogLinesContaining(QStringLiteral("ERROR 5: ")).size(), c.unreadable)
            << LogLines().join(QLatin1Char('\n')).toStdString();
        EXPECT_TRUE(FolderNames(QStringLiteral("ADMIN$")).isEmpty())
            << "special shares are not walked";
        EXPECT_EQ(lab->OpenSearches(), 0);
    }
}

TEST_F(ScanTest, FolderEntriesGiveTheSevenRights)
{
    Refresh("scan_folders.json", 0);
    const QString staff = Corp("1100");
    const QString bob = Corp("1002");
    EXPECT_EQ(FolderEntries(),
              (QStringList{
                  // Read and execute: list and traverse only; the unknown account is dropped.
                  QStringLiteral("Tree S-1-1-0 1 0 0 1 0 0 0"),
                  // One explicit and one inherited entry for the same group: two rows.
                  QStringLiteral("Tree\\A ") + staff + QStringLiteral(" 1 1 1 1 0 1 0"),
                  QStringLiteral("Tree\\A ") + staff + QStringLiteral(" 1 1 1 1 0 1 0"),
                  QStringLiteral("Tree\\A ") + bob + QStringLiteral(" 1 1 1 1 1 1 1"),
                  QStringLiteral("Tree\\A ") + bob + QStringLiteral(" 2 2 2 2 2 2 1"),
                  // Full control ignores the entry's type.
                  QStringLiteral("Tree\\A S-1-5-32-544 2 2 2 2 2 2 2"),
                  QStringLiteral("Tree\\A S-1-5-32-544 1 1 1 1 1 1 2"),
                  QStringLiteral("Tree\\A\\B S-1-1-0 1 1 1 1 1 1 1"), // null DACL
                  QStringLiteral("Tree\\Hidden S-1-5-18 1 1 1 1 1 1 1"),
                  QStringLiteral("Tree\\NoDacl S-1-1-0 1 1 1 1 1 1 1"), // absent DACL
              }));
    // A\B\C and Locked\Inner have empty DACLs: recorded, no rows.
    EXPECT_EQ(Rows(QStringLiteral("SELECT COUNT(*) FROM sharefolders f WHERE NOT EXISTS "
                                  "(SELECT 1 FROM folderaccesslist a WHERE a.FolderGUID = f.GUID) "
                                  "AND f.FolderName LIKE '\\\\FS1\\Tree%'")),
              QStringList{QStringLiteral("2")});
}

TEST_F(ScanTest, JunctionCycleIsWalkedOncePerChain)
{
    StartFile("scan_folders.json");
    dataDM->MaxFolderDepth = 0;
    // A walk that runs round the cycle fails here instead of running on.
    int folders = 0;
    dataDM->tbShareFolders().BeforePost = [&](data::TableDataset&) {
        if (++folders > 100)
            throw Exception(QStringLiteral("the walk does not end"));
    };
    ShowWait();
    dataDM->RefreshAll();
    // A junction that leads back up the chain is recorded where the walk meets it again,
    // but not entered a second time.
    EXPECT_EQ(
        FolderNames(QStringLiteral("Loop")),
        (QStringList{QString(), QStringLiteral("A"), QStringLiteral("A\\Back"),
                     QStringLiteral("A\\Back\\Back"), QStringLiteral("X"), QStringLiteral("X\\ToY"),
                     QStringLiteral("X\\ToY\\ToX"), QStringLiteral("X\\ToY\\ToX\\ToY"),
                     QStringLiteral("Y"), QStringLiteral("Y\\ToX"), QStringLiteral("Y\\ToX\\ToY"),
                     QStringLiteral("Y\\ToX\\ToY\\ToX")}));
    EXPECT_EQ(lab->OpenSearches(), 0);
}

TEST_F(ScanTest, SharesScannedBeforeAnyAccountLogTheMissingSubstitutes)
{
    StartFile("scan_folders.json");
    dataDM->MaxFolderDepth = 0;
    data::TableDataset& servers = dataDM->tbServers();
    servers.Append();
    servers.FieldByName(QStringLiteral("ProviderName"))
        .SetAsString(QStringLiteral("Microsoft Windows Network"));
    servers.FieldByName(QStringLiteral("DomainName")).SetAsString(QStringLiteral("CORP"));
    servers.FieldByName(QStringLiteral("Server")).SetAsString(QStringLiteral("FS1"));
    servers.FieldByName(QStringLiteral("isDC")).SetAsBoolean(false);
    servers.Post();
    ShowWait();
    dataDM->BuildShares();

    const QString missing =
        QStringLiteral("Error,StoreToAccessList:UserGroupSIDText \"%1\" not in   tbUserGroupList");
    const QStringList lines = LogLinesContaining(QStringLiteral("StoreToAccessList"));
    EXPECT_EQ(lines, (QStringList{missing.arg(QStringLiteral("S-1-1-0")),
                                  missing.arg(QStringLiteral("S-1-1-0")),
                                  missing.arg(QStringLiteral("S-1-1-0")),
                                  missing.arg(QStringLiteral("S-1-5-32-544"))}));
    EXPECT_EQ(CountRows(QStringLiteral("ShareAccessList")), 0);
    // Folder rows do not look the account up: a null or absent DACL gives Everyone.
    EXPECT_EQ(FolderEntries(), (QStringList{QStringLiteral("Tree\\A\\B S-1-1-0 1 1 1 1 1 1 1"),
                                            QStringLiteral("Tree\\NoDacl S-1-1-0 1 1 1 1 1 1 1")}));
}

TEST_F(ScanTest, DatabaseErrorInTheWalkReleasesSearchesAndBuffers)
{
    StartFile("scan_folders.json");
    dataDM->MaxFolderDepth = 0;
    int posted = 0;
    // The third folder row fails as a database error would: the walk is two searches deep.
    dataDM->tbShareFolders().BeforePost = [&](data::TableDataset&) {
        if (++posted == 3)
            throw Exception(QStringLiteral("disk full"));
    };
    ShowWait();
    EXPECT_THROW(dataDM->RefreshAll(), Exception);
    EXPECT_EQ(posted, 3);
    EXPECT_EQ(lab->OpenSearches(), 0);
    EXPECT_EQ(lab->OutstandingBuffers(), 0);
}

} // namespace
