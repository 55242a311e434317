// Reading lab files: the checks that refuse a file (one message naming the file and the
// place), and the defaults that a file may leave out.

#include "platform/lab/LabFile.h"
#include "platform/lab/LabGenerator.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstring>
#include <gtest/gtest.h>
#include <ostream>

using namespace velmora::platform::lab;

static void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}

namespace {

QByteArray Lab(const char* sections)
{
    return QByteArray(R"({ "format": "velmora-lab/1")") + (*sections ? ", " : "") + sections + " }";
}

// A small valid network that the error cases below change one thing of.
const char kCorp[] = R"(
  "domains": [ { "name": "CORP", "sid": "S-1-5-21-1-2-3", "servers": ["DC1", "FS1"] } ],
  "machines": [ { "name": "DC1", "domain": "CORP", "type": "0x0000900B" },
                { "name": "FS1", "domain": "CORP" } ])";

std::optional<LabModel> Parse(const QByteArray& json, QString& error)
{
    return LabFile::Parse(json, QStringLiteral("case.json"), error);
}

// --- refused files -------------------------------------------------------------------

struct RefusedCase
{
    const char* name;
    QByteArray json;
    const char* message; // after `lab file "case.json": `
};

class RefusedFileTest : public ::testing::TestWithParam<RefusedCase>
{
};

TEST_P(RefusedFileTest, NamesThePlaceAndTheReason)
{
    QString error;
    const auto model = Parse(GetParam().json, error);
    EXPECT_FALSE(model.has_value());
    EXPECT_EQ(error,
              QStringLiteral("lab file \"case.json\": ") + QString::fromUtf8(GetParam().message));
}

