// The audit schema on SQLite and on PostgreSQL (widths, dependent rows), the connection
// file, the connection's failures and the start-up connect thread.

#include "applib/Exceptions.h"
#include "applib/Log.h"
#include "data/Dataset.h"
#include "store/ConnectionDM.h"
#include "store/ConnectionFile.h"
#include "store/AuditDatabase.h"
#include "store/Schema.h"
#include "support/PgTestServer.h"

#include <QDir>
#include <QFile>
#include <QSqlDriver>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::store;

namespace {

class StoreTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        log.SetFileName(dir.filePath(QStringLiteral("test.Log")));
        SetProgramLog(&log);
    }
    void TearDown() override
    {
        SetProgramLog(nullptr);
        log.Close();
        QFile::remove(TDfxLog::LockFilePath(log.FileName()));
    }

    // A program folder with a database of the provider and a connection file; the
    // connection open. Returns early (test skipped or failed) without a PostgreSQL server.
    void OpenDatabase(const QString& provider = QStringLiteral("SQLite"))
    {
        QString error;
        if (provider == QLatin1String("PostgreSQL")) {
            VELMORA_CREATE_PG_DATABASE(pg);
            QString report;
            ASSERT_TRUE(InitServerDatabase(folder, pg.Params(), report, error)) << error.toStdString();
        } else {
            ASSERT_TRUE(CreateDatabaseFile(folder.Database(), error)) << error.toStdString();
            ASSERT_TRUE(WriteConnectionFile(folder.ConnectionFile(),
                                            SQLiteInitString(ProgramFolder::DatabaseRelativePath()), error));
        }
        connection = std::make_unique<TConnectionDM>(folder);
        connection->Connect();
    }

    int Count(const QString& table)
    {
        data::Statement q(connection->Connection());
        q.SetSQL(QStringLiteral("SELECT COUNT(*) FROM ") + table);
        q.Open();
        return q.FieldAt(0).toInt();
    }

    QString LogText()
    {
        QFile f(log.FileName());
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    QTemporaryDir dir;
    ProgramFolder folder{dir.path()};
    TDfxLog log;
    test::PgTestDatabase pg; // outlives the connection
    std::unique_ptr<TConnectionDM> connection;
};

// The schema's rules on each backend.
class SchemaTest : public StoreTest, public ::testing::WithParamInterface<const char*>
{
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        OpenDatabase(QString::fromLatin1(GetParam()));
    }
};

INSTANTIATE_TEST_SUITE_P(Backends, SchemaTest, ::testing::Values("SQLite", "PostgreSQL"),
                         [](const auto& info) { return std::string(info.param); });

// Posts one row through a dataset of the table.
QString Insert(data::TableDataset& d, std::initializer_list<std::pair<const char*, QVariant>> values)
{
    d.Append();
    for (const auto& [name, value] : values)
        d.FieldByName(QString::fromLatin1(name)).SetValue(value);
    d.Post();
    const data::Field* guid = d.FindField(QStringLiteral("GUID"));
    return guid ? guid->AsString() : QString();
}

TEST_P(SchemaTest, DeletingAServerRemovesItsSharesFoldersAndEntriesButNotThoseOfANamesake)
{
    data::Connection& c = connection->Connection();
    data::TableDataset servers(c, tables::Servers()), shares(c, tables::ServerShares()),
        shareAcl(c, tables::ShareAccessList()), folders(c, tables::ShareFolders()),
        folderAcl(c, tables::FolderAccessList());
    for (auto* d : {&servers, &shares, &shareAcl, &folders, &folderAcl})
        d->Open();

    Insert(servers, {{"ProviderName", QStringLiteral("P")}, {"DomainName", QStringLiteral("CORP")},
                     {"Server", QStringLiteral("FS1")}, {"isDC", false}, {"isOnline", true}});
    Insert(servers, {{"ProviderName", QStringLiteral("P")}, {"DomainName", QStringLiteral("LAB")},
                     {"Server", QStringLiteral("FS1")}, {"isDC", false}, {"isOnline", true}});
    Insert(servers, {{"ProviderName", QStringLiteral("P")}, {"DomainName", QStringLiteral("CORP")},
                     {"Server", QStringLiteral("FS9")}, {"isDC", false}, {"isOnline", true}});
    for (const char* server : {"FS1", "FS9"}) {
        const QString share = Insert(shares, {{"GUID", NewGuidText()}, {"Server", QString::fromLatin1(server)},
                                              {"Share", QStringLiteral("Data")}, {"isIPC", false}});
        Insert(shareAcl, {{"ServerShareGUID", share}, {"UserGroupSID", QStringLiteral("S-1-1-0")}});
        const QString folder = Insert(folders, {{"GUID", NewGuidText()}, {"ServerShareGUID", share},
                                                {"FolderName", QStringLiteral("\\\\X\\Data")}});
        Insert(folderAcl, {{"FolderGUID", folder}, {"UserGroupSID", QStringLiteral("S-1-1-0")}});
    }

    // The LAB namesake keeps FS1's shares.
    ASSERT_TRUE(servers.Locate(QStringList{QStringLiteral("DomainName"), QStringLiteral("Server")},
                               QVariantList{QStringLiteral("CORP"), QStringLiteral("FS1")}));
    servers.Delete();
    EXPECT_EQ(Count(QStringLiteral("ServerShares")), 2);

    ASSERT_TRUE(servers.Locate(QStringLiteral("Server"), QStringLiteral("fs1")));
    servers.Delete();
    for (const char* table : {"ServerShares", "ShareAccessList", "sharefolders", "folderaccesslist"})
        EXPECT_EQ(Count(QString::fromLatin1(table)), 1) << table << ": only FS9's row stays";
}

