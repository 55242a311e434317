// The lab backend's calls on a machine once it is found: share and user listings with their
// pages and buffers, group memberships, the local security authority, account lookup, file
// search and file security, registry reads and service status, and the refusals they share.

#include "platform/Network.h"
#include "platform/OsError.h"
#include "platform/Security.h"
#include "platform/lab/LabNetwork.h"

#include <QMap>
#include <cstring>
#include <gtest/gtest.h>
#include <ostream>

using namespace velmora::platform;
using namespace velmora::platform::lab;

static void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}

namespace {

constexpr char kLab[] = "S-1-5-21-10-20-30";

QString LabSid(uint32_t rid)
{
    return QString::fromLatin1(kLab) + QLatin1Char('-') + QString::number(rid);
}

class LabCallsTest : public ::testing::Test
{
  public:
    void SetUp() override
    {
        QString error;
        network = LabNetwork::Open(QStringLiteral(VELMORA_TEST_DATA_DIR "/lab_calls.json"), error);
        ASSERT_TRUE(network) << error.toStdString();
        netapi = network->LoadNetApiLibrary(QStringLiteral("netapi32.dll"));
        ASSERT_TRUE(netapi);
        SetOsLastError(0);
    }

    template <typename Fn>
    const Fn& Entry(const std::shared_ptr<const Library>& library, const char* name)
    {
        const auto* fn = static_cast<const Fn*>(library->Resolve(QString::fromLatin1(name)));
        EXPECT_NE(fn, nullptr) << name;
        return *fn;
    }

    uint32_t Free(void* buffer)
    {
        return Entry<netapi::NetApiBufferFreeFn>(netapi, "NetApiBufferFree")(buffer);
    }

    bool ConnectToHr()
    {
        NetResource resource;
        resource.remoteName = QStringLiteral("\\\\HR");
        return network->WNetAddConnection2(resource, QStringLiteral("s3cret"),
                                           QStringLiteral("LAB\\svc_audit"), 0) == kNoError;
    }