const RefusedCase kRefused[] = {
    // Unknown fields, at every depth.
    {"UnknownTopLevelField", Lab(R"("machine": [])"), "$.machine: unknown field"},
    {"UnknownMachineField", Lab(R"("domains": [ { "name": "D" } ],
            "machines": [ { "name": "A", "domain": "D" }, { "name": "B", "domain": "D", "typo": 1 } ])"),
     "$.machines[1].typo: unknown field"},
    {"UnknownLocalField", Lab(R"("local": { "computername": "X" })"),
     "$.local.computername: unknown field"},
    {"UnknownProviderField", Lab(R"("providers": [ { "name": "P", "type": 1, "domain": [] } ])"),
     "$.providers[0].domain: unknown field"},
    {"UnknownAccountField",
     Lab(R"("domains": [ { "name": "D", "sid": "S-1-5-21-1", "accounts": [ { "name": "u", "rid": 1000, "kind": "user", "member_of": [] } ] } ])"),
     "$.domains[0].accounts[0].member_of: unknown field"},
    {"UnknownAceField",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D",
            "shares": [ { "name": "S", "root": { "folders": [ { "name": "F",
              "sd": { "dacl": [ { "type": "allow", "sid": "S-1-1-0", "mask": 1, "inherit": [] } ] } } ] } } ] } ])"),
     "$.machines[0].shares[0].root.folders[0].sd.dacl[0].inherit: unknown field"},
    {"UnknownRegistryHive",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D", "registry": { "HKCU": {} } } ])"),
     "$.machines[0].registry.HKCU: unknown field"},
    {"UnknownPingField",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D", "ping": { "reply": true, "rtt": 5 } } ])"),
     "$.machines[0].ping.rtt: unknown field"},
    {"UnknownRegistryValueForm",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D",
            "registry": { "HKLM": { "SOFTWARE\\Vendor": { "Level": { "qword": 1 } } } } } ])"),
     "$.machines[0].registry.HKLM[\"SOFTWARE\\\\Vendor\"].Level.qword: unknown field"},

    // The format itself.
    {"NotAnObject", "[]", "$: expected an object"},
    {"MissingFormat", R"({ "machines": [] })", "$.format: required field missing"},
    {"OtherFormat", R"({ "format": "velmora-lab/2" })",
     "$.format: expected \"velmora-lab/1\", found \"velmora-lab/2\""},

    // Wrong types and malformed values.
    {"NameNotText",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": 7, "domain": "D" } ])"),
     "$.machines[0].name: expected text"},
    {"MissingMachineDomain", Lab(R"("machines": [ { "name": "A" } ])"),
     "$.machines[0].domain: required field missing"},
    {"TypeAsDecimalText",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D", "type": "9003" } ])"),
     "$.machines[0].type: expected a number from 0 to 4294967295 or \"0x...\" text"},
    {"TypeNegative",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D", "type": -1 } ])"),
     "$.machines[0].type: expected a number from 0 to 4294967295 or \"0x...\" text"},
    {"TypeFraction",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D", "type": 1.5 } ])"),
     "$.machines[0].type: expected a number from 0 to 4294967295 or \"0x...\" text"},
    {"TypeTooLarge",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D", "type": 4294967296 } ])"),
     "$.machines[0].type: expected a number from 0 to 4294967295 or \"0x...\" text"},
    {"TypeAndTypeError",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D", "type": 3, "type_error": 53 } ])"),
     "$.machines[0].type_error: a machine gives either type or type_error"},
    {"PingReplyNotBool",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D", "ping": { "reply": "yes" } } ])"),
     "$.machines[0].ping.reply: expected true or false"},
    {"PingNoReplyWithRoundTrip",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D", "ping": { "reply": false, "rtt_ms": 5 } } ])"),
     "$.machines[0].ping.rtt_ms: no reply has no round trip"},
    {"AddressNotIpv4",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D", "address": "10.0.0.256" } ])"),
     "$.machines[0].address: expected IPv4 text (\"10.1.2.3\") or null"},
    {"AdmitsWithoutDomain",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D", "admits": ["D\\x", "bob"] } ])"),
     "$.machines[0].admits[1]: expected \"DOMAIN\\\\name\""},
    {"AdmitsNeitherStarNorList",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D", "admits": "all" } ])"),
     "$.machines[0].admits: expected \"*\" or a list of \"DOMAIN\\\\name\""},
    {"CredentialPasswordMissing",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D", "credentials": [ { "user": "D\\x" } ] } ])"),
     "$.machines[0].credentials[0].password: required field missing"},
    {"CredentialPasswordNumber",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D", "credentials": { "user": "D\\x", "password": 1234 } } ])"),
     "$.machines[0].credentials.password: expected text or null"},
    {"MalformedSid", Lab(R"("domains": [ { "name": "D", "sid": "S-1-5-21-x" } ])"),
     "$.domains[0].sid: expected a SID (\"S-1-...\")"},
    {"RawSidOddHex",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D",
            "shares": [ { "name": "S", "sd": { "dacl": [ { "type": 0, "raw_sid": "0105000", "mask": 1 } ] } } ] } ])"),
     "$.machines[0].shares[0].sd.dacl[0].raw_sid: expected hex bytes (an even number of hex "
     "digits)"},
    {"AceWithSidAndRawSid",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D",
            "shares": [ { "name": "S", "sd": { "dacl": [ { "type": 0, "sid": "S-1-1-0", "raw_sid": "01", "mask": 1 } ] } } ] } ])"),
     "$.machines[0].shares[0].sd.dacl[0]: an entry gives either sid or raw_sid"},
    {"AceTypeUnknownName",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D",
            "shares": [ { "name": "S", "sd": { "dacl": [ { "type": "permit", "sid": "S-1-1-0", "mask": 1 } ] } } ] } ])"),
     "$.machines[0].shares[0].sd.dacl[0].type: expected \"allow\", \"deny\", \"audit\" or a "
     "number"},
    {"AceFlagUnknown",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D",
            "shares": [ { "name": "S", "sd": { "dacl": [ { "type": "deny", "sid": "S-1-1-0", "mask": 1, "flags": ["inherited", "sticky"] } ] } } ] } ])"),
     "$.machines[0].shares[0].sd.dacl[0].flags[1]: expected one of \"object_inherit\", "
     "\"container_inherit\", \"no_propagate\", \"inherit_only\", \"inherited\""},
    {"DaclOtherText",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D",
            "shares": [ { "name": "S", "sd": { "dacl": "none" } } ] } ])"),
     "$.machines[0].shares[0].sd.dacl: expected a list, null or \"absent\""},
    {"ShareSdOtherText",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D",
            "shares": [ { "name": "S", "sd": "absent" } ] } ])"),
     "$.machines[0].shares[0].sd: expected a security descriptor or \"none\""},
    {"FolderAttributeUnknown",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D",
            "drives": { "C": { "folders": [ { "name": "F", "attributes": ["compressed"] } ] } } } ])"),
     "$.machines[0].drives.C.folders[0].attributes[0]: expected one of \"hidden\", \"system\", "
     "\"readonly\", \"archive\", \"reparse\""},
    {"SubfolderWithoutName",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D",
            "shares": [ { "name": "S", "root": { "folders": [ {} ] } } ] } ])"),
     "$.machines[0].shares[0].root.folders[0].name: required field missing"},
    {"RootWithName",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D",
            "shares": [ { "name": "S", "root": { "name": "S" } } ] } ])"),
     "$.machines[0].shares[0].root.name: a root folder has no name"},
    {"JunctionWithOwnFolders",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D",
            "shares": [ { "name": "S", "root": { "folders": [ { "name": "T" },
              { "name": "J", "link": "\\T", "folders": [ { "name": "X" } ] } ] } } ] } ])"),
     "$.machines[0].shares[0].root.folders[1].link: a junction lists its target; it has no "
     "folders or files of its own"},
    {"DriveNotALetter",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D", "drives": { "CD": {} } } ])"),
     "$.machines[0].drives.CD: expected a drive letter"},
    {"ServiceStateUnknown",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D", "services": { "Spooler": "paused" } } ])"),
     "$.machines[0].services.Spooler: expected \"running\" or \"stopped\""},
    {"RegistryOtherText",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D", "registry": "closed" } ])"),
     "$.machines[0].registry: expected an object, \"refused\" or \"unreachable\""},
    {"ExtendedErrorWithoutExtendedOpenError",
     Lab(R"("providers": [ { "name": "P", "type": 1, "open_error": 1222, "extended_error": { "code": 5 } } ])"),
     "$.providers[0].extended_error: an extended error goes only with open_error 1208"},
    {"EnumErrorAfterWithoutCode",
     Lab(R"("domains": [ { "name": "D", "enum_error_after": { "count": 3 } } ])"),
     "$.domains[0].enum_error_after.code: required field missing"},
    {"AccountKindUnknown",
     Lab(R"("domains": [ { "name": "D", "sid": "S-1-5-21-1", "accounts": [ { "name": "u", "rid": 1000, "kind": "person" } ] } ])"),
     "$.domains[0].accounts[0].kind: expected \"user\", \"group\", \"alias\", \"wellknown\" or "
     "\"trust\""},
    {"AccountWithoutRidOrSid",
     Lab(R"("domains": [ { "name": "D", "sid": "S-1-5-21-1", "accounts": [ { "name": "u", "kind": "user" } ] } ])"),
     "$.domains[0].accounts[0]: an account gives either rid or sid"},
    {"AliasWithGroups", Lab(R"("domains": [ { "name": "D", "sid": "S-1-5-21-1", "accounts": [
            { "name": "G", "rid": 1001, "kind": "group" },
            { "name": "A", "rid": 1002, "kind": "alias", "groups": ["G"] } ] } ])"),
     "$.domains[0].accounts[1].groups: only users and groups have groups"},

    // Names listed twice.
    {"MachineListedTwice",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "fs1", "domain": "D" }, { "name": "FS1", "domain": "D" } ])"),
     "$.machines[1].name: \"FS1\" is listed twice"},
    {"ServerListedTwiceWithPrefix",
     Lab(R"("domains": [ { "name": "D", "servers": ["A", "\\\\a"] } ], "machines": [ { "name": "A", "domain": "D" } ])"),
     "$.domains[0].servers[1]: \"\\\\a\" is listed twice"},
    {"ShareListedTwice",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D", "shares": [ { "name": "S" }, { "name": "s" } ] } ])"),
     "$.machines[0].shares[1].name: \"s\" is listed twice"},
    {"AddressGivenTwice",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D", "address": "10.1.1.1" },
                                                          { "name": "B", "domain": "D", "address": "10.1.1.1" } ])"),
     "$.machines[1].address: address already given to \"A\""},

    // Broken references.
    {"MachineDomainUnknown",
     Lab(R"("domains": [ { "name": "CORP" } ], "machines": [ { "name": "A", "domain": "CROP" } ])"),
     "$.machines[0].domain: no domain \"CROP\" in domains"},
    {"ServerNotAMachine",
     Lab(R"("domains": [ { "name": "CORP", "servers": ["DC1", "\\\\FS9"] } ], "machines": [ { "name": "DC1", "domain": "CORP" } ])"),
     "$.domains[0].servers[1]: no machine \"FS9\" in machines"},
    {"GroupNotInDomain", Lab(R"("domains": [ { "name": "CORP", "sid": "S-1-5-21-1", "accounts": [
            { "name": "bob", "rid": 1000, "kind": "user", "groups": ["Domain Admins"] } ] } ])"),
     "$.domains[0].accounts[0].groups[0]: no account \"Domain Admins\" in domain \"CORP\""},
    {"GroupIsAUser", Lab(R"("domains": [ { "name": "CORP", "sid": "S-1-5-21-1", "accounts": [
            { "name": "bob", "rid": 1000, "kind": "user", "groups": ["alice"] },
            { "name": "alice", "rid": 1001, "kind": "user" } ] } ])"),
     "$.domains[0].accounts[0].groups[0]: \"alice\" is not a group (kind \"group\")"},
    {"RidInWorkgroup",
     Lab(R"("domains": [ { "name": "WG", "accounts": [ { "name": "bob", "rid": 1000, "kind": "user" } ] } ])"),
     "$.domains[0].accounts[0].rid: a rid needs a domain sid; give the whole sid instead"},
    {"JunctionTargetMissing",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D",
            "shares": [ { "name": "S", "root": { "folders": [ { "name": "Data", "folders": [ { "name": "Old" } ] },
              { "name": "J", "link": "\\Data\\New" } ] } } ] } ])"),
     "$.machines[0].shares[0].root.folders[1].link: no folder \"\\Data\\New\" in this tree"},
};

