// The refresh on lab networks: what reaches the Servers table, in which order, what is
// logged, and what survives a cancel, an offline controller or a second refresh.

#include "support/AuditFixture.h"

#include "applib/Exceptions.h"
#include "data/Dataset.h"
#include "store/Schema.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace velmora;
using velmora::test::AuditFixture;

namespace {

const char kProvider[] = "Microsoft Windows Network";

// CORP lists its members before its controller, a workstation that classification drops,
// a backup controller and a machine whose type query fails; NODC has no controller and
// TWODC two.
const QByteArray kNetwork = R"({
  "format": "velmora-lab/1",
  "local": { "computer": "ADMINPC", "user": "CORP\\Administrator" },
  "providers": [
    { "name": "Microsoft Windows Network", "type": "0x00020000",
      "domains": ["CORP", "BRANCH", "NODC", "TWODC"] },
    { "name": "Web Client Network", "type": "0x002E0000", "domains": [], "open_error": 1222 }
  ],
  "domains": [
    { "name": "CORP", "sid": "S-1-5-21-100-200-300",
      "servers": ["FS1", "WS1", "DC1", "BDC1", "\\\\FS2", "BROKEN"] },
    { "name": "BRANCH", "sid": "S-1-5-21-400-500-600", "servers": ["BRFS", "BRDC"] },
    { "name": "NODC", "servers": ["LONE"] },
    { "name": "TWODC", "sid": "S-1-5-21-7-8-9", "servers": ["DCA", "DCB"] }
  ],
  "machines": [
    { "name": "DC1", "domain": "CORP", "type": "0x0000900B" },
    { "name": "BDC1", "domain": "CORP", "type": "0x00009013" },
    { "name": "FS1", "domain": "CORP" },
    { "name": "FS2", "domain": "CORP" },
    { "name": "WS1", "domain": "CORP", "type": "0x00001003" },
    { "name": "BROKEN", "domain": "CORP", "type_error": 53 },
    { "name": "BRDC", "domain": "BRANCH", "type": "0x0000900B" },
    { "name": "BRFS", "domain": "BRANCH" },
    { "name": "LONE", "domain": "NODC" },
    { "name": "DCA", "domain": "TWODC", "type": "0x0000900B" },
    { "name": "DCB", "domain": "TWODC", "type": "0x0000900B" }
  ]
})";

// The same network with one machine's entry changed.
QByteArray WithMachine(const QString& name, const QJsonObject& changes)
{
    QJsonObject root = QJsonDocument::fromJson(kNetwork).object();
    QJsonArray machines = root.value(QStringLiteral("machines")).toArray();
    for (int i = 0; i < machines.size(); ++i) {
        QJsonObject m = machines[i].toObject();
        if (m.value(QStringLiteral("name")).toString() == name) {
            for (auto it = changes.begin(); it != changes.end(); ++it)
                m.insert(it.key(), it.value());
            machines[i] = m;
        }
    }
    root.insert(QStringLiteral("machines"), machines);
    return QJsonDocument(root).toJson();
}

QString P(const char* domain, const char* rest)
{
    return QString::fromLatin1(kProvider) + QLatin1Char('/') + QString::fromLatin1(domain) +
           QLatin1Char('/') + QString::fromLatin1(rest);
}

class RefreshTest : public AuditFixture
{
};