TEST_P(SchemaTest, TextIsCutToTheColumnWidth)
{
    data::Connection& c = connection->Connection();
    data::TableDataset folders(c, tables::ShareFolders()), accounts(c, tables::UserGroupList()),
        members(c, tables::User2Group());
    for (auto* d : {&folders, &accounts, &members})
        d->Open();

    const QString longPath = QStringLiteral("\\\\FS1\\") + QString(300, QLatin1Char('a'));
    const QString guid = Insert(folders, {{"GUID", NewGuidText()}, {"FolderName", longPath}});
    ASSERT_TRUE(folders.Locate(QStringLiteral("GUID"), guid));
    EXPECT_EQ(folders.FieldByName(QStringLiteral("FolderName")).AsString(), longPath.left(250));

    const QString longSid = QStringLiteral("S-1-5-21-1111111111-2222222222-3333333333-44444444");
    Insert(accounts, {{"SID", longSid}, {"UserGroupName", QStringLiteral("x")},
                      {"DomainName", QStringLiteral("CORP")}, {"isGroup", false}});
    EXPECT_TRUE(accounts.Locate(QStringLiteral("SID"), longSid.left(47)));

    // Fixed-width SIDs are stored padded and found without the blanks.
    Insert(members, {{"UserGroupSID", QStringLiteral("S-1-5-21-1-2-3-1001")}, {"GroupSID", QStringLiteral("S-1-5-21-1-2-3-513")}});
    EXPECT_TRUE(members.Locate(QStringList{QStringLiteral("UserGroupSID"), QStringLiteral("GroupSID")},
                               QVariantList{QStringLiteral("S-1-5-21-1-2-3-1001"), QStringLiteral("S-1-5-21-1-2-3-513")}));
    data::Statement q(c);
    q.SetSQL(QStringLiteral("SELECT UserGroupSID FROM User2Group"));
    q.Open();
    EXPECT_EQ(q.FieldAt(0).toString().size(), 47);
}

TEST_F(StoreTest, ConnectionFileRoundTripIsUtf16AndOwnerOnly)
{
    QString error;
    const QString path = folder.ConnectionFile();
    ASSERT_TRUE(WriteConnectionFile(path, QStringLiteral("Provider=PostgreSQL;Data Source=db.example:5433;"
                                                         "Initial Catalog=Velmora;User ID=audit;Password=\"a;b\"\"c\""),
                                    error));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.read(2) == QByteArray("\xFF\xFE", 2));
    EXPECT_EQ(f.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), QFileDevice::Permissions());

    InitString init;
    ASSERT_TRUE(ReadConnectionFile(path, init, error)) << error.toStdString();
    data::ConnectionParams params;
    ASSERT_TRUE(ToConnectionParams(init, folder.Path(), params, error));
    EXPECT_EQ(params.provider, QStringLiteral("PostgreSQL"));
    EXPECT_EQ(params.dataSource, QStringLiteral("db.example:5433"));
    EXPECT_EQ(params.catalog, QStringLiteral("Velmora"));
    EXPECT_EQ(params.password, QStringLiteral("a;b\"c"));
}

TEST_F(StoreTest, ConnectionFailuresNameTheFileAndTheReason)
{
    // No connection file.
    TConnectionDM dm(folder);
    try {
        dm.Connect();
        FAIL();
    } catch (const EErrorMessageException& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("File \"%1\" missing").arg(folder.ConnectionFile()));
    }
    EXPECT_TRUE(LogText().startsWith(QStringLiteral("Error,File \"")));

    struct Case
    {
        QString init;
        QString expected; // part of the message
    } cases[] = {
        {QStringLiteral("Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=False;"
                        "Initial Catalog=Velmora;Data Source=SRV"),
         QStringLiteral("not available on this system")},
        {QStringLiteral("Provider=SQLite;Data Source=Data File\\missing.db"), QStringLiteral("missing.db")},
        {QStringLiteral("Provider=SQLite;Data Source=Data File\\garbage.db"), QStringLiteral("garbage.db")},
        {QStringLiteral("Provider=Jet;Data Source=x"), QStringLiteral("unknown provider \"Jet\"")},
    };
    QDir().mkpath(folder.DataFileFolder());
    QFile garbage(folder.File(QStringLiteral("Data File/garbage.db")));
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
    garbage.write(QByteArray(4096, 'x'));
    garbage.close();
    for (const Case& c : cases) {
        QString error;
        ASSERT_TRUE(WriteConnectionFile(folder.ConnectionFile(), c.init, error));
        try {
            dm.Connect();
            ADD_FAILURE() << "connected with " << c.init.toStdString();
        } catch (const EErrorMessageException& e) {
            EXPECT_TRUE(e.Message().contains(c.expected)) << e.Message().toStdString();
        }
        EXPECT_FALSE(dm.Connected());
    }
    EXPECT_EQ(garbage.size(), 4096) << "a database that cannot be opened is left as it was";
}