INSTANTIATE_TEST_SUITE_P(Cases, RefusedFileTest, ::testing::ValuesIn(kRefused),
                         [](const auto& info) { return std::string(info.param.name); });

// --- syntax errors and unreadable files -------------------------------------------------

struct SyntaxCase
{
    const char* name;
    QByteArray json;
    int line;
    int column;
};

class SyntaxErrorTest : public ::testing::TestWithParam<SyntaxCase>
{
};

TEST_P(SyntaxErrorTest, GivesLineAndColumn)
{
    QString error;
    EXPECT_FALSE(Parse(GetParam().json, error).has_value());
    const QString place = QStringLiteral("lab file \"case.json\": line %1, column %2: ")
                              .arg(GetParam().line)
                              .arg(GetParam().column);
    EXPECT_TRUE(error.startsWith(place)) << error.toStdString();
    EXPECT_GT(error.size(), place.size()) << "the parser's reason follows the place";
}

// The place is where the parser stopped: at or just past the token it could not take.
const SyntaxCase kSyntax[] = {
    {"MissingCommaOnThirdLine", "{\n  \"format\": \"velmora-lab/1\"\n  \"machines\": []\n}", 3, 4},
    {"UnterminatedList",
     "{\n  \"format\": \"velmora-lab/1\",\n  \"domains\": [ { \"name\": \"D\" }\n}", 4, 2},
    // Columns count characters, not bytes: "é" and "ü" are two bytes each in UTF-8.
    {"ColumnAfterNonAscii", "{ \"format\": \"velmora-lab/1\",\n  \"é\": \"ü\" x }", 2, 13},
    {"NonAsciiCharacterItself", "{ \"format\": é }", 1, 13},
    {"EmptyFile", "", 1, 1},
};

