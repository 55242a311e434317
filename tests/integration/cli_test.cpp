// velmora-cli as a user runs it: a program folder, the demo network, bad input.

#include "applib/Log.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "support/CliRunner.h"

namespace {

using Result = velmora::test::CliResult;

class CliTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        home = dir.path();
        ASSERT_FALSE(qEnvironmentVariable("VELMORA_CLI").isEmpty());
        // The template that an install writes.
        ASSERT_EQ(Run({QStringLiteral("db"), QStringLiteral("template")}).code, 0);
    }
    void TearDown() override
    {
        QFile::remove(velmora::TDfxLog::LockFilePath(home + QStringLiteral("/velmora-cli.Log")));
    }

    Result Run(QStringList args, const QString& network = {})
    {
        QStringList all{QStringLiteral("--home"), home};
        if (!network.isEmpty())
            all << QStringLiteral("--network") << network;
        all << args;
        return velmora::test::RunCli(all, home + QStringLiteral("/config"));
    }

    QString Demo() const { return QStringLiteral("lab:" VELMORA_SOURCE_DIR "/lab/demo.json"); }

    QJsonArray Servers()
    {
        const Result r = Run({QStringLiteral("servers"), QStringLiteral("--format"), QStringLiteral("json")});
        EXPECT_EQ(r.code, 0) << r.err.toStdString();
        return QJsonDocument::fromJson(r.out.toUtf8()).array();
    }

    QTemporaryDir dir;
    QString home;
};

TEST_F(CliTest, InitRefreshAndListTheDemoNetwork)
{
    Result r = Run({QStringLiteral("db"), QStringLiteral("init")});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(QFile::exists(home + QStringLiteral("/Data/Velmora.udl")));

    r = Run({QStringLiteral("refresh")}, Demo());
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QStringLiteral("Enumerating Network resources...")));
    const QJsonArray servers = Servers();
    ASSERT_FALSE(servers.isEmpty());
    int controllers = 0;
    for (const QJsonValue& v : servers)
        controllers += v.toObject().value(QStringLiteral("isDC")).toBool() ? 1 : 0;
    EXPECT_GE(controllers, 1);

    r = Run({QStringLiteral("servers"), QStringLiteral("--format"), QStringLiteral("csv")});
    ASSERT_EQ(r.code, 0);
    EXPECT_TRUE(r.out.startsWith(QStringLiteral("ProviderName,DomainName,Server,isDC,isOnline\r\n")));
    EXPECT_TRUE(r.out.contains(QStringLiteral(",True,")));

    // A refresh that cannot start (a broken lab file) loses nothing already stored.
    QFile bad(home + QStringLiteral("/bad.json"));
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
    bad.write("{ \"format\": \"velmora-lab/1\", \"machines\": [ { \"name\": \"X\", \"domian\": \"D\" } ] }");
    bad.close();
    r = Run({QStringLiteral("refresh")}, QStringLiteral("lab:") + bad.fileName());
    EXPECT_NE(r.code, 0);
    EXPECT_TRUE(r.err.contains(bad.fileName())) << r.err.toStdString();
    EXPECT_EQ(r.err.count(QLatin1Char('\n')), 1) << "one message: " << r.err.toStdString();
    EXPECT_EQ(Servers(), servers);

    r = Run({QStringLiteral("clear")});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(Servers().isEmpty());
}

TEST_F(CliTest, BadInputGivesOneMessageAndANonZeroCode)
{
    struct Case
    {
        QStringList args;
        QString network;
        int code;
        QString message; // part of the error output
    } cases[] = {
        {{QStringLiteral("servers")}, {}, 1, QStringLiteral("/Data/Velmora.udl\" missing")},
        {{QStringLiteral("refresh")}, QStringLiteral("lab:/nonexistent/net.json"), 1,
         QStringLiteral("/nonexistent/net.json")},
        {{QStringLiteral("refresh")}, QStringLiteral("ftp:x"), 1, QStringLiteral("ftp:x")},
        {{QStringLiteral("frobnicate")}, {}, 2, QStringLiteral("unknown command \"frobnicate\"")},
        {{QStringLiteral("refresh"), QStringLiteral("--domain"), QStringLiteral("CORP")}, {}, 2,
         QStringLiteral("DOMAIN=PROVIDER")},
        {{QStringLiteral("servers"), QStringLiteral("--format"), QStringLiteral("xml")}, {}, 2,
         QStringLiteral("unknown format")},
    };
    for (const Case& c : cases) {
        const Result r = Run(c.args, c.network);
        EXPECT_EQ(r.code, c.code) << c.args.join(QLatin1Char(' ')).toStdString() << ": " << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(c.message)) << r.err.toStdString();
    }
}

TEST_F(CliTest, UnwritableLogFolderIsReportedBeforeAnythingChanges)
{
    ASSERT_EQ(Run({QStringLiteral("db"), QStringLiteral("init")}).code, 0);
    ASSERT_EQ(Run({QStringLiteral("refresh")}, Demo()).code, 0);
    const QJsonArray before = Servers();

    // A log that is a folder cannot be written, whoever runs the test (root included).
    const QString log = home + QStringLiteral("/velmora-cli.Log");
    QFile::remove(log);
    ASSERT_TRUE(QDir().mkpath(log + QStringLiteral("/blocked")));
    const Result r = Run({QStringLiteral("refresh")}, Demo());
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains(log)) << r.err.toStdString();
    QDir(log).removeRecursively();
    EXPECT_EQ(Servers(), before);
}

TEST_F(CliTest, AddServerAndDeleteByName)
{
    ASSERT_EQ(Run({QStringLiteral("db"), QStringLiteral("init")}).code, 0);
    const QJsonObject demo = [] {
        QFile f(QStringLiteral(VELMORA_SOURCE_DIR "/lab/demo.json"));
        f.open(QIODevice::ReadOnly);
        return QJsonDocument::fromJson(f.readAll()).object();
    }();
    // The demo's first domain controller and another server of its domain.
    QString domain, dc, member;
    for (const QJsonValue& v : demo.value(QStringLiteral("machines")).toArray()) {
        const QJsonObject m = v.toObject();
        const QJsonValue t = m.value(QStringLiteral("type"));
        const uint type = t.isDouble() ? uint(t.toDouble()) : t.toString().toUInt(nullptr, 16);
        if (dc.isEmpty() && (type & 0x8)) {
            dc = m.value(QStringLiteral("name")).toString();
            domain = m.value(QStringLiteral("domain")).toString();
        }
    }
    ASSERT_FALSE(dc.isEmpty());

    Result r = Run({QStringLiteral("add-server"), QStringLiteral("--provider"), QStringLiteral("Microsoft Windows Network"),
                    QStringLiteral("--domain"), domain, dc, dc},
                   Demo());
    EXPECT_EQ(r.code, 1) << "the second name is a duplicate";
    EXPECT_TRUE(r.err.contains(QStringLiteral("Duplicate Server Name"))) << r.err.toStdString();
    ASSERT_EQ(Servers().size(), 1);

    r = Run({QStringLiteral("delete"), QStringLiteral("server"), dc});
    EXPECT_EQ(r.code, 1) << "a domain controller goes only with its domain";
    r = Run({QStringLiteral("delete"), QStringLiteral("domain"), domain});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(Servers().isEmpty());
}

} // namespace