TEST_F(RefreshTest, FullRefreshScansControllersFirstAndSkipsDomainsWithoutExactlyOne)
{
    StartLab(kNetwork);
    ShowWait();
    dataDM->RefreshAll();

    EXPECT_EQ(ServerRows(), (QStringList{P("CORP", "DC1 dc online"), P("CORP", "FS1 online"),
                                         P("CORP", "BDC1 online"), P("CORP", "FS2 online"),
                                         P("BRANCH", "BRDC dc online"), P("BRANCH", "BRFS online")}));
    EXPECT_EQ(progress.headings,
              (QStringList{QStringLiteral("Deleting existing data..."),
                           QStringLiteral("Enumerating Network resources..."),
                           QStringLiteral("Building Server: \"DC1\" data..."),
                           QStringLiteral("Building Domain Controller: \"DC1\" account information..."),
                           QStringLiteral("Building Server: \"DC1\" share information..."),
                           QStringLiteral("Building Server: \"FS1\" data..."),
                           QStringLiteral("Building Server: \"FS1\" share information..."),
                           QStringLiteral("Building Server: \"BDC1\" data..."),
                           QStringLiteral("Building Server: \"BDC1\" share information..."),
                           QStringLiteral("Building Server: \"FS2\" data..."),
                           QStringLiteral("Building Server: \"FS2\" share information..."),
                           QStringLiteral("Building Server: \"BRDC\" data..."),
                           QStringLiteral("Building Domain Controller: \"BRDC\" account information..."),
                           QStringLiteral("Building Server: \"BRDC\" share information..."),
                           QStringLiteral("Building Server: \"BRFS\" data..."),
                           QStringLiteral("Building Server: \"BRFS\" share information...")}));
    EXPECT_FALSE(progress.CancelEnabled()) << "the build runs with Cancel disabled";

    const QStringList log = LogLines();
    ASSERT_EQ(log.size(), 3) << log.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(log[0].startsWith(QStringLiteral("Error,NetServerGetInfo failed on \"BROKEN\" with Error: ")));
    EXPECT_EQ(log[1], QStringLiteral("Error,Domain: \"NODC\" has no domain controller, or domain "
                                     "controller cannot be found. This Domain will be ignored."));
    EXPECT_EQ(log[2], QStringLiteral("Error,Domain: \"TWODC\" has more than one domain controller. "
                                     "This Domain will be ignored."));

    // Dropped machines are asked for their type only, never pinged; every buffer is freed.
    EXPECT_EQ(lab->CallCount(QStringLiteral("WS1"), QStringLiteral("NetServerGetInfo")), 1);
    EXPECT_EQ(lab->CallCount(QStringLiteral("WS1"), QStringLiteral("IcmpSendEcho")), 0);
    EXPECT_EQ(lab->CallCount(QStringLiteral("LONE"), QStringLiteral("IcmpSendEcho")), 0);
    EXPECT_EQ(lab->OutstandingBuffers(), 0);
    EXPECT_EQ(lab->OpenEnumerations(), 0);
    EXPECT_EQ(lab->OpenRegistryKeys(), 0);
}

TEST_F(RefreshTest, SecondRefreshReplacesTheData)
{
    StartLab(kNetwork);
    ShowWait();
    dataDM->RefreshAll();
    const QStringList first = ServerRows();
    dataDM->RefreshAll();
    EXPECT_EQ(ServerRows(), first);
}

TEST_F(RefreshTest, OfflineControllerKeepsItsRowAndSkipsTheRestOfItsDomain)
{
    StartLab(WithMachine(QStringLiteral("DC1"),
                         {{QStringLiteral("ping"), QJsonObject{{QStringLiteral("reply"), false},
                                                               {QStringLiteral("status"), 11010}}}}));
    dataDM->PingTimeoutMS = 700;
    ShowWait();
    dataDM->RefreshAll();

    EXPECT_EQ(ServerRows(), (QStringList{P("CORP", "DC1 dc"), P("BRANCH", "BRDC dc online"),
                                         P("BRANCH", "BRFS online")}));
    const QStringList log = LogLines();
    EXPECT_TRUE(log.contains(QStringLiteral("Error,Unable to Ping \"DC1\" in 700ms")));
    EXPECT_TRUE(log.contains(QStringLiteral("Error,Primary Domain Controller is offline, unable to "
                                            "complete Building Server data.")));
    EXPECT_EQ(lab->CallCount(QStringLiteral("FS1"), QStringLiteral("IcmpSendEcho")), 0);
}

TEST_F(RefreshTest, MemberThatRefusesTheRegistryIsOffline)
{
    StartLab(WithMachine(QStringLiteral("FS1"), {{QStringLiteral("registry"), QStringLiteral("refused")}}));
    ShowWait();
    dataDM->RefreshAll();

    EXPECT_TRUE(ServerRows().contains(P("CORP", "FS1")));
    EXPECT_TRUE(ServerRows().contains(P("CORP", "FS2 online")));
    const QStringList log = LogLines();
    bool logged = false;
    for (const QString& line : log)
        logged |= line.startsWith(QStringLiteral("Error,Unable to connect to \"FS1\" ERROR: "));
    EXPECT_TRUE(logged) << log.join(QLatin1Char('\n')).toStdString();
}