INSTANTIATE_TEST_SUITE_P(Cases, SyntaxErrorTest, ::testing::ValuesIn(kSyntax),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LabFileTest, MissingFileIsNamed)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("absent.json"));
    QString error;
    EXPECT_FALSE(LabFile::Read(path, error).has_value());
    EXPECT_TRUE(error.startsWith(QStringLiteral("lab file \"") + path +
                                 QStringLiteral("\": cannot be opened: ")))
        << error.toStdString();
}

TEST(LabFileTest, ReadsFromFileAndFromDeviceAlike)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("net.json"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(Lab(kCorp));
    file.close();

    QString error;
    const auto fromFile = LabFile::Read(path, error);
    ASSERT_TRUE(fromFile.has_value()) << error.toStdString();
    EXPECT_EQ(fromFile->fileName, path);
    EXPECT_EQ(fromFile->machines.size(), 2u);

    QBuffer buffer;
    buffer.setData(Lab(R"("machines": [ { "name": "A", "domain": "NOWHERE" } ])"));
    ASSERT_TRUE(buffer.open(QIODevice::ReadOnly));
    EXPECT_FALSE(LabFile::Read(buffer, QStringLiteral("memory"), error).has_value());
    EXPECT_EQ(error, QStringLiteral("lab file \"memory\": $.machines[0].domain: no domain "
                                    "\"NOWHERE\" in domains"));
}

// --- what a file may leave out ----------------------------------------------------------

