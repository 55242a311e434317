// Network connections with alternate credentials: the password markers, the order in which
// credentials are tried, what is left connected, and the texts of the failures.

#include "applib/LastError.h"
#include "netsec/NetApiDfx.h"
#include "netsec/NetworkDfx.h"
#include "platform/lab/LabFile.h"
#include "platform/lab/LabNetwork.h"
#include "support/QtPrinters.h"

#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::netsec;
using namespace velmora::platform;
using velmora::platform::lab::LabFile;
using velmora::platform::lab::LabNetwork;

namespace {

const char kLab[] = R"({
  "format": "velmora-lab/1",
  "local": { "computer": "ADMINPC", "user": "LAB\\auditor" },
  "domains": [ { "name": "LAB", "servers": ["OPEN", "HR", "LOCKED"] } ],
  "providers": [ { "name": "Microsoft Windows Network", "type": "0x00020000", "domains": ["LAB"] } ],
  "machines": [
    { "name": "OPEN", "domain": "LAB" },
    { "name": "HR", "domain": "LAB", "admits": [],
      "credentials": [ { "user": "LAB\\svc_audit", "password": "s3cret" },
                       { "user": "LAB\\svc_assoc", "password": null },
                       { "user": "LAB\\svc_blank", "password": "" } ] },
    { "name": "LOCKED", "domain": "LAB", "registry": "refused", "admits": [],
      "credentials": { "user": "LAB\\svc_audit", "password": "s3cret" } }
  ]
})";

std::unique_ptr<LabNetwork> OpenLab()
{
    QString error;
    auto model = LabFile::Parse(QByteArray(kLab), QStringLiteral("connections.json"), error);
    EXPECT_TRUE(model) << error.toStdString();
    return model ? std::make_unique<LabNetwork>(std::move(*model)) : nullptr;
}

const QString kAssociated(kAssociatedPasswordMarker);
const QString kBlank(kBlankPasswordMarker);

TEST(Connections, PasswordMarkersAndFailures)
{
    struct Case
    {
        const char* user;
        QString password;
        bool ok;
    };
    const Case cases[] = {
        {"LAB\\svc_audit", QStringLiteral("s3cret"), true},
        {"LAB\\svc_audit", QStringLiteral("wrong"), false},
        {"LAB\\svc_assoc", kAssociated, true}, // no password argument at all
        {"LAB\\svc_assoc", QString(), false},  // a null text is an empty password
        {"LAB\\svc_blank", kBlank, true},      // an empty password
        {"LAB\\svc_blank", kAssociated, false},
        {"", QStringLiteral("s3cret"), false}, // the interactive user, not admitted
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.user) + " " + c.password.toStdString());
        auto lab = OpenLab();
        ClearLastErrorForTesting();
        EXPECT_EQ(AddServerConnection(*lab, QStringLiteral("HR"), QString::fromLatin1(c.user),
                                      c.password, 0),
                  c.ok);
        EXPECT_EQ(lab->Connections(), c.ok ? QStringList{QStringLiteral("\\\\HR")} : QStringList{});
        EXPECT_EQ(GetLastErrorText(),
                  c.ok ? QString() : NetApiDFX::NetErrorText(kErrorLogonFailure));
        EXPECT_EQ(CancelServerConnection(*lab, QStringLiteral("\\\\HR"), true), c.ok);
    }
}

TEST(Connections, RegistryWithCredentialsTriesThemInOrder)
{
    const TAltCredentials credentials = {
        {1, QStringLiteral("LAB\\svc_audit"), QStringLiteral("wrong")},
        {1, QStringLiteral("LAB\\svc_blank"), kAssociated},
        {1, QStringLiteral("LAB\\svc_assoc"), kAssociated},
        {1, QStringLiteral("LAB\\svc_audit"), QStringLiteral("s3cret")},
    };
    struct Case
    {
        const char* machine;
        bool ok;
        int usedIndex;
        int connectionsMade;
        QString error;
    };
    const Case cases[] = {
        {"OPEN", true, -1, 0, {}}, // admitted: no credential needed
        // A refused credential's text stays as the latest failure.
        {"HR", true, 2, 1, NetApiDFX::NetErrorText(kErrorLogonFailure)},
        {"LOCKED", false, -1, 1, SystemErrorText(kErrorAccessDenied)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.machine);
        auto lab = OpenLab();
        ClearLastErrorForTesting();
        RegKey key = 0;
        int usedIndex = 99;
        EXPECT_EQ(ConnectRegistryWithCredentials(*lab, QString::fromLatin1(c.machine),
                                                 kHKeyLocalMachine, key, usedIndex, credentials),
                  c.ok);
        EXPECT_EQ(usedIndex, c.usedIndex);
        EXPECT_EQ(GetLastErrorText(), c.error);
        const QString machine = QString::fromLatin1(c.machine);
        EXPECT_EQ(lab->CallCount(machine, QStringLiteral("WNetAddConnection2")),
                  c.usedIndex >= 0 ? c.usedIndex + 1 : (c.connectionsMade ? 4 : 0));
        // Only the connection that opened the registry stays.
        EXPECT_EQ(lab->Connections(),
                  c.usedIndex >= 0 ? QStringList{QStringLiteral("\\\\") + machine} : QStringList{});
        if (c.ok) {
            lab->RegCloseKey(key);
        }
        EXPECT_EQ(lab->OpenRegistryKeys(), 0);
    }
}

TEST(Connections, LocalComputerNames)
{
    auto lab = OpenLab();
    for (const char* name : {"", "\\\\", "ADMINPC", "\\\\adminpc", "\\AdminPC"})
        EXPECT_TRUE(IsLocalComputer(*lab, QString::fromLatin1(name))) << name;
    for (const char* name : {"HR", "\\\\ADMINPC2", "ADMIN"})
        EXPECT_FALSE(IsLocalComputer(*lab, QString::fromLatin1(name))) << name;
}

} // namespace
