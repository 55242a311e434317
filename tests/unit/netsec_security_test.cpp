// Account and SID helpers: SID texts, relative identifiers and kinds, account lookups with
// their three attempts and texts, and a machine's domain role through the LSA binding.

#include "applib/LastError.h"
#include "applib/Log.h"
#include "netsec/LsaApiDfx.h"
#include "netsec/SecurityDfx.h"
#include "platform/OsError.h"
#include "platform/Security.h"
#include "platform/lab/LabNetwork.h"
#include "support/QtPrinters.h"
#include "support/LoggedTest.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::netsec;
using namespace velmora::platform;
using velmora::platform::lab::LabNetwork;

namespace {

const QString kMinimum =
    QStringLiteral("SID does not contain the miminum required sub authorities.");

QByteArray Sid(const char* text)
{
    const QByteArray sid = SidFromText(QString::fromLatin1(text));
    EXPECT_FALSE(sid.isEmpty()) << text;
    return sid;
}

TEST(SidText, PrintsRevisionAuthorityAndUnsignedSubAuthorities)
{
    for (const char* text : {"S-1-5-32-544", "S-1-1-0", "S-1-5-18", "S-1-5-21-1-2-3-1001",
                             "S-1-5-21-4294967295-2147483648-3000000000-500", "S-1-16-12288"}) {
        SCOPED_TRACE(text);
        QString printed;
        ASSERT_TRUE(SidToText(Sid(text), printed));
        EXPECT_EQ(printed, QString::fromLatin1(text));
    }
}

TEST(SidText, RefusesBytesThatAreNoSid)
{
    ClearLastErrorForTesting();
    QByteArray truncated = Sid("S-1-5-21-1-2-3");
    truncated.chop(4);
    for (const QByteArray& bytes :
         {QByteArray(), QByteArray("\x02\x01\0\0\0\0\0\x05\0\0\0\0", 12), truncated}) {
        QString text = QStringLiteral("old");
        EXPECT_FALSE(SidToText(bytes, text));
        EXPECT_EQ(GetLastErrorText(), QStringLiteral("Invalid SID Structure"));
    }
}

TEST(SidRid, LastSubAuthorityWhenThereAreAtLeastTwo)
{
    struct Case
    {
        const char* sid;
        bool ok;
        uint32_t rid;
    };
    const Case cases[] = {
        {"S-1-5-32-544", true, 544}, {"S-1-5-21-1-2-3-4294967295", true, 4294967295u},
        {"S-1-1-0", false, 0},       {"S-1-5-18", false, 0},
        {"S-1-5", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sid);
        ClearLastErrorForTesting();
        uint32_t rid = 0;
        EXPECT_EQ(GetSidRid(Sid(c.sid), rid), c.ok);
        if (c.ok) {
            EXPECT_EQ(rid, c.rid);
        } else {
            EXPECT_EQ(GetLastErrorText(), kMinimum);
        }
    }
}

TEST(SidKind, KindsByRelativeIdentifier)
{
    struct Case
    {
        int kind;
        std::vector<uint32_t> members;
    };
    const Case cases[] = {
        {kSidKindAdministrators, {500, 512, 544}},
        {kSidKindUsers, {545, 513}},
        {kSidKindGuests, {501, 514}},
        {kSidKindPowerUsers, {547}},
        {kSidKindAccountOperators, {548}},
        {kSidKindServerOperators, {549}},
        {kSidKindPrintOperators, {550}},
        {kSidKindBackupOperators, {551}},
    };
    const uint32_t rids[] = {500, 501, 512, 513, 514, 544, 545, 546, 547, 548, 549, 550, 551, 1001};
    for (const Case& c : cases) {
        for (uint32_t rid : rids) {
            SCOPED_TRACE(testing::Message() << "kind " << c.kind << " rid " << rid);
            const QByteArray sid = SidFromText(QStringLiteral("S-1-5-21-1-2-3-%1").arg(rid));
            const bool member =
                std::find(c.members.begin(), c.members.end(), rid) != c.members.end();
            EXPECT_EQ(IsSidOfKind(sid, c.kind), member);
        }
    }
    // Kind 0 and kinds past the table accept any SID that has a RID.
    for (int kind : {0, 9, 42}) {
        SCOPED_TRACE(kind);
        EXPECT_TRUE(IsSidOfKind(Sid("S-1-5-21-1-2-3-1001"), kind));
        ClearLastErrorForTesting();
        EXPECT_FALSE(IsSidOfKind(Sid("S-1-1-0"), kind));
        EXPECT_EQ(GetLastErrorText(), kMinimum);
    }
    EXPECT_FALSE(IsSidOfKind(Sid("S-1-1-0"), kSidKindAdministrators)); // Everyone
}

TEST(AccountTypes, SetsHoldTypesOneToSeven)
{
    EXPECT_EQ(kUserAccountTypes, 2);
    EXPECT_EQ(kGroupAccountTypes, 62);
    EXPECT_TRUE(IsAccountTypeIn(kSidTypeUser, kUserAccountTypes));
    EXPECT_FALSE(IsAccountTypeIn(kSidTypeGroup, kUserAccountTypes));
    EXPECT_FALSE(IsAccountTypeIn(kSidTypeUnknown, 0xFF));
    EXPECT_FALSE(IsAccountTypeIn(0, 0xFF));
}

class AccountTest : public test::LoggedTest
{
  protected:
    void SetUp() override
    {
        LoggedTest::SetUp();
        lab = OpenLab("netsec_accounts.json");
        ASSERT_TRUE(lab);
    }