TEST(LabFileDefaultsTest, LocalComputerAndUser)
{
    QString error;
    const auto model = Parse(Lab(""), error);
    ASSERT_TRUE(model.has_value()) << error.toStdString();
    EXPECT_EQ(model->local.computer, QStringLiteral("ADMINPC"));
    EXPECT_EQ(model->local.user, QStringLiteral("LAB\\Administrator"));
    EXPECT_EQ(model->local.primaryDomain.name, QStringLiteral("WORKGROUP"));
    EXPECT_TRUE(model->local.primaryDomain.sid.isEmpty());
    EXPECT_EQ(model->local.registry.access, RegistryAccess::Open);
    EXPECT_FALSE(model->realtime);
}

TEST(LabFileDefaultsTest, Machine)
{
    QString error;
    const auto model = Parse(Lab(kCorp), error);
    ASSERT_TRUE(model.has_value()) << error.toStdString();
    const Machine* fs1 = model->FindMachine(QStringLiteral("\\\\fs1"));
    ASSERT_NE(fs1, nullptr);
    EXPECT_EQ(fs1->type, 0x00009003u);
    EXPECT_FALSE(fs1->typeError.has_value());
    EXPECT_TRUE(fs1->ping.reply);
    EXPECT_EQ(fs1->ping.rttMs, 1u);
    EXPECT_TRUE(fs1->admitsAnyone);
    EXPECT_TRUE(fs1->credentials.empty());
    EXPECT_EQ(fs1->primaryDomain.name, QStringLiteral("CORP"));
    EXPECT_EQ(fs1->primaryDomain.sid, QStringLiteral("S-1-5-21-1-2-3"));
    EXPECT_EQ(model->FindMachine(QStringLiteral("DC1"))->type, 0x0000900Bu);
}

TEST(LabFileDefaultsTest, AddressesAreUniqueAndMayBeAbsent)
{
    // B's written address is what A would have had by counting; A must move on.
    QString error;
    const auto model = Parse(Lab(R"("domains": [ { "name": "D" } ], "machines": [
        { "name": "A", "domain": "D" },
        { "name": "B", "domain": "D", "address": "10.0.0.1" },
        { "name": "C", "domain": "D", "address": null },
        { "name": "E", "domain": "D" } ])"),
                             error);
    ASSERT_TRUE(model.has_value()) << error.toStdString();
    QStringList addresses;
    for (const Machine& machine : model->machines)
        addresses << (machine.address ? Ipv4Text(*machine.address) : QStringLiteral("none"));
    EXPECT_EQ(addresses, (QStringList{QStringLiteral("10.0.0.2"), QStringLiteral("10.0.0.1"),
                                      QStringLiteral("none"), QStringLiteral("10.0.0.3")}));
    EXPECT_EQ(model->FindMachineByAddress(0x0A000002u)->name, QStringLiteral("A"));
}

TEST(LabFileDefaultsTest, SharesFoldersAndDescriptors)
{
    QString error;
    const auto model =
        Parse(Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D",
        "shares": [ { "name": "Plain" },
                    { "name": "Data", "type": "0x80000000",
                      "sd": { "owner": "S-1-5-32-544", "dacl": null },
                      "root": { "folders": [ { "name": "Sub", "attributes": ["hidden", "reparse"],
                                               "sd": { "error": "0x5" } },
                                             { "name": "Open", "sd": { "dacl": "absent" } },
                                             { "name": "Ace", "sd": { "dacl": [
                                               { "type": 17, "raw_sid": "0101", "mask": "0x001F01FF",
                                                 "flags": ["object_inherit", "inherited"] } ] } } ] } } ] } ])"),
              error);
    ASSERT_TRUE(model.has_value()) << error.toStdString();
    const Machine& machine = model->machines[0];
    const Share& plain = machine.shares[0];
    EXPECT_EQ(plain.type, 0u);
    EXPECT_FALSE(plain.sd.has_value());
    EXPECT_FALSE(plain.root.has_value());

    const Share& data = machine.shares[1];
    EXPECT_EQ(data.type, 0x80000000u);
    ASSERT_TRUE(data.sd.has_value());
    EXPECT_EQ(data.sd->daclForm, DaclForm::Null);
    ASSERT_TRUE(data.root.has_value());
    // A folder without a descriptor answers an empty DACL owned by BUILTIN\Administrators.
    EXPECT_EQ(data.root->sd.owner, QStringLiteral("S-1-5-32-544"));
    EXPECT_EQ(data.root->sd.daclForm, DaclForm::List);
    EXPECT_TRUE(data.root->sd.dacl.empty());

    const Folder& sub = data.root->folders[0];
    EXPECT_EQ(sub.attributes, kAttributeDirectory | kAttributeHidden | kAttributeReparsePoint);
    EXPECT_EQ(sub.sdError, 5u);
    EXPECT_EQ(data.root->folders[1].sd.daclForm, DaclForm::Absent);
    const Ace& ace = data.root->folders[2].sd.dacl.at(0);
    EXPECT_EQ(ace.type, 17);
    EXPECT_EQ(ace.rawSid, QByteArray::fromHex("0101"));
    EXPECT_EQ(ace.mask, 0x001F01FFu);
    EXPECT_EQ(ace.flags, kAceObjectInherit | kAceInherited);
}

