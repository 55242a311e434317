// The lab backend answering like the wire: enumeration batches and failures, provider
// names, server information and its buffers, explicit connections, registry connections,
// name resolution and ping; the backend choice; the bundled demo network.

#include "platform/Network.h"
#include "platform/OsError.h"
#include "platform/lab/LabNetwork.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cctype>
#include <functional>
#include <gtest/gtest.h>
#include <ostream>

using namespace velmora::platform;
using namespace velmora::platform::lab;

static void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}

namespace {

const QString kWindowsNetwork = QStringLiteral("Microsoft Windows Network");

QString DataFile(const char* name)
{
    return QStringLiteral(VELMORA_TEST_DATA_DIR "/") + QString::fromLatin1(name);
}

std::unique_ptr<LabNetwork> OpenLab(const QString& path)
{
    QString error;
    auto network = LabNetwork::Open(path, error);
    EXPECT_TRUE(network) << error.toStdString();
    return network;
}

NetResource DomainContainer(const QString& domain, const QString& provider = kWindowsNetwork)
{
    NetResource container;
    container.scope = kResourceGlobalNet;
    container.displayType = kDisplayTypeDomain;
    container.usage = kResourceUsageContainer;
    container.remoteName = domain;
    container.provider = provider;
    return container;
}

// A provider described by its name only, as a caller that lists a provider's domains does.
NetResource ProviderContainer(const QString& provider)
{
    NetResource container;
    container.scope = kResourceGlobalNet;
    container.displayType = kDisplayTypeNetwork;
    container.usage = kResourceUsageReserved;
    container.provider = provider;
    return container;
}

struct Listing
{
    uint32_t openStatus = 0;
    std::vector<NetResource> entries;
    std::vector<uint32_t> batches; // entries per successful call
    uint32_t endStatus = 0;        // the status that ended the reading
};

// Opens, reads until a call does not answer 0, closes. Checks every batch against the
// caller's limits on the way.
Listing ReadAll(Network& network, const NetResource* container, uint32_t count = 1000,
                uint32_t bufferSize = 32000)
{
    Listing listing;
    EnumHandle handle = 0;
    listing.openStatus = network.WNetOpenEnum(kResourceGlobalNet, kResourceTypeAny,
                                              kResourceUsageContainer, container, handle);
    if (listing.openStatus != kNoError) {
        EXPECT_EQ(handle, 0u);
        return listing;
    }
    for (int guard = 0; guard < 100000; ++guard) {
        uint32_t got = count;
        std::vector<NetResource> batch;
        const uint32_t status = network.WNetEnumResource(handle, got, batch, bufferSize);
        if (status != kNoError) {
            listing.endStatus = status;
            EXPECT_EQ(got, 0u);
            break;
        }
        EXPECT_EQ(got, batch.size());
        EXPECT_GT(got, 0u);
        EXPECT_LE(got, count);
        uint32_t bytes = 0;
        for (const NetResource& entry : batch)
            bytes += NetResourceSize(entry);
        EXPECT_LE(bytes, bufferSize);
        listing.batches.push_back(got);
        listing.entries.insert(listing.entries.end(), batch.begin(), batch.end());
    }
    EXPECT_EQ(network.WNetCloseEnum(handle), kNoError);
    return listing;
}

QStringList RemoteNames(const std::vector<NetResource>& entries)
{
    QStringList names;
    for (const NetResource& entry : entries)
        names << entry.remoteName;
    return names;
}

class LabNetworkTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        network = OpenLab(DataFile("lab_small.json"));
        ASSERT_TRUE(network);
        SetOsLastError(0);
    }

    std::unique_ptr<LabNetwork> network;
};

// --- enumeration ------------------------------------------------------------------------

TEST_F(LabNetworkTest, WalksProvidersDomainsAndServersAsTheyAreReturned)
{
    const Listing providers = ReadAll(*network, nullptr);
    EXPECT_EQ(providers.endStatus, kErrorNoMoreItems);
    EXPECT_EQ(RemoteNames(providers.entries),
              (QStringList{kWindowsNetwork, QStringLiteral("Web Client Network"),
                           QStringLiteral("Flaky Network")}));
    for (const NetResource& provider : providers.entries) {
        EXPECT_EQ(provider.displayType, kDisplayTypeNetwork);
        EXPECT_EQ(provider.provider, provider.remoteName);
        EXPECT_TRUE(provider.usage & kResourceUsageContainer);
    }

    // Each level is opened with the entry the level above returned.
    const Listing domains = ReadAll(*network, &providers.entries[0]);
    EXPECT_EQ(domains.endStatus, kErrorNoMoreItems);
    EXPECT_EQ(RemoteNames(domains.entries),
              (QStringList{QStringLiteral("LAB"), QStringLiteral("EMPTY"), QStringLiteral("BARE"),
                           QStringLiteral("BROKEN"), QStringLiteral("PARTIAL")}));
    EXPECT_EQ(domains.entries[0].displayType, kDisplayTypeDomain);
    EXPECT_EQ(domains.entries[0].provider, kWindowsNetwork);

    const Listing servers = ReadAll(*network, &domains.entries[0]);
    EXPECT_EQ(servers.endStatus, kErrorNoMoreItems);
    // A name written with its backslashes comes back as written; the others get them.
    EXPECT_EQ(RemoteNames(servers.entries),
              (QStringList{QStringLiteral("\\\\DC1"), QStringLiteral("\\\\FS1"),
                           QStringLiteral("\\\\FS2"), QStringLiteral("\\\\WS1")}));
    EXPECT_EQ(servers.entries[0].displayType, kDisplayTypeServer);
    EXPECT_EQ(servers.entries[0].provider, kWindowsNetwork);
    EXPECT_EQ(servers.entries[0].comment, QStringLiteral("Controller"));
    EXPECT_EQ(network->OpenEnumerations(), 0);
}

