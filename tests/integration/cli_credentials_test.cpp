// velmora-cli credentials as a user runs it: credentials and managed domains kept through the
// command, then used by a refresh of a lab network.

#include "applib/LastError.h"
#include "applib/Log.h"
#include "support/QtPrinters.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "support/CliRunner.h"

namespace {

using Result = velmora::test::CliResult;

QStringList L(std::initializer_list<const char*> words)
{
    QStringList list;
    for (const char* w : words)
        list << QString::fromUtf8(w);
    return list;
}

class CliCredentialsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        home = dir.path();
        ASSERT_FALSE(qEnvironmentVariable("VELMORA_CLI").isEmpty());
        ASSERT_EQ(Run(L({"db", "template"})).code, 0);
        ASSERT_EQ(Run(L({"db", "init"})).code, 0);
    }
    void TearDown() override
    {
        QFile::remove(velmora::TDfxLog::LockFilePath(home + QStringLiteral("/velmora-cli.Log")));
    }

    Result Run(const QStringList& args, const QByteArray& input = {}, const QString& network = {})
    {
        QStringList all{QStringLiteral("--home"), home};
        if (!network.isEmpty())
            all << QStringLiteral("--network") << network;
        all << args;
        return velmora::test::RunCli(all, home + QStringLiteral("/config"), input);
    }

    // Adds a credential and returns its ID from the command's report.
    int Add(const QStringList& args, const QByteArray& input = {})
    {
        const Result r = Run(L({"credentials", "add"}) + args, input);
        EXPECT_EQ(r.code, 0) << r.err.toStdString();
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("^added credential (\\d+) ")).match(r.out);
        EXPECT_TRUE(m.hasMatch()) << r.out.toStdString();
        return m.captured(1).toInt();
    }

    QJsonArray Json(const QStringList& args)
    {
        const Result r = Run(args + L({"--format", "json"}));
        EXPECT_EQ(r.code, 0) << r.err.toStdString();
        return QJsonDocument::fromJson(r.out.toUtf8()).array();
    }

    QString WriteFile(const QString& name, const QByteArray& bytes)
    {
        QFile f(home + QLatin1Char('/') + name);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        return f.fileName();
    }

    QTemporaryDir dir;
    QString home;
};

QList<int> Ints(const QJsonArray& rows, const char* key)
{
    QList<int> values;
    for (const QJsonValue& v : rows)
        values << v.toObject().value(QString::fromUtf8(key)).toInt();
    return values;
}

TEST_F(CliCredentialsTest, RefreshTriesTheDomainsActiveCredentialsInPriorityOrder)
{
    const QString secondPassword = QStringLiteral("Kennwörté-2");
    const int first = Add(L({"--description", "first", "--user", "CORP\\first"}), "wrong-pass\n");
    const int second = Add(L({"--description", "second", "--user", "CORP\\second", "--password-file"}) +
                           QStringList{WriteFile(QStringLiteral("pw.txt"), secondPassword.toUtf8() + "\r\n")});
    const int spare = Add(L({"--description", "spare", "--user", "CORP\\spare", "--associated-password"}));

    // Nothing the commands write shows a password.
    const QJsonArray listed = Json(L({"credentials", "list"}));
    ASSERT_EQ(listed.size(), 3);
    QStringList shown;
    for (const QJsonValue& v : listed)
        shown << v.toObject().value(QStringLiteral("Description")).toString() + QLatin1Char('=') +
                     v.toObject().value(QStringLiteral("Password")).toString();
    EXPECT_EQ(shown, QStringList({QStringLiteral("first=**********"), QStringLiteral("second=**********"),
                                  QStringLiteral("spare=<Associated Pwd>")}));
    const QByteArray listedBytes = QJsonDocument(listed).toJson();
    EXPECT_FALSE(listedBytes.contains("wrong-pass"));
    EXPECT_FALSE(listedBytes.contains(secondPassword.toUtf8()));

    ASSERT_EQ(Run(L({"credentials", "domain-add", "corp"})).code, 0);
    // Priorities 5 and 7 make `second` the second one tried; `spare` would come first but is
    // switched off (FS2 would take it).
    for (const auto& [id, priority] : {std::pair{first, 5}, std::pair{second, 7}, std::pair{spare, 1}}) {
        const Result r = Run(L({"credentials", "link", "Corp"}) +
                             QStringList{QString::number(id), QStringLiteral("--priority"), QString::number(priority)});
        ASSERT_EQ(r.code, 0) << r.err.toStdString();
    }
    ASSERT_EQ(Run(L({"credentials", "deactivate"}) + QStringList{QString::number(spare)}).code, 0);

    const QJsonArray shownLinks = Json(L({"credentials", "show", "CORP"}));
    EXPECT_EQ(Ints(shownLinks, "ID"), QList<int>({spare, first, second}));
    EXPECT_EQ(Ints(shownLinks, "PriorityOrder"), QList<int>({1, 5, 7}));
    ASSERT_EQ(shownLinks.size(), 3);
    EXPECT_FALSE(shownLinks[0].toObject().value(QStringLiteral("Active")).toBool());
    EXPECT_EQ(Json(L({"credentials", "domains"}))[0].toObject().value(QStringLiteral("DomainName")).toString(),
              QStringLiteral("CORP"));

    const Result r = Run(L({"refresh"}), {},
                         QStringLiteral("lab:" VELMORA_TEST_DATA_DIR "/cli_credentials.json"));
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    QStringList servers;
    for (const QJsonValue& v : Json(L({"servers"})))
        servers << v.toObject().value(QStringLiteral("Server")).toString() +
                       (v.toObject().value(QStringLiteral("isOnline")).toBool() ? QStringLiteral(" online")
                                                                                 : QStringLiteral(" offline"));
    EXPECT_EQ(servers, QStringList({QStringLiteral("DC1 online"), QStringLiteral("FS1 online"),
                                    QStringLiteral("FS2 offline")}));

    // FS2 refused both active credentials: one line, with the error of the last attempt
    // (a refused logon, not the first answer, access denied).
    QFile logFile(home + QStringLiteral("/velmora-cli.Log"));
    ASSERT_TRUE(logFile.open(QIODevice::ReadOnly));
    QStringList connectLines;
    for (const QString& line : QString::fromUtf8(logFile.readAll()).split(QStringLiteral("\r\n")))
        if (line.contains(QStringLiteral("Unable to connect")))
            connectLines << line;
    EXPECT_EQ(connectLines, QStringList{QStringLiteral("Error,Unable to connect to \"FS2\" ERROR: ") +
                                        velmora::SystemErrorText(1326)});
}