TEST(LabFileDefaultsTest, AccountsRegistryAndCredentials)
{
    QString error;
    const auto model = Parse(Lab(R"(
        "domains": [ { "name": "CORP", "sid": "S-1-5-21-1-2-3", "accounts": [
            { "name": "bob", "rid": 1104, "kind": "user", "groups": ["Staff"], "lookup": "fails" },
            { "name": "Staff", "rid": "0x451", "kind": "group", "lookup": "alias" },
            { "name": "Everyone", "sid": "S-1-1-0", "kind": "wellknown" } ] } ],
        "machines": [ { "name": "A", "domain": "CORP",
            "credentials": [ { "user": "CORP\\x", "password": null }, { "user": "CORP\\y", "password": "" } ],
            "registry": { "HKLM": { "SOFTWARE\\V": { "": "default", "Path": { "expand": "%SystemRoot%" },
                                                    "Level": { "dword": "0x10" }, "Blob": { "binary": "00ff" } },
                                    "SOFTWARE\\Empty": {} } } },
                      { "name": "B", "domain": "CORP", "registry": "unreachable" } ])"),
                             error);
    ASSERT_TRUE(model.has_value()) << error.toStdString();
    const Domain& corp = model->domains[0];
    EXPECT_EQ(corp.accounts[0].sid, QStringLiteral("S-1-5-21-1-2-3-1104"));
    EXPECT_TRUE(corp.accounts[0].lookupFails);
    EXPECT_EQ(corp.accounts[1].sid, QStringLiteral("S-1-5-21-1-2-3-1105"));
    EXPECT_EQ(corp.accounts[1].lookupKind, AccountKind::Alias);
    EXPECT_FALSE(corp.accounts[2].rid.has_value());

    const Machine& a = model->machines[0];
    EXPECT_TRUE(a.credentials[0].password.isNull());
    EXPECT_FALSE(a.credentials[1].password.isNull());
    EXPECT_TRUE(a.credentials[1].password.isEmpty());

    const auto hklm = a.registry.hives.value(QStringLiteral("HKLM"));
    const auto key = hklm.value(QStringLiteral("SOFTWARE\\V"));
    EXPECT_EQ(key[QString()].text, QStringLiteral("default"));
    EXPECT_EQ(key[QStringLiteral("Path")].kind, RegValueKind::ExpandSz);
    EXPECT_EQ(key[QStringLiteral("Level")].dword, 16u);
    EXPECT_EQ(key[QStringLiteral("Blob")].binary, QByteArray::fromHex("00ff"));
    EXPECT_TRUE(hklm.contains(QStringLiteral("SOFTWARE\\Empty")));
    EXPECT_EQ(model->machines[1].registry.access, RegistryAccess::Unreachable);
}

// --- streaming and whole-document reads ---------------------------------------------------
// A file is read a piece at a time, one machine at once; a device that cannot go back is
// read as one document. Both must give the same model and the same message, also for
// values that straddle the reader's 1 MiB pieces.

// Bytes that can only be read forward, like a pipe: the reader takes the whole-document way.
class SequentialBytes : public QIODevice
{
  public:
    explicit SequentialBytes(QByteArray bytes) : m_bytes(std::move(bytes))
    {
        open(QIODevice::ReadOnly);
    }
    bool isSequential() const override { return true; }

  protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        const qint64 n = std::min<qint64>(maxSize, m_bytes.size() - m_next);
        std::memcpy(data, m_bytes.constData() + m_next, size_t(n));
        m_next += n;
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

  private:
    QByteArray m_bytes;
    qint64 m_next = 0;
};

