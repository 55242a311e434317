// velmora-cli's access questions and lookup lists as a user runs them, on the hand-filled
// audit database of tests/data/views_audit.json.

#include "applib/Log.h"
#include "store/AuditDatabase.h"
#include "store/ConnectionDM.h"
#include "support/PgTestServer.h"
#include "support/QtPrinters.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "support/CliRunner.h"

namespace {

using Result = velmora::test::CliResult;

// JSON rows as "FS2|Home|true|true|true" in the given column order; a value of the wrong
// kind shows (a number where a boolean belongs prints as a number).
QStringList JsonLines(const QString& text, const QStringList& columns)
{
    QStringList lines;
    for (const QJsonValue& row : QJsonDocument::fromJson(text.toUtf8()).array()) {
        QStringList cells;
        for (const QString& column : columns) {
            const QJsonValue v = row.toObject().value(column);
            cells << (v.isBool()     ? QString::fromLatin1(v.toBool() ? "true" : "false")
                      : v.isString() ? v.toString()
                                     : QStringLiteral("?"));
        }
        lines << cells.join(QLatin1Char('|'));
    }
    return lines;
}

class CliAccessTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        home = dir.path();
        ASSERT_FALSE(qEnvironmentVariable("VELMORA_CLI").isEmpty());
        ASSERT_EQ(Run({QStringLiteral("db"), QStringLiteral("template")}).code, 0);
        ASSERT_EQ(Run({QStringLiteral("db"), QStringLiteral("init")}).code, 0);
    }
    void TearDown() override
    {
        QFile::remove(velmora::TDfxLog::LockFilePath(home + QStringLiteral("/velmora-cli.Log")));
    }

    Result Run(const QStringList& args)
    {
        return velmora::test::RunCli(QStringList{QStringLiteral("--home"), home} + args,
                                     home + QStringLiteral("/config"));
    }

    QTemporaryDir dir;
    QString home;
};

// The audit database filled by hand with tests/data/views_audit.json: the embedded one and,
// when the test server is there, one on PostgreSQL.
class HandFilledTest : public CliAccessTest, public ::testing::WithParamInterface<const char*>
{
  protected:
    void SetUp() override
    {
        CliAccessTest::SetUp();
        if (HasFatalFailure())
            return;
        const velmora::store::ProgramFolder folder(home);
        if (QLatin1String(GetParam()) == QLatin1String("PostgreSQL")) {
            VELMORA_CREATE_PG_DATABASE(pg);
            QString report, error;
            ASSERT_TRUE(velmora::store::InitServerDatabase(folder, pg.Params(), report, error))
                << error.toStdString();
        }
        QFile file(QStringLiteral(VELMORA_TEST_DATA_DIR "/views_audit.json"));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        velmora::store::TConnectionDM connection{folder};
        connection.Connect();
        for (const QJsonValue& sql :
             QJsonDocument::fromJson(file.readAll()).object()[QStringLiteral("sql")].toArray())
            connection.Connection().ExecDirect(sql.toString());
    }

    velmora::test::PgTestDatabase pg;
};

