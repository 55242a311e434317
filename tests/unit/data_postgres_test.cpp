// The PostgreSQL backend: its SQL spelling, and on the test server an audit database made
// by the program: values that must come back unchanged, names matched without regard to
// case, the set-up's keep-or-refuse rule, and the connection's failures.

#include "access/AccessFunctions.h"
#include "applib/Exceptions.h"
#include "data/Dataset.h"
#include "data/postgres/PostgresBackend.h"
#include "store/AuditDatabase.h"
#include "store/ConnectionDM.h"
#include "store/ConnectionFile.h"
#include "store/Schema.h"
#include "support/PgTestServer.h"

#include <QFile>
#include <QTemporaryDir>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace velmora;
using namespace velmora::data;

namespace {

Backend& Postgres()
{
    Backend* backend = FindBackend(QStringLiteral("postgresql"));
    EXPECT_NE(backend, nullptr);
    return *backend;
}

TEST(PostgresSpellingTest, QuotingIsRewrittenAndNullsSortFirst)
{
    struct Case
    {
        QString sql;
        QString expected;
    } cases[] = {
        {QStringLiteral("SELECT [Full Control], Change FROM t WHERE a = ?"),
         QStringLiteral("SELECT \"Full Control\", Change FROM t WHERE a = ?")},
        // Literals keep their brackets.
        {QStringLiteral("SELECT * FROM f(?, '[ALL]')"), QStringLiteral("SELECT * FROM f(?, '[ALL]')")},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Postgres().Dialect(c.sql), c.expected);
    EXPECT_EQ(Postgres().OrderTerm(QStringLiteral("a"), false), QStringLiteral("a NULLS FIRST"));
    EXPECT_EQ(Postgres().OrderTerm(QStringLiteral("a"), true), QStringLiteral("a DESC NULLS LAST"));
}

TEST(PostgresSpellingTest, ServerIsHostAndOptionalPort)
{
    struct Case
    {
        const char* source;
        bool ok;
        const char* host;
        int port;
    } cases[] = {
        {"db.example", true, "db.example", -1},
        {"db.example:5433", true, "db.example", 5433},
        {"/run/postgresql", true, "/run/postgresql", -1},
        {"/tmp/a:b/socket:6000", true, "/tmp/a:b/socket", 6000},
        {"/tmp/a:b", true, "/tmp/a:b", -1},
        {"db.example:x", false, "", 0},
        {"db.example:70000", false, "", 0},
        {"db.example:", false, "", 0},
    };
    for (const Case& c : cases) {
        QString host;
        int port = 0;
        EXPECT_EQ(SplitHostPort(QString::fromLatin1(c.source), host, port), c.ok) << c.source;
        if (c.ok) {
            EXPECT_EQ(host, QString::fromLatin1(c.host)) << c.source;
            EXPECT_EQ(port, c.port) << c.source;
        }
    }
}

// An audit database set up by the program on the test server, reached through a
// connection file in a temporary program folder.
class PgAuditTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        VELMORA_CREATE_PG_DATABASE(pg);
        QString report, error;
        ASSERT_TRUE(store::InitServerDatabase(folder, pg.Params(), report, error)) << error.toStdString();
        EXPECT_TRUE(report.contains(QStringLiteral("created the audit tables"))) << report.toStdString();
        dm = std::make_unique<store::TConnectionDM>(folder);
        dm->Connect();
    }

    Connection& C() { return dm->Connection(); }

    QTemporaryDir dir;
    store::ProgramFolder folder{dir.path()};
    test::PgTestDatabase pg;
    std::unique_ptr<store::TConnectionDM> dm;
};