TEST_F(RefreshTest, CancelWhileEnumeratingLeavesNoScanData)
{
    StartLab(kNetwork);
    ShowWait();
    dataDM->RefreshAll();
    ASSERT_FALSE(ServerRows().isEmpty());
    ClearLog();
    lab->ResetCallCounts();

    progress.CloseWait();
    ShowWait();
    progress.cancelAtHeading = QStringLiteral("Enumerating Network resources...");
    dataDM->RefreshAll();

    EXPECT_TRUE(progress.WaitCancelled());
    EXPECT_TRUE(ServerRows().isEmpty());
    EXPECT_EQ(lab->TotalCallCount(QStringLiteral("NetServerGetInfo")), 0);
    EXPECT_TRUE(LogLines().isEmpty());
}

TEST_F(RefreshTest, ClosingTheProgressDuringTheBuildDoesNotStopIt)
{
    StartLab(kNetwork);
    ShowWait();
    progress.cancelAtHeading = QStringLiteral("Building Server:");
    dataDM->RefreshAll();
    // Cancel is disabled while building: the click does nothing and every server is scanned.
    EXPECT_FALSE(progress.WaitCancelled());
    EXPECT_EQ(ServerRows().size(), 6);
}

TEST_F(RefreshTest, PerDomainRefreshReplacesOnlyThatDomain)
{
    StartLab(kNetwork);
    ShowWait();
    dataDM->RefreshAll();
    lab->ResetCallCounts();
    progress.CloseWait();
    ShowWait();

    EXPECT_TRUE(dataDM->RefreshDomains({QStringLiteral("BRANCH=Microsoft Windows Network")}));
    EXPECT_EQ(ServerRows().size(), 6);
    EXPECT_EQ(lab->CallCount(QStringLiteral("BRDC"), QStringLiteral("NetServerGetInfo")), 1);
    EXPECT_EQ(lab->CallCount(QStringLiteral("DC1"), QStringLiteral("NetServerGetInfo")), 0);
    EXPECT_TRUE(progress.headings.contains(QStringLiteral("Deleting Existing \"BRANCH\" resources...")));
    EXPECT_TRUE(progress.headings.contains(QStringLiteral("Enumerating \"BRANCH\" Domain resources...")));

    // A cancel at the deletion step stops the loop: the domain stays deleted.
    progress.cancelAtHeading = QStringLiteral("Deleting Existing \"BRANCH\"");
    EXPECT_FALSE(dataDM->RefreshDomains({QStringLiteral("BRANCH=Microsoft Windows Network"),
                                         QStringLiteral("CORP=Microsoft Windows Network")}));
    EXPECT_EQ(ServerRows(), (QStringList{P("CORP", "DC1 dc online"), P("CORP", "FS1 online"),
                                         P("CORP", "BDC1 online"), P("CORP", "FS2 online")}));
}

TEST_F(RefreshTest, DeletesRemoveMembersBeforeTheControllerUnderEveryProvider)
{
    StartLab(kNetwork);
    ShowWait();
    dataDM->RefreshAll();
    // The same domain under a second provider: accepted, the provider is not compared.
    dataDM->AddServerManually(QStringLiteral("Other Network"), QStringLiteral("CORP"), QStringLiteral("FS1"));
    ASSERT_TRUE(ServerRows().contains(QStringLiteral("Other Network/CORP/FS1 online")));

    data::Connection& c = connection->Connection();
    c.ExecDirect(QStringLiteral("CREATE TEMP TABLE deleted(name TEXT)"));
    c.ExecDirect(QStringLiteral("CREATE TEMP TRIGGER record_delete AFTER DELETE ON Servers BEGIN "
                                "INSERT INTO deleted VALUES (OLD.Server || CASE WHEN OLD.isDC THEN ' dc' "
                                "ELSE '' END); END"));
    dataDM->DeleteDomain(QStringLiteral("corp"), false);

    data::Statement q(c);
    q.SetSQL(QStringLiteral("SELECT name FROM deleted ORDER BY rowid"));
    QStringList order;
    for (q.Open(); !q.Eof(); q.Next())
        order << q.FieldAt(0).toString();
    q.Close();
    ASSERT_EQ(order.size(), 5);
    EXPECT_EQ(order.last(), QStringLiteral("DC1 dc"));
    EXPECT_EQ(ServerRows(), (QStringList{P("BRANCH", "BRDC dc online"), P("BRANCH", "BRFS online")}));

    dataDM->DeleteAllData();
    EXPECT_TRUE(ServerRows().isEmpty());
}