    std::unique_ptr<LabNetwork> lab;
};

TEST_F(AccountTest, FindAccountSidResolves)
{
    struct Case
    {
        const char* server;
        const char* account;
        AccountTypeSet types;
        const char* sid;
        const char* domain;
    };
    const Case cases[] = {
        {"", "alice", kUserAccountTypes, "S-1-5-21-1-2-3-1001", "CORP"},
        {".", "alice", kUserAccountTypes, "S-1-5-21-1-2-3-1001", "CORP"},
        {"ADMINPC", "ALICE", kUserAccountTypes, "S-1-5-21-1-2-3-1001", "CORP"},
        {"\\\\DC1", "bob", kUserAccountTypes, "S-1-5-21-1-2-3-1002", "CORP"},
        {"DC1", "Staff", kGroupAccountTypes, "S-1-5-21-1-2-3-1100", "CORP"},
        {"DC1", "Domain Admins", kGroupAccountTypes, "S-1-5-21-1-2-3-512", "CORP"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.server) + " " + c.account);
        QByteArray sid;
        QString domain;
        ASSERT_TRUE(FindAccountSid(*lab, QString::fromLatin1(c.server),
                                   QString::fromLatin1(c.account), sid, domain, c.types));
        EXPECT_EQ(SidToString(sid), QString::fromLatin1(c.sid));
        EXPECT_EQ(domain, QString::fromLatin1(c.domain));
    }
    EXPECT_TRUE(LogLines().isEmpty());
}

TEST_F(AccountTest, EmptyAndDotServersAskTheLocalComputer)
{
    for (const char* server : {"", "."}) {
        SCOPED_TRACE(server);
        lab->ResetCallCounts();
        QByteArray sid;
        QString domain;
        ASSERT_TRUE(FindAccountSid(*lab, QString::fromLatin1(server), QStringLiteral("alice"), sid,
                                   domain, kUserAccountTypes));
        // The first lookup succeeds: one call to size the SID, one to read it.
        EXPECT_EQ(lab->CallCount(QStringLiteral("ADMINPC"), QStringLiteral("LookupAccountName")),
                  2);
    }
}

TEST_F(AccountTest, WrongTypeFailsEveryLookupWithoutALogLine)
{
    QByteArray sid = "stale";
    QString domain;
    EXPECT_FALSE(FindAccountSid(*lab, QStringLiteral("DC1"), QStringLiteral("Staff"), sid, domain,
                                kUserAccountTypes));
    EXPECT_TRUE(sid.isEmpty());
    EXPECT_EQ(GetLastErrorText(),
              QStringLiteral("LookupAccountNamev3 returned the wrong type of SID"));
    EXPECT_TRUE(LogLines().isEmpty());
}

TEST_F(AccountTest, UnknownNameLogsOnlyTheThirdLookup)
{
    QByteArray sid;
    QString domain;
    EXPECT_FALSE(FindAccountSid(*lab, QStringLiteral("DC1"), QStringLiteral("nobody"), sid, domain,
                                kUserAccountTypes));
    EXPECT_TRUE(sid.isEmpty());
    EXPECT_EQ(GetLastErrorText(), SystemErrorText(kErrorNoneMapped));
    EXPECT_EQ(LogLines(), QStringList{QStringLiteral("Error,Error,ERROR 1332: ") +
                                      SystemErrorText(kErrorNoneMapped)});
}

TEST_F(AccountTest, AccountSidTextIsForUsers)
{
    QString text;
    ASSERT_TRUE(AccountSidText(*lab, QStringLiteral("DC1"), QStringLiteral("carol"), text));
    EXPECT_EQ(text, QStringLiteral("S-1-5-21-1-2-3-1003"));
    EXPECT_FALSE(AccountSidText(*lab, QStringLiteral("DC1"), QStringLiteral("Domain Users"), text));
}