TEST_F(LabNetworkTest, ContainersDescribedByNameAreFoundWithoutRegardToCase)
{
    const NetResource provider = ProviderContainer(kWindowsNetwork.toUpper());
    EXPECT_EQ(ReadAll(*network, &provider).entries.size(), 5u);

    const NetResource domain = DomainContainer(QStringLiteral("lab"));
    EXPECT_EQ(RemoteNames(ReadAll(*network, &domain).entries).size(), 4);
}

TEST_F(LabNetworkTest, ContainersWithoutServersEndAtOnce)
{
    for (const char* name : {"EMPTY", "BARE"}) {
        SCOPED_TRACE(name);
        const NetResource domain = DomainContainer(QString::fromLatin1(name));
        const Listing listing = ReadAll(*network, &domain);
        EXPECT_EQ(listing.openStatus, kNoError);
        EXPECT_TRUE(listing.entries.empty());
        EXPECT_EQ(listing.endStatus, kErrorNoMoreItems);
    }
}

struct OpenFailure
{
    const char* name;
    NetResource container;
    uint32_t scope;
    uint32_t status;
};

class EnumerationOpenFailureTest : public LabNetworkTest,
                                   public ::testing::WithParamInterface<OpenFailure>
{
};

TEST_P(EnumerationOpenFailureTest, AnswersTheCodeWithoutAHandle)
{
    EnumHandle handle = 99;
    const OpenFailure& c = GetParam();
    EXPECT_EQ(network->WNetOpenEnum(c.scope, kResourceTypeAny, kResourceUsageContainer,
                                    &c.container, handle),
              c.status);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(GetOsLastError(), c.status);
    EXPECT_EQ(network->OpenEnumerations(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EnumerationOpenFailureTest,
    ::testing::Values(
        OpenFailure{"ProviderOpenError", ProviderContainer(QStringLiteral("Web Client Network")),
                    kResourceGlobalNet, kErrorNoNetwork},
        OpenFailure{"DomainOpenError", DomainContainer(QStringLiteral("BROKEN")),
                    kResourceGlobalNet, kErrorNetworkBusy},
        OpenFailure{"UnknownProvider", ProviderContainer(QStringLiteral("Banyan")),
                    kResourceGlobalNet, kErrorBadProvider},
        OpenFailure{"DomainOfUnknownProvider",
                    DomainContainer(QStringLiteral("LAB"), QStringLiteral("Banyan")),
                    kResourceGlobalNet, kErrorBadProvider},
        OpenFailure{"DomainNotUnderProvider", DomainContainer(QStringLiteral("NOWHERE")),
                    kResourceGlobalNet, kErrorNoBrowserServersFound},
        OpenFailure{"DomainUnderAnotherProvider",
                    DomainContainer(QStringLiteral("LAB"), QStringLiteral("Web Client Network")),
                    kResourceGlobalNet, kErrorNoBrowserServersFound},
        OpenFailure{"ScopeNotGlobalNet", DomainContainer(QStringLiteral("LAB")), kResourceConnected,
                    kErrorInvalidParameter}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LabNetworkTest, ExtendedErrorComesFromWNetGetLastErrorCutToTheBuffers)
{
    const NetResource flaky = ProviderContainer(QStringLiteral("Flaky Network"));
    EXPECT_EQ(ReadAll(*network, &flaky).openStatus, kErrorExtendedError);
    EXPECT_EQ(GetOsLastError(), kErrorExtendedError);

    uint32_t code = 0;
    QString text;
    QString provider;
    EXPECT_EQ(network->WNetGetLastError(code, text, 80, provider, 80), kNoError);
    EXPECT_EQ(code, 4321u);
    EXPECT_EQ(text, QStringLiteral("The flaky provider is out to lunch today"));
    EXPECT_EQ(provider, QStringLiteral("Flaky Provider"));

    // A buffer of n characters keeps n - 1 and the terminating NUL.
    EXPECT_EQ(network->WNetGetLastError(code, text, 10, provider, 6), kNoError);
    EXPECT_EQ(text, QStringLiteral("The flaky"));
    EXPECT_EQ(provider, QStringLiteral("Flaky"));
}

TEST_F(LabNetworkTest, EnumerationFailsAfterTheGivenNumberOfEntries)
{
    const NetResource partial = DomainContainer(QStringLiteral("PARTIAL"));
    const Listing listing = ReadAll(*network, &partial, 2);
    EXPECT_EQ(listing.batches, (std::vector<uint32_t>{2, 1}));
    EXPECT_EQ(RemoteNames(listing.entries),
              (QStringList{QStringLiteral("\\\\DC1"), QStringLiteral("\\\\FS1"),
                           QStringLiteral("\\\\FS2")}));
    EXPECT_EQ(listing.endStatus, kErrorNetworkBusy);

    // The failure stays: asking again does not resume the list.
    EnumHandle handle = 0;
    ASSERT_EQ(
        network->WNetOpenEnum(kResourceGlobalNet, 0, kResourceUsageContainer, &partial, handle),
        kNoError);
    for (const uint32_t expected : {kNoError, kErrorNetworkBusy, kErrorNetworkBusy}) {
        uint32_t count = 1000;
        std::vector<NetResource> entries;
        EXPECT_EQ(network->WNetEnumResource(handle, count, entries, 32000), expected);
    }
    EXPECT_EQ(GetOsLastError(), kErrorNetworkBusy);
    EXPECT_EQ(network->WNetCloseEnum(handle), kNoError);
}

TEST_F(LabNetworkTest, HandlesThatAreNotOpenAnswerInvalidHandle)
{
    EnumHandle handle = 0;
    ASSERT_EQ(
        network->WNetOpenEnum(kResourceGlobalNet, 0, kResourceUsageContainer, nullptr, handle),
        kNoError);
    EXPECT_EQ(network->OpenEnumerations(), 1);
    EXPECT_EQ(network->WNetCloseEnum(handle), kNoError);
    EXPECT_EQ(network->OpenEnumerations(), 0);

    for (const EnumHandle stale : {EnumHandle(0), handle, handle + 1000}) {
        uint32_t count = 10;
        std::vector<NetResource> entries(3);
        SetOsLastError(0);
        EXPECT_EQ(network->WNetEnumResource(stale, count, entries, 32000), kErrorInvalidHandle);
        EXPECT_EQ(count, 0u);
        EXPECT_TRUE(entries.empty());
        EXPECT_EQ(GetOsLastError(), kErrorInvalidHandle);
        EXPECT_EQ(network->WNetCloseEnum(stale), kErrorInvalidHandle);
    }
}

TEST_F(LabNetworkTest, AnEntryThatDoesNotFitAnEmptyBufferIsKeptForTheNextCall)
{
    const NetResource domain = DomainContainer(QStringLiteral("LAB"));
    EnumHandle handle = 0;
    ASSERT_EQ(
        network->WNetOpenEnum(kResourceGlobalNet, 0, kResourceUsageContainer, &domain, handle),
        kNoError);
    uint32_t count = 1000;
    std::vector<NetResource> entries;
    // "\\DC1" (5 + NUL), the provider (25 + NUL), the comment (10 + NUL) and the record.
    const uint32_t firstSize = 32 + 6 + 26 + 11;
    EXPECT_EQ(network->WNetEnumResource(handle, count, entries, firstSize - 1), kErrorMoreData);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(GetOsLastError(), kErrorMoreData);

    count = 1000;
    EXPECT_EQ(network->WNetEnumResource(handle, count, entries, firstSize), kNoError);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(entries[0].remoteName, QStringLiteral("\\\\DC1"));
    EXPECT_EQ(network->WNetCloseEnum(handle), kNoError);
}

// A domain of 2500 servers, read with different counts and buffer sizes.
class LargeDomainTest
    : public ::testing::TestWithParam<std::tuple<uint32_t, uint32_t, uint32_t, size_t>>
{
  protected:
    static void SetUpTestSuite()
    {
        QJsonArray servers;
        QJsonArray machines;
        for (int i = 1; i <= 2500; ++i) {
            const QString name = QStringLiteral("SRV%1").arg(i, 4, 10, QLatin1Char('0'));
            servers.append(name);
            machines.append(QJsonObject{{QStringLiteral("name"), name},
                                        {QStringLiteral("domain"), QStringLiteral("BIG")}});
        }
        const QJsonObject root{
            {QStringLiteral("format"), QStringLiteral("velmora-lab/1")},
            {QStringLiteral("providers"),
             QJsonArray{
                 QJsonObject{{QStringLiteral("name"), kWindowsNetwork},
                             {QStringLiteral("type"), 0x20000},
                             {QStringLiteral("domains"), QJsonArray{QStringLiteral("BIG")}}}}},
            {QStringLiteral("domains"),
             QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("BIG")},
                                    {QStringLiteral("servers"), servers}}}},
            {QStringLiteral("machines"), machines}};
        QString error;
        auto model = LabFile::Parse(QJsonDocument(root).toJson(), QStringLiteral("big"), error);
        ASSERT_TRUE(model) << error.toStdString();
        s_network = new LabNetwork(std::move(*model));
    }
    static void TearDownTestSuite()
    {
        delete s_network;
        s_network = nullptr;
    }

    static LabNetwork* s_network;
};

