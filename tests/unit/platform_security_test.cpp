// SIDs, ACLs and self-relative security descriptors: the text and binary forms, the
// builders' byte layout, and the accessors' refusal of malformed buffers (false and the
// right last error, never a read outside the buffer).

#include "platform/Network.h"
#include "platform/OsError.h"
#include "platform/Security.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <gtest/gtest.h>
#include <ostream>
#include <string>

using namespace velmora::platform;

static void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}

namespace {

QByteArray Sid(const char* text)
{
    return SidFromText(QString::fromLatin1(text));
}

QByteArray Hex(const char* hex)
{
    return QByteArray::fromHex(hex);
}

// True when `part` is a non-empty view inside `buffer`.
bool Inside(QByteArrayView part, QByteArrayView buffer)
{
    return !part.isEmpty() && part.data() >= buffer.data() &&
           part.data() + part.size() <= buffer.data() + buffer.size();
}

void PutLe16(QByteArray& b, qsizetype at, uint16_t v)
{
    b[at] = char(v & 0xFF);
    b[at + 1] = char(v >> 8);
}
void PutLe32(QByteArray& b, qsizetype at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = char((v >> (8 * i)) & 0xFF);
}

// --- SID text and binary -----------------------------------------------------------------

struct SidCase
{
    const char* name;
    const char* text;
    const char* canonical; // what SidToString gives back
    const char* hex;
    uint64_t authority;
};

class SidRoundTripTest : public ::testing::TestWithParam<SidCase>
{
};

TEST_P(SidRoundTripTest, TextToBinaryAndBack)
{
    const SidCase& c = GetParam();
    const QByteArray sid = Sid(c.text);
    EXPECT_EQ(sid.toHex(), QByteArray(c.hex));
    EXPECT_TRUE(IsValidSid(sid));
    EXPECT_EQ(GetLengthSid(sid), uint32_t(sid.size()));
    EXPECT_EQ(SidToString(sid), QString::fromLatin1(c.canonical));

    uint64_t authority = 0;
    ASSERT_TRUE(GetSidIdentifierAuthority(sid, authority));
    EXPECT_EQ(authority, c.authority);
    uint8_t count = 0;
    ASSERT_TRUE(GetSidSubAuthorityCount(sid, count));
    EXPECT_EQ(8 + 4 * qsizetype(count), sid.size());
    EXPECT_EQ(GetSidRevision(sid), 1);
}

const SidCase kSids[] = {
    {"Everyone", "S-1-1-0", "S-1-1-0", "010100000000000100000000", 1},
    {"Administrators", "S-1-5-32-544", "S-1-5-32-544", "01020000000000052000000020020000", 5},
    {"DomainAdministrator", "S-1-5-21-1004336348-1177238915-682003330-500",
     "S-1-5-21-1004336348-1177238915-682003330-500",
     "010500000000000515000000dcf4dc3b833d2b46828ba628f4010000", 5},
    {"SubAuthoritiesAboveSignedRange", "S-1-5-21-2147483648-4294967295-1-500",
     "S-1-5-21-2147483648-4294967295-1-500",
     "01050000000000051500000000000080ffffffff01000000f4010000", 5},
    {"FortyEightBitAuthority", "S-1-281474976710655-7", "S-1-281474976710655-7",
     "0101ffffffffffff07000000", 0xFFFFFFFFFFFFull},
    {"AuthorityAboveThirtyTwoBits", "S-1-4294967296-1", "S-1-4294967296-1",
     "010100010000000001000000", 0x100000000ull},
    {"FifteenSubAuthorities", "S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15",
     "S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15",
     "010f00000000000501000000020000000300000004000000050000000600000007000000080000000900"
     "00000a0000000b0000000c0000000d0000000e0000000f000000",
     5},
    {"NoSubAuthorities", "S-1-5", "S-1-5", "0100000000000005", 5},
    {"LowerCaseAndLeadingZeros", "s-1-05-032-0544", "S-1-5-32-544",
     "01020000000000052000000020020000", 5},
};

INSTANTIATE_TEST_SUITE_P(Cases, SidRoundTripTest, ::testing::ValuesIn(kSids),
                         [](const auto& info) { return std::string(info.param.name); });

struct TextCase
{
    const char* name;
    const char* text;
};

class SidTextRefusedTest : public ::testing::TestWithParam<TextCase>
{
};

TEST_P(SidTextRefusedTest, GivesNoSid)
{
    EXPECT_TRUE(SidFromText(QString::fromUtf8(GetParam().text)).isEmpty());
}

const TextCase kBadTexts[] = {
    {"Empty", ""},
    {"PrefixOnly", "S-1"},
    {"NoPrefix", "1-5-32-544"},
    {"WrongPrefix", "X-1-5-32"},
    {"RevisionTwo", "S-2-5-32-544"},
    {"TrailingHyphen", "S-1-5-32-"},
    {"EmptyPart", "S-1-5--32"},
    {"EmptyAuthority", "S-1--5"},
    {"TrailingText", "S-1-5-32-544x"},
    {"LeadingBlank", " S-1-5-32-544"},
    {"InnerBlank", "S-1-5- 32"},
    {"Sign", "S-1-+5-32"},
    {"NegativeSubAuthority", "S-1-5-21--1"},
    {"HexAuthority", "S-1-0x5-32"},
    {"NonAsciiDigit", "S-1-5-32-\u0665"},
    {"SubAuthorityAbove32Bits", "S-1-5-4294967296"},
    {"AuthorityAbove48Bits", "S-1-281474976710656-1"},
    {"HugeNumber", "S-1-5-99999999999999999999999"},
    {"SixteenSubAuthorities", "S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16"},
};

INSTANTIATE_TEST_SUITE_P(Cases, SidTextRefusedTest, ::testing::ValuesIn(kBadTexts),
                         [](const auto& info) { return std::string(info.param.name); });

struct BinaryCase
{
    const char* name;
    const char* hex;
};

class SidBinaryRefusedTest : public ::testing::TestWithParam<BinaryCase>
{
};

TEST_P(SidBinaryRefusedTest, EveryAccessorRefuses)
{
    const QByteArray sid = Hex(GetParam().hex);
    SetOsLastError(0);
    EXPECT_FALSE(IsValidSid(sid));
    EXPECT_EQ(GetOsLastError(), kErrorInvalidSid);
    SetOsLastError(0);
    EXPECT_EQ(GetLengthSid(sid), 0u);
    EXPECT_EQ(GetOsLastError(), kErrorInvalidSid);
    EXPECT_TRUE(SidToString(sid).isEmpty());
    uint8_t count = 0;
    uint32_t value = 0;
    uint64_t authority = 0;
    EXPECT_FALSE(GetSidSubAuthorityCount(sid, count));
    EXPECT_FALSE(GetSidSubAuthority(sid, 0, value));
    EXPECT_FALSE(GetSidIdentifierAuthority(sid, authority));
}

const BinaryCase kBadSids[] = {
    {"Empty", ""},
    {"ShorterThanHeader", "01000000000005"},
    {"RevisionTwo", "020100000000000100000000"},
    {"RevisionZero", "000100000000000100000000"},
    {"SixteenSubAuthorities",
     "011000000000000501000000020000000300000004000000050000000600000007000000080000000900"
     "00000a0000000b0000000c0000000d0000000e0000000f00000010000000"},
    {"CountPastTheEnd", "01020000000000052000000020"},
    {"CountPastTheEndByOne", "010200000000000520000000200200"},
};

INSTANTIATE_TEST_SUITE_P(Cases, SidBinaryRefusedTest, ::testing::ValuesIn(kBadSids),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SidTest, BytesAfterTheLastSubAuthorityAreIgnored)
{
    const QByteArray sid = Sid("S-1-5-32-544") + Hex("ffffffff");
    EXPECT_TRUE(IsValidSid(sid));
    EXPECT_EQ(GetLengthSid(sid), 16u);
    EXPECT_EQ(SidToString(sid), QStringLiteral("S-1-5-32-544"));
}

TEST(SidTest, SubAuthorityIndexPastTheCountIsAnInvalidParameter)
{
    const QByteArray sid = Sid("S-1-5-21-7-8-9-1105");
    uint32_t value = 0;
    ASSERT_TRUE(GetSidSubAuthority(sid, 4, value));
    EXPECT_EQ(value, 1105u);
    ASSERT_TRUE(GetSidSubAuthority(sid, 1, value));
    EXPECT_EQ(value, 7u);
    SetOsLastError(0);
    EXPECT_FALSE(GetSidSubAuthority(sid, 5, value));
    EXPECT_EQ(GetOsLastError(), kErrorInvalidParameter);
}

TEST(SidTest, RevisionIsTheFirstByteEvenOfAnInvalidSid)
{
    EXPECT_EQ(GetSidRevision(Hex("020100000000000100000000")), 2);
    SetOsLastError(0);
    EXPECT_EQ(GetSidRevision(QByteArrayView()), 0);
    EXPECT_EQ(GetOsLastError(), kErrorInvalidSid);
}

// --- building and reading descriptors ----------------------------------------------------

// The descriptor the malformed cases change one thing of: owner, group and a two-entry
// DACL. Its layout is pinned by BuildsTheSelfRelativeLayout.
constexpr qsizetype kOwnerAt = 0x14;
constexpr qsizetype kGroupAt = 0x24;
constexpr qsizetype kDaclAt = 0x30;
constexpr qsizetype kAce0At = kDaclAt + 8;
constexpr qsizetype kAce1At = kAce0At + 20;
constexpr qsizetype kEnd = kAce1At + 24;

QByteArray BaseDescriptor()
{
    return BuildSecurityDescriptor(
        Sid("S-1-5-32-544"), Sid("S-1-5-18"), DaclKind::List,
        {{kAccessAllowedAceType, kObjectInheritAce | kContainerInheritAce, 0x001200A9,
          Sid("S-1-1-0")},
         {kAccessDeniedAceType, kInheritedAce, 0x001301BF, Sid("S-1-5-32-545")}});
}

TEST(DescriptorBuildTest, BuildsTheSelfRelativeLayout)
{
    const QByteArray expected = Hex(
        // revision 1, Sbz1, control 0x8004, owner 0x14, group 0x24, SACL 0, DACL 0x30
        "01000480"
        "14000000"
        "24000000"
        "00000000"
        "30000000"
        // owner S-1-5-32-544, group S-1-5-18
        "010200000000000520000000"
        "20020000"
        "010100000000000512000000"
        // ACL revision 2, size 0x34, 2 entries
        "020034000200"
        "0000"
        // allow, OI|CI, size 20, mask 0x001200A9, S-1-1-0
        "00031400a9001200010100000000000100000000"
        // deny, inherited, size 24, mask 0x001301BF, S-1-5-32-545
        "01101800bf011300010200000000000520000000"
        "21020000");
    const QByteArray sd = BaseDescriptor();
    EXPECT_EQ(sd.toHex(), expected.toHex());
    EXPECT_EQ(sd.size(), kEnd);
    EXPECT_TRUE(IsValidSecurityDescriptor(sd));
}

TEST(DescriptorBuildTest, EntrySizesAreRoundedToFourBytes)
{
    // A part of odd length (not a SID) still leaves every entry and part aligned.
    const QByteArray acl = BuildAcl({{kSystemAuditAceType, 0, 1, Hex("aabbcc")}});
    EXPECT_EQ(acl.toHex(), QByteArray("020014000100000002000c0001000000aabbcc00"));
    const QByteArray sd = BuildSecurityDescriptor(Hex("0102"), {}, DaclKind::Null);
    EXPECT_EQ(sd.toHex(), QByteArray("010004801400000000000000000000000000000001020000"));
}

struct DaclKindCase
{
    const char* name;
    DaclKind kind;
    uint16_t control;
    bool present;
    bool null;
};

class DaclKindTest : public ::testing::TestWithParam<DaclKindCase>
{
};

TEST_P(DaclKindTest, ReadsBackWhatWasBuilt)
{
    const DaclKindCase& c = GetParam();
    const QByteArray sd = BuildSecurityDescriptor(Sid("S-1-5-32-544"), {}, c.kind);
    ASSERT_TRUE(IsValidSecurityDescriptor(sd));

    uint16_t control = 0;
    uint32_t revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(sd, control, revision));
    EXPECT_EQ(control, c.control);
    EXPECT_EQ(revision, 1u);

