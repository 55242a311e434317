// velmora-cli on a PostgreSQL audit database: set up by "db init --provider postgresql",
// then refreshed from the demo network, listing the same servers as the embedded database.

#include "applib/Log.h"
#include "store/ConnectionFile.h"
#include "support/PgTestServer.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "support/CliRunner.h"

namespace {

using Result = velmora::test::CliResult;

class CliPgTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        ASSERT_FALSE(qEnvironmentVariable("VELMORA_CLI").isEmpty());
        VELMORA_CREATE_PG_DATABASE(pg);
        passwordFile = dir.filePath(QStringLiteral("password"));
        QFile file(passwordFile);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(pg.Params().password.toUtf8() + "\n");
    }
    void TearDown() override
    {
        for (const char* home : {"pg", "sqlite"})
            QFile::remove(velmora::TDfxLog::LockFilePath(
                dir.filePath(QString::fromLatin1(home) + QStringLiteral("/velmora-cli.Log"))));
    }

    Result Run(const QString& home, QStringList args, const QString& network = {})
    {
        QStringList all{QStringLiteral("--home"), dir.filePath(home)};
        if (!network.isEmpty())
            all << QStringLiteral("--network") << network;
        all << args;
        return velmora::test::RunCli(all, dir.filePath(QStringLiteral("config")));
    }

    QStringList InitPg(const QStringList& extra = {})
    {
        const velmora::data::ConnectionParams params = pg.Params();
        return QStringList{QStringLiteral("db"), QStringLiteral("init"), QStringLiteral("--provider"),
                           QStringLiteral("postgresql"), QStringLiteral("--server"), params.dataSource,
                           QStringLiteral("--database"), params.catalog, QStringLiteral("--user"),
                           params.userId} +
               extra;
    }

    QString Demo() const { return QStringLiteral("lab:" VELMORA_SOURCE_DIR "/lab/demo.json"); }

    QTemporaryDir dir;
    velmora::test::PgTestDatabase pg;
    QString passwordFile;
};

TEST_F(CliPgTest, InitRefreshAndListMatchTheEmbeddedDatabase)
{
    const QString pgHome = QStringLiteral("pg");
    Result r = Run(pgHome, InitPg({QStringLiteral("--password-file"), passwordFile}));
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains(QStringLiteral("created the audit tables"))) << r.out.toStdString();
    const QString udl = dir.filePath(QStringLiteral("pg/Data/Velmora.udl"));
    QFile file(udl);
    ASSERT_TRUE(file.exists());
    EXPECT_EQ(file.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::WriteGroup |
                                    QFileDevice::WriteOther),
              QFileDevice::Permissions());
    velmora::store::InitString init;
    QString error;
    ASSERT_TRUE(velmora::store::ReadConnectionFile(udl, init, error)) << error.toStdString();
    EXPECT_EQ(init.Value(QStringLiteral("Provider")), QStringLiteral("PostgreSQL"));
    EXPECT_EQ(init.Value(QStringLiteral("Initial Catalog")), pg.Name());
    // The test machine may be slower than the default time-out allows for.
    ASSERT_TRUE(velmora::store::WriteConnectionFile(udl, init.text + QStringLiteral(";Connect Timeout=120"),
                                                    error));

    r = Run(pgHome, {QStringLiteral("refresh")}, Demo());
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    r = Run(pgHome, {QStringLiteral("servers"), QStringLiteral("--format"), QStringLiteral("json")});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const QJsonArray onPg = QJsonDocument::fromJson(r.out.toUtf8()).array();
    ASSERT_FALSE(onPg.isEmpty()) << r.out.toStdString();

    const QString sqliteHome = QStringLiteral("sqlite");
    ASSERT_EQ(Run(sqliteHome, {QStringLiteral("db"), QStringLiteral("template")}).code, 0);
    ASSERT_EQ(Run(sqliteHome, {QStringLiteral("db"), QStringLiteral("init")}).code, 0);
    ASSERT_EQ(Run(sqliteHome, {QStringLiteral("refresh")}, Demo()).code, 0);
    r = Run(sqliteHome, {QStringLiteral("servers"), QStringLiteral("--format"), QStringLiteral("json")});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(onPg, QJsonDocument::fromJson(r.out.toUtf8()).array());

    // A second init keeps the scanned data.
    r = Run(pgHome, InitPg({QStringLiteral("--password-file"), passwordFile}));
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains(QStringLiteral("kept the audit tables"))) << r.out.toStdString();
    r = Run(pgHome, {QStringLiteral("servers"), QStringLiteral("--format"), QStringLiteral("json")});
    EXPECT_EQ(QJsonDocument::fromJson(r.out.toUtf8()).array(), onPg);
}

TEST_F(CliPgTest, BadInitCommandsChangeNothing)
{
    struct Case
    {
        const char* name;
        QStringList args;
        int code;
        QString inError;
    } cases[] = {
        {"passwordOnTheCommandLine", InitPg({QStringLiteral("--password"), QStringLiteral("x")}), 2,
         QStringLiteral("never taken from the command line")},
        {"noDatabase", {QStringLiteral("db"), QStringLiteral("init"), QStringLiteral("--provider"),
                        QStringLiteral("postgresql"), QStringLiteral("--server"), QStringLiteral("h"),
                        QStringLiteral("--user"), QStringLiteral("u")}, 2, QStringLiteral("--database")},
        {"unknownProvider", {QStringLiteral("db"), QStringLiteral("init"), QStringLiteral("--provider"),
                             QStringLiteral("oracle")}, 2, QStringLiteral("oracle")},
        {"missingPasswordFile", InitPg({QStringLiteral("--password-file"), dir.filePath(QStringLiteral("nope"))}),
         1, QStringLiteral("nope")},
    };
    for (const Case& c : cases) {
        const Result r = Run(QStringLiteral("pg"), c.args);
        EXPECT_EQ(r.code, c.code) << c.name;
        EXPECT_TRUE(r.err.contains(c.inError)) << c.name << ": " << r.err.toStdString();
        EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("pg/Data/Velmora.udl")))) << c.name;
    }
}

} // namespace