TEST_F(PgAuditTest, TextBooleansAndTimesComeBackUnchanged)
{
    // Stored passwords: the two markers and scrambled text in U+2800..U+28FF.
    QStringList passwords{QStringLiteral("\x02"), QStringLiteral("\x03")};
    for (int start = 0x2800; start < 0x2900; start += 80) {
        QString text;
        for (int c = start; c < qMin(start + 80, 0x2900); ++c)
            text += QChar(c);
        passwords << text;
    }
    const QDateTime stamp(QDate(2024, 2, 29), QTime(23, 59, 58, 123));
    {
        TableDataset credentials(C(), store::tables::AlternateCredentials());
        credentials.Open();
        for (qsizetype i = 0; i < passwords.size(); ++i) {
            credentials.Append();
            credentials.FieldByName(QStringLiteral("Description")).SetAsString(QStringLiteral("c%1").arg(i));
            credentials.FieldByName(QStringLiteral("isActive")).SetAsBoolean(i % 2 == 0);
            credentials.FieldByName(QStringLiteral("UserName")).SetAsString(QStringLiteral("u"));
            credentials.FieldByName(QStringLiteral("UserPassword")).SetAsString(passwords[i]);
            credentials.FieldByName(QStringLiteral("LastUserModified")).SetAsDateTime(stamp.addDays(i));
            credentials.Post();
        }
    }
    dm->Reconnect();
    TableDataset credentials(C(), store::tables::AlternateCredentials());
    credentials.Open();
    qsizetype i = 0;
    for (bool row = credentials.First(); row; row = credentials.Next(), ++i) {
        ASSERT_LT(i, passwords.size());
        EXPECT_EQ(credentials.FieldByName(QStringLiteral("Description")).AsString(), QStringLiteral("c%1").arg(i));
        EXPECT_EQ(credentials.FieldByName(QStringLiteral("isActive")).AsBoolean(), i % 2 == 0) << i;
        EXPECT_EQ(credentials.FieldByName(QStringLiteral("UserPassword")).AsString(), passwords[i]) << i;
        EXPECT_EQ(credentials.FieldByName(QStringLiteral("LastUserModified")).AsDateTime(), stamp.addDays(i)) << i;
    }
    EXPECT_EQ(i, passwords.size());
    // A statement's date parameter compares with the stored local time.
    Statement query(C());
    query.SetSQL(QStringLiteral("SELECT COUNT(*) FROM AlternateCredentials WHERE LastUserModified = :Stamp"));
    query.SetParam(QStringLiteral("Stamp"), stamp);
    query.Open();
    EXPECT_EQ(query.FieldAt(0).toInt(), 1);
}

TEST_F(PgAuditTest, NamesMatchWithoutRegardToCase)
{
    TableDataset servers(C(), store::tables::Servers());
    TableDataset domains(C(), store::tables::MngdDomains());
    servers.Open();
    domains.Open();
    for (const char* name : {"FS1", "dc1"}) {
        servers.Append();
        servers.FieldByName(QStringLiteral("ProviderName")).SetAsString(QStringLiteral("Microsoft Windows Network"));
        servers.FieldByName(QStringLiteral("DomainName")).SetAsString(QStringLiteral("Corp"));
        servers.FieldByName(QStringLiteral("Server")).SetAsString(QString::fromLatin1(name));
        servers.Post();
    }
    domains.Append();
    domains.FieldByName(QStringLiteral("DomainName")).SetAsString(QStringLiteral("CORP"));
    domains.Post();

    // A locate without the case-insensitive option, as the engine makes it.
    ASSERT_TRUE(servers.Locate(QStringList{QStringLiteral("DomainName"), QStringLiteral("Server")},
                               QVariantList{QStringLiteral("CORP"), QStringLiteral("fs1")}));
    EXPECT_EQ(servers.FieldByName(QStringLiteral("Server")).AsString(), QStringLiteral("FS1"));

    struct Case
    {
        QString sql;
        QString param;
        QVariant value;
        int expected;
    } cases[] = {
        {QStringLiteral("SELECT COUNT(*) FROM Servers WHERE Server = :Server"), QStringLiteral("Server"),
         QStringLiteral("DC1"), 1},
        {QStringLiteral("SELECT COUNT(*) FROM Servers WHERE DomainName = :DomainName"),
         QStringLiteral("DomainName"), QStringLiteral("corp"), 2},
        {QStringLiteral("SELECT COUNT(*) FROM MngdDomains WHERE Upper(MngdDomains.DomainName) = :DomainName"),
         QStringLiteral("DomainName"), QStringLiteral("CORP"), 1},
        // The primary key holds names regardless of case, as on SQLite.
        {QStringLiteral("SELECT COUNT(DISTINCT Server) FROM Servers WHERE Server IN (:Server, 'fs1')"),
         QStringLiteral("Server"), QStringLiteral("Fs1"), 1},
    };
    for (const Case& c : cases) {
        Statement query(C());
        query.SetSQL(c.sql);
        query.SetParam(c.param, c.value);
        query.Open();
        EXPECT_EQ(query.FieldAt(0).toInt(), c.expected) << c.sql.toStdString();
    }
    servers.Append();
    servers.FieldByName(QStringLiteral("ProviderName")).SetAsString(QStringLiteral("MICROSOFT WINDOWS NETWORK"));
    servers.FieldByName(QStringLiteral("DomainName")).SetAsString(QStringLiteral("corp"));
    servers.FieldByName(QStringLiteral("Server")).SetAsString(QStringLiteral("fs1"));
    EXPECT_THROW(servers.Post(), Exception);
}