    bool present = !c.present;
    bool defaulted = true;
    QByteArrayView dacl(sd);
    ASSERT_TRUE(GetSecurityDescriptorDacl(sd, present, dacl, defaulted));
    EXPECT_EQ(present, c.present);
    EXPECT_FALSE(defaulted);
    EXPECT_EQ(dacl.data() == nullptr, c.null);
    if (!c.null) {
        // An empty list: a bare header.
        EXPECT_TRUE(Inside(dacl, sd));
        AclSizeInformation info;
        ASSERT_TRUE(GetAclInformation(dacl, info));
        EXPECT_EQ(info.aceCount, 0u);
        EXPECT_EQ(info.aclBytesInUse, 8u);
        EXPECT_EQ(info.aclBytesFree, 0u);
        AceView ace;
        SetOsLastError(0);
        EXPECT_FALSE(GetAce(dacl, 0, ace));
        EXPECT_EQ(GetOsLastError(), kErrorInvalidParameter);
    }
}

const DaclKindCase kDaclKinds[] = {
    {"Absent", DaclKind::Absent, 0x8000, false, true},
    {"Null", DaclKind::Null, 0x8004, true, true},
    {"Empty", DaclKind::List, 0x8004, true, false},
};

INSTANTIATE_TEST_SUITE_P(Cases, DaclKindTest, ::testing::ValuesIn(kDaclKinds),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DescriptorReadTest, EntriesComeBackInOrderWithTypeFlagsMaskAndSid)
{
    struct Expected
    {
        uint8_t type;
        uint8_t flags;
        uint32_t mask;
        const char* sid;
    };
    const Expected expected[] = {
        {kAccessAllowedAceType, kObjectInheritAce | kContainerInheritAce, 0x001F01FF,
         "S-1-5-21-1-2-3-512"},
        {kAccessDeniedAceType, kInheritedAce | kInheritOnlyAce, 0x001301BF, "S-1-1-0"},
        {kSystemAuditAceType, kNoPropagateInheritAce, 0x80000000u, "S-1-5-21-1-2-3-4294967295"},
        {kAccessAllowedAceType, 0, 0x000F01FF, "S-1-5-32-545"},
    };
    QList<AceSpec> specs;
    for (const Expected& e : expected)
        specs.append({e.type, e.flags, e.mask, Sid(e.sid)});
    const QByteArray sd = BuildSecurityDescriptor({}, {}, DaclKind::List, specs);
    ASSERT_TRUE(IsValidSecurityDescriptor(sd));

    bool present = false;
    bool defaulted = false;
    QByteArrayView dacl;
    ASSERT_TRUE(GetSecurityDescriptorDacl(sd, present, dacl, defaulted));
    ASSERT_TRUE(present);
    ASSERT_TRUE(IsValidAcl(dacl));
    AclSizeInformation info;
    ASSERT_TRUE(GetAclInformation(dacl, info));
    ASSERT_EQ(info.aceCount, 4u);
    EXPECT_EQ(info.aclBytesInUse, uint32_t(dacl.size()));
    EXPECT_EQ(info.aclBytesFree, 0u);
    for (uint32_t i = 0; i < info.aceCount; ++i) {
        SCOPED_TRACE(i);
        AceView ace;
        ASSERT_TRUE(GetAce(dacl, i, ace));
        EXPECT_EQ(ace.type, expected[i].type);
        EXPECT_EQ(ace.flags, expected[i].flags);
        EXPECT_EQ(ace.mask, expected[i].mask);
        EXPECT_EQ(ace.size, 8 + GetLengthSid(ace.sid));
        EXPECT_TRUE(Inside(ace.sid, sd));
        EXPECT_EQ(SidToString(ace.sid), QString::fromLatin1(expected[i].sid));
    }
    AceView ace;
    SetOsLastError(0);
    EXPECT_FALSE(GetAce(dacl, info.aceCount, ace));
    EXPECT_EQ(GetOsLastError(), kErrorInvalidParameter);
}