TEST_F(StoreTest, AMissingDatabaseIsMadeFromTheTemplate)
{
    QString error;
    ASSERT_TRUE(WriteConnectionFile(folder.ConnectionFile(),
                                    SQLiteInitString(ProgramFolder::DatabaseRelativePath()), error));
    TConnectionDM dm(folder);
    try {
        dm.Connect();
        FAIL() << "connected without database and template";
    } catch (const EErrorMessageException& e) {
        EXPECT_TRUE(e.Message().contains(folder.Database()) && e.Message().contains(folder.DatabaseTemplate()))
            << e.Message().toStdString();
    }
    EXPECT_FALSE(QFile::exists(folder.Database()));

    ASSERT_TRUE(CreateDatabaseFile(folder.DatabaseTemplate(), error)) << error.toStdString();
    dm.Connect();
    EXPECT_TRUE(dm.Connected());
    EXPECT_TRUE(QFile::exists(folder.Database()));
    dm.Connection().ExecDirect(QStringLiteral("INSERT INTO Servers VALUES ('P', 'D', 'S', 1, 1)"));
    dm.Connection().Close();
    // The template stays empty: the rows went to the new database only.
    ProgramFolder copy(folder.Path());
    QFile::remove(folder.Database());
    connection = std::make_unique<TConnectionDM>(copy);
    connection->Connect();
    EXPECT_EQ(Count(QStringLiteral("Servers")), 0);
}

TEST_F(StoreTest, TheConnectionThreadRecordsTheOutcomeAndHandsTheConnectionBack)
{
    TConnectionDM dm(folder);
    {
        TSQLConnectionThread thread(dm);
        thread.start();
        ASSERT_TRUE(thread.wait());
        EXPECT_EQ(ConnectFailed.load(), 1);
        EXPECT_EQ(thread.ErrorText(), QStringLiteral("File \"%1\" missing").arg(folder.ConnectionFile()));
    }

    QString error;
    ASSERT_TRUE(CreateDatabaseFile(folder.Database(), error)) << error.toStdString();
    ASSERT_TRUE(WriteConnectionFile(folder.ConnectionFile(),
                                    SQLiteInitString(ProgramFolder::DatabaseRelativePath()), error));
    data::TableDataset servers(dm.Connection(), tables::Servers());
    dm.AddOpenAllTables([&] { servers.Open(); });
    TSQLConnectionThread thread(dm);
    thread.start();
    ASSERT_TRUE(thread.wait());
    EXPECT_EQ(ConnectFailed.load(), 0) << thread.ErrorText().toStdString();
    EXPECT_TRUE(thread.ErrorText().isEmpty());
    // Opened on the worker, used here.
    ASSERT_TRUE(servers.Active());
    servers.Append();
    servers.FieldByName(QStringLiteral("ProviderName")).SetAsString(QStringLiteral("P"));
    servers.FieldByName(QStringLiteral("DomainName")).SetAsString(QStringLiteral("D"));
    servers.FieldByName(QStringLiteral("Server")).SetAsString(QStringLiteral("S"));
    servers.Post();
    EXPECT_EQ(servers.RecordCount(), 1);
    EXPECT_EQ(dm.Connection().Database().driver()->thread(), QThread::currentThread());
}

TEST_F(StoreTest, InitKeepsAnExistingDatabase)
{
    QString error, report;
    EXPECT_FALSE(InitEmbeddedDatabase(folder, report, error));
    EXPECT_TRUE(error.contains(folder.DatabaseTemplate())) << error.toStdString();

    ASSERT_TRUE(CreateDatabaseFile(folder.DatabaseTemplate(), error)) << error.toStdString();
    ASSERT_TRUE(InitEmbeddedDatabase(folder, report, error)) << error.toStdString();
    connection = std::make_unique<TConnectionDM>(folder);
    connection->Connect();
    connection->Connection().ExecDirect(
        QStringLiteral("INSERT INTO Servers VALUES ('P', 'D', 'S', 1, 1)"));
    connection.reset();

    ASSERT_TRUE(InitEmbeddedDatabase(folder, report, error)) << error.toStdString();
    EXPECT_TRUE(report.contains(QStringLiteral("kept")));
    connection = std::make_unique<TConnectionDM>(folder);
    connection->Connect();
    EXPECT_EQ(Count(QStringLiteral("Servers")), 1);
}

} // namespace