TEST_F(RefreshTest, DeleteServerRefusesTheController)
{
    StartLab(kNetwork);
    ShowWait();
    dataDM->RefreshAll();
    EXPECT_TRUE(dataDM->DeleteServer(QString::fromLatin1(kProvider), QStringLiteral("CORP"), QStringLiteral("FS2")));
    EXPECT_FALSE(dataDM->DeleteServer(QString::fromLatin1(kProvider), QStringLiteral("CORP"), QStringLiteral("FS2")));
    EXPECT_THROW(dataDM->DeleteServer(QString::fromLatin1(kProvider), QStringLiteral("CORP"), QStringLiteral("DC1")),
                 EErrorMessageException);
    EXPECT_TRUE(ServerRows().contains(P("CORP", "DC1 dc online")));
}

TEST_F(RefreshTest, ClassificationByServerType)
{
    struct Case
    {
        const char* type;
        bool answers;
        quint8 flags;
    } cases[] = {
        {"0x00001003", true, 0},                                            // workstation
        {"0x00000010", true, engine::kServerFlag},                          // backup controller
        {"0x00000018", true, engine::kServerFlag | engine::kControllerFlag}, // both bits
        {"0x00008000", true, engine::kServerFlag},                          // NT server
        {"0x00000008", true, engine::kServerFlag | engine::kControllerFlag},
        {"0x00000002", true, 0},                                            // non-Windows server
    };
    QJsonObject root = QJsonDocument::fromJson(kNetwork).object();
    QJsonArray machines = root.value(QStringLiteral("machines")).toArray();
    for (size_t i = 0; i < std::size(cases); ++i)
        machines.append(QJsonObject{{QStringLiteral("name"), QStringLiteral("T%1").arg(i)},
                                    {QStringLiteral("domain"), QStringLiteral("CORP")},
                                    {QStringLiteral("type"), QString::fromLatin1(cases[i].type)}});
    root.insert(QStringLiteral("machines"), machines);
    StartLab(QJsonDocument(root).toJson());

    for (size_t i = 0; i < std::size(cases); ++i) {
        quint8 flags = 0xFF;
        EXPECT_EQ(dataDM->ClassifyServer(QStringLiteral("T%1").arg(i), flags), cases[i].answers) << cases[i].type;
        EXPECT_EQ(flags, cases[i].flags) << cases[i].type;
    }
    quint8 flags = 0xFF;
    EXPECT_FALSE(dataDM->ClassifyServer(QStringLiteral("BROKEN"), flags));
    EXPECT_EQ(flags, 0);
    EXPECT_EQ(lab->OutstandingBuffers(), 0);
}

TEST_F(RefreshTest, ManualAdditionFollowsTheControllerRules)
{
    StartLab(kNetwork);
    ShowWait(false); // as the add-servers dialog shows it while it adds
    const QString mwn = QString::fromLatin1(kProvider);
    struct Case
    {
        const char* server;
        const char* error; // empty: accepted
    } steps[] = {
        {"WS1", "Machine \"WS1\" must be a Server"},
        {"BROKEN", "Machine \"BROKEN\" must be a Server"},
        {"FS1", "When adding Servers manually you must add the Primary Domain Controller for the Domain:\"CORP\" first."},
        {"DC1", ""},
        {"DCA", "Server \"DCA\" is invalid because Domain \"CORP\" already contains a Primary Domain Controller"},
        {"FS1", ""},
    };
    for (const Case& step : steps) {
        const QStringList before = ServerRows();
        try {
            dataDM->AddServerManually(mwn, QStringLiteral("CORP"), QString::fromLatin1(step.server));
            EXPECT_STREQ(step.error, "") << step.server << " was accepted";
        } catch (const EInvalidServerErr& e) {
            EXPECT_EQ(e.Message(), QString::fromLatin1(step.error));
            EXPECT_EQ(ServerRows(), before) << "a refused server writes nothing";
        }
    }
    EXPECT_EQ(ServerRows(), (QStringList{P("CORP", "DC1 dc online"), P("CORP", "FS1 online")}));
}