TEST_F(CliCredentialsTest, LinkedRowsAreNotDeletedAndBadInputChangesNothing)
{
    const int id = Add(L({"--description", "audit", "--user", "CORP\\audit", "--blank-password"}));
    ASSERT_EQ(Run(L({"credentials", "domain-add", "corp", "branch"})).code, 0);
    ASSERT_EQ(Run(L({"credentials", "link", "corp"}) + QStringList{QString::number(id)}).code, 0);
    const QString idText = QString::number(id);

    struct Case
    {
        QStringList args;
        int code;
        QString message; // part of the error output
    } cases[] = {
        {L({"credentials", "delete"}) + QStringList{idText}, 1,
         QStringLiteral("Unable to delete \"audit\" Alternate Credential, Manged Domains are stilled "
                        "linking to this data.")},
        {L({"credentials", "domain-delete", "Corp"}), 1,
         QStringLiteral("Unable to delete this record, other tables link to this record")},
        {L({"credentials", "domain-add", "CORP"}), 1, QStringLiteral("\"CORP\" is already a managed domain")},
        {L({"credentials", "link", "corp"}) + QStringList{idText}, 1, QStringLiteral("already linked")},
        {L({"credentials", "link", "nowhere"}) + QStringList{idText}, 1,
         QStringLiteral("\"nowhere\" is not a managed domain")},
        {L({"credentials", "link", "branch", "999"}), 1, QStringLiteral("no alternate credential with ID 999")},
        {L({"credentials", "add", "--description", "x", "--user", "u", "--password", "secret"}), 2,
         QStringLiteral("unknown option --password")},
        {L({"credentials", "add", "--description", "x", "--user", "u", "--blank-password",
            "--associated-password"}),
         2, QStringLiteral("only one of")},
        {L({"credentials", "add", "--description", "x", "--user", "u", "--blank-password", "extra"}), 2,
         QStringLiteral("unexpected argument \"extra\"")},
        {L({"credentials", "add", "--description", "x", "--user", "u", "--password-file", "/nonexistent/pw"}), 1,
         QStringLiteral("/nonexistent/pw")},
        {L({"credentials", "activate", "seven"}), 2, QStringLiteral("not \"seven\"")},
    };
    for (const Case& c : cases) {
        const Result r = Run(c.args);
        EXPECT_EQ(r.code, c.code) << c.args.join(QLatin1Char(' ')).toStdString() << ": " << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(c.message)) << r.err.toStdString();
    }
    // An empty standard input is no password.
    const Result empty = Run(L({"credentials", "add", "--description", "x", "--user", "u"}));
    EXPECT_EQ(empty.code, 1);
    EXPECT_TRUE(empty.err.contains(QStringLiteral("No password"))) << empty.err.toStdString();

    const QJsonArray listed = Json(L({"credentials", "list"}));
    ASSERT_EQ(listed.size(), 1) << "nothing was added by the refused commands";
    EXPECT_EQ(listed[0].toObject().value(QStringLiteral("Password")).toString(), QStringLiteral("<Blank Password>"));
    EXPECT_EQ(Json(L({"credentials", "domains"})).size(), 2);

    // Once the link is gone both deletes go through.
    Result r = Run(L({"credentials", "unlink", "CORP"}) + QStringList{idText});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    r = Run(L({"credentials", "unlink", "CORP"}) + QStringList{idText});
    EXPECT_EQ(r.code, 1) << "no such link any more";
    r = Run(L({"credentials", "delete"}) + QStringList{idText});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    r = Run(L({"credentials", "domain-delete", "corp"}));
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(Json(L({"credentials", "list"})).isEmpty());
    EXPECT_EQ(Json(L({"credentials", "domains"})).size(), 1);
}

} // namespace
