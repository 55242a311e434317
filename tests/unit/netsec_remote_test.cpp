// The registry object and the remote machine queries: strict string reads, remote roots,
// version classes, the logged-on user and the loaded hive, shell folders and variables,
// environment expansion, profile folders, admin shares and services. Every test also checks
// that no registry key was left open.

#include "applib/LastError.h"
#include "applib/Log.h"
#include "applib/RegistryDfx.h"
#include "netsec/RemoteQueries.h"
#include "platform/lab/LabNetwork.h"
#include "support/QtPrinters.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::netsec;
using namespace velmora::platform;
using velmora::platform::lab::LabNetwork;

namespace {

const QString kSentinel = QStringLiteral("sentinel");

QString Text(const char* text)
{
    return QString::fromLatin1(text);
}

class RemoteTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        log.SetFileName(dir.path() + QStringLiteral("/netsec.Log"));
        SetProgramLog(&log);
        ClearLastErrorForTesting();
        QString error;
        lab = LabNetwork::Open(QStringLiteral(VELMORA_TEST_DATA_DIR "/netsec_remote.json"), error);
        ASSERT_TRUE(lab) << error.toStdString();
    }
    void TearDown() override
    {
        if (lab) {
            EXPECT_EQ(lab->OpenRegistryKeys(), 0);
        }
        // None of these queries writes to the log.
        QFile file(log.FileName());
        EXPECT_FALSE(file.exists() && file.size() > 0);
        SetProgramLog(nullptr);
        log.Close();
        QFile::remove(TDfxLog::LockFilePath(log.FileName()));
    }
    void Sentinel() { SetLastErrorText(kSentinel, false, kDfxErrorText); }

    QTemporaryDir dir;
    TDfxLog log;
    std::unique_ptr<LabNetwork> lab;
};