TEST_F(RefreshTest, ManuallyAddedOfflineControllerRaisesAndStays)
{
    StartLab(WithMachine(QStringLiteral("DC1"), {{QStringLiteral("registry"), QStringLiteral("unreachable")}}));
    EXPECT_THROW(dataDM->AddServerManually(QString::fromLatin1(kProvider), QStringLiteral("CORP"),
                                           QStringLiteral("DC1")),
                 EPDCOffline);
    EXPECT_EQ(ServerRows(), (QStringList{P("CORP", "DC1 dc")}));
}

TEST_F(RefreshTest, RefreshNeedsAnOpenConnection)
{
    StartLab(kNetwork);
    connection->Connection().Close();
    ShowWait();
    try {
        dataDM->RefreshAll();
        FAIL() << "refresh ran without a connection";
    } catch (const EErrorMessageException& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Database connection closed, some database error occured."));
    }
    EXPECT_TRUE(LogLines().contains(QStringLiteral("Error,Database connection closed, some database error occured.")));
}

TEST_F(RefreshTest, ServerThatRefusesTheUserIsReachedWithTheDomainsCredentialAndDisconnected)
{
    StartLab(WithMachine(
        QStringLiteral("FS1"),
        {{QStringLiteral("admits"), QJsonArray{QStringLiteral("CORP\\backup")}},
         {QStringLiteral("credentials"),
          QJsonArray{QJsonObject{{QStringLiteral("user"), QStringLiteral("CORP\\audit")},
                                 {QStringLiteral("password"), QJsonValue::Null}}}}}));
    data::Connection& c = connection->Connection();
    // Two active credentials, the second of which the server accepts with the associated
    // password; an inactive one first in priority that must never be tried.
    c.ExecDirect(QStringLiteral("INSERT INTO MngdDomains (ID, DomainName) VALUES (1, 'CORP')"));
    c.ExecDirect(QStringLiteral(
        "INSERT INTO AlternateCredentials (ID, Description, isActive, UserName, UserPassword, LastUserModified) "
        "VALUES (1, 'off', 0, 'CORP\\audit', char(2), '2026-01-01'), "
        "(2, 'wrong', 1, 'CORP\\nobody', char(2), '2026-01-01'), "
        "(3, 'audit', 1, 'CORP\\audit', char(2), '2026-01-01')"));
    c.ExecDirect(QStringLiteral("INSERT INTO MngdDomain2Credentials (MngdDomainID, AlternateCredentialID, PriorityOrder) "
                                "VALUES (1, 3, 2), (1, 1, 0), (1, 2, 1)"));
    ShowWait();
    dataDM->RefreshAll();

    EXPECT_TRUE(ServerRows().contains(P("CORP", "FS1 online")));
    ASSERT_EQ(dataDM->RefreshCredentials.size(), 0) << "the last domain scanned (BRANCH) has none";
    EXPECT_EQ(lab->CallCount(QStringLiteral("FS1"), QStringLiteral("WNetAddConnection2")), 2);
    EXPECT_TRUE(lab->Connections().isEmpty()) << "the connection ends with the server's scan";
    EXPECT_FALSE(lab->Admits(QStringLiteral("FS1")));
    // Servers that admit the user need no connection.
    EXPECT_EQ(lab->CallCount(QStringLiteral("DC1"), QStringLiteral("WNetAddConnection2")), 0);

    dataDM->LoadDomainCredentials(QStringLiteral("CORP"));
    ASSERT_EQ(dataDM->RefreshCredentials.size(), 2);
    EXPECT_EQ(dataDM->RefreshCredentials[0].userName, QStringLiteral("CORP\\nobody"));
    EXPECT_EQ(dataDM->RefreshCredentials[1].userName, QStringLiteral("CORP\\audit"));
}

} // namespace