QString Describe(const SecurityDescriptor& sd)
{
    QString text = sd.owner + QLatin1Char('/') + sd.group + QLatin1Char('/') +
                   QString::number(int(sd.daclForm));
    for (const Ace& ace : sd.dacl)
        text += QStringLiteral(" %1:%2:%3:%4%5")
                    .arg(ace.type)
                    .arg(ace.flags)
                    .arg(ace.mask)
                    .arg(ace.sid, ace.rawSid ? QString::fromLatin1(ace.rawSid->toHex()) : QString());
    return text;
}

void Describe(const Folder& folder, const QString& path, QStringList& out)
{
    out << path + QStringLiteral(" attr=%1 list=%2 link=%3 files=%4 sd=")
                      .arg(folder.attributes)
                      .arg(folder.listError.value_or(0))
                      .arg(folder.link, folder.files.join(QLatin1Char(','))) +
               (folder.sdError ? QStringLiteral("error %1").arg(*folder.sdError)
                               : Describe(folder.sd));
    for (const Folder& child : folder.folders)
        Describe(child, path + QLatin1Char('\\') + child.name, out);
}

// Everything of a model a difference between the two ways could touch.
QStringList Describe(const LabModel& model)
{
    QStringList out;
    out << model.local.computer + QLatin1Char(' ') + model.local.user + QLatin1Char(' ') +
               model.local.primaryDomain.name + QLatin1Char(' ') + model.local.primaryDomain.sid;
    for (const Provider& provider : model.providers)
        out << QStringLiteral("provider %1 %2 %3")
                   .arg(provider.name)
                   .arg(provider.type)
                   .arg(provider.domains.join(QLatin1Char(',')));
    for (const Domain& domain : model.domains) {
        out << QStringLiteral("domain %1 %2 %3")
                   .arg(domain.name, domain.sid, domain.servers.join(QLatin1Char(',')));
        for (const Account& account : domain.accounts)
            out << QStringLiteral("  account %1 %2 %3 %4")
                       .arg(account.name, account.sid)
                       .arg(int(account.kind))
                       .arg(account.groups.join(QLatin1Char(',')));
    }
    for (const Machine& machine : model.machines) {
        out << QStringLiteral("machine %1 %2 type=%3 address=%4 pd=%5/%6 admits=%7 creds=%8 "
                              "ping=%9")
                   .arg(machine.name, machine.domain)
                   .arg(machine.type)
                   .arg(machine.address.value_or(0))
                   .arg(machine.primaryDomain.name, machine.primaryDomain.sid,
                        machine.admitsAnyone ? QStringLiteral("*")
                                             : machine.admits.join(QLatin1Char(',')))
                   .arg(machine.credentials.size())
                   .arg(machine.ping.reply ? machine.ping.rttMs : machine.ping.status);
        for (const Share& share : machine.shares) {
            out << QStringLiteral("  share %1 %2 sd=%3")
                       .arg(share.name)
                       .arg(share.type)
                       .arg(share.sd ? Describe(*share.sd) : QStringLiteral("none"));
            if (share.root)
                Describe(*share.root, QStringLiteral("    ") + share.name, out);
        }
        for (auto it = machine.drives.constBegin(); it != machine.drives.constEnd(); ++it)
            Describe(*it, QStringLiteral("  drive ") + it.key(), out);
        out << QStringLiteral("  registry %1 services %2")
                   .arg(machine.registry.hives.value(QStringLiteral("HKLM")).size())
                   .arg(machine.services.size());
    }
    return out;
}

struct BothWays
{
    std::optional<LabModel> streamed;
    QString streamedError;
    std::optional<LabModel> whole;
    QString wholeError;
};

BothWays ReadBothWays(const QByteArray& json)
{
    BothWays result;
    QBuffer seekable;
    seekable.setData(json);
    seekable.open(QIODevice::ReadOnly);
    result.streamed = LabFile::Read(seekable, QStringLiteral("x"), result.streamedError);
    SequentialBytes sequential(json);
    result.whole = LabFile::Read(sequential, QStringLiteral("x"), result.wholeError);
    return result;
}

QByteArray ReadFile(const QString& path)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    return file.readAll();
}