TEST_F(RemoteTest, ReadStringExIsStrict)
{
    struct Case
    {
        const char* value;
        bool ok;
        const char* text;
        QString error; // the last-error text afterwards
    };
    const Case cases[] = {
        {"SystemRoot", true, "C:\\Windows", kSentinel},
        {"PathExpand", true, "%SystemRoot%\\Fonts", kSentinel}, // returned unexpanded
        {"Cut", true, "abc", kSentinel},
        {"Nothing", true, "", kSentinel},
        {"Missing", false, "", kSentinel}, // no text of its own
        {"Build", false, "",
         QStringLiteral("ReadStringEX Error: The data must be [rdString, rdExpandString] in "
                        "\"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Build\"")},
    };
    TDfxRegistry registry(*lab, kKeyRead);
    ASSERT_TRUE(registry.ConnectRemote(QStringLiteral("VISTA")));
    ASSERT_TRUE(registry.OpenKeyReadOnly(
        QStringLiteral("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion")));
    EXPECT_EQ(registry.CurrentPath(),
              QStringLiteral("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        Sentinel();
        QString text = QStringLiteral("old");
        EXPECT_EQ(registry.ReadStringEX(Text(c.value), text), c.ok);
        EXPECT_EQ(text, Text(c.text));
        EXPECT_EQ(GetLastErrorText(), c.error);
    }
}

TEST_F(RemoteTest, ValueAndKeyNames)
{
    TDfxRegistry registry(*lab, kKeyRead);
    EXPECT_TRUE(registry.ValueNames().isEmpty()); // no key open
    ASSERT_TRUE(registry.ConnectRemote(QStringLiteral("VISTA")));
    ASSERT_TRUE(registry.OpenKeyReadOnly(
        QStringLiteral("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion")));
    QStringList values = registry.ValueNames();
    values.sort(Qt::CaseInsensitive);
    EXPECT_EQ(values, (QStringList{QStringLiteral("Build"), QStringLiteral("CurrentVersion"),
                                   QStringLiteral("Cut"), QStringLiteral("Nothing"),
                                   QStringLiteral("PathExpand"), QStringLiteral("SystemRoot")}));
    EXPECT_EQ(registry.KeyNames(), QStringList{QStringLiteral("ProfileList")});
    EXPECT_TRUE(registry.ValueExists(QStringLiteral("systemroot")));
    EXPECT_FALSE(registry.ValueExists(QStringLiteral("Missing")));
}

TEST_F(RemoteTest, ConnectRemoteKeepsTheLocalRoot)
{
    for (const char* machine : {"", "ADMINPC", "\\\\adminpc", "\\\\"}) {
        SCOPED_TRACE(machine);
        TDfxRegistry registry(*lab, kKeyRead);
        EXPECT_TRUE(registry.ConnectRemote(Text(machine)));
        EXPECT_EQ(registry.RootKey(), kHKeyLocalMachine);
        // The local registry is read through the predefined key.
        EXPECT_TRUE(
            registry.KeyExists(QStringLiteral("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion")));
    }
    EXPECT_EQ(lab->TotalCallCount(QStringLiteral("RegConnectRegistry")), 0);
}

TEST_F(RemoteTest, ConnectRemoteToOtherMachines)
{
    struct Case
    {
        const char* machine;
        bool ok;
        uint32_t code;
    };
    for (const Case c :
         {Case{"VISTA", true, 0}, Case{"\\\\XP", true, 0},
          Case{"LOCKED", false, kErrorAccessDenied}, Case{"NOSUCH", false, kErrorBadNetPath}}) {
        SCOPED_TRACE(c.machine);
        Sentinel();
        TDfxRegistry registry(*lab, kKeyRead);
        EXPECT_EQ(registry.ConnectRemote(Text(c.machine)), c.ok);
        EXPECT_EQ(registry.RootKey() != kHKeyLocalMachine, c.ok);
        EXPECT_EQ(GetLastErrorText(), c.ok ? kSentinel : SystemErrorText(c.code));
        if (c.ok) {
            EXPECT_TRUE(
                registry.OpenKeyReadOnly(QStringLiteral("SOFTWARE\\Microsoft\\Windows NT")));
            // Relative to the current key, and from the root with a leading backslash.
            EXPECT_TRUE(registry.OpenKeyReadOnly(QStringLiteral("CurrentVersion")));
            EXPECT_EQ(registry.CurrentPath(),
                      QStringLiteral("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"));
            EXPECT_FALSE(registry.OpenKeyReadOnly(QStringLiteral("\\CurrentVersion")));
            EXPECT_EQ(registry.CurrentPath(),
                      QStringLiteral("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"));
            registry.CloseRootKey();
            EXPECT_EQ(registry.RootKey(), kHKeyLocalMachine);
        }
    }
}

TEST(OsClass, ByCurrentVersion)
{
    struct Case
    {
        const char* version;
        int osClass;
    };
    const Case cases[] = {{"3.51", 2}, {"4.0", 3},  {"5.0", 4}, {"5.1", 8},  {"5.2", 9}, {"5.3", 0},
                          {"6.0", 10}, {"6.3", 10}, {"6", 10},  {"10.0", 0}, {"x.1", 0}, {"", 0}};
    for (const Case& c : cases)
        EXPECT_EQ(OsClassOfVersion(Text(c.version)), c.osClass) << c.version;
}

TEST_F(RemoteTest, RemoteOsClass)
{
    struct Case
    {
        const char* machine;
        bool ok;
        int osClass;
    };
    for (const Case c : {Case{"VISTA", true, 10}, Case{"XP", true, 8}, Case{"NT4", true, 3},
                         Case{"", true, 9}, Case{"LOCKED", false, 0}}) {
        SCOPED_TRACE(c.machine);
        int osClass = -1;
        EXPECT_EQ(GetRemoteOsClass(*lab, Text(c.machine), osClass), c.ok);
        EXPECT_EQ(osClass, c.osClass);
        EXPECT_EQ(IsRemoteNT4(*lab, Text(c.machine)), c.osClass == 3);
    }
    RegKey root = 0;
    ASSERT_EQ(lab->RegConnectRegistry(QStringLiteral("VISTA"), kHKeyLocalMachine, root), kNoError);
    EXPECT_TRUE(IsVistaOrLater(*lab, root));
    lab->RegCloseKey(root);
}

TEST_F(RemoteTest, LoggedOnUser)
{
    struct Case
    {
        const char* machine;
        bool ok;
        const char* user;
        const char* domain;
        QString error;
    };
    const Case cases[] = {
        {"VISTA", true, "alice", "CORP", kSentinel},
        {"XP", true, "bob", "CORP", kSentinel},
        {"NT4", false, "carol", "", QStringLiteral("No Default User/Domain name available.")},
        {"", false, "", "", kSentinel}, // a machine name is required
        {"LOCKED", false, "", "", SystemErrorText(kErrorAccessDenied)},
        {"VISTA2", false, "", "",
         QStringLiteral("The registry key \"\\..\\Windows\\CurrentVersion\\Authentication\\"
                        "LogonUI\" cannot be opened or does not exist.")},
        {"VISTA3", false, "", "",
         QStringLiteral("The Registry Value \"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\"
                        "Authentication\\LogonUI\\LastLoggedOnSAMUser\" does not exist")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.machine);
        Sentinel();
        QString user;
        QString domain;
        EXPECT_EQ(GetLoggedOnUser(*lab, Text(c.machine), user, domain), c.ok);
        EXPECT_EQ(user, Text(c.user));
        EXPECT_EQ(domain, Text(c.domain));
        EXPECT_EQ(GetLastErrorText(), c.error);
    }
}

TEST_F(RemoteTest, LoggedOnUserSidAndLoadedHive)
{
    struct Case
    {
        const char* machine;
        bool loggedOn;
        const char* sid;
    };
    // XP's user is known but the hive is not loaded: nobody is logged on now.
    for (const Case c : {Case{"VISTA", true, "S-1-5-21-1-2-3-1001"},
                         Case{"XP", false, "S-1-5-21-1-2-3-1002"}, Case{"NT4", false, ""},
                         // NT 4 loads the user's hive under the SID alone.
                         Case{"NT4B", true, "S-1-5-21-1-2-3-1003"}}) {
        SCOPED_TRACE(c.machine);
        QString sid;
        EXPECT_EQ(GetLoggedOnUserSid(*lab, Text(c.machine), sid), c.loggedOn);
        EXPECT_EQ(sid, Text(c.sid));
        EXPECT_EQ(IsUserLoggedOn(*lab, Text(c.machine)), c.loggedOn);
        EXPECT_EQ(LoggedOnUserSidText(*lab, Text(c.machine)), c.loggedOn ? Text(c.sid) : QString());
    }
}

TEST_F(RemoteTest, RegistryReachability)
{
    EXPECT_TRUE(CanConnectRemoteRegistry(*lab, QStringLiteral("VISTA")));
    EXPECT_TRUE(CanConnectRemoteRegistry(*lab, QString()));
    EXPECT_FALSE(CanConnectRemoteRegistry(*lab, QStringLiteral("LOCKED")));
    EXPECT_EQ(GetLastErrorText(), SystemErrorText(kErrorAccessDenied));

    EXPECT_TRUE(CanOpenUsersKey(*lab, QStringLiteral("VISTA"),
                                QStringLiteral("S-1-5-21-1-2-3-1001_Classes")));
    Sentinel();
    EXPECT_FALSE(CanOpenUsersKey(*lab, QStringLiteral("VISTA"), QStringLiteral("S-1-5-21-9")));
    EXPECT_EQ(GetLastErrorText(), kSentinel); // "not found" is an answer, not a failure
    EXPECT_FALSE(CanOpenUsersKey(*lab, QStringLiteral("LOCKED"), QStringLiteral("S-1-5-18")));
    EXPECT_EQ(GetLastErrorText(), SystemErrorText(kErrorAccessDenied));

    EXPECT_TRUE(RemoteKeyExists(
        *lab, QStringLiteral("XP"), kHKeyLocalMachine,
        QStringLiteral("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon")));
    EXPECT_FALSE(RemoteKeyExists(
        *lab, QStringLiteral("VISTA"), kHKeyLocalMachine,
        QStringLiteral("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon")));
    EXPECT_TRUE(
        RemoteKeyExists(*lab, QStringLiteral("XP"), kHKeyUsers, QStringLiteral("S-1-5-18")));
}

TEST_F(RemoteTest, ShellFolders)
{
    struct Case
    {
        const char* machine;
        int row;
        bool ok;
        const char* path;
        QString error;
    };
    const Case cases[] = {
        {"VISTA", kShellFolderProgramFiles, true, "C:\\Program Files", {}},
        {"VISTA", 29, true, "C:\\Program Files (x86)", {}},
        {"VISTA", kShellFolderSystemRoot, true, "C:\\Windows", {}},
        {"VISTA", kShellFolderSystem, true, "C:\\Windows\\System32", {}},
        {"VISTA", 0, true, "C:\\Users\\alice\\Desktop", {}},
        {"VISTA", 15, true, "C:\\Users\\Public\\Desktop", {}},
        // A value that names a variable of its own: the profile path of row 28.
        {"VISTA", 2, true, "C:\\Users\\alice\\Documents", {}},
        {"VISTA", kShellFolderUserProfile, true, "C:\\Users\\alice", {}},
        {"VISTA", kShellFolderProfiles, true, "C:\\Users", {}},
        {"VISTA", 3, false, "", SystemErrorText(1203)},                    // no such value
        {"VISTA", 20, false, "", SystemErrorText(1203)},                   // an empty value
        {"VISTA", 27, false, "", ErrorCodeText(kDfxExpandVariableFailed)}, // names itself
        {"XP", 0, false, "", SystemErrorText(1245)},                       // nobody logged on
        {"XP", kShellFolderUserProfile, false, "", SystemErrorText(1245)},
        {"LOCKED", kShellFolderProgramFiles, false, "", SystemErrorText(1016)},
        {"VISTA", 37, false, "", SystemErrorText(1016)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.machine << " row " << c.row);
        ClearLastErrorForTesting();
        QString path = QStringLiteral("old");
        EXPECT_EQ(ResolveShellFolder(*lab, Text(c.machine), c.row, path), c.ok);
        if (c.ok) {
            EXPECT_EQ(path, Text(c.path));
        } else {
            EXPECT_EQ(GetLastErrorText(), c.error);
        }
    }
    QString raw;
    EXPECT_EQ(ReadShellFolder(*lab, QStringLiteral("VISTA"), 2, raw), kShellFolderFound);
    EXPECT_EQ(raw, QStringLiteral("%USERPROFILE%\\Documents"));
    EXPECT_EQ(ReadShellFolder(*lab, QStringLiteral("XP"), 0, raw), kShellFolderNoUser);
    EXPECT_EQ(ReadShellFolder(*lab, QStringLiteral("VISTA"), 3, raw), kShellFolderEmpty);
    EXPECT_EQ(ReadShellFolder(*lab, QStringLiteral("LOCKED"), 26, raw), kShellFolderUnreachable);
}

TEST_F(RemoteTest, ShellFolderVariables)
{
    struct Case
    {
        const char* machine;
        const char* text;
        bool ok;
        bool anyFound;
        const char* expanded;
        QString error;
    };
    const Case cases[] = {
        {"VISTA", "plain text", true, false, "plain text", {}},
        {"VISTA",
         "%ProgramFiles%\\App;%programfiles%\\Other;%WINSYSDIR%",
         true,
         true,
         "C:\\Program Files\\App;C:\\Program Files\\Other;C:\\Windows\\System32",
         {}},
        {"VISTA",
         "%SYSTEMROOT% %WINDOWS% %WINDIR%",
         true,
         true,
         "C:\\Windows C:\\Windows C:\\Windows",
         {}},
        {"VISTA", "%PROGRAMFILESX86%", true, true, "C:\\Program Files (x86)", {}},
        {"VISTA", "%FOO%\\x", false, false, "",
         QStringLiteral("The string \"%FOO%\\x\" does not contain a valid Shell Folder Variable")},
        {"VISTA", "%PROGRAMFILES% at 100%", false, true, "",
         QStringLiteral("The string \"C:\\Program Files at 100%\" does not contain a valid Shell "
                        "Folder Variable")},
        {"XP", "%DESKTOP%\\x", false, true, "", SystemErrorText(1245)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ClearLastErrorForTesting();
        QString text = Text(c.text);
        bool anyFound = !c.anyFound;
        EXPECT_EQ(ExpandShellFolderVariables(*lab, Text(c.machine), text, anyFound), c.ok);
        EXPECT_EQ(anyFound, c.anyFound);
        if (c.ok) {
            EXPECT_EQ(text, Text(c.expanded));
        } else {
            EXPECT_EQ(GetLastErrorText(), c.error);
        }
    }
}

TEST_F(RemoteTest, RemoteEnvironment)
{
    struct Case
    {
        const char* machine;
        const char* text;
        bool ok;
        const char* expanded;
        QString error;
    };
    const Case cases[] = {
        {"VISTA", "%SystemDrive%\\Users", true, "C:\\Users", {}},
        {"VISTA", "%TEMP%;%tmp%", true, "C:\\Windows\\Temp;C:\\Windows\\Temp", {}},
        {"VISTA", "%ComSpec% /c", true, "C:\\Windows\\system32\\cmd.exe /c", {}},
        {"VISTA", "%windir%", true, "C:\\Windows", {}},
        {"VISTA", "no variables, 100%", true, "no variables, 100%", {}},
        {"", "%SYSTEMROOT%|%SYSTEMDRIVE%", true, "D:\\WINNT|D:", {}},
        {"VISTA", "%USERPROFILE%", false, "", SystemErrorText(1008)},
        {"NT4", "%TEMP%", false, "",
         QStringLiteral("The registry key \"\\SYSTEM\\CurrentControlSet\\Control\\Session "
                        "Manager\\Environment\" cannot be opened or does not exist.")},
        {"LOCKED", "%TEMP%", false, "", SystemErrorText(kErrorAccessDenied)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.machine) + " " + c.text);
        ClearLastErrorForTesting();
        QString text = Text(c.text);
        EXPECT_EQ(ExpandRemoteEnvironment(*lab, Text(c.machine), text), c.ok);
        if (c.ok) {
            EXPECT_EQ(text, Text(c.expanded));
        } else {
            EXPECT_EQ(GetLastErrorText(), c.error);
        }
    }
}

TEST_F(RemoteTest, ProfileFolders)
{
    struct Case
    {
        const char* machine;
        const char* sid;
        bool ok;
        const char* image;
        const char* profiles;
    };
    const Case cases[] = {
        {"XP", "S-1-5-21-1-2-3-1002", true, "C:\\Documents and Settings\\bob",
         "C:\\Documents and Settings"},
        {"\\\\VISTA", "S-1-5-21-1-2-3-1001", true, "C:\\Users\\alice", "C:\\Users"},
        // The local computer, with a trailing backslash on the profile path.
        {"", "S-1-5-21-1-2-3-1003", true, "D:\\Profiles\\carol\\", "D:\\Profiles"},
        {"XP", "S-1-5-21-1-2-3-1001", false, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.machine) + " " + c.sid);
        QString path;
        EXPECT_EQ(DfxGetProfileImagePath(*lab, Text(c.machine), Text(c.sid), path), c.ok);
        EXPECT_EQ(path, Text(c.image));
        path.clear();
        EXPECT_EQ(DfxGetProfilesDirectory(*lab, Text(c.machine), Text(c.sid), path), c.ok);
        if (c.ok) {
            EXPECT_EQ(path, Text(c.profiles));
        }
    }
    EXPECT_EQ(
        GetLastErrorText(),
        QStringLiteral("The registry key \"\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\"
                       "ProfileList\\S-1-5-21-1-2-3-1001\" cannot be opened or does not exist."));
}