TEST_F(AccountTest, LocalComputerName)
{
    QString name;
    ASSERT_TRUE(GetLocalComputerName(*lab, name));
    EXPECT_EQ(name, QStringLiteral("ADMINPC"));
}

TEST_F(AccountTest, MachineDomainRoles)
{
    struct Case
    {
        const char* machine;
        int role;
        const char* domain;
    };
    const Case cases[] = {
        {"", 2, "CORP"}, // the local computer, a domain member
        {"\\\\FS1", 2, "CORP"},
        {"WG1", 0, "HOMEWG"}, // a workgroup
        {"SOLO", 1, "solo"},  // no domain SID, the machine's own name
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.machine);
        int role = -1;
        QString domain;
        ASSERT_TRUE(GetMachineDomainRole(*lab, QString::fromLatin1(c.machine), role, domain));
        EXPECT_EQ(role, c.role);
        EXPECT_EQ(domain, QString::fromLatin1(c.domain));
        EXPECT_EQ(IsDomainMember(*lab, QString::fromLatin1(c.machine)), c.role == 2);
    }
    EXPECT_TRUE(LogLines().isEmpty());
    EXPECT_EQ(lab->OutstandingLsaBuffers(), 0);
    EXPECT_EQ(lab->OpenLsaHandles(), 0);
}

TEST_F(AccountTest, MachineDomainRoleFailureIsStoredAndLogged)
{
    for (const char* machine : {"OFF", "NOSUCH"}) {
        SCOPED_TRACE(machine);
        ClearLastErrorForTesting();
        int role = -1;
        QString domain;
        EXPECT_FALSE(GetMachineDomainRole(*lab, QString::fromLatin1(machine), role, domain));
        EXPECT_EQ(GetLastErrorText(), SystemErrorText(kRpcServerUnavailable));
        EXPECT_EQ(LogLines().last(),
                  QStringLiteral("Error,Error,") + SystemErrorText(kRpcServerUnavailable));
    }
    EXPECT_EQ(lab->OpenLsaHandles(), 0);
}

// The LSA library without one of its entries: the binding answers 0xFFFF instead of raising.
class NoLsaOpenPolicyNetwork : public LabNetwork
{
  public:
    using LabNetwork::LabNetwork;
    std::shared_ptr<const Library> LoadLibrary(const QString& name) override
    {
        auto inner = LabNetwork::LoadLibrary(name);
        if (!inner)
            return nullptr;
        struct Filtered : Library
        {
            std::shared_ptr<const Library> inner;
            const void* Resolve(const QString& entry) const override
            {
                return entry == QStringLiteral("LsaOpenPolicy") ? nullptr : inner->Resolve(entry);
            }
        };
        auto filtered = std::make_shared<Filtered>();
        filtered->inner = inner;
        return filtered;
    }
};

TEST_F(AccountTest, MissingLsaEntryAnswersStatusFFFF)
{
    NoLsaOpenPolicyNetwork network(lab->Model());
    const LsaApiDfx lsa(network);
    ASSERT_TRUE(lsa.Loaded());
    EXPECT_FALSE(lsa.HasEntryPoint(QStringLiteral("LsaOpenPolicy")));
    EXPECT_TRUE(lsa.HasEntryPoint(QStringLiteral("LsaClose")));
    LsaHandle handle = 0;
    EXPECT_EQ(lsa.LsaOpenPolicy(QString(), kPolicyViewLocalInformation, handle), 0xFFFFu);

    int role = -1;
    QString domain;
    EXPECT_FALSE(GetMachineDomainRole(network, QString(), role, domain));
    EXPECT_EQ(LogLines().size(), 1);
}

TEST(LsaBinding, LibraryThatCannotBeLoaded)
{
    // The default backend answers "module not found" for any library.
    struct Bare : LabNetwork
    {
        using LabNetwork::LabNetwork;
        std::shared_ptr<const Library> LoadLibrary(const QString& name) override
        {
            return Network::LoadLibrary(name);
        }
    } network{lab::LabModel{}};
    const LsaApiDfx lsa(network);
    EXPECT_FALSE(lsa.Loaded());
    LsaHandle handle = 0;
    EXPECT_EQ(lsa.LsaOpenPolicy(QString(), kPolicyViewLocalInformation, handle), 0xFFFFu);
    EXPECT_EQ(lsa.LsaClose(handle), 0xFFFFu);
    EXPECT_EQ(LsaApiDfx::EntryPointNames().size(), 25);
}

} // namespace
