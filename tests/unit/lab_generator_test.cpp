// Generated lab networks: the same bytes for the same options, valid lab files with the
// sizes asked for, refused sizes, and a device that does not take the bytes.

#include "platform/lab/LabFile.h"
#include "platform/lab/LabGenerator.h"
#include "platform/lab/LabNetwork.h"

#include <QBuffer>
#include <gtest/gtest.h>

using namespace velmora::platform;
using namespace velmora::platform::lab;

namespace {

QByteArray Generate(const LabGeneratorOptions& options)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QString error;
    EXPECT_TRUE(GenerateLab(options, buffer, error)) << error.toStdString();
    return buffer.data();
}

LabGeneratorOptions Small(uint64_t seed)
{
    LabGeneratorOptions options;
    options.seed = seed;
    options.domains = 2;
    options.servers = 12;
    options.users = 30;
    options.groups = 6;
    options.shares = 3;
    options.depth = 2;
    options.fanout = 3;
    options.entries = 2;
    return options;
}

size_t CountFolders(const Folder& folder)
{
    size_t count = 1;
    for (const Folder& child : folder.folders)
        count += CountFolders(child);
    return count;
}

TEST(LabGeneratorTest, TheSameSeedGivesTheSameBytesAndAnotherSeedOthers)
{
    const QByteArray first = Generate(Small(42));
    ASSERT_FALSE(first.isEmpty());
    EXPECT_EQ(Generate(Small(42)), first);
    EXPECT_NE(Generate(Small(43)), first);
    LabGeneratorOptions deeper = Small(42);
    deeper.depth = 3;
    EXPECT_NE(Generate(deeper), first);
}

TEST(LabGeneratorTest, OutputIsALabFileWithTheSizesAskedFor)
{
    for (const uint64_t seed : {1u, 7u, 2026u}) {
        SCOPED_TRACE(seed);
        const LabGeneratorOptions options = Small(seed);
        QString error;
        const std::optional<LabModel> model =
            LabFile::Parse(Generate(options), QStringLiteral("generated"), error);
        ASSERT_TRUE(model) << error.toStdString();

        // The domains and the workgroup, a controller, members and workstations per domain.
        ASSERT_EQ(model->domains.size(), size_t(options.domains) + 1);
        size_t controllers = 0;
        size_t fileServers = 0;
        size_t folders = 0;
        for (const Machine& machine : model->machines) {
            controllers += (machine.type & kSvTypeDomainCtrl) ? 1 : 0;
            if (!machine.name.contains(QStringLiteral("-FS")))
                continue;
            ++fileServers;
            size_t departmental = 0;
            for (const Share& share : machine.shares) {
                if (share.type == kStypeDisktree && share.name != QStringLiteral("print$")) {
                    ++departmental;
                    ASSERT_TRUE(share.root);
                    folders += CountFolders(*share.root);
                }
            }
            EXPECT_EQ(departmental, size_t(options.shares)) << machine.name.toStdString();
        }
        EXPECT_EQ(controllers, size_t(options.domains));
        EXPECT_EQ(fileServers, size_t(options.servers));
        // 1 + 3 + 9 folders per share.
        EXPECT_EQ(folders, size_t(options.servers * options.shares * 13));

        for (int d = 0; d < options.domains; ++d) {
            const Domain& domain = model->domains[size_t(d)];
            size_t users = 0;
            size_t groups = 0;
            for (const Account& account : domain.accounts) {
                users += account.kind == AccountKind::User ? 1 : 0;
                groups += account.kind == AccountKind::Group ? 1 : 0;
            }
            // Besides the built-in Administrator, Guest, krbtgt and the two service
            // accounts, and the three built-in groups.
            EXPECT_EQ(users, size_t(options.users) + 5);
            EXPECT_EQ(groups, size_t(options.groups) + 3);
            EXPECT_TRUE(domain.servers.front().endsWith(QStringLiteral("-DC1")));
        }
        EXPECT_EQ(model->local.primaryDomain.name, model->domains.front().name);
    }
}

TEST(LabGeneratorTest, TheNetworkAnswersLikeAnyOther)
{
    QString error;
    std::optional<LabModel> model =
        LabFile::Parse(Generate(Small(5)), QStringLiteral("generated"), error);
    ASSERT_TRUE(model) << error.toStdString();
    LabNetwork network(std::move(*model));
    const Domain& domain = network.Model().domains.front();
    const QString controller = domain.servers.front();

    // Every user the controller lists resolves on it.
    const auto netapi = network.LoadNetApiLibrary(QStringLiteral("netapi32.dll"));
    const auto& userEnum =
        *static_cast<const netapi::NetUserEnumFn*>(netapi->Resolve(QStringLiteral("NetUserEnum")));
    void* buffer = nullptr;
    uint32_t read = 0;
    uint32_t total = 0;
    uint32_t resume = 0;
    ASSERT_EQ(userEnum(controller, 0, kFilterNormalAccount, &buffer, kMaxPreferredLength, read,
                       total, &resume),
              kNoError);
    EXPECT_EQ(read, 35u);
    for (uint32_t i = 0; i < read; ++i) {
        const QString name = static_cast<const UserInfo0*>(buffer)[i].name;
        uint32_t sidSize = 0;
        uint32_t domainChars = 0;
        uint32_t use = 0;
        QString referenced;
        network.LookupAccountName(controller, name, nullptr, sidSize, referenced, domainChars, use);
        QByteArray sid;
        EXPECT_TRUE(network.LookupAccountName(controller, name, &sid, sidSize, referenced,
                                              domainChars, use))
            << name.toStdString();
        EXPECT_EQ(referenced, domain.name);
    }
    EXPECT_EQ((*static_cast<const netapi::NetApiBufferFreeFn*>(
                  netapi->Resolve(QStringLiteral("NetApiBufferFree"))))(buffer),
              kNoError);
}

TEST(LabGeneratorTest, SizesOutOfRangeAreRefusedByName)
{
    const struct
    {
        int LabGeneratorOptions::*member;
        int value;
        const char* message;
    } cases[] = {
        {&LabGeneratorOptions::domains, 0, "domains must be from 1 to 100, not 0"},
        {&LabGeneratorOptions::servers, -1, "servers must be from 0 to 100000, not -1"},
        {&LabGeneratorOptions::depth, 31, "depth must be from 0 to 30, not 31"},
        {&LabGeneratorOptions::fanout, 1001, "fanout must be from 0 to 1000, not 1001"},
    };
    for (const auto& c : cases) {
        LabGeneratorOptions options;
        options.*c.member = c.value;
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        QString error;
        EXPECT_FALSE(GenerateLab(options, buffer, error));
        EXPECT_EQ(error, QString::fromLatin1(c.message));
        EXPECT_TRUE(buffer.data().isEmpty());
    }
}

TEST(LabGeneratorTest, ADeviceThatTakesNothingFails)
{
    QBuffer buffer; // not open
    QString error;
    EXPECT_FALSE(GenerateLab(Small(1), buffer, error));
    EXPECT_TRUE(error.startsWith(QStringLiteral("writing the lab file failed")))
        << error.toStdString();
}

} // namespace