TEST(AdminShare, LocalPathToAdminShare)
{
    struct Case
    {
        const char* machine;
        const char* path;
        const char* share;
    };
    const Case cases[] = {
        {"srv", "C:\\Program Files", "\\\\SRV\\C$\\Program Files"},
        {"\\\\Srv", "d:\\data", "\\\\SRV\\d$\\data"},
        {"srv", "C:", "\\\\SRV\\C$"},
        {"srv", "Program Files", ""},
        {"srv", "\\\\other\\share", ""},
        {"srv", "", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(LocalPathToAdminShare(Text(c.machine), Text(c.path)), Text(c.share)) << c.path;
}

TEST_F(RemoteTest, ServiceRunning)
{
    struct Case
    {
        const char* machine;
        const char* service;
        bool running;
        QString error;
    };
    const Case cases[] = {
        {"VISTA", "Spooler", true, kSentinel},
        {"\\\\VISTA", "spooler", true, kSentinel},
        {"VISTA", "Fax", false, kSentinel},
        {"VISTA", "Nope", false, ErrorCodeText(kErrorServiceDoesNotExist)},
        {"NOSUCH", "Spooler", false, ErrorCodeText(kErrorBadNetPath)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.machine) + " " + c.service);
        Sentinel();
        EXPECT_EQ(IsServiceRunning(*lab, Text(c.machine), Text(c.service)), c.running);
        EXPECT_EQ(GetLastErrorText(), c.error);
    }
}

} // namespace