TEST(DescriptorReadTest, OwnerAndGroupEachOptional)
{
    const QByteArray owner = Sid("S-1-5-21-1-2-3-500");
    const QByteArray group = Sid("S-1-5-21-1-2-3-513");
    struct Case
    {
        QByteArray owner, group;
    };
    for (const Case& c : {Case{owner, group}, Case{owner, {}}, Case{{}, group}, Case{{}, {}}}) {
        const QByteArray sd = BuildSecurityDescriptor(c.owner, c.group, DaclKind::Null);
        SCOPED_TRACE(sd.toHex().toStdString());
        ASSERT_TRUE(IsValidSecurityDescriptor(sd));
        QByteArrayView read(sd);
        bool defaulted = true;
        ASSERT_TRUE(GetSecurityDescriptorOwner(sd, read, defaulted));
        EXPECT_EQ(read.toByteArray(), c.owner);
        EXPECT_EQ(read.isNull(), c.owner.isEmpty());
        EXPECT_FALSE(defaulted);
        ASSERT_TRUE(GetSecurityDescriptorGroup(sd, read, defaulted));
        EXPECT_EQ(read.toByteArray(), c.group);
        EXPECT_EQ(read.isNull(), c.group.isEmpty());
    }
}

TEST(DescriptorReadTest, DefaultedBitsAreReported)
{
    QByteArray sd = BuildSecurityDescriptor(Sid("S-1-5-18"), Sid("S-1-5-18"), DaclKind::Null);
    PutLe16(sd, 2, kSeSelfRelative | kSeDaclPresent | kSeDaclDefaulted | 0x0001 | 0x0002);
    bool present = false;
    bool defaulted = false;
    QByteArrayView part;
    ASSERT_TRUE(GetSecurityDescriptorDacl(sd, present, part, defaulted));
    EXPECT_TRUE(defaulted);
    defaulted = false;
    ASSERT_TRUE(GetSecurityDescriptorOwner(sd, part, defaulted));
    EXPECT_TRUE(defaulted);
    defaulted = false;
    ASSERT_TRUE(GetSecurityDescriptorGroup(sd, part, defaulted));
    EXPECT_TRUE(defaulted);
}