TEST(LabFileStreamingTest, EveryTestNetworkAndAGeneratedOneReadAlikeBothWays)
{
    std::vector<std::pair<QString, QByteArray>> files;
    const QDir data(QStringLiteral(VELMORA_TEST_DATA_DIR));
    for (const char* name : {"lab_calls.json", "lab_small.json", "netsec_accounts.json",
                             "netsec_enum.json", "netsec_ping.json", "netsec_remote.json"})
        files.emplace_back(QString::fromLatin1(name), ReadFile(data.filePath(QString::fromLatin1(name))));
    files.emplace_back(QStringLiteral("demo.json"),
                       ReadFile(QStringLiteral(VELMORA_SOURCE_DIR "/lab/demo.json")));
    // Larger than the reader's pieces, so values cross their borders.
    LabGeneratorOptions options;
    options.servers = 8;
    options.shares = 2;
    options.depth = 3;
    options.fanout = 5;
    QBuffer generated;
    generated.open(QIODevice::WriteOnly);
    QString error;
    ASSERT_TRUE(GenerateLab(options, generated, error)) << error.toStdString();
    ASSERT_GT(generated.data().size(), 2 << 20);
    files.emplace_back(QStringLiteral("generated"), generated.data());

    for (const auto& [name, json] : files) {
        SCOPED_TRACE(name.toStdString());
        const BothWays read = ReadBothWays(json);
        ASSERT_TRUE(read.whole.has_value()) << read.wholeError.toStdString();
        ASSERT_TRUE(read.streamed.has_value()) << read.streamedError.toStdString();
        EXPECT_EQ(Describe(*read.streamed), Describe(*read.whole));
    }
}

struct SameMessageCase
{
    const char* name;
    QByteArray json;
    const char* message; // after `lab file "x": `; the whole-document read must agree
};

class LabFileSameMessageTest : public ::testing::TestWithParam<SameMessageCase>
{
};

TEST_P(LabFileSameMessageTest, StreamedAndWholeReadsRefuseAlike)
{
    const BothWays read = ReadBothWays(GetParam().json);
    EXPECT_FALSE(read.streamed.has_value());
    EXPECT_FALSE(read.whole.has_value());
    EXPECT_EQ(read.streamedError, read.wholeError);
    if (GetParam().message != nullptr) // else: the JSON parser's own words
        EXPECT_EQ(read.streamedError,
                  QStringLiteral("lab file \"x\": ") + QString::fromUtf8(GetParam().message));
    else
        EXPECT_TRUE(read.streamedError.startsWith(QStringLiteral("lab file \"x\": line ")))
            << read.streamedError.toStdString();
}

const SameMessageCase kSameMessage[] = {
    // Machines are read as they come, but domains are still checked first.
    {"DomainErrorAfterMachineErrorInTheFile",
     R"({ "machines": [ { "name": "A", "domain": "D", "typo": 1 } ], "format": "velmora-lab/1",
          "domains": [ { "name": "D", "sid": "bad" } ] })",
     "$.domains[0].sid: expected a SID (\"S-1-...\")"},
    {"FirstOfTwoMachineErrors",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D" },
            { "name": "B", "domain": "D", "type": "x" }, { "name": "C", "domain": "D", "typo": 1 } ])"),
     "$.machines[1].type: expected a number from 0 to 4294967295 or \"0x...\" text"},
    {"MachineListedTwice",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A", "domain": "D" }, { "name": "a", "domain": "D" } ])"),
     "$.machines[1].name: \"a\" is listed twice"},
    // A syntax error after a refused machine is what the file is refused for.
    {"SyntaxErrorAfterARefusedMachine",
     "{ \"format\": \"velmora-lab/1\", \"domains\": [ { \"name\": \"D\" } ],\n"
     "  \"machines\": [ { \"name\": \"A\", \"domain\": \"D\", \"typo\": 1 },\n"
     "                { \"name\": \"B\" \"domain\": \"D\" } ] }",
     "line 3, column 32: unterminated object"},
    {"UnterminatedMachineList",
     "{ \"format\": \"velmora-lab/1\", \"machines\": [ { \"name\": \"A\" }", nullptr},
    {"TextAfterTheObject", Lab(R"("machines": [])") + " x", nullptr},
    {"MachinesNotAList", Lab(R"("machines": { "name": "A" })"), "$.machines: expected a list"},
    {"TopLevelList", "[ { \"format\": \"velmora-lab/1\" } ]", "$: expected an object"},
    // Brackets, quotes and backslashes inside text do not end a value.
    {"BracketsAndEscapesInText",
     Lab(R"("domains": [ { "name": "D" } ], "machines": [ { "name": "A]} \"x\\", "domain": "D" } ])"),
     "$.machines[0].name: a name has no backslashes"},
};

INSTANTIATE_TEST_SUITE_P(Cases, LabFileSameMessageTest, ::testing::ValuesIn(kSameMessage),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