TEST_F(PgAuditTest, InitKeepsOurTablesAndRefusesADatabaseWithOthers)
{
    QString report, error;
    ASSERT_TRUE(store::InitServerDatabase(folder, pg.Params(), report, error)) << error.toStdString();
    EXPECT_TRUE(report.contains(QStringLiteral("kept the audit tables"))) << report.toStdString();

    test::PgTestDatabase other;
    VELMORA_CREATE_PG_DATABASE(other);
    ASSERT_TRUE(other.Exec(QStringLiteral("CREATE TABLE payroll (id int)"), error)) << error.toStdString();
    QTemporaryDir otherDir;
    const store::ProgramFolder otherFolder(otherDir.path());
    EXPECT_FALSE(store::InitServerDatabase(otherFolder, other.Params(), report, error));
    EXPECT_TRUE(error.contains(QStringLiteral("payroll")) && error.contains(other.Name())) << error.toStdString();
    EXPECT_FALSE(QFile::exists(otherFolder.ConnectionFile()));
    // Nothing was added to it.
    EXPECT_FALSE(other.Exec(QStringLiteral("SELECT 1 FROM Servers"), error));
}

TEST_F(PgAuditTest, TheAccessFunctionsComeWithTheDatabaseOnceTheProgramShipsThem)
{
    const bool shipped = QFile::exists(QStringLiteral(VELMORA_SOURCE_DIR "/src/store/postgres-functions.sql"));
    EXPECT_EQ(!store::FunctionsScript(QStringLiteral("PostgreSQL")).isEmpty(), shipped)
        << "src/store/postgres-functions.sql and the resource :/store/postgres-functions.sql go together";
    EXPECT_EQ(store::AccessFunctionsExpected(C()), shipped);
    QString missing;
    EXPECT_EQ(access::HasAccessFunctions(C(), missing), shipped) << missing.toStdString();
}

// A TCP port on 127.0.0.1 that takes connections into its queue but never answers.
class SilentPort
{
public:
    SilentPort()
    {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(m_fd, 8) != 0 ||
            getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        m_port = ntohs(address.sin_port);
    }
    ~SilentPort()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    int Port() const { return m_port; }

private:
    int m_fd = -1;
    int m_port = 0;
};

TEST_F(PgAuditTest, ConnectionFailuresGiveOneClearMessage)
{
    SilentPort silent;
    ASSERT_GT(silent.Port(), 0);
    test::PgTestDatabase empty;
    VELMORA_CREATE_PG_DATABASE(empty);
    data::ConnectionParams params = pg.Params();

    struct Case
    {
        const char* name;
        data::ConnectionParams params;
        QString expected; // part of the message
    };
    Case cases[] = {
        {"silentServer", params, QStringLiteral("timeout expired")},
        {"missingDatabase", params, QStringLiteral("velmora_no_such_database")},
        {"noAuditTables", empty.Params(), empty.Name()},
        {"noDatabaseNamed", params, QStringLiteral("No PostgreSQL database is named")},
    };
    cases[0].params.dataSource = QStringLiteral("127.0.0.1:%1").arg(silent.Port());
    cases[0].params.timeoutSeconds = 2;
    cases[1].params.catalog = QStringLiteral("velmora_no_such_database");
    cases[3].params.catalog.clear();
    for (const Case& c : cases) {
        QString error;
        ASSERT_TRUE(store::WriteConnectionFile(folder.ConnectionFile(),
                                               store::PostgresInitString(c.params), error));
        store::TConnectionDM other(folder);
        TableDataset servers(other.Connection(), store::tables::Servers());
        other.AddOpenAllTables([&] { servers.Open(); });
        try {
            other.Connect();
            ADD_FAILURE() << c.name << ": connected";
        } catch (const EErrorMessageException& e) {
            EXPECT_TRUE(e.Message().contains(c.expected)) << c.name << ": " << e.Message().toStdString();
            EXPECT_TRUE(e.Message().contains(folder.ConnectionFile())) << c.name;
        }
        EXPECT_FALSE(other.Connected()) << c.name;
    }
}

} // namespace