TEST(AclReadTest, FreeSpaceAfterTheEntriesIsReported)
{
    QByteArray acl = BuildAcl({{kAccessAllowedAceType, 0, 1, Sid("S-1-1-0")}});
    acl.append(QByteArray(12, '\0'));
    PutLe16(acl, 2, uint16_t(acl.size()));
    ASSERT_TRUE(IsValidAcl(acl));
    AclSizeInformation info;
    ASSERT_TRUE(GetAclInformation(acl, info));
    EXPECT_EQ(info.aceCount, 1u);
    EXPECT_EQ(info.aclBytesInUse, 28u);
    EXPECT_EQ(info.aclBytesFree, 12u);
}

TEST(AclReadTest, BytesAfterTheStatedSizeAreNotPartOfTheList)
{
    // Three whole entries in the buffer, but the size covers two while the count says three.
    QByteArray acl = BuildAcl({{kAccessAllowedAceType, 0, 1, Sid("S-1-1-0")},
                               {kAccessAllowedAceType, 0, 2, Sid("S-1-5-18")},
                               {kAccessAllowedAceType, 0, 3, Sid("S-1-5-32-544")}});
    PutLe16(acl, 2, 8 + 20 + 20);
    AclSizeInformation info;
    ASSERT_TRUE(GetAclInformation(acl, info));
    EXPECT_EQ(info.aceCount, 3u);
    EXPECT_EQ(info.aclBytesInUse, 48u);
    EXPECT_EQ(info.aclBytesFree, 0u);
    AceView ace;
    EXPECT_TRUE(GetAce(acl, 1, ace));
    SetOsLastError(0);
    EXPECT_FALSE(GetAce(acl, 2, ace));
    EXPECT_EQ(GetOsLastError(), kErrorInvalidAcl);
    EXPECT_FALSE(IsValidAcl(acl));
}

