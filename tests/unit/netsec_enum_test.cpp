// Walking the network neighbourhood: what stays in the provider, domain and server lists,
// what is logged, the single-domain walk, the provider and domain lists of the add-domain
// dialog, and the LAN Manager provider's name.

#include "applib/LastError.h"
#include "applib/Log.h"
#include "netsec/NetworkDfx.h"
#include "platform/lab/LabFile.h"
#include "platform/lab/LabNetwork.h"
#include "support/QtPrinters.h"
#include "support/LoggedTest.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::netsec;
using velmora::platform::lab::LabFile;
using velmora::platform::lab::LabNetwork;

namespace {

const QString kWindows = QStringLiteral("Microsoft Windows Network");

QStringList Names(const std::vector<const char*>& names)
{
    QStringList list;
    for (const char* name : names)
        list << QString::fromLatin1(name);
    return list;
}

class EnumTest : public test::LoggedTest
{
  protected:
    void SetUp() override
    {
        LoggedTest::SetUp();
        lab = OpenLab("netsec_enum.json");
        ASSERT_TRUE(lab);
    }

    std::unique_ptr<LabNetwork> lab;
};

struct ServersCase
{
    const char* provider;
    const char* domain;
    bool found;
    std::vector<const char*> servers;
};

TEST_F(EnumTest, WalkKeepsOnlyContainersWithServers)
{
    TDfxEnumNet walk(*lab);
    walk.Enumerate(2);

    QStringList providers;
    walk.GetProviders(providers);
    // VMware's provider is skipped by name, the WebDAV and flaky ones cannot be opened, and
    // the quiet one has no domain with a server.
    EXPECT_EQ(providers, QStringList{kWindows});
    EXPECT_EQ(walk.ProviderCount(), 1);

    QStringList domains;
    ASSERT_TRUE(walk.GetDomains(kWindows, domains));
    // SHARED is a part of the VMware provider's name; EMPTYWG, HOLLOW and BROKEN have no
    // servers; PARTIAL keeps what came before its failure.
    EXPECT_EQ(domains, (QStringList{QStringLiteral("CORP"), QStringLiteral("PARTIAL")}));

    const ServersCase cases[] = {
        {"Microsoft Windows Network", "CORP", true, {"DC1", "FS1", "WS1"}},
        {"microsoft windows network", "corp", true, {"DC1", "FS1", "WS1"}},
        {"Microsoft Windows Network", "PARTIAL", true, {"P1", "P2"}},
        {"Microsoft Windows Network", "EMPTYWG", false, {"untouched"}},
        {"Microsoft Windows Network", "SHARED", false, {"untouched"}},
        {"Quiet Network", "LONELY", false, {"untouched"}},
        {"VMware Shared Folders", "VMDOMAIN", false, {"untouched"}},
    };
    for (const ServersCase& c : cases) {
        SCOPED_TRACE(std::string(c.provider) + "/" + c.domain);
        QStringList servers{QStringLiteral("untouched")};
        EXPECT_EQ(walk.GetServers(QString::fromLatin1(c.provider), QString::fromLatin1(c.domain),
                                  servers),
                  c.found);
        EXPECT_EQ(servers, Names(c.servers));
    }
    EXPECT_EQ(lab->OpenEnumerations(), 0);
}

TEST_F(EnumTest, FailuresAreLoggedExceptTheWebClientProvider)
{
    TDfxEnumNet walk(*lab);
    walk.Enumerate(2);
    const QString busy = SystemErrorText(54);
    EXPECT_EQ(LogLines(),
              (QStringList{
                  QStringLiteral("Error,\"%1\" for NetResource \"BROKEN\","
                                 "TDfxEnumNet.InternalEnumerate.WNetOpenEnum")
                      .arg(busy),
                  QStringLiteral("Error,Error in TDfxEnumNet.InternalEnumerate = %1").arg(busy),
                  QStringLiteral("Error,\"Extended Error: The flaky provider is asleep from "
                                 "Provider: Flaky\" for NetResource \"Flaky Network\","
                                 "TDfxEnumNet.InternalEnumerate.WNetOpenEnum"),
              }));
}

TEST_F(EnumTest, MaxLevelLimitsWhatIsAnswered)
{
    struct Case
    {
        int maxLevel;
        bool domains;
        bool servers;
    };
    for (const Case c : {Case{0, false, false}, Case{1, true, false}, Case{2, true, true}}) {
        SCOPED_TRACE(c.maxLevel);
        TDfxEnumNet walk(*lab);
        walk.Enumerate(c.maxLevel);
        EXPECT_EQ(walk.MaxLevel(), c.maxLevel);
        QStringList list{QStringLiteral("untouched")};
        EXPECT_EQ(walk.GetDomains(kWindows, list), c.domains);
        EXPECT_EQ(walk.GetServers(kWindows, QStringLiteral("CORP"), list), c.servers);
        EXPECT_EQ(walk.GetDomains(QStringLiteral("No Such Network"), list), false);
    }
}

TEST_F(EnumTest, EnumerateDomainWalksOneDomain)
{
    struct Case
    {
        const char* domain;
        std::vector<const char*> domains;
        bool serversFound;
        std::vector<const char*> servers;
    };
    const Case cases[] = {
        {"CORP", {"CORP"}, true, {"DC1", "FS1", "WS1"}},
        // Nothing found: the provider stays, with no domain under it.
        {"EMPTYWG", {}, false, {}},
        {"BROKEN", {}, false, {}},
    };
    TDfxEnumNet walk(*lab);
    walk.Enumerate(2); // a walk before must not leak into the next
    for (const Case& c : cases) {
        SCOPED_TRACE(c.domain);
        walk.EnumerateDomain(kWindows, QString::fromLatin1(c.domain));
        QStringList providers;
        walk.GetProviders(providers);
        EXPECT_EQ(providers, QStringList{kWindows});
        QStringList domains;
        EXPECT_TRUE(walk.GetDomains(kWindows, domains));
        EXPECT_EQ(domains, Names(c.domains));
        QStringList servers;
        EXPECT_EQ(walk.GetServers(kWindows, QString::fromLatin1(c.domain), servers),
                  c.serversFound);
        EXPECT_EQ(servers, Names(c.servers));
    }
}

TEST_F(EnumTest, ThousandsOfServersComeInSeveralBatches)
{
    QByteArray servers;
    QByteArray machines;
    QStringList expected;
    for (int i = 0; i < 2500; ++i) {
        const QByteArray name = "S" + QByteArray::number(i).rightJustified(4, '0');
        expected << QString::fromLatin1(name);
        servers += (i ? ",\"" : "\"") + name + "\"";
        machines += (i ? "," : "") + ("{\"name\":\"" + name + "\",\"domain\":\"BIG\"}");
    }
    const QByteArray json =
        "{\"format\":\"velmora-lab/1\",\"providers\":[{\"name\":\"Microsoft Windows Network\","
        "\"type\":\"0x00020000\",\"domains\":[\"BIG\"]}],\"domains\":[{\"name\":\"BIG\","
        "\"servers\":[" +
        servers + "]}],\"machines\":[" + machines + "]}";
    QString error;
    auto model = LabFile::Parse(json, QStringLiteral("big.json"), error);
    ASSERT_TRUE(model) << error.toStdString();
    LabNetwork big(std::move(*model));

    TDfxEnumNet walk(big);
    walk.EnumerateDomain(kWindows, QStringLiteral("BIG"));
    QStringList listed;
    ASSERT_TRUE(walk.GetServers(kWindows, QStringLiteral("BIG"), listed));
    // Long lists: the size and the first difference say more than the whole lists.
    ASSERT_EQ(listed.size(), expected.size());
    for (qsizetype i = 0; i < expected.size(); ++i)
        ASSERT_EQ(listed[i], expected[i]) << "at " << i;
    // One read per batch and the read that says nothing is left.
    EXPECT_GT(big.TotalCallCount(QStringLiteral("WNetEnumResource")), 3);
    EXPECT_EQ(big.OpenEnumerations(), 0);
}

TEST_F(EnumTest, ProviderAndDomainLists)
{
    TWNetStrings providers;
    ASSERT_TRUE(ListNetworkProviders(*lab, providers));
    EXPECT_EQ(providers.Names(),
              (QStringList{kWindows, QStringLiteral("VMware Shared Folders"),
                           QStringLiteral("Web Client Network"), QStringLiteral("Quiet Network"),
                           QStringLiteral("Flaky Network")}));
    // Each entry keeps its own description with the remote name and no other text.
    EXPECT_EQ(providers.Resource(0).remoteName, kWindows);
    EXPECT_EQ(providers.Resource(0).displayType, platform::kDisplayTypeNetwork);
    EXPECT_TRUE(providers.Resource(0).provider.isEmpty());

    TWNetStrings copy = providers;
    providers.Clear();
    EXPECT_EQ(copy.Count(), 5);
    EXPECT_EQ(copy.Resource(4).remoteName, QStringLiteral("Flaky Network"));
    copy.Delete(0);
    EXPECT_EQ(copy.Name(0), QStringLiteral("VMware Shared Folders"));
    EXPECT_EQ(copy.Resource(0).remoteName, QStringLiteral("VMware Shared Folders"));

    TWNetStrings domains;
    ASSERT_TRUE(ListProviderDomains(*lab, kWindows, domains));
    // The dialog lists every container, with or without servers.
    EXPECT_EQ(domains.Names(), (QStringList{QStringLiteral("CORP"), QStringLiteral("SHARED"),
                                            QStringLiteral("EMPTYWG"), QStringLiteral("HOLLOW"),
                                            QStringLiteral("BROKEN"), QStringLiteral("PARTIAL")}));
    EXPECT_EQ(lab->OpenEnumerations(), 0);
}

TEST_F(EnumTest, ListFailuresAreStoredNotLogged)
{
    struct Case
    {
        const char* provider;
        uint32_t code;
    };
    for (const Case c : {Case{"Web Client Network", 1222}, Case{"No Such Network", 1204}}) {
        SCOPED_TRACE(c.provider);
        TWNetStrings domains;
        domains.Add(QStringLiteral("stale"), {});
        EXPECT_FALSE(ListProviderDomains(*lab, QString::fromLatin1(c.provider), domains));
        EXPECT_EQ(domains.Count(), 0);
        EXPECT_EQ(GetLastErrorText(), SystemErrorText(c.code));
    }
    EXPECT_TRUE(LogLines().isEmpty());
    EXPECT_EQ(lab->OpenEnumerations(), 0);
}

TEST_F(EnumTest, LanManProviderName)
{
    EXPECT_EQ(LanManProviderName(*lab), kWindows);
    EXPECT_TRUE(LogLines().isEmpty());

    QString error;
    auto model = LabFile::Parse(
        R"({"format":"velmora-lab/1","providers":[{"name":"Other","type":"0x00030000"}]})",
        QStringLiteral("other.json"), error);
    ASSERT_TRUE(model) << error.toStdString();
    LabNetwork other(std::move(*model));
    EXPECT_EQ(LanManProviderName(other), QString());
    EXPECT_EQ(
        LogLines(),
        QStringList{
            QStringLiteral("Error,API Error,WNetGetProviderName,%1").arg(SystemErrorText(1222))});
}

} // namespace