    std::unique_ptr<LabNetwork> network;
    std::shared_ptr<const NetApiLibrary> netapi;
};

// What a listing read page by page with a resume handle gave.
struct Pages
{
    std::vector<QStringList> pages;
    std::vector<uint32_t> statuses; // one per call, the last one ends the reading
    std::vector<uint32_t> totals;
};

// --- NetUserEnum ----------------------------------------------------------------------------

Pages ReadUsers(LabCallsTest& test, const std::shared_ptr<const NetApiLibrary>& netapi,
                const QString& server, uint32_t filter, uint32_t preferred)
{
    const auto& userEnum =
        *static_cast<const netapi::NetUserEnumFn*>(netapi->Resolve(QStringLiteral("NetUserEnum")));
    Pages result;
    uint32_t resume = 0;
    for (int guard = 0; guard < 100; ++guard) {
        void* buffer = reinterpret_cast<void*>(0x1);
        uint32_t read = 99;
        uint32_t total = 99;
        const uint32_t status =
            userEnum(server, 0, filter, &buffer, preferred, read, total, &resume);
        result.statuses.push_back(status);
        if (status != kNoError && status != kErrorMoreData) {
            EXPECT_EQ(buffer, nullptr);
            EXPECT_EQ(read, 0u);
            EXPECT_EQ(GetOsLastError(), status);
            break;
        }
        result.totals.push_back(total);
        QStringList names;
        uint32_t bytes = 0;
        const auto* users = static_cast<const UserInfo0*>(buffer);
        for (uint32_t i = 0; i < read; ++i) {
            names << users[i].name;
            bytes += 4 + 2 * (uint32_t(users[i].name.size()) + 1);
        }
        if (read > 1 && preferred != kMaxPreferredLength) {
            EXPECT_LE(bytes, preferred) << "a page with more than one entry fits the length";
        }
        result.pages.push_back(names);
        EXPECT_EQ(test.Free(buffer), kNoError);
        if (status == kNoError) {
            EXPECT_EQ(resume, 0u) << "the resume handle starts over after the last page";
            break;
        }
    }
    return result;
}

struct UserEnumCase
{
    const char* name;
    const char* server;
    uint32_t filter;
    uint32_t preferred;
    std::vector<QStringList> pages;
    uint32_t endStatus;
};

void PrintTo(const UserEnumCase& c, std::ostream* os)
{
    *os << c.name;
}

class UserEnumTest : public LabCallsTest, public ::testing::WithParamInterface<UserEnumCase>
{
};

// User records take 4 bytes and the name in UTF-16 with its NUL: Administrator 32, Guest 16,
// auditor 20, ghost 16, svc_sql 20, hr_admin 22, jsmith 18.
TEST_P(UserEnumTest, PagesByThePreferredLengthWithAResumeHandle)
{
    const UserEnumCase& c = GetParam();
    const Pages pages =
        ReadUsers(*this, netapi, QString::fromLatin1(c.server), c.filter, c.preferred);
    EXPECT_EQ(pages.pages, c.pages);
    EXPECT_EQ(pages.statuses.back(), c.endStatus);
    for (size_t i = 0; i + 1 < pages.statuses.size(); ++i)
        EXPECT_EQ(pages.statuses[i], kErrorMoreData) << "call " << i;
    if (!pages.totals.empty()) {
        size_t all = 0;
        for (const QStringList& page : c.pages)
            all += size_t(page.size());
        if (c.endStatus == kNoError) {
            EXPECT_EQ(pages.totals.front(), all) << "the first call counts the whole list";
        }
    }
    EXPECT_EQ(network->OutstandingBuffers(), 0);
}

const QStringList kAdministrator{QStringLiteral("Administrator")};
const QString kGuest = QStringLiteral("Guest");
const QString kAuditor = QStringLiteral("auditor");
const QString kGhost = QStringLiteral("ghost");
const QString kSvcSql = QStringLiteral("svc_sql");
const QString kHrAdmin = QStringLiteral("hr_admin");
const QString kJsmith = QStringLiteral("jsmith");
const QString kTrust = QStringLiteral("OTHER$");
const QStringList kAllUsers =
    kAdministrator + QStringList{kGuest, kAuditor, kGhost, kSvcSql, kHrAdmin, kJsmith};

INSTANTIATE_TEST_SUITE_P(
    Cases, UserEnumTest,
    ::testing::Values(
        UserEnumCase{
            "OnePiece", "DC1", kFilterNormalAccount, kMaxPreferredLength, {kAllUsers}, kNoError},
        UserEnumCase{"LargeLength", "\\\\dc1", kFilterNormalAccount, 65536, {kAllUsers}, kNoError},
        UserEnumCase{"Pages",
                     "DC1",
                     kFilterNormalAccount,
                     48,
                     {kAdministrator + QStringList{kGuest},
                      {kAuditor, kGhost},
                      {kSvcSql, kHrAdmin},
                      {kJsmith}},
                     kNoError},
        UserEnumCase{"ExactFit",
                     "DC1",
                     kFilterNormalAccount,
                     47,
                     // 32 + 16 is one byte too many: the first page holds one record
                     {kAdministrator, {kGuest, kAuditor}, {kGhost, kSvcSql}, {kHrAdmin, kJsmith}},
                     kNoError},
        UserEnumCase{
            "TinyLengthStillGetsOn",
            "DC1",
            kFilterNormalAccount,
            1,
            {kAdministrator, {kGuest}, {kAuditor}, {kGhost}, {kSvcSql}, {kHrAdmin}, {kJsmith}},
            kNoError},
        UserEnumCase{"TrustAccounts",
                     "DC1",
                     kFilterInterdomainTrustAccount,
                     kMaxPreferredLength,
                     {{kTrust}},
                     kNoError},
        UserEnumCase{"NormalAndTrust",
                     "DC1",
                     kFilterNormalAccount | kFilterInterdomainTrustAccount,
                     kMaxPreferredLength,
                     {kAllUsers + QStringList{kTrust}},
                     kNoError},
        UserEnumCase{"NoFilterIsEveryAccount",
                     "DC1",
                     0,
                     kMaxPreferredLength,
                     {kAllUsers + QStringList{kTrust}},
                     kNoError},
        UserEnumCase{"MachineTrustAccountsAreNotDescribed",
                     "DC1",
                     kFilterWorkstationTrustAccount | kFilterServerTrustAccount,
                     kMaxPreferredLength,
                     {{}},
                     kNoError},
        UserEnumCase{"BackupControllerAnswersTheDomain",
                     "BDC1",
                     kFilterNormalAccount,
                     40,
                     {kAdministrator, {kGuest, kAuditor}},
                     54},
        UserEnumCase{"FailsAfterItsCount",
                     "BDC1",
                     kFilterNormalAccount,
                     kMaxPreferredLength,
                     {kAdministrator + QStringList{kGuest, kAuditor}},
                     54},
        UserEnumCase{"MemberServerHasNoDomainAccounts",
                     "FS1",
                     kFilterNormalAccount,
                     kMaxPreferredLength,
                     {{}},
                     kNoError},
        UserEnumCase{
            "UnknownFilterBit", "DC1", 0x40, kMaxPreferredLength, {}, kErrorInvalidParameter},
        UserEnumCase{
            "Refused", "HR", kFilterNormalAccount, kMaxPreferredLength, {}, kErrorAccessDenied},
        UserEnumCase{"ConnectError",
                     "OFF",
                     kFilterNormalAccount,
                     kMaxPreferredLength,
                     {},
                     kRpcServerUnavailable},
        UserEnumCase{"UnknownServer",
                     "NOSUCH",
                     kFilterNormalAccount,
                     kMaxPreferredLength,
                     {},
                     kErrorBadNetPath}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LabCallsTest, UserEnumAnswersEndOfListWhenResumedPastTheEnd)
{
    const auto& userEnum = Entry<netapi::NetUserEnumFn>(netapi, "NetUserEnum");
    void* buffer = nullptr;
    uint32_t read = 0;
    uint32_t total = 0;
    uint32_t resume = 7;
    EXPECT_EQ(userEnum(QStringLiteral("DC1"), 0, kFilterNormalAccount, &buffer, 1000, read, total,
                       &resume),
              kErrorHandleEof);
    EXPECT_EQ(buffer, nullptr);
    resume = 0;
    EXPECT_EQ(userEnum(QStringLiteral("DC1"), 1, kFilterNormalAccount, &buffer, 1000, read, total,
                       &resume),
              kErrorInvalidLevel);
    EXPECT_EQ(network->CallCount(QStringLiteral("DC1"), QStringLiteral("NetUserEnum")), 2);
}

// --- NetUserGetGroups -------------------------------------------------------------------------

struct GroupsCase
{
    const char* name;
    const char* server;
    const char* user;
    uint32_t level;
    uint32_t preferred;
    uint32_t status;
    QStringList groups;
    uint32_t total;
};

void PrintTo(const GroupsCase& c, std::ostream* os)
{
    *os << c.name;
}

class UserGroupsTest : public LabCallsTest, public ::testing::WithParamInterface<GroupsCase>
{
};

// auditor's groups take 30, 22, 36 and 42 bytes.
TEST_P(UserGroupsTest, AnswersInOnePieceOrWhatFits)
{
    const GroupsCase& c = GetParam();
    const auto& getGroups = Entry<netapi::NetUserGetGroupsFn>(netapi, "NetUserGetGroups");
    void* buffer = reinterpret_cast<void*>(0x1);
    uint32_t read = 99;
    uint32_t total = 99;
    EXPECT_EQ(getGroups(QString::fromLatin1(c.server), QString::fromLatin1(c.user), c.level,
                        &buffer, c.preferred, read, total),
              c.status);
    QStringList names;
    for (uint32_t i = 0; i < read; ++i)
        names << static_cast<const GroupUsersInfo0*>(buffer)[i].name;
    EXPECT_EQ(names, c.groups);
    EXPECT_EQ(total, c.total);
    if (c.status != kNoError) {
        EXPECT_EQ(GetOsLastError(), c.status);
    }
    EXPECT_EQ(network->OutstandingBuffers(), read > 0 ? 1 : 0);
    if (read == 0) {
        EXPECT_EQ(buffer, nullptr);
    }
    EXPECT_EQ(Free(buffer), kNoError);
    EXPECT_EQ(network->OutstandingBuffers(), 0);
}

const QStringList kAuditorGroups{QStringLiteral("Domain Users"), QStringLiteral("Auditors"),
                                 QStringLiteral("Finance Readers"),
                                 QStringLiteral("Project Alpha Team")};

INSTANTIATE_TEST_SUITE_P(
    Cases, UserGroupsTest,
    ::testing::Values(
        GroupsCase{"OnePiece", "DC1", "auditor", 0, kMaxPreferredLength, kNoError, kAuditorGroups,
                   4},
        GroupsCase{"NameInOtherCase", "\\\\BDC1", "AUDITOR", 0, 32768, kNoError, kAuditorGroups, 4},
        GroupsCase{"WhatFits", "DC1", "auditor", 0, 52, kErrorMoreData, kAuditorGroups.mid(0, 2),
                   4},
        GroupsCase{"NothingFits", "DC1", "auditor", 0, 29, kErrorMoreData, {}, 4},
        GroupsCase{"NoGroups", "DC1", "jsmith", 0, kMaxPreferredLength, kNoError, {}, 0},
        GroupsCase{"AGroupIsNoUser",
                   "DC1",
                   "Domain Users",
                   0,
                   kMaxPreferredLength,
                   kNerrUserNotFound,
                   {},
                   0},
        GroupsCase{
            "UnknownUser", "DC1", "nobody", 0, kMaxPreferredLength, kNerrUserNotFound, {}, 0},
        GroupsCase{
            "MemberServer", "FS1", "auditor", 0, kMaxPreferredLength, kNerrUserNotFound, {}, 0},
        GroupsCase{"Level1", "DC1", "auditor", 1, kMaxPreferredLength, kErrorInvalidLevel, {}, 0},
        GroupsCase{"Refused", "HR", "auditor", 0, kMaxPreferredLength, kErrorAccessDenied, {}, 0},
        GroupsCase{
            "UnknownServer", "NOSUCH", "auditor", 0, kMaxPreferredLength, kErrorBadNetPath, {}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// --- NetShareEnum ---------------------------------------------------------------------------

const QStringList kFs1Shares{QStringLiteral("IPC$"),    QStringLiteral("ADMIN$"),
                             QStringLiteral("C$"),      QStringLiteral("Data"),
                             QStringLiteral("Open"),    QStringLiteral("Empty"),
                             QStringLiteral("Archive"), QStringLiteral("LaserJet")};

TEST_F(LabCallsTest, ShareEnumFillsEachLevel)
{
    const auto& shareEnum = Entry<netapi::NetShareEnumFn>(netapi, "NetShareEnum");
    for (const uint32_t level : {0u, 1u, 2u, 502u}) {
        SCOPED_TRACE(level);
        void* buffer = nullptr;
        uint32_t read = 0;
        uint32_t total = 0;
        uint32_t resume = 0;
        ASSERT_EQ(shareEnum(QStringLiteral("FS1"), level, &buffer, kMaxPreferredLength, read, total,
                            &resume),
                  kNoError);
        ASSERT_EQ(read, 8u);
        EXPECT_EQ(total, 8u);
        const auto* shares = static_cast<const ShareInfo*>(buffer);
        QStringList names;
        for (uint32_t i = 0; i < read; ++i)
            names << shares[i].netname;
        EXPECT_EQ(names, kFs1Shares);
        EXPECT_EQ(shares[0].type, level >= 1 ? 0x80000003u : 0u);
        EXPECT_EQ(shares[7].type, level >= 1 ? uint32_t(kStypePrintq) : 0u);
        EXPECT_EQ(shares[0].remark, level >= 1 ? QStringLiteral("Remote IPC") : QString());
        EXPECT_EQ(shares[2].path, level >= 2 ? QStringLiteral("C:\\") : QString());
        EXPECT_EQ(shares[3].securityDescriptor.isEmpty(), level != 502);
        EXPECT_TRUE(shares[6].securityDescriptor.isEmpty()) << "\"none\" gives no descriptor";
        EXPECT_EQ(Free(buffer), kNoError);
    }
    EXPECT_EQ(network->OutstandingBuffers(), 0);
    EXPECT_EQ(network->CallCount(QStringLiteral("fs1"), QStringLiteral("NetShareEnum")), 4);
}

TEST_F(LabCallsTest, ShareDescriptorsAreBinaryAsTheFileDescribesThem)
{
    const auto& shareEnum = Entry<netapi::NetShareEnumFn>(netapi, "NetShareEnum");
    void* buffer = nullptr;
    uint32_t read = 0;
    uint32_t total = 0;
    ASSERT_EQ(
        shareEnum(QStringLiteral("FS1"), 502, &buffer, kMaxPreferredLength, read, total, nullptr),
        kNoError);
    const auto* shares = static_cast<const ShareInfo*>(buffer);

    const struct
    {
        int index;
        bool present;
        bool null;
        std::vector<std::tuple<uint8_t, QString, uint32_t>> entries;
    } cases[] = {
        {3,
         true,
         false,
         {{kAccessAllowedAceType, QStringLiteral("S-1-1-0"), 0x001200A9u},
          {kAccessDeniedAceType, LabSid(1109), 0x001301BFu}}},
        {4, true, true, {}},
        {5, true, false, {}},
        {7, true, false, {{kAccessAllowedAceType, QStringLiteral("S-1-1-0"), 0x00020008u}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(shares[c.index].netname.toStdString());
        const QByteArray& sd = shares[c.index].securityDescriptor;
        ASSERT_TRUE(IsValidSecurityDescriptor(sd));
        bool present = false;
        bool defaulted = false;
        QByteArrayView dacl;
        ASSERT_TRUE(GetSecurityDescriptorDacl(sd, present, dacl, defaulted));
        EXPECT_EQ(present, c.present);
        EXPECT_EQ(dacl.data() == nullptr, c.null);
        if (c.null)
            continue;
        AclSizeInformation info;
        ASSERT_TRUE(GetAclInformation(dacl, info));
        ASSERT_EQ(info.aceCount, c.entries.size());
        for (uint32_t i = 0; i < info.aceCount; ++i) {
            AceView ace;
            ASSERT_TRUE(GetAce(dacl, i, ace));
            EXPECT_EQ(ace.type, std::get<0>(c.entries[i]));
            EXPECT_EQ(SidToString(ace.sid), std::get<1>(c.entries[i]));
            EXPECT_EQ(ace.mask, std::get<2>(c.entries[i]));
        }
    }
    QByteArrayView owner;
    bool defaulted = false;
    ASSERT_TRUE(GetSecurityDescriptorOwner(shares[5].securityDescriptor, owner, defaulted));
    EXPECT_EQ(SidToString(owner), QStringLiteral("S-1-5-32-544"));
    EXPECT_EQ(Free(buffer), kNoError);
}

TEST_F(LabCallsTest, ShareEnumPagesWithAResumeHandle)
{
    // Level 0 records take 4 bytes and the name: IPC$ 14, ADMIN$ 18, C$ 10, Data 14, Open 14,
    // Empty 16, Archive 20, LaserJet 22.
    const auto& shareEnum = Entry<netapi::NetShareEnumFn>(netapi, "NetShareEnum");
    uint32_t resume = 0;
    std::vector<uint32_t> pages;
    std::vector<uint32_t> totals;
    QStringList names;
    uint32_t status = kErrorMoreData;
    while (status == kErrorMoreData && pages.size() < 20) {
        void* buffer = nullptr;
        uint32_t read = 0;
        uint32_t total = 0;
        status = shareEnum(QStringLiteral("FS1"), 0, &buffer, 32, read, total, &resume);
        pages.push_back(read);
        totals.push_back(total);
        for (uint32_t i = 0; i < read; ++i)
            names << static_cast<const ShareInfo*>(buffer)[i].netname;
        EXPECT_EQ(Free(buffer), kNoError);
    }
    EXPECT_EQ(status, kNoError);
    EXPECT_EQ(pages, (std::vector<uint32_t>{2, 2, 2, 1, 1}));
    EXPECT_EQ(totals, (std::vector<uint32_t>{8, 6, 4, 2, 1})) << "counted from the resume point";
    EXPECT_EQ(names, kFs1Shares);
    EXPECT_EQ(resume, 0u);
    EXPECT_EQ(network->OutstandingBuffers(), 0);
}

struct ShareFailureCase
{
    const char* server;
    uint32_t level;
    uint32_t status;
};

void PrintTo(const ShareFailureCase& c, std::ostream* os)
{
    *os << '"' << c.server << '"';
}

class ShareEnumFailureTest : public LabCallsTest,
                             public ::testing::WithParamInterface<ShareFailureCase>
{
};

TEST_P(ShareEnumFailureTest, AnswersTheStatusWithoutABuffer)
{
    const ShareFailureCase& c = GetParam();
    const auto& shareEnum = Entry<netapi::NetShareEnumFn>(netapi, "NetShareEnum");
    void* buffer = reinterpret_cast<void*>(0x1);
    uint32_t read = 9;
    uint32_t total = 9;
    EXPECT_EQ(shareEnum(QString::fromLatin1(c.server), c.level, &buffer, kMaxPreferredLength, read,
                        total, nullptr),
              c.status);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(GetOsLastError(), c.status);
    EXPECT_EQ(network->OutstandingBuffers(), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, ShareEnumFailureTest,
                         ::testing::Values(ShareFailureCase{"BUSY", 502, kNerrServerNotStarted},
                                           ShareFailureCase{"HR", 502, kErrorAccessDenied},
                                           ShareFailureCase{"OFF", 502, kRpcServerUnavailable},
                                           ShareFailureCase{"NOSUCH", 502, kErrorBadNetPath},
                                           ShareFailureCase{"FS1", 3, kErrorInvalidLevel},
                                           ShareFailureCase{"FS1", 501, kErrorInvalidLevel}));

// A machine that refuses the user lets every call in once a connection with one of its
// credentials is held.
TEST_F(LabCallsTest, ACredentialConnectionOpensEveryCall)
{
    const auto& shareEnum = Entry<netapi::NetShareEnumFn>(netapi, "NetShareEnum");
    const auto calls = [&] {
        std::vector<uint32_t> statuses;
        void* buffer = nullptr;
        uint32_t read = 0;
        uint32_t total = 0;
        statuses.push_back(shareEnum(QStringLiteral("HR"), 502, &buffer, kMaxPreferredLength, read,
                                     total, nullptr));
        Free(buffer);
        FindHandle handle = 0;
        FindData data;
        statuses.push_back(
            network->FindFirstFile(QStringLiteral("\\\\HR\\Personnel\\*"), handle, data)
                ? uint32_t(kNoError)
                : GetOsLastError());
        network->FindClose(handle);
        uint32_t needed = 0;
        network->GetFileSecurity(QStringLiteral("\\\\HR\\Personnel"), kDaclSecurityInformation,
                                 nullptr, 0, needed);
        statuses.push_back(GetOsLastError());
        uint32_t state = 0;
        statuses.push_back(
            network->QueryServiceStatus(QStringLiteral("HR"), QStringLiteral("Spooler"), state));
        return statuses;
    };
    EXPECT_EQ(calls(), (std::vector<uint32_t>{kErrorAccessDenied, kErrorAccessDenied,
                                              kErrorAccessDenied, kErrorAccessDenied}));
    ASSERT_TRUE(ConnectToHr());
    EXPECT_EQ(calls(),
              (std::vector<uint32_t>{kNoError, kNoError, kErrorInsufficientBuffer, kNoError}));
    EXPECT_EQ(network->OpenSearches(), 0);
}

// --- the local security authority -------------------------------------------------------------

struct PolicyCase
{
    const char* system;
    uint32_t status;
    const char* domain;
    const char* sid; // "" for none
};

void PrintTo(const PolicyCase& c, std::ostream* os)
{
    *os << '"' << c.system << '"';
}

class LsaPolicyTest : public LabCallsTest, public ::testing::WithParamInterface<PolicyCase>
{
};

TEST_P(LsaPolicyTest, AnswersThePrimaryDomain)
{
    const PolicyCase& c = GetParam();
    const auto advapi = network->LoadLibrary(QStringLiteral("advapi32.dll"));
    ASSERT_TRUE(advapi);
    const auto& open = Entry<lsa::LsaOpenPolicyFn>(advapi, "LsaOpenPolicy");
    const auto& query =
        Entry<lsa::LsaQueryInformationPolicyFn>(advapi, "LsaQueryInformationPolicy");
    const auto& freeMemory = Entry<lsa::LsaFreeMemoryFn>(advapi, "LsaFreeMemory");
    const auto& close = Entry<lsa::LsaCloseFn>(advapi, "LsaClose");

    LsaHandle handle = 99;
    ASSERT_EQ(open(QString::fromLatin1(c.system), kPolicyViewLocalInformation, handle), c.status);
    if (c.status != kNoError) {
        EXPECT_EQ(handle, 0u);
        EXPECT_EQ(network->OpenLsaHandles(), 0);
        return;
    }
    void* buffer = nullptr;
    ASSERT_EQ(query(handle, kPolicyPrimaryDomainInformation, &buffer), kNoError);
    const auto* info = static_cast<const PolicyPrimaryDomainInfo*>(buffer);
    EXPECT_EQ(info->name, QString::fromLatin1(c.domain));
    EXPECT_EQ(SidToString(info->sid), QString::fromLatin1(c.sid));
    EXPECT_EQ(info->sid.isEmpty(), *c.sid == '\0');
    EXPECT_EQ(network->OutstandingLsaBuffers(), 1);
    EXPECT_EQ(freeMemory(buffer), kNoError);
    EXPECT_EQ(network->OutstandingLsaBuffers(), 0);
    EXPECT_EQ(close(handle), kNoError);
    EXPECT_EQ(network->OpenLsaHandles(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LsaPolicyTest,
    ::testing::Values(PolicyCase{"", kNoError, "LAB", kLab},
                      PolicyCase{"ADMINPC", kNoError, "LAB", kLab},
                      PolicyCase{"\\\\DC1", kNoError, "LAB", kLab},
                      PolicyCase{"ODC", kNoError, "OTHER", "S-1-5-21-40-50-60"},
                      PolicyCase{"KIOSK", kNoError, "WORKGROUP", ""},
                      PolicyCase{"MEMBER", kNoError, "MEMBER", ""},
                      PolicyCase{"HR", kStatusAccessDenied, "", ""},
                      PolicyCase{"OFF", kStatusRpcServerUnavailable, "", ""},
                      PolicyCase{"NOSUCH", kStatusRpcServerUnavailable, "", ""}));

TEST_F(LabCallsTest, LsaRefusesWhatItWasNotAskedFor)
{
    const auto advapi = network->LoadLibrary(QStringLiteral("ADVAPI32"));
    ASSERT_TRUE(advapi);
    EXPECT_EQ(advapi->Resolve(QStringLiteral("LsaLookupNames")), nullptr);
    const auto& open = Entry<lsa::LsaOpenPolicyFn>(advapi, "LsaOpenPolicy");
    const auto& query =
        Entry<lsa::LsaQueryInformationPolicyFn>(advapi, "LsaQueryInformationPolicy");
    const auto& freeMemory = Entry<lsa::LsaFreeMemoryFn>(advapi, "LsaFreeMemory");
    const auto& close = Entry<lsa::LsaCloseFn>(advapi, "LsaClose");
    LsaHandle handle = 0;
    ASSERT_EQ(open(QString(), kPolicyViewLocalInformation, handle), kNoError);
    void* buffer = nullptr;
    EXPECT_EQ(query(handle, 2, &buffer), kStatusInvalidInfoClass);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(query(handle + 1, kPolicyPrimaryDomainInformation, &buffer), kStatusInvalidHandle);
    EXPECT_EQ(freeMemory(reinterpret_cast<void*>(0x10)), kStatusInvalidParameter);
    EXPECT_EQ(close(handle), kNoError);
    EXPECT_EQ(close(handle), kStatusInvalidHandle) << "a handle is closed once";
    EXPECT_EQ(network->OutstandingLsaBuffers(), 0);
    EXPECT_EQ(network->CallCount(QStringLiteral("ADMINPC"), QStringLiteral("LsaOpenPolicy")), 1);

    EXPECT_EQ(network->LoadLibrary(QStringLiteral("kernel32.dll")), nullptr);
    EXPECT_EQ(GetOsLastError(), kErrorModNotFound);
    const auto netapiAgain = network->LoadLibrary(QStringLiteral("netapi32.dll"));
    ASSERT_TRUE(netapiAgain);
    EXPECT_NE(netapiAgain->Resolve(QStringLiteral("NetShareEnum")), nullptr);
}

TEST_F(LabCallsTest, NtStatusesMapToTheirErrorCodes)
{
    const auto advapi = network->LoadLibrary(QStringLiteral("advapi32.dll"));
    const auto& toWin = Entry<lsa::LsaNtStatusToWinErrorFn>(advapi, "LsaNtStatusToWinError");
    const std::pair<uint32_t, uint32_t> cases[] = {
        {0, 0},
        {kStatusAccessDenied, 5},
        {kStatusBadNetworkPath, 53},
        {kStatusRpcServerUnavailable, 1722},
        {kStatusNoLogonServers, 1311},
        {kStatusInvalidHandle, 6},
        {kStatusInvalidInfoClass, 87},
        {0xC0001234u, 317},
    };
    for (const auto& [status, error] : cases)
        EXPECT_EQ(toWin(status), error) << std::hex << status;
}

// --- account lookup ---------------------------------------------------------------------------

struct LookupCase
{
    const char* name;
    const char* system;
    const char* account;
    uint32_t error; // 0: resolves
    QString sid;
    const char* domain;
    uint32_t use;
};

void PrintTo(const LookupCase& c, std::ostream* os)
{
    *os << c.name;
}

class LookupTest : public LabCallsTest, public ::testing::WithParamInterface<LookupCase>
{
};

TEST_P(LookupTest, ResolvesByTheMachinesRules)
{
    const LookupCase& c = GetParam();
    const QString system = QString::fromLatin1(c.system);
    const QString account = QString::fromLatin1(c.account);
    uint32_t sidSize = 0;
    QString domain;
    uint32_t domainChars = 0;
    uint32_t use = 0;
    // The first call asks the sizes.
    EXPECT_FALSE(
        network->LookupAccountName(system, account, nullptr, sidSize, domain, domainChars, use));
    if (c.error != kNoError) {
        EXPECT_EQ(GetOsLastError(), c.error);
        return;
    }
    ASSERT_EQ(GetOsLastError(), kErrorInsufficientBuffer);
    const QByteArray expectedSid = SidFromText(c.sid);
    EXPECT_EQ(sidSize, uint32_t(expectedSid.size()));
    EXPECT_EQ(domainChars, uint32_t(strlen(c.domain) + 1));

    QByteArray sid(int(sidSize), '\0');
    ASSERT_TRUE(
        network->LookupAccountName(system, account, &sid, sidSize, domain, domainChars, use));
    EXPECT_EQ(SidToString(sid), c.sid);
    EXPECT_EQ(domain, QString::fromLatin1(c.domain));
    EXPECT_EQ(domainChars, uint32_t(strlen(c.domain)));
    EXPECT_EQ(use, c.use);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LookupTest,
    ::testing::Values(
        LookupCase{"User", "DC1", "auditor", 0, LabSid(1105), "LAB", kSidTypeUser},
        LookupCase{"QualifiedByDomain", "\\\\DC1", "lab\\AUDITOR", 0, LabSid(1105), "LAB",
                   kSidTypeUser},
        LookupCase{"QualifiedByController", "DC1", "BDC1\\auditor", 0, LabSid(1105), "LAB",
                   kSidTypeUser},
        LookupCase{"LocallyQualifiedByController", "", "DC1\\auditor", 0, LabSid(1105), "LAB",
                   kSidTypeUser},
        LookupCase{"DotIsLocal", ".", "Domain Users", 0, LabSid(513), "LAB", kSidTypeGroup},
        LookupCase{"MemberServerIsNoQualifier", "FS1", "FS1\\auditor", kErrorNoneMapped, {}, "", 0},
        LookupCase{
            "OtherDomainIsNoQualifier", "DC1", "OTHER\\Administrator", kErrorNoneMapped, {}, "", 0},
        LookupCase{"OtherDomainOnItsController", "ODC", "OTHER\\Administrator", 0,
                   QStringLiteral("S-1-5-21-40-50-60-500"), "OTHER", kSidTypeUser},
        LookupCase{"DomainBeforeWellKnown", "DC1", "Print Operators", 0,
                   QStringLiteral("S-1-5-32-550"), "LAB", kSidTypeAlias},
        LookupCase{"Everyone", "DC1", "everyone", 0, QStringLiteral("S-1-1-0"), "",
                   kSidTypeWellKnownGroup},
        LookupCase{"Builtin", "DC1", "Administrators", 0, QStringLiteral("S-1-5-32-544"), "BUILTIN",
                   kSidTypeAlias},
        LookupCase{"QualifiedBuiltin", "DC1", "builtin\\Backup Operators", 0,
                   QStringLiteral("S-1-5-32-551"), "BUILTIN", kSidTypeAlias},
        LookupCase{"BuiltinReplicator", "KIOSK", "Replicator", 0, QStringLiteral("S-1-5-32-552"),
                   "BUILTIN", kSidTypeAlias},
        LookupCase{"UsersIsNotAmongTheWellKnown", "DC1", "Users", kErrorNoneMapped, {}, "", 0},
        LookupCase{"System", "DC1", "NT AUTHORITY\\SYSTEM", 0, QStringLiteral("S-1-5-18"),
                   "NT AUTHORITY", kSidTypeWellKnownGroup},
        LookupCase{"ServiceByAuditName", "DC1", "NetworkService", 0, QStringLiteral("S-1-5-20"),
                   "NT AUTHORITY", kSidTypeWellKnownGroup},
        LookupCase{"SystemIsNotBuiltin", "DC1", "BUILTIN\\SYSTEM", kErrorNoneMapped, {}, "", 0},
        LookupCase{"DomainItself", "DC1", "LAB", 0, QString::fromLatin1(kLab), "LAB",
                   kSidTypeDomain},
        LookupCase{"LookupFails", "DC1", "ghost", kErrorNoneMapped, {}, "", 0},
        LookupCase{"LookupKindOverride", "DC1", "svc_sql", 0, LabSid(1107), "LAB", kSidTypeGroup},
        LookupCase{"TrustAccountIsAUser", "DC1", "OTHER$", 0, LabSid(1300), "LAB", kSidTypeUser},
        LookupCase{"WorkgroupHasNoDomainAccounts", "KIOSK", "auditor", kErrorNoneMapped, {}, "", 0},
        LookupCase{"Unknown", "DC1", "nobody", kErrorNoneMapped, {}, "", 0},
        LookupCase{"Refused", "HR", "auditor", kErrorAccessDenied, {}, "", 0},
        LookupCase{"UnknownSystem", "NOSUCH", "auditor", kRpcServerUnavailable, {}, "", 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LabCallsTest, LookupAsksAgainUntilBothBuffersAreLargeEnough)
{
    const QString dc = QStringLiteral("DC1");
    const QString name = QStringLiteral("auditor");
    QByteArray sid;
    QString domain;
    uint32_t use = 0;
    const struct
    {
        uint32_t sidSize;
        uint32_t domainChars;
        bool ok;
    } cases[] = {
        {0, 0, false},  {27, 4, false}, // one byte short of the SID
        {28, 3, false},                 // no room for the domain's NUL
        {28, 4, true},  {64, 1024, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.sidSize << "/" << c.domainChars);
        uint32_t sidSize = c.sidSize;
        uint32_t domainChars = c.domainChars;
        SetOsLastError(0);
        EXPECT_EQ(network->LookupAccountName(dc, name, &sid, sidSize, domain, domainChars, use),
                  c.ok);
        if (c.ok) {
            EXPECT_EQ(SidToString(sid), LabSid(1105));
            EXPECT_EQ(domainChars, 3u);
        } else {
            EXPECT_EQ(GetOsLastError(), kErrorInsufficientBuffer);
            EXPECT_EQ(sidSize, 28u);
            EXPECT_EQ(domainChars, 4u);
        }
    }
    EXPECT_EQ(network->CallCount(dc, QStringLiteral("LookupAccountName")), 5);
}

// --- file search ----------------------------------------------------------------------------

struct SearchCase
{
    const char* name;
    const char* pattern;
    uint32_t error; // 0: lists
    QStringList entries;
};

void PrintTo(const SearchCase& c, std::ostream* os)
{
    *os << c.name;
}

class FindFileTest : public LabCallsTest, public ::testing::WithParamInterface<SearchCase>
{
};

TEST_P(FindFileTest, ListsAsTheFileSystemDoes)
{
    const SearchCase& c = GetParam();
    FindHandle handle = 99;
    FindData data;
    const bool found = network->FindFirstFile(QString::fromLatin1(c.pattern), handle, data);
    ASSERT_EQ(found, c.error == kNoError) << GetOsLastError();
    if (!found) {
        EXPECT_EQ(GetOsLastError(), c.error);
        EXPECT_EQ(handle, 0u);
        EXPECT_EQ(network->OpenSearches(), 0);
        return;
    }
    QStringList names{data.fileName};
    while (network->FindNextFile(handle, data))
        names << data.fileName;
    EXPECT_EQ(GetOsLastError(), kErrorNoMoreFiles);
    EXPECT_FALSE(network->FindNextFile(handle, data)) << "the end stays the end";
    EXPECT_EQ(names, c.entries);
    EXPECT_TRUE(network->FindClose(handle));
    EXPECT_EQ(network->OpenSearches(), 0);
}

const QString kDot = QStringLiteral(".");
const QString kDotDot = QStringLiteral("..");

INSTANTIATE_TEST_SUITE_P(
    Cases, FindFileTest,
    ::testing::Values(
        SearchCase{"ShareRoot",
                   "\\\\FS1\\Data\\*",
                   0,
                   {kDot, kDotDot, QStringLiteral("Projects"), QStringLiteral("Current"),
                    QStringLiteral("Secret"), QStringLiteral("Locked"), QStringLiteral("Plain"),
                    QStringLiteral("readme.txt"), QStringLiteral("budget.xls")}},
        SearchCase{"NamesWithoutRegardToCase",
                   "\\\\fs1\\DATA\\projects\\*.*",
                   0,
                   {kDot, kDotDot, QStringLiteral("Alpha"), QStringLiteral("Beta")}},
        SearchCase{"JunctionListsItsTarget",
                   "\\\\FS1\\Data\\Current\\*",
                   0,
                   {kDot, kDotDot, QStringLiteral("Specs"), QStringLiteral("plan.doc")}},
        SearchCase{"ThroughAJunction", "\\\\FS1\\Data\\Current\\Specs\\*", 0, {kDot, kDotDot}},
        SearchCase{"HiddenFolderIsListed", "\\\\FS1\\Data\\Secret\\*", 0, {kDot, kDotDot}},
        SearchCase{"Mask", "\\\\FS1\\Data\\*.TXT", 0, {QStringLiteral("readme.txt")}},
        SearchCase{"MaskWithQuestionMarks", "\\\\FS1\\Data\\P?a??", 0, {QStringLiteral("Plain")}},
        SearchCase{"NothingMatches", "\\\\FS1\\Data\\zz*", kErrorFileNotFound, {}},
        SearchCase{"DriveShareHasNoDots",
                   "\\\\FS1\\C$\\*",
                   0,
                   {QStringLiteral("WINDOWS"), QStringLiteral("pagefile.sys")}},
        SearchCase{"BelowADriveRoot", "\\\\FS1\\c$\\WINDOWS\\*", 0, {kDot, kDotDot}},
        SearchCase{"LocalDrive", "C:\\*", 0, {QStringLiteral("Temp"), QStringLiteral("boot.ini")}},
        SearchCase{"LocalDriveByName", "\\\\ADMINPC\\C$\\Temp\\*", 0, {kDot, kDotDot}},
        SearchCase{"EmptyRoot", "\\\\FS1\\Empty\\*", 0, {kDot, kDotDot}},
        SearchCase{"ListError", "\\\\FS1\\Data\\Locked\\*", kErrorAccessDenied, {}},
        SearchCase{"MissingFolder", "\\\\FS1\\Data\\Missing\\*", kErrorPathNotFound, {}},
        SearchCase{"AFileIsNoFolder", "\\\\FS1\\Data\\readme.txt\\*", kErrorPathNotFound, {}},
        SearchCase{"ShareWithoutRoot", "\\\\FS1\\Archive\\*", kErrorPathNotFound, {}},
        SearchCase{"PrinterShare", "\\\\FS1\\LaserJet\\*", kErrorBadDevType, {}},
        SearchCase{"IpcShare", "\\\\FS1\\IPC$\\*", kErrorBadDevType, {}},
        SearchCase{"UnknownShare", "\\\\FS1\\Nope\\*", kErrorBadNetName, {}},
        SearchCase{"UnknownDrive", "\\\\FS1\\D$\\*", kErrorBadNetName, {}},
        SearchCase{"UnknownMachine", "\\\\NOSUCH\\Data\\*", kErrorBadNetPath, {}},
        SearchCase{"Refused", "\\\\HR\\Personnel\\*", kErrorAccessDenied, {}},
        SearchCase{"ConnectError", "\\\\OFF\\Data\\*", kRpcServerUnavailable, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LabCallsTest, SearchEntriesCarryTheirAttributes)
{
    FindHandle handle = 0;
    FindData data;
    ASSERT_TRUE(network->FindFirstFile(QStringLiteral("\\\\FS1\\Data\\*"), handle, data));
    QMap<QString, uint32_t> attributes{{data.fileName, data.attributes}};
    while (network->FindNextFile(handle, data))
        attributes.insert(data.fileName, data.attributes);
    EXPECT_TRUE(network->FindClose(handle));
    EXPECT_EQ(attributes.value(QStringLiteral("..")), kFileAttributeDirectory);
    EXPECT_EQ(attributes.value(QStringLiteral("Plain")), kFileAttributeDirectory);
    EXPECT_EQ(attributes.value(QStringLiteral("Secret")),
              kFileAttributeDirectory | kFileAttributeHidden | kFileAttributeSystem);
    EXPECT_EQ(attributes.value(QStringLiteral("Current")),
              kFileAttributeDirectory | kFileAttributeReparsePoint);
    EXPECT_EQ(attributes.value(QStringLiteral("readme.txt")), kFileAttributeArchive)
        << "a file is no directory";

    EXPECT_FALSE(network->FindClose(handle));
    EXPECT_EQ(GetOsLastError(), kErrorInvalidHandle);
    EXPECT_FALSE(network->FindNextFile(handle, data));
    EXPECT_EQ(GetOsLastError(), kErrorInvalidHandle);
    EXPECT_EQ(network->CallCount(QStringLiteral("FS1"), QStringLiteral("FindFirstFile")), 1);
    EXPECT_EQ(network->CallCount(QStringLiteral("FS1"), QStringLiteral("FindNextFile")), 9);
}

// --- file security ----------------------------------------------------------------------------

struct SecurityCase
{
    const char* name;
    const char* path;
    uint32_t information;
    uint32_t error;
    const char* owner; // "" none
    int dacl;          // -2 absent, -1 null, else the entry count
    QString firstSid;
    uint8_t firstType;
    uint8_t firstFlags;
};

void PrintTo(const SecurityCase& c, std::ostream* os)
{
    *os << c.name;
}

class FileSecurityTest : public LabCallsTest, public ::testing::WithParamInterface<SecurityCase>
{
};

TEST_P(FileSecurityTest, AnswersTheDescriptorInTwoCalls)
{
    const SecurityCase& c = GetParam();
    const QString path = QString::fromLatin1(c.path);
    uint32_t needed = 99;
    EXPECT_FALSE(network->GetFileSecurity(path, c.information, nullptr, 0, needed));
    if (c.error != kNoError) {
        EXPECT_EQ(GetOsLastError(), c.error);
        EXPECT_EQ(needed, 0u);
        return;
    }
    ASSERT_EQ(GetOsLastError(), kErrorInsufficientBuffer);
    ASSERT_GT(needed, 0u);
    QByteArray sd;
    uint32_t again = 0;
    EXPECT_FALSE(network->GetFileSecurity(path, c.information, &sd, needed - 1, again));
    EXPECT_EQ(again, needed);
    ASSERT_TRUE(network->GetFileSecurity(path, c.information, &sd, needed, again));
    EXPECT_EQ(uint32_t(sd.size()), needed);
    ASSERT_TRUE(IsValidSecurityDescriptor(sd));

    QByteArrayView owner;
    bool defaulted = false;
    ASSERT_TRUE(GetSecurityDescriptorOwner(sd, owner, defaulted));
    EXPECT_EQ(owner.data() == nullptr ? QString() : SidToString(owner),
              QString::fromLatin1(c.owner));
    bool present = false;
    QByteArrayView dacl;
    ASSERT_TRUE(GetSecurityDescriptorDacl(sd, present, dacl, defaulted));
    EXPECT_EQ(present, c.dacl != -2);
    EXPECT_EQ(present && dacl.data() == nullptr, c.dacl == -1);
    if (c.dacl < 0)
        return;
    AclSizeInformation info;
    ASSERT_TRUE(GetAclInformation(dacl, info));
    EXPECT_EQ(info.aceCount, uint32_t(c.dacl));
    if (c.dacl > 0) {
        AceView ace;
        ASSERT_TRUE(GetAce(dacl, 0, ace));
        EXPECT_EQ(SidToString(ace.sid), c.firstSid);
        EXPECT_EQ(ace.type, c.firstType);
        EXPECT_EQ(ace.flags, c.firstFlags);
    }
}

constexpr uint32_t kOwnerAndDacl = kOwnerSecurityInformation | kDaclSecurityInformation;
constexpr uint8_t kInherits = kObjectInheritAce | kContainerInheritAce;

INSTANTIATE_TEST_SUITE_P(
    Cases, FileSecurityTest,
    ::testing::Values(
        SecurityCase{"ShareRoot", "\\\\FS1\\Data", kOwnerAndDacl, 0, "S-1-5-32-544", 2, LabSid(513),
                     kAccessAllowedAceType, kInherits},
        SecurityCase{"TrailingBackslash", "\\\\FS1\\Data\\", kOwnerAndDacl, 0, "S-1-5-32-544", 2,
                     LabSid(513), kAccessAllowedAceType, kInherits},
        SecurityCase{"ExplicitDenyFirst", "\\\\FS1\\Data\\Projects", kOwnerAndDacl, 0,
                     "S-1-5-32-544", 3, LabSid(1109), kAccessDeniedAceType, 0},
        SecurityCase{"DaclOnlyHasNoOwner", "\\\\FS1\\Data\\Projects", kDaclSecurityInformation, 0,
                     "", 3, LabSid(1109), kAccessDeniedAceType, 0},
        SecurityCase{"OwnerOnlyHasNoDacl",
                     "\\\\FS1\\Data\\Projects",
                     kOwnerSecurityInformation,
                     0,
                     "S-1-5-32-544",
                     -2,
                     {},
                     0,
                     0},
        SecurityCase{"JunctionHasItsOwn", "\\\\FS1\\Data\\Current", kOwnerAndDacl, 0,
                     "S-1-5-32-544", 1, QStringLiteral("S-1-1-0"), kAccessAllowedAceType, 0},
        SecurityCase{"ThroughAJunction", "\\\\FS1\\Data\\Current\\Specs", kOwnerAndDacl, 0,
                     "S-1-5-21-10-20-30-1105", 1, LabSid(1105), kAccessAllowedAceType, 0},
        SecurityCase{"DefaultIsAnEmptyDaclOwnedByAdministrators",
                     "\\\\FS1\\Data\\Plain",
                     kOwnerAndDacl,
                     0,
                     "S-1-5-32-544",
                     0,
                     {},
                     0,
                     0},
        SecurityCase{"NullDacl", "\\\\FS1\\Open", kOwnerAndDacl, 0, "S-1-5-32-544", -1, {}, 0, 0},
        SecurityCase{
            "DriveShare", "\\\\FS1\\C$\\WINDOWS", kOwnerAndDacl, 0, "S-1-5-32-544", 0, {}, 0, 0},
        SecurityCase{"ReadError",
                     "\\\\FS1\\Data\\Secret",
                     kOwnerAndDacl,
                     kErrorAccessDenied,
                     "",
                     0,
                     {},
                     0,
                     0},
        SecurityCase{"MissingFolder",
                     "\\\\FS1\\Data\\Missing",
                     kOwnerAndDacl,
                     kErrorFileNotFound,
                     "",
                     0,
                     {},
                     0,
                     0},
        SecurityCase{"MissingOnTheWay",
                     "\\\\FS1\\Data\\Missing\\Deeper",
                     kOwnerAndDacl,
                     kErrorPathNotFound,
                     "",
                     0,
                     {},
                     0,
                     0},
        SecurityCase{
            "UnknownShare", "\\\\FS1\\Nope", kOwnerAndDacl, kErrorBadNetName, "", 0, {}, 0, 0},
        SecurityCase{
            "Refused", "\\\\HR\\Personnel", kOwnerAndDacl, kErrorAccessDenied, "", 0, {}, 0, 0},
        SecurityCase{"UnknownMachine",
                     "\\\\NOSUCH\\Data",
                     kOwnerAndDacl,
                     kErrorBadNetPath,
                     "",
                     0,
                     {},
                     0,
                     0}),
    [](const auto& info) { return std::string(info.param.name); });

// --- registry reads ---------------------------------------------------------------------------

class RegistryReadTest : public LabCallsTest
{
  protected:
    RegKey Open(const char* machine, RegKey root, const char* path)
    {
        RegKey hive = 0;
        EXPECT_EQ(network->RegConnectRegistry(QString::fromLatin1(machine), root, hive), kNoError);
        RegKey key = 0;
        EXPECT_EQ(network->RegOpenKeyEx(hive, QString::fromLatin1(path), kKeyRead, key), kNoError)
            << path;
        EXPECT_EQ(network->RegCloseKey(hive), kNoError);
        return key;
    }
};

QByteArray Utf16(const char16_t* text)
{
    QByteArray bytes;
    for (; *text; ++text)
        bytes.append(char(*text & 0xFF)).append(char(*text >> 8));
    return bytes.append(2, '\0');
}

TEST_F(RegistryReadTest, ValuesComeAsTheirTypesAndBytes)
{
    const RegKey key =
        Open("FS1", kHKeyLocalMachine, "software\\MICROSOFT\\Windows NT\\CurrentVersion");
    const struct
    {
        const char* name;
        uint32_t status;
        uint32_t type;
        QByteArray bytes;
    } cases[] = {
        {"CurrentVersion", kNoError, kRegSz, Utf16(u"5.2")},
        {"systemroot", kNoError, kRegSz, Utf16(u"C:\\WINDOWS")},
        {"PathName", kNoError, kRegExpandSz, Utf16(u"%SystemRoot%")},
        {"InstallDate", kNoError, kRegDword, QByteArray::fromHex("78563412")},
        {"DigitalProductId", kNoError, kRegBinary, QByteArray::fromHex("a4000300")},
        {"Missing", kErrorFileNotFound, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        uint32_t type = 0;
        uint32_t size = 0;
        // The size first, then the bytes.
        ASSERT_EQ(network->RegQueryValueEx(key, QString::fromLatin1(c.name), type, nullptr, size),
                  c.status);
        if (c.status != kNoError)
            continue;
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(size, uint32_t(c.bytes.size()));
        QByteArray data;
        uint32_t small = size - 1;
        EXPECT_EQ(network->RegQueryValueEx(key, QString::fromLatin1(c.name), type, &data, small),
                  kErrorMoreData);
        EXPECT_EQ(small, size);
        EXPECT_EQ(network->RegQueryValueEx(key, QString::fromLatin1(c.name), type, &data, size),
                  kNoError);
        EXPECT_EQ(data, c.bytes);
    }
    EXPECT_EQ(network->RegCloseKey(key), kNoError);
    EXPECT_EQ(network->OpenRegistryKeys(), 0);
}

TEST_F(RegistryReadTest, KeysOpenBelowTheFileKeysAndEnumerate)
{
    const struct
    {
        const char* path;
        uint32_t status;
        QStringList subKeys;
        QStringList values;
    } cases[] = {
        {"SOFTWARE", kNoError, {QStringLiteral("Microsoft"), QStringLiteral("Wow6432Node")}, {}},
        {"SOFTWARE\\Microsoft\\",
         kNoError,
         {QStringLiteral("Windows"), QStringLiteral("Windows NT")},
         {}},
        {"SOFTWARE\\Wow6432Node", kNoError, {}, {}},
        {"SOFTWARE\\Microsoft\\Windows\\CurrentVersion",
         kNoError,
         {},
         {QStringLiteral("ProgramFilesDir")}},
        {"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
         kNoError,
         {},
         {QStringLiteral("CurrentVersion"), QStringLiteral("DigitalProductId"),
          QStringLiteral("InstallDate"), QStringLiteral("PathName"), QStringLiteral("SystemRoot")}},
        {"SOFTWARE\\Micro", kErrorFileNotFound, {}, {}},
        {"SYSTEM", kErrorFileNotFound, {}, {}},
    };
    RegKey hive = 0;
    ASSERT_EQ(network->RegConnectRegistry(QStringLiteral("\\\\FS1"), kHKeyLocalMachine, hive),
              kNoError);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        RegKey key = 99;
        ASSERT_EQ(network->RegOpenKeyEx(hive, QString::fromLatin1(c.path), kKeyRead, key),
                  c.status);
        if (c.status != kNoError) {
            EXPECT_EQ(key, 0u);
            EXPECT_EQ(GetOsLastError(), c.status);
            continue;
        }
        QStringList subKeys;
        QString name;
        for (uint32_t i = 0; network->RegEnumKeyEx(key, i, name) == kNoError; ++i)
            subKeys << name;
        EXPECT_EQ(subKeys, c.subKeys);
        QStringList values;
        for (uint32_t i = 0; network->RegEnumValue(key, i, name) == kNoError; ++i)
            values << name;
        EXPECT_EQ(values, c.values);
        EXPECT_EQ(network->RegEnumValue(key, uint32_t(values.size()), name), kErrorNoMoreItems);
        EXPECT_EQ(network->RegCloseKey(key), kNoError);
    }
    EXPECT_EQ(network->RegCloseKey(hive), kNoError);
    EXPECT_EQ(network->OpenRegistryKeys(), 0);
    EXPECT_EQ(network->CallCount(QStringLiteral("FS1"), QStringLiteral("RegOpenKeyEx")), 7);
}

TEST_F(RegistryReadTest, UsersHiveLocalKeysAndStaleHandles)
{
    const RegKey classes = Open("FS1", kHKeyUsers, "S-1-5-21-10-20-30-1105_Classes");
    EXPECT_NE(classes, 0u);
    EXPECT_EQ(network->RegCloseKey(classes), kNoError);

    // The local predefined key reads the local registry without a connection.
    RegKey key = 0;
    ASSERT_EQ(network->RegOpenKeyEx(kHKeyLocalMachine, QStringLiteral("SOFTWARE\\Velmora"),
                                    kKeyRead, key),
              kNoError);
    uint32_t type = 0;
    QByteArray data;
    uint32_t size = 64;
    EXPECT_EQ(network->RegQueryValueEx(key, QStringLiteral("Mode"), type, &data, size), kNoError);
    EXPECT_EQ(data, Utf16(u"lab"));
    EXPECT_EQ(network->RegCloseKey(key), kNoError);

    RegKey reopened = 0;
    EXPECT_EQ(network->RegOpenKeyEx(key, QString(), kKeyRead, reopened), kErrorInvalidHandle);
    EXPECT_EQ(network->RegQueryValueEx(classes, QStringLiteral("x"), type, nullptr, size),
              kErrorInvalidHandle);
    EXPECT_EQ(network->OpenRegistryKeys(), 0);
}

// --- services -------------------------------------------------------------------------------

TEST_F(LabCallsTest, ServiceStatusComesFromTheMachine)
{
    const struct
    {
        const char* machine;
        const char* service;
        uint32_t status;
        uint32_t state;
    } cases[] = {
        {"DC1", "RemoteRegistry", kNoError, kServiceRunning},
        {"\\\\dc1", "spooler", kNoError, kServiceStopped},
        {"DC1", "Nope", kErrorServiceDoesNotExist, 0},
        {"FS1", "LanmanServer", kNoError, kServiceRunning},
        {"", "Spooler", kErrorServiceDoesNotExist, 0}, // the local computer lists none
        {"HR", "Spooler", kErrorAccessDenied, 0},
        {"OFF", "Spooler", kRpcServerUnavailable, 0},
        {"NOSUCH", "Spooler", kErrorBadNetPath, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.machine << " " << c.service);
        uint32_t state = 99;
        EXPECT_EQ(network->QueryServiceStatus(QString::fromLatin1(c.machine),
                                              QString::fromLatin1(c.service), state),
                  c.status);
        EXPECT_EQ(state, c.state);
        if (c.status != kNoError) {
            EXPECT_EQ(GetOsLastError(), c.status);
        }
    }
    EXPECT_EQ(network->CallCount(QStringLiteral("DC1"), QStringLiteral("QueryServiceStatus")), 3);
    EXPECT_EQ(network->CallCount(QStringLiteral("ADMINPC"), QStringLiteral("QueryServiceStatus")),
              1);
}

} // namespace