TEST(AclReadTest, EntryOfAnotherTypeNeedNotCarryASid)
{
    // An object entry (type 5) starts with flags and GUIDs after its mask; a label entry
    // (0x11) carries a SID there.
    QList<AceSpec> specs = {{5, 0, 0x100, Hex("03000000") + QByteArray(16, '\x7f')},
                            {0x11, 0, 1, Sid("S-1-16-12288")},
                            {9, 0, 2, {}}};
    const QByteArray acl = BuildAcl(specs);
    ASSERT_TRUE(IsValidAcl(acl));
    AceView ace;
    ASSERT_TRUE(GetAce(acl, 0, ace));
    EXPECT_EQ(ace.type, 5);
    EXPECT_TRUE(ace.sid.isNull());
    ASSERT_TRUE(GetAce(acl, 1, ace));
    EXPECT_EQ(SidToString(ace.sid), QStringLiteral("S-1-16-12288"));
    ASSERT_TRUE(GetAce(acl, 2, ace));
    EXPECT_EQ(ace.size, 8);
    EXPECT_TRUE(ace.sid.isNull());
}

TEST(AclReadTest, MoreEntriesAnnouncedThanFitAreSkippedOneByOne)
{
    QByteArray sd = BaseDescriptor();
    PutLe16(sd, kDaclAt + 4, 4); // two entries present, four announced
    bool present = false;
    bool defaulted = false;
    QByteArrayView dacl;
    ASSERT_TRUE(GetSecurityDescriptorDacl(sd, present, dacl, defaulted));
    AclSizeInformation info;
    ASSERT_TRUE(GetAclInformation(dacl, info));
    EXPECT_EQ(info.aceCount, 4u);
    EXPECT_EQ(info.aclBytesInUse, uint32_t(kEnd - kDaclAt));
    EXPECT_EQ(info.aclBytesFree, 0u);
    AceView ace;
    EXPECT_TRUE(GetAce(dacl, 0, ace));
    EXPECT_TRUE(GetAce(dacl, 1, ace));
    for (uint32_t i : {2u, 3u}) {
        SetOsLastError(0);
        EXPECT_FALSE(GetAce(dacl, i, ace));
        EXPECT_EQ(GetOsLastError(), kErrorInvalidAcl);
    }
    SetOsLastError(0);
    EXPECT_FALSE(IsValidAcl(dacl));
    EXPECT_EQ(GetOsLastError(), kErrorInvalidAcl);
    EXPECT_FALSE(IsValidSecurityDescriptor(sd));
}