LabNetwork* LargeDomainTest::s_network = nullptr;

TEST_P(LargeDomainTest, ListsEveryServerInBatchesWithinTheLimits)
{
    const auto [count, bufferSize, firstBatch, batches] = GetParam();
    const NetResource domain = DomainContainer(QStringLiteral("BIG"));
    const Listing listing = ReadAll(*s_network, &domain, count, bufferSize);
    EXPECT_EQ(listing.endStatus, kErrorNoMoreItems);
    ASSERT_EQ(listing.entries.size(), 2500u);
    for (int i = 0; i < 2500; ++i)
        ASSERT_EQ(listing.entries[size_t(i)].remoteName,
                  QStringLiteral("\\\\SRV%1").arg(i + 1, 4, 10, QLatin1Char('0')));
    EXPECT_EQ(listing.batches.front(), firstBatch);
    EXPECT_EQ(listing.batches.size(), batches);
}

// Each entry takes 68 bytes: the 32-byte record, "\\SRVnnnn" and the provider name with
// their NULs.
INSTANTIATE_TEST_SUITE_P(Limits, LargeDomainTest,
                         ::testing::Values(std::make_tuple(1000u, 32000u, 470u, size_t(6)),
                                           std::make_tuple(1000u, 1000000u, 1000u, size_t(3)),
                                           std::make_tuple(0xFFFFFFFFu, 1000000u, 2500u, size_t(1)),
                                           std::make_tuple(100u, 32000u, 100u, size_t(25)),
                                           std::make_tuple(1000u, 136u, 2u, size_t(1250)),
                                           std::make_tuple(1000u, 135u, 1u, size_t(2500))));

// --- provider names ---------------------------------------------------------------------

struct ProviderNameCase
{
    uint32_t type;
    uint32_t bufferSize;
    uint32_t status;
    uint32_t bufferSizeAfter;
};

class ProviderNameTest : public LabNetworkTest,
                         public ::testing::WithParamInterface<ProviderNameCase>
{
};

TEST_P(ProviderNameTest, AnswersTheProviderOfTheType)
{
    const ProviderNameCase& c = GetParam();
    QString name;
    uint32_t bufferSize = c.bufferSize;
    EXPECT_EQ(network->WNetGetProviderName(c.type, name, bufferSize), c.status);
    EXPECT_EQ(bufferSize, c.bufferSizeAfter);
    if (c.status == kNoError)
        EXPECT_EQ(name, c.type == kWNetLanManProviderType ? kWindowsNetwork
                                                          : QStringLiteral("Flaky Network"));
    else
        EXPECT_EQ(GetOsLastError(), c.status);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProviderNameTest,
                         ::testing::Values(ProviderNameCase{0x00020000u, 260, kNoError, 260},
                                           ProviderNameCase{0x00030000u, 260, kNoError, 260},
                                           ProviderNameCase{0x00020000u, 26, kNoError, 26},
                                           ProviderNameCase{0x00020000u, 25, kErrorMoreData, 26},
                                           ProviderNameCase{0x00050000u, 260, kErrorNoNetwork,
                                                            260}));