INSTANTIATE_TEST_SUITE_P(Backends, HandFilledTest, ::testing::Values("SQLite", "PostgreSQL"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

QStringList Words(const char* text)
{
    return QString::fromUtf8(text).split(QLatin1Char(' '));
}

TEST_P(HandFilledTest, QuestionsAnsweredInCsv)
{
    struct Case
    {
        const char* args;
        const char* csv; // lines joined by \n; the program writes CRLF
    } cases[] = {
        {"user-access --domain corp --account ALICE --token group --show shares",
         "Server,Share,Full Control,Change,Read\n"
         "FS1,SalesDocs,False,True,True\n"
         "FS2,Home,True,True,True\n"},
        {"user-access --domain CORP --account bob --token any --exclude Pre_Sales --show shares",
         "Server,Share,Full Control,Change,Read\n"
         "FS1,Public,False,False,True\n"
         "FS2,Home,False,False,True\n"},
        {"user-access --domain CORP --account [ALL] --token group --show folders",
         "UserGroupName,Server,Share,FolderName,ListDirectory,AddFile,AddSubdirectory,Traverse,"
         "DeleteChild,Delete,FullControl\n"
         "alice,FS1,SalesDocs,Q1,True,True,True,True,True,True,False\n"
         "alice,FS2,Home,Docs,True,True,True,True,True,True,True\n"
         "bob,FS2,Home,Docs,True,False,False,False,False,False,False\n"
         "carol,FS1,SalesDocs,Q1,True,True,True,True,True,True,False\n"},
        {"user-access --domain CORP --account [ALL] --groups --show shares",
         "Server,Share,UserGroupName,Full Control,Change,Read\n"
         "FS1,PreSales,Pre Sales,True,True,True\n"
         "FS1,SalesDocs,Sales,False,True,True\n"},
        {"resource-access --domain CORP --server fs1 --show shares --everyone expand "
         "--expand-groups",
         "Server,Share,UserName,Full Control,Change,Read\n"
         "FS1,PreSales,CORP\\bob,True,True,True\n"
         "FS1,Public,CORP\\alice,False,False,True\n"
         "FS1,Public,CORP\\bob,False,False,True\n"
         "FS1,Public,CORP\\carol,False,False,True\n"
         "FS1,SalesDocs,CORP\\alice,False,True,True\n"
         "FS1,SalesDocs,CORP\\carol,False,True,True\n"},
        {"resource-access --domain CORP --server [ALL] --share home --show folders",
         "Server,Share,FolderName,UserName,ListDirectory,AddFile,AddSubdirectory,Traverse,"
         "DeleteChild,Delete,FullControl\n"
         "FS2,Home,Docs,CORP\\alice,True,True,True,True,True,True,True\n"
         "FS2,Home,Docs,CORP\\bob,True,False,False,False,False,False,False\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        QStringList args = Words(c.args);
        args.replaceInStrings(QStringLiteral("Pre_Sales"), QStringLiteral("Pre Sales"));
        const Result r = Run(args + QStringList{QStringLiteral("--format"), QStringLiteral("csv")});
        ASSERT_EQ(r.code, 0) << r.err.toStdString();
        EXPECT_EQ(r.out,
                  QString::fromUtf8(c.csv).replace(QLatin1String("\n"), QLatin1String("\r\n")));
    }
}

TEST_P(HandFilledTest, QuestionsAnsweredInJsonAndToAFile)
{
    Result r = Run(Words("resource-access --domain CORP --server FS1 --show shares --format json"));
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(JsonLines(r.out, Words("Server Share UserName")),
              (QStringList{QStringLiteral("FS1|PreSales|CORP\\Pre Sales"),
                           QStringLiteral("FS1|Public|BUILTIN\\Everyone"),
                           QStringLiteral("FS1|SalesDocs|CORP\\Sales")}));
    EXPECT_EQ(JsonLines(r.out, {QStringLiteral("Full Control"), QStringLiteral("Change"),
                                QStringLiteral("Read")}),
              (QStringList{QStringLiteral("true|true|true"), QStringLiteral("false|false|true"),
                           QStringLiteral("false|true|true")}));

    const QString file = home + QStringLiteral("/carol.json");
    r = Run(
        Words("user-access --domain CORP --account carol --show shares --format json --output") +
        QStringList{file});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, QString());
    QFile written(file);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(JsonLines(QString::fromUtf8(written.readAll()),
                        Words("Server Share Full_Control Change Read")
                            .replaceInStrings(QStringLiteral("_"), QStringLiteral(" "))),
              QStringList{QStringLiteral("FS2|Carol|false|false|true")});
}

TEST_P(HandFilledTest, LookupLists)
{
    struct Case
    {
        const char* args;
        const char* csv;
    } cases[] = {
        {"lookups domains", "DomainName\nCORP\nOTHER\n"},
        {"lookups accounts --domain corp", "UserGroupName,SID,isGroup\n[ALL],{00000000-0000-0000-"
                                           "0000-000000000000},\nalice,S-1-5-21-1-1001,False\n"
                                           "bob,S-1-5-21-1-1002,False\ncarol,S-1-5-21-1234567890-"
                                           "1234567890-1234567890-12345,False\n"},
        {"lookups accounts --domain CORP --groups",
         "UserGroupName,SID,isGroup\n[ALL],{00000000-0000-0000-0000-000000000000},\n"
         "Domain Admins,S-1-5-21-1-512,True\nPre "
         "Sales,S-1-5-21-1-2002,True\nSales,S-1-5-21-1-2001,True\n"},
        {"lookups excludable --domain CORP",
         "UserGroupName,SID\n[NONE],{00000000-0000-0000-0000-000000000000}\n"
         "Pre Sales,S-1-5-21-1-2002\nSales,S-1-5-21-1-2001\n"},
        {"lookups servers --domain CORP", "Server\n[ALL]\nFS1\nFS2\n"},
        {"lookups shares --domain CORP --server fs2", "Share\n[ALL]\nCarol\nHome\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const Result r =
            Run(Words(c.args) + QStringList{QStringLiteral("--format"), QStringLiteral("csv")});
        ASSERT_EQ(r.code, 0) << r.err.toStdString();
        EXPECT_EQ(r.out,
                  QString::fromUtf8(c.csv).replace(QLatin1String("\n"), QLatin1String("\r\n")));
    }
}

TEST_P(HandFilledTest, BadArgumentsNameWhatIsWrong)
{
    struct Case
    {
        const char* args;
        const char* message;
    } cases[] = {
        {"user-access --domain NOPE --account alice --show shares", "unknown domain \"NOPE\""},
        {"user-access --domain CORP --account dave --show shares", "unknown account \"dave\""},
        {"user-access --domain CORP --account alice --token group --exclude Sales,Domain_Admins "
         "--show shares",
         "unknown group \"Domain Admins\""},
        {"user-access --domain CORP --account alice --token everyone --exclude Sales --show shares",
         "--exclude needs --token group or any"},
        {"user-access --domain CORP --account alice --token all --show shares",
         "unknown --token \"all\""},
        {"user-access --domain CORP --account alice", "--show shares|folders is needed"},
        {"resource-access --domain CORP --server OT1 --show shares", "unknown server \"OT1\""},
        {"resource-access --domain CORP --server FS1 --share Home --show shares",
         "unknown share \"Home\""},
        {"resource-access --domain CORP --server [ALL] --share Nope --show folders",
         "unknown share \"Nope\""},
        {"resource-access --domain CORP --server FS1 --show shares --everyone none",
         "unknown --everyone \"none\""},
        {"lookups servers", "lookups servers needs --domain"},
        {"lookups shares --domain CORP --server FS9", "unknown server \"FS9\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        QStringList args = Words(c.args);
        args.replaceInStrings(QStringLiteral("_"), QStringLiteral(" "));
        const Result r = Run(args);
        EXPECT_EQ(r.code, 2);
        EXPECT_TRUE(r.err.contains(QString::fromUtf8(c.message))) << r.err.toStdString();
        EXPECT_EQ(r.out, QString());
    }
}

// A refresh of the demo network, then questions whose answers follow from its lab file:
// the Finance share of CORP-FS1 allows Finance full control and Management read, and
// denies temp_contractor change (a deny alone grants nothing, so no row); jsmith is in
// Finance.
TEST_F(CliAccessTest, DemoNetworkAfterARefresh)
{
    Result r = Run({QStringLiteral("--network"),
                    QStringLiteral("lab:" VELMORA_SOURCE_DIR "/lab/demo.json"),
                    QStringLiteral("-q"), QStringLiteral("refresh")});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();

    r = Run(Words("resource-access --domain CORP --server CORP-FS1 --share Finance --show shares "
                  "--format csv"));
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, QStringLiteral("Server,Share,UserName,Full Control,Change,Read\r\n"
                                    "CORP-FS1,Finance,BUILTIN\\Administrators,True,True,True\r\n"
                                    "CORP-FS1,Finance,CORP\\Finance,True,True,True\r\n"
                                    "CORP-FS1,Finance,CORP\\Management,False,False,True\r\n"));

    const QString finance = QStringLiteral("CORP-FS1|Finance|true|true|true");
    const QStringList columns = {QStringLiteral("Server"), QStringLiteral("Share"),
                                 QStringLiteral("Full Control"), QStringLiteral("Change"),
                                 QStringLiteral("Read")};
    r = Run(Words(
        "user-access --domain CORP --account jsmith --token group --show shares --format json"));
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(JsonLines(r.out, columns).contains(finance)) << r.out.toStdString();
    r = Run(Words(
        "user-access --domain CORP --account jsmith --token group --exclude Finance --show shares "
        "--format json"));
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_FALSE(JsonLines(r.out, columns).contains(finance)) << r.out.toStdString();
}

} // namespace