TEST(AclReadTest, AnEntryWithABadSidDoesNotHideTheNextOne)
{
    QByteArray sd = BaseDescriptor();
    sd[kAce0At + 8] = 2; // SID revision 2 in the first entry; its size is still sound
    bool present = false;
    bool defaulted = false;
    QByteArrayView dacl;
    ASSERT_TRUE(GetSecurityDescriptorDacl(sd, present, dacl, defaulted));
    AceView ace;
    SetOsLastError(0);
    EXPECT_FALSE(GetAce(dacl, 0, ace));
    EXPECT_EQ(GetOsLastError(), kErrorInvalidAcl);
    ASSERT_TRUE(GetAce(dacl, 1, ace));
    EXPECT_EQ(SidToString(ace.sid), QStringLiteral("S-1-5-32-545"));
    EXPECT_FALSE(IsValidSecurityDescriptor(sd));
}

// --- malformed descriptors ---------------------------------------------------------------

enum class Call
{
    Control,
    Owner,
    Group,
    Dacl,
    AclInformation,
    Ace0,
    Ace1,
    AcePastCount,
    Valid
};

// Runs one accessor; the DACL ones first locate the list, which must succeed.
bool CallAccessor(Call call, QByteArrayView sd)
{
    uint16_t control = 0;
    uint32_t revision = 0;
    bool present = false;
    bool defaulted = false;
    QByteArrayView part;
    switch (call) {
    case Call::Control:
        return GetSecurityDescriptorControl(sd, control, revision);
    case Call::Owner:
        return GetSecurityDescriptorOwner(sd, part, defaulted);
    case Call::Group:
        return GetSecurityDescriptorGroup(sd, part, defaulted);
    case Call::Dacl:
        return GetSecurityDescriptorDacl(sd, present, part, defaulted);
    case Call::Valid:
        return IsValidSecurityDescriptor(sd);
    default:
        break;
    }
    EXPECT_TRUE(GetSecurityDescriptorDacl(sd, present, part, defaulted));
    EXPECT_TRUE(present);
    SetOsLastError(0);
    AclSizeInformation info;
    AceView ace;
    switch (call) {
    case Call::AclInformation:
        return GetAclInformation(part, info);
    case Call::Ace0:
        return GetAce(part, 0, ace);
    case Call::Ace1:
        return GetAce(part, 1, ace);
    default:
        return GetAce(part, 2, ace);
    }
}

struct MalformedCase
{
    const char* name;
    void (*change)(QByteArray& sd);
    Call call;
    uint32_t error;
};

class MalformedDescriptorTest : public ::testing::TestWithParam<MalformedCase>
{
};

TEST_P(MalformedDescriptorTest, IsRefusedWithTheRightError)
{
    QByteArray sd = BaseDescriptor();
    GetParam().change(sd);
    SetOsLastError(0);
    EXPECT_FALSE(CallAccessor(GetParam().call, sd));
    EXPECT_EQ(GetOsLastError(), GetParam().error);
    EXPECT_FALSE(IsValidSecurityDescriptor(sd));
}