// --- network management library ---------------------------------------------------------

struct ServerInfoCase
{
    const char* server;
    uint32_t level;
    uint32_t status;
    const char* name; // of the answer
    uint32_t type;
};

class ServerInfoTest : public LabNetworkTest, public ::testing::WithParamInterface<ServerInfoCase>
{
};

TEST_P(ServerInfoTest, AnswersLevel101FromTheMachine)
{
    const ServerInfoCase& c = GetParam();
    const auto library = network->LoadNetApiLibrary(QStringLiteral("netapi32.dll"));
    ASSERT_TRUE(library);
    const auto* getInfo = static_cast<const netapi::NetServerGetInfoFn*>(
        library->Resolve(QStringLiteral("NetServerGetInfo")));
    const auto* bufferFree = static_cast<const netapi::NetApiBufferFreeFn*>(
        library->Resolve(QStringLiteral("NetApiBufferFree")));
    ASSERT_TRUE(getInfo && bufferFree);

    void* buffer = reinterpret_cast<void*>(0x1);
    EXPECT_EQ((*getInfo)(QString::fromLatin1(c.server), c.level, &buffer), c.status);
    if (c.status != kNoError) {
        EXPECT_EQ(buffer, nullptr);
        EXPECT_EQ(GetOsLastError(), c.status);
        EXPECT_EQ(network->OutstandingBuffers(), 0);
        return;
    }
    ASSERT_NE(buffer, nullptr);
    const auto* info = static_cast<const ServerInfo101*>(buffer);
    EXPECT_EQ(info->name, QString::fromLatin1(c.name));
    EXPECT_EQ(info->type, c.type);
    EXPECT_EQ(network->OutstandingBuffers(), 1);
    EXPECT_EQ((*bufferFree)(buffer), kNoError);
    EXPECT_EQ(network->OutstandingBuffers(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServerInfoTest,
    ::testing::Values(ServerInfoCase{"DC1", 101, kNoError, "DC1", 0x0000102B},
                      ServerInfoCase{"\\\\dc1", 101, kNoError, "DC1", 0x0000102B},
                      ServerInfoCase{"WS1", 101, kNoError, "WS1", 0x00001003},
                      ServerInfoCase{"FS1", 101, kNoError, "FS1", 0x00009003},
                      // The local computer, not listed among the machines: a workstation.
                      ServerInfoCase{"", 101, kNoError, "ADMINPC", 0x00001003},
                      ServerInfoCase{"FLAKY", 101, kNerrServerNotStarted, "", 0},
                      ServerInfoCase{"NOSUCH", 101, kErrorBadNetPath, "", 0},
                      ServerInfoCase{"DC1", 100, kErrorInvalidLevel, "", 0},
                      ServerInfoCase{"DC1", 102, kErrorInvalidLevel, "", 0}),
    [](const auto& info) {
        std::string name = std::string(info.param.server) + "_" + std::to_string(info.param.level);
        for (char& ch : name)
            ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        return "Server_" + name;
    });

TEST_F(LabNetworkTest, BuffersAreCountedUntilFreed)
{
    const auto library = network->LoadNetApiLibrary(QStringLiteral("NETAPI32.DLL"));
    ASSERT_TRUE(library);
    const auto& getInfo = *static_cast<const netapi::NetServerGetInfoFn*>(
        library->Resolve(QStringLiteral("NetServerGetInfo")));
    const auto& bufferFree = *static_cast<const netapi::NetApiBufferFreeFn*>(
        library->Resolve(QStringLiteral("NetApiBufferFree")));

    void* first = nullptr;
    void* second = nullptr;
    ASSERT_EQ(getInfo(QStringLiteral("DC1"), 101, &first), kNoError);
    ASSERT_EQ(getInfo(QStringLiteral("DC1"), 101, &second), kNoError);
    EXPECT_NE(first, second);
    EXPECT_EQ(network->OutstandingBuffers(), 2);
    EXPECT_EQ(network->CallCount(QStringLiteral("dc1"), QStringLiteral("NetServerGetInfo")), 2);

    EXPECT_EQ(bufferFree(first), kNoError);
    EXPECT_EQ(network->OutstandingBuffers(), 1);
    EXPECT_EQ(bufferFree(first), kErrorInvalidParameter) << "a buffer is freed once";
    EXPECT_EQ(bufferFree(nullptr), kNoError);
    EXPECT_EQ(network->OutstandingBuffers(), 1);
    EXPECT_EQ(bufferFree(second), kNoError);
    EXPECT_EQ(network->OutstandingBuffers(), 0);
}

TEST_F(LabNetworkTest, LibraryResolvesOnlyWhatItOffersAndOutlivesTheNetwork)
{
    EXPECT_EQ(network->LoadNetApiLibrary(QStringLiteral("advapi32.dll")), nullptr);
    EXPECT_EQ(GetOsLastError(), kErrorModNotFound);

    const auto library = network->LoadNetApiLibrary(QStringLiteral("netapi32.dll"));
    ASSERT_TRUE(library);
    EXPECT_EQ(library->Resolve(QStringLiteral("NetBogusEnum")), nullptr);
    EXPECT_EQ(library->Resolve(QStringLiteral("netservergetinfo")), nullptr) << "names are exact";

    network.reset();
    const auto& getInfo = *static_cast<const netapi::NetServerGetInfoFn*>(
        library->Resolve(QStringLiteral("NetServerGetInfo")));
    void* buffer = nullptr;
    EXPECT_EQ(getInfo(QStringLiteral("FS1"), 101, &buffer), kNoError);
    EXPECT_EQ((*static_cast<const netapi::NetApiBufferFreeFn*>(
                  library->Resolve(QStringLiteral("NetApiBufferFree"))))(buffer),
              kNoError);
}

// --- registry connections and explicit connections ----------------------------------------

struct RegistryCase
{
    const char* machine;
    uint32_t status;
};

class RegistryConnectTest : public LabNetworkTest,
                            public ::testing::WithParamInterface<RegistryCase>
{
};

TEST_P(RegistryConnectTest, AnswersAsTheMachineIsSet)
{
    const RegistryCase& c = GetParam();
    for (const RegKey root : {kHKeyLocalMachine, kHKeyUsers}) {
        RegKey key = 77;
        EXPECT_EQ(network->RegConnectRegistry(QString::fromLatin1(c.machine), root, key), c.status);
        if (c.status == kNoError) {
            EXPECT_NE(key, 0u);
            EXPECT_EQ(network->OpenRegistryKeys(), 1);
            EXPECT_EQ(network->RegCloseKey(key), kNoError);
            EXPECT_EQ(network->RegCloseKey(key), kErrorInvalidHandle);
        } else {
            EXPECT_EQ(key, 0u);
            EXPECT_EQ(GetOsLastError(), c.status);
        }
        EXPECT_EQ(network->OpenRegistryKeys(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistryConnectTest,
    ::testing::Values(RegistryCase{"FS1", kNoError}, // admits anyone
                      RegistryCase{"\\\\FS1", kNoError},
                      RegistryCase{"FS2", kNoError},          // admits the user, other case
                      RegistryCase{"HR", kErrorAccessDenied}, // admits others only
                      RegistryCase{"LOCKED", kErrorAccessDenied},
                      RegistryCase{"GONE", kErrorBadNetPath},
                      RegistryCase{"OFF", kRpcServerUnavailable},
                      RegistryCase{"NOSUCH", kErrorBadNetPath},
                      RegistryCase{"", kNoError}, // the local computer
                      RegistryCase{"adminpc", kNoError}, RegistryCase{"\\\\ADMINPC", kNoError}),
    [](const auto& info) {
        std::string name = info.param.machine;
        for (char& ch : name)
            ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        return "Machine_" + name;
    });

TEST_F(LabNetworkTest, RegistryRefusesOtherRootKeys)
{
    RegKey key = 0;
    EXPECT_EQ(network->RegConnectRegistry(QStringLiteral("FS1"), 0x80000001u, key),
              kErrorInvalidParameter);
    EXPECT_EQ(network->RegCloseKey(kHKeyLocalMachine), kNoError);
}

NetResource ServerResource(const QString& remoteName)
{
    NetResource resource;
    resource.type = kResourceTypeAny;
    resource.remoteName = remoteName;
    return resource;
}

TEST_F(LabNetworkTest, ACredentialConnectionLetsTheUserInUntilItIsCancelled)
{
    RegKey key = 0;
    EXPECT_EQ(network->RegConnectRegistry(QStringLiteral("\\\\HR"), kHKeyLocalMachine, key),
              kErrorAccessDenied);
    EXPECT_FALSE(network->Admits(QStringLiteral("HR")));

    EXPECT_EQ(network->WNetAddConnection2(ServerResource(QStringLiteral("\\\\HR")),
                                          QStringLiteral("s3cret"),
                                          QStringLiteral("LAB\\svc_audit"), 0),
              kNoError);
    EXPECT_EQ(network->Connections(), QStringList{QStringLiteral("\\\\HR")});
    EXPECT_TRUE(network->Admits(QStringLiteral("HR")));
    EXPECT_EQ(network->RegConnectRegistry(QStringLiteral("\\\\HR"), kHKeyLocalMachine, key),
              kNoError);
    EXPECT_EQ(network->RegCloseKey(key), kNoError);

    EXPECT_EQ(network->WNetCancelConnection2(QStringLiteral("\\\\hr"), 0, true), kNoError);
    EXPECT_TRUE(network->Connections().isEmpty());
    EXPECT_EQ(network->RegConnectRegistry(QStringLiteral("\\\\HR"), kHKeyLocalMachine, key),
              kErrorAccessDenied);
    EXPECT_EQ(network->WNetCancelConnection2(QStringLiteral("\\\\HR"), 0, true),
              kErrorNotConnected);
    EXPECT_EQ(GetOsLastError(), kErrorNotConnected);

    EXPECT_EQ(network->CallCount(QStringLiteral("HR"), QStringLiteral("RegConnectRegistry")), 3);
    EXPECT_EQ(network->CallCount(QStringLiteral("HR"), QStringLiteral("WNetAddConnection2")), 1);
    EXPECT_EQ(network->CallCount(QStringLiteral("HR"), QStringLiteral("WNetCancelConnection2")), 2);
}

TEST_F(LabNetworkTest, ARefusedRegistryStaysRefusedWithACredentialConnection)
{
    ASSERT_EQ(network->WNetAddConnection2(ServerResource(QStringLiteral("\\\\LOCKED")),
                                          QStringLiteral("s3cret"),
                                          QStringLiteral("LAB\\svc_audit"), 0),
              kNoError);
    RegKey key = 0;
    EXPECT_EQ(network->RegConnectRegistry(QStringLiteral("LOCKED"), kHKeyLocalMachine, key),
              kErrorAccessDenied);
}

enum class Pw
{
    None,
    Blank,
    Text
};

struct CredentialCase
{
    const char* name;
    const char* user; // nullptr: no user name
    Pw password;
    const char* text;
    uint32_t status;
};

class CredentialTest : public LabNetworkTest, public ::testing::WithParamInterface<CredentialCase>
{
};

TEST_P(CredentialTest, AcceptsOnlyTheMachinesCredentials)
{
    const CredentialCase& c = GetParam();
    const QString password = c.password == Pw::None    ? QString()
                             : c.password == Pw::Blank ? QStringLiteral("")
                                                       : QString::fromLatin1(c.text);
    const QString user = c.user ? QString::fromLatin1(c.user) : QString();
    EXPECT_EQ(
        network->WNetAddConnection2(ServerResource(QStringLiteral("\\\\HR")), password, user, 0),
        c.status);
    EXPECT_EQ(network->Admits(QStringLiteral("HR")), c.status == kNoError);
    if (c.status != kNoError) {
        EXPECT_EQ(GetOsLastError(), c.status);
        EXPECT_TRUE(network->Connections().isEmpty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CredentialTest,
    ::testing::Values(
        CredentialCase{"Password", "LAB\\svc_audit", Pw::Text, "s3cret", kNoError},
        CredentialCase{"UserInOtherCase", "lab\\SVC_AUDIT", Pw::Text, "s3cret", kNoError},
        CredentialCase{"PasswordInOtherCase", "LAB\\svc_audit", Pw::Text, "S3CRET",
                       kErrorLogonFailure},
        CredentialCase{"PasswordMissing", "LAB\\svc_audit", Pw::None, "", kErrorLogonFailure},
        CredentialCase{"AssociatedPassword", "LAB\\svc_assoc", Pw::None, "", kNoError},
        CredentialCase{"AssociatedGivenBlank", "LAB\\svc_assoc", Pw::Blank, "", kErrorLogonFailure},
        CredentialCase{"AssociatedGivenText", "LAB\\svc_assoc", Pw::Text, "x", kErrorLogonFailure},
        CredentialCase{"BlankPassword", "LAB\\svc_blank", Pw::Blank, "", kNoError},
        CredentialCase{"BlankGivenNone", "LAB\\svc_blank", Pw::None, "", kErrorLogonFailure},
        CredentialCase{"AdmittedIdentityIsNoCredential", "LAB\\hr_admin", Pw::Text, "x",
                       kErrorLogonFailure},
        CredentialCase{"InteractiveUserNotAdmitted", nullptr, Pw::None, "", kErrorLogonFailure}),
    [](const auto& info) { return std::string(info.param.name); });

struct ConnectionCase
{
    const char* remoteName;
    uint32_t status;
};

class ConnectionTargetTest : public LabNetworkTest,
                             public ::testing::WithParamInterface<ConnectionCase>
{
};

TEST_P(ConnectionTargetTest, AnswersForTheTarget)
{
    const ConnectionCase& c = GetParam();
    const QString remoteName = QString::fromLatin1(c.remoteName);
    EXPECT_EQ(network->WNetAddConnection2(ServerResource(remoteName), QString(), QString(), 0),
              c.status);
    if (c.status == kNoError) {
        EXPECT_EQ(network->Connections(), QStringList{remoteName});
        EXPECT_EQ(network->WNetCancelConnection2(remoteName, 0, false), kNoError);
    } else {
        EXPECT_EQ(GetOsLastError(), c.status);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ConnectionTargetTest,
                         ::testing::Values(ConnectionCase{"\\\\FS1", kNoError},
                                           ConnectionCase{"\\\\FS1\\data", kNoError},
                                           ConnectionCase{"\\\\FS1\\IPC$", kNoError},
                                           ConnectionCase{"\\\\FS1\\Missing", kErrorBadNetName},
                                           ConnectionCase{"\\\\FS1\\data\\sub", kErrorBadNetName},
                                           ConnectionCase{"FS1", kErrorBadNetName},
                                           ConnectionCase{"\\\\NOSUCH", kErrorBadNetPath},
                                           ConnectionCase{"\\\\OFF", kRpcServerUnavailable}));

TEST_F(LabNetworkTest, ASecondAccountOnTheSameServerConflicts)
{
    const NetResource hr = ServerResource(QStringLiteral("\\\\HR"));
    ASSERT_EQ(network->WNetAddConnection2(hr, QStringLiteral("s3cret"),
                                          QStringLiteral("LAB\\svc_audit"), 0),
              kNoError);
    EXPECT_EQ(
        network->WNetAddConnection2(hr, QStringLiteral(""), QStringLiteral("LAB\\svc_blank"), 0),
        kErrorSessionCredentialConflict);
    EXPECT_EQ(network->Connections().size(), 1);
    ASSERT_EQ(network->WNetCancelConnection2(QStringLiteral("\\\\HR"), 0, true), kNoError);
    EXPECT_EQ(
        network->WNetAddConnection2(hr, QStringLiteral(""), QStringLiteral("LAB\\svc_blank"), 0),
        kNoError);
}

// --- name resolution and ping -------------------------------------------------------------

struct PingCase
{
    const char* host;
    uint32_t timeoutMs;
    bool resolves;
    uint32_t status; // 0: one reply
    uint32_t rttMs;
};

class PingTest : public LabNetworkTest, public ::testing::WithParamInterface<PingCase>
{
};

TEST_P(PingTest, ResolvesAndAnswersAsTheMachineIsSet)
{
    const PingCase& c = GetParam();
    uint32_t address = 0;
    ASSERT_EQ(network->ResolveHost(QString::fromLatin1(c.host), address), c.resolves);
    if (!c.resolves) {
        EXPECT_EQ(GetOsLastError(), kWsaHostNotFound);
        return;
    }
    const QByteArray request(32, 'X');
    EchoReply reply;
    const uint32_t replies = network->IcmpSendEcho(address, request, c.timeoutMs, reply);
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(reply.address, address);
    if (c.status == kNoError) {
        EXPECT_EQ(replies, 1u);
        EXPECT_EQ(reply.roundTripMs, c.rttMs);
        EXPECT_EQ(reply.data, request);
    } else {
        EXPECT_EQ(replies, 0u);
        EXPECT_EQ(GetOsLastError(), c.status);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, PingTest,
                         ::testing::Values(PingCase{"FS1", 1500, true, kNoError, 1},
                                           PingCase{"\\\\fs1", 1500, true, kNoError, 1},
                                           PingCase{"SLOW", 1500, true, kNoError, 250},
                                           PingCase{"SLOW", 250, true, kNoError, 250},
                                           PingCase{"SLOW", 249, true, kIpRequestTimedOut, 0},
                                           PingCase{"192.168.7.9", 1500, true, kNoError, 250},
                                           PingCase{"DOWN", 1500, true, 11003, 0},
                                           PingCase{"QUIET", 1500, true, kIpRequestTimedOut, 0},
                                           PingCase{"10.99.0.1", 1500, true, kIpRequestTimedOut, 0},
                                           PingCase{"ADMINPC", 1500, true, kNoError, 0},
                                           PingCase{"DARK", 1500, false, 0, 0},
                                           PingCase{"NOSUCH", 1500, false, 0, 0}));

TEST_F(LabNetworkTest, ResolvesToTheMachinesAddressAndCountsPingsPerMachine)
{
    uint32_t address = 0;
    ASSERT_TRUE(network->ResolveHost(QStringLiteral("SLOW"), address));
    EXPECT_EQ(address, 0xC0A80709u); // 192.168.7.9 in host order

    ASSERT_TRUE(network->ResolveHost(QStringLiteral("FS1"), address));
    EchoReply reply;
    network->IcmpSendEcho(address, QByteArray(32, 'X'), 1000, reply);
    network->IcmpSendEcho(address, QByteArray(32, 'X'), 1000, reply);
    EXPECT_EQ(network->CallCount(QStringLiteral("FS1"), QStringLiteral("IcmpSendEcho")), 2);
    EXPECT_EQ(network->CallCount(QStringLiteral("WS1"), QStringLiteral("IcmpSendEcho")), 0);
    EXPECT_EQ(network->TotalCallCount(QStringLiteral("IcmpSendEcho")), 2);
    network->ResetCallCounts();
    EXPECT_EQ(network->CallCount(QStringLiteral("FS1"), QStringLiteral("IcmpSendEcho")), 0);
}

// --- choosing the backend -----------------------------------------------------------------

TEST(CreateNetworkTest, LabFileGivesALabNetwork)
{
    QString error;
    const QString path = DataFile("lab_small.json");
    const auto network = CreateNetwork(QStringLiteral("lab:") + path, error);
    ASSERT_TRUE(network) << error.toStdString();
    EXPECT_NE(dynamic_cast<LabNetwork*>(network.get()), nullptr);
    EXPECT_EQ(network->Description(), QStringLiteral("lab network ") + path);
    EXPECT_EQ(network->LocalComputerName(), QStringLiteral("ADMINPC"));
}

TEST(CreateNetworkTest, RefusalsSayWhy)
{
    const struct
    {
        QString spec;
        QString error;
    } cases[] = {
        {QStringLiteral("lab:/nonexistent/net.json"),
         QStringLiteral("lab file \"/nonexistent/net.json\": cannot be opened: ")},
        {QStringLiteral("lab:"), QStringLiteral("the lab network needs a file: \"lab:FILE\"")},
        {QStringLiteral("smb"),
         QStringLiteral("the smb network backend is not available in this build")},
        {QStringLiteral("wire"),
         QStringLiteral("unknown network backend \"wire\" (expected \"lab:FILE\" or \"smb\")")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.spec.toStdString());
        QString error;
        EXPECT_EQ(CreateNetwork(c.spec, error), nullptr);
        EXPECT_TRUE(error.startsWith(c.error)) << error.toStdString();
    }
}

// --- the bundled demo network ---------------------------------------------------------------

// Servers kept by classification (a server bit or a controller bit), with "*" for the
// primary controller, per domain, as a refresh of the demo would find them.
TEST(DemoNetworkTest, LoadsAndClassifiesAsIntended)
{
    const auto network = OpenLab(QStringLiteral(VELMORA_SOURCE_DIR "/lab/demo.json"));
    ASSERT_TRUE(network);
    const auto library = network->LoadNetApiLibrary(QStringLiteral("netapi32.dll"));
    const auto& getInfo = *static_cast<const netapi::NetServerGetInfoFn*>(
        library->Resolve(QStringLiteral("NetServerGetInfo")));
    const auto& bufferFree = *static_cast<const netapi::NetApiBufferFreeFn*>(
        library->Resolve(QStringLiteral("NetApiBufferFree")));

    const Listing providers = ReadAll(*network, nullptr);
    ASSERT_EQ(providers.entries.size(), 2u);
    EXPECT_EQ(ReadAll(*network, &providers.entries[1]).openStatus, kErrorNoNetwork);

    QMap<QString, QStringList> kept;
    const Listing domains = ReadAll(*network, &providers.entries[0]);
    for (const NetResource& domain : domains.entries) {
        QStringList& servers = kept[domain.remoteName];
        for (const NetResource& server : ReadAll(*network, &domain).entries) {
            const QString name = server.remoteName.mid(2);
            void* buffer = nullptr;
            ASSERT_EQ(getInfo(name, 101, &buffer), kNoError) << name.toStdString();
            const uint32_t type = static_cast<ServerInfo101*>(buffer)->type;
            bufferFree(buffer);
            if (type & (kSvTypeServerNt | kSvTypeDomainCtrl | kSvTypeDomainBakCtrl))
                servers << name + ((type & kSvTypeDomainCtrl) ? QStringLiteral("*") : QString());
        }
    }
    EXPECT_EQ(kept.value(QStringLiteral("CORP")),
              (QStringList{QStringLiteral("CORP-DC1*"), QStringLiteral("CORP-DC2"),
                           QStringLiteral("CORP-FS1"), QStringLiteral("CORP-FS2"),
                           QStringLiteral("CORP-PRN1"), QStringLiteral("CORP-FS3"),
                           QStringLiteral("CORP-HR1"), QStringLiteral("CORP-APP1")}));
    EXPECT_EQ(kept.value(QStringLiteral("SALES")),
              (QStringList{QStringLiteral("SALES-DC1*"), QStringLiteral("SALES-FS1")}));
    EXPECT_EQ(kept.value(QStringLiteral("WORKGROUP")), QStringList{QStringLiteral("KIOSK01")});
    EXPECT_EQ(network->OutstandingBuffers(), 0);

    // Every kept server answers ping and lets the user in, except the switched-off one and
    // the one that wants its alternate credential.
    for (const QStringList& servers : std::as_const(kept)) {
        for (QString name : servers) {
            name.remove(QLatin1Char('*'));
            uint32_t address = 0;
            EchoReply reply;
            const bool answers =
                network->ResolveHost(name, address) &&
                network->IcmpSendEcho(address, QByteArray(32, 'X'), 1500, reply) == 1;
            EXPECT_EQ(answers, name != QStringLiteral("CORP-FS3")) << name.toStdString();
            RegKey key = 0;
            const uint32_t status = network->RegConnectRegistry(name, kHKeyLocalMachine, key);
            EXPECT_EQ(status, name == QStringLiteral("CORP-HR1") ? kErrorAccessDenied : kNoError)
                << name.toStdString();
            network->RegCloseKey(key);
        }
    }
    const Credential& credential =
        network->Model().FindMachine(QStringLiteral("CORP-HR1"))->credentials.at(0);
    EXPECT_EQ(network->WNetAddConnection2(ServerResource(QStringLiteral("\\\\CORP-HR1")),
                                          credential.password, credential.user, 0),
              kNoError);
    EXPECT_TRUE(network->Admits(QStringLiteral("CORP-HR1")));
}

// What an administrator should meet in the demo: the odd share descriptors, a hidden folder,
// a junction, a folder that cannot be listed and one whose descriptor cannot be read, four
// levels of folders, nested groups, and a printer share.
TEST(DemoNetworkTest, HoldsTheShapesAnAuditMeets)
{
    const auto network = OpenLab(QStringLiteral(VELMORA_SOURCE_DIR "/lab/demo.json"));
    ASSERT_TRUE(network);
    const LabModel& model = network->Model();

    int nullDacls = 0;
    int emptyDacls = 0;
    int noDescriptor = 0;
    int denyEntries = 0;
    int printers = 0;
    for (const Machine& machine : model.machines) {
        for (const Share& share : machine.shares) {
            printers += (share.type & 0xFF) == kStypePrintq ? 1 : 0;
            if (!share.sd) {
                noDescriptor += (share.type & kStypeSpecial) ? 0 : 1;
                continue;
            }
            nullDacls += share.sd->daclForm == DaclForm::Null ? 1 : 0;
            emptyDacls += share.sd->daclForm == DaclForm::List && share.sd->dacl.empty() ? 1 : 0;
            for (const Ace& ace : share.sd->dacl)
                denyEntries += ace.type == kAceDeny ? 1 : 0;
        }
    }
    EXPECT_GE(nullDacls, 1);
    EXPECT_GE(emptyDacls, 1);
    EXPECT_GE(noDescriptor, 1);
    EXPECT_GE(denyEntries, 2);
    EXPECT_GE(printers, 2);

    // Walk CORP-FS1 and CORP-FS2 as a scan would and note what it meets.
    int deepest = 0;
    int hidden = 0;
    int junctions = 0;
    int unlisted = 0;
    int unreadable = 0;
    std::function<void(const QString&, int)> walk = [&](const QString& path, int level) {
        deepest = std::max(deepest, level);
        uint32_t needed = 0;
        network->GetFileSecurity(path, kDaclSecurityInformation, nullptr, 0, needed);
        unreadable += GetOsLastError() == kErrorInsufficientBuffer ? 0 : 1;
        FindHandle handle = 0;
        FindData data;
        if (!network->FindFirstFile(path + QStringLiteral("\\*"), handle, data)) {
            unlisted += 1;
            return;
        }
        do {
            if (!(data.attributes & kFileAttributeDirectory) ||
                data.fileName == QStringLiteral(".") || data.fileName == QStringLiteral(".."))
                continue;
            hidden += (data.attributes & kFileAttributeHidden) ? 1 : 0;
            junctions += (data.attributes & kFileAttributeReparsePoint) ? 1 : 0;
            walk(path + QStringLiteral("\\") + data.fileName, level + 1);
        } while (network->FindNextFile(handle, data));
        network->FindClose(handle);
    };
    for (const QString& share :
         {QStringLiteral("\\\\CORP-FS1\\Finance"), QStringLiteral("\\\\CORP-FS1\\Public"),
          QStringLiteral("\\\\CORP-FS2\\Projects")})
        walk(share, 1);
    EXPECT_GE(deepest, 5) << "the root and four levels below it";
    EXPECT_GE(hidden, 1);
    EXPECT_GE(junctions, 1);
    EXPECT_GE(unlisted, 1);
    EXPECT_GE(unreadable, 1);
    EXPECT_EQ(network->OpenSearches(), 0);

    // Groups nest, and Domain Admins has members besides Administrator.
    const Domain* corp = model.FindDomain(QStringLiteral("CORP"));
    ASSERT_NE(corp, nullptr);
    int nestedGroups = 0;
    int domainAdmins = 0;
    int users = 0;
    for (const Account& account : corp->accounts) {
        nestedGroups += account.kind == AccountKind::Group && !account.groups.isEmpty() ? 1 : 0;
        domainAdmins += account.groups.contains(QStringLiteral("Domain Admins")) ? 1 : 0;
        users += account.kind == AccountKind::User ? 1 : 0;
    }
    EXPECT_GE(nestedGroups, 2);
    EXPECT_GE(domainAdmins, 3);
    EXPECT_GE(users, 40);
}

} // namespace