const MalformedCase kMalformed[] = {
    // The header.
    {"Empty", [](QByteArray& sd) { sd.clear(); }, Call::Control, kErrorInvalidSecurityDescr},
    {"TruncatedHeader", [](QByteArray& sd) { sd.truncate(19); }, Call::Dacl,
     kErrorInvalidSecurityDescr},
    {"RevisionTwo", [](QByteArray& sd) { sd[0] = 2; }, Call::Owner, kErrorInvalidSecurityDescr},
    {"NotSelfRelative", [](QByteArray& sd) { PutLe16(sd, 2, kSeDaclPresent); }, Call::Dacl,
     kErrorInvalidSecurityDescr},
    // Owner and group.
    {"OwnerOffsetPastTheEnd", [](QByteArray& sd) { PutLe32(sd, 4, uint32_t(kEnd)); }, Call::Owner,
     kErrorInvalidSecurityDescr},
    {"OwnerOffsetWraps", [](QByteArray& sd) { PutLe32(sd, 4, 0xFFFFFFFCu); }, Call::Owner,
     kErrorInvalidSecurityDescr},
    {"OwnerOffsetIntoTheHeader", [](QByteArray& sd) { PutLe32(sd, 4, 8); }, Call::Owner,
     kErrorInvalidSecurityDescr},
    {"OwnerOffsetMisaligned", [](QByteArray& sd) { PutLe32(sd, 4, kOwnerAt + 1); }, Call::Owner,
     kErrorInvalidSecurityDescr},
    {"OwnerHeaderPastTheEnd", [](QByteArray& sd) { PutLe32(sd, 4, uint32_t(kEnd - 4)); },
     Call::Owner, kErrorInvalidSecurityDescr},
    {"OwnerSubAuthoritiesPastTheEnd",
     [](QByteArray& sd) {
         PutLe32(sd, 4, uint32_t(kAce1At + 8)); // the last SID in the buffer
         sd[kAce1At + 9] = 3;
     },
     Call::Owner, kErrorInvalidSecurityDescr},
    {"OwnerSidRevisionTwo", [](QByteArray& sd) { sd[kOwnerAt] = 2; }, Call::Owner,
     kErrorInvalidSid},
    {"OwnerSidSixteenSubAuthorities", [](QByteArray& sd) { sd[kOwnerAt + 1] = 16; }, Call::Owner,
     kErrorInvalidSid},
    {"GroupOffsetPastTheEnd", [](QByteArray& sd) { PutLe32(sd, 8, 0x1000); }, Call::Group,
     kErrorInvalidSecurityDescr},
    {"GroupSidRevisionZero", [](QByteArray& sd) { sd[kGroupAt] = 0; }, Call::Group,
     kErrorInvalidSid},
    // Where the DACL lies.
    {"DaclOffsetPastTheEnd", [](QByteArray& sd) { PutLe32(sd, 16, 0x7FFFFFFCu); }, Call::Dacl,
     kErrorInvalidSecurityDescr},
    {"DaclOffsetMisaligned", [](QByteArray& sd) { PutLe32(sd, 16, kDaclAt + 2); }, Call::Dacl,
     kErrorInvalidSecurityDescr},
    {"DaclHeaderPastTheEnd", [](QByteArray& sd) { PutLe32(sd, 16, uint32_t(kEnd - 4)); },
     Call::Dacl, kErrorInvalidSecurityDescr},
    {"AclSizePastTheEnd", [](QByteArray& sd) { PutLe16(sd, kDaclAt + 2, kEnd - kDaclAt + 4); },
     Call::Dacl, kErrorInvalidSecurityDescr},
    {"AclSizeBelowItsHeader", [](QByteArray& sd) { PutLe16(sd, kDaclAt + 2, 4); }, Call::Dacl,
     kErrorInvalidSecurityDescr},
    {"SaclOffsetPastTheEnd",
     [](QByteArray& sd) {
         PutLe16(sd, 2, kSeSelfRelative | kSeDaclPresent | 0x0010);
         PutLe32(sd, 12, 0x1000);
     },
     Call::Valid, kErrorInvalidSecurityDescr},
    // The DACL's own content.
    {"AclRevisionNine", [](QByteArray& sd) { sd[kDaclAt] = 9; }, Call::AclInformation,
     kErrorInvalidAcl},
    {"AclSizeMisaligned",
     [](QByteArray& sd) {
         sd.append(QByteArray(4, '\0'));
         PutLe16(sd, kDaclAt + 2, kEnd - kDaclAt + 2);
     },
     Call::AclInformation, kErrorInvalidAcl},
    {"AceCountLargerThanPresent", [](QByteArray& sd) { PutLe16(sd, kDaclAt + 4, 3); },
     Call::AcePastCount, kErrorInvalidAcl},
    {"AceSizeZero", [](QByteArray& sd) { PutLe16(sd, kAce0At + 2, 0); }, Call::Ace0,
     kErrorInvalidAcl},
    {"AceSizeZeroHidesTheNext", [](QByteArray& sd) { PutLe16(sd, kAce0At + 2, 0); }, Call::Ace1,
     kErrorInvalidAcl},
    {"AceSizeBelowHeaderAndMask", [](QByteArray& sd) { PutLe16(sd, kAce0At + 2, 4); }, Call::Ace0,
     kErrorInvalidAcl},
    {"AceSizePastTheAcl", [](QByteArray& sd) { PutLe16(sd, kAce1At + 2, 28); }, Call::Ace1,
     kErrorInvalidAcl},
    {"AceSizeMisaligned", [](QByteArray& sd) { PutLe16(sd, kAce0At + 2, 18); }, Call::Ace0,
     kErrorInvalidAcl},
    {"AceSidPastTheEntry", [](QByteArray& sd) { sd[kAce0At + 9] = 2; }, Call::Ace0,
     kErrorInvalidAcl},
    {"AceSidPastTheAcl",
     [](QByteArray& sd) {
         // The SID's count reaches into bytes that are in the buffer but not in the list.
         sd.append(QByteArray(8, '\0'));
         sd[kAce1At + 9] = 4;
     },
     Call::Ace1, kErrorInvalidAcl},
};

INSTANTIATE_TEST_SUITE_P(Cases, MalformedDescriptorTest, ::testing::ValuesIn(kMalformed),
                         [](const auto& info) { return std::string(info.param.name); });

// Reads everything an auditor would read, the way the fuzz target does, and checks that
// each view handed back lies inside the buffer.
void ReadEverything(QByteArrayView sd)
{
    QByteArrayView part;
    bool defaulted = false;
    if (GetSecurityDescriptorOwner(sd, part, defaulted) && !part.isNull()) {
        EXPECT_TRUE(Inside(part, sd));
        EXPECT_FALSE(SidToString(part).isEmpty());
    }
    if (GetSecurityDescriptorGroup(sd, part, defaulted) && !part.isNull()) {
        EXPECT_TRUE(Inside(part, sd));
    }
    bool present = false;
    if (!GetSecurityDescriptorDacl(sd, present, part, defaulted) || part.isNull())
        return;
    EXPECT_TRUE(Inside(part, sd));
    AclSizeInformation info;
    if (!GetAclInformation(part, info))
        return;
    EXPECT_LE(info.aclBytesInUse + info.aclBytesFree, uint32_t(part.size()));
    for (uint32_t i = 0; i < info.aceCount; ++i) {
        AceView ace;
        if (GetAce(part, i, ace) && !ace.sid.isNull()) {
            EXPECT_TRUE(Inside(ace.sid, part));
            EXPECT_FALSE(SidToString(ace.sid).isEmpty());
        }
    }
}

TEST(MalformedDescriptorSweepTest, EveryTruncationIsInvalidAndReadSafely)
{
    const QByteArray sd = BaseDescriptor();
    for (qsizetype length = 0; length < sd.size(); ++length) {
        SCOPED_TRACE(length);
        // A copy of exactly `length` bytes, so AddressSanitizer sees a read past it.
        const QByteArray cut(sd.constData(), length);
        EXPECT_FALSE(IsValidSecurityDescriptor(cut));
        ReadEverything(cut);
    }
}

TEST(MalformedDescriptorSweepTest, EverySingleByteChangeIsReadSafely)
{
    const QByteArray base = BaseDescriptor();
    for (qsizetype at = 0; at < base.size(); ++at) {
        for (const char value : {'\x00', '\x01', '\x03', '\x10', '\x7f', '\x80', '\xff'}) {
            QByteArray sd = base;
            sd[at] = value;
            SCOPED_TRACE(sd.toHex().toStdString());
            ReadEverything(sd);
        }
    }
}

} // namespace
