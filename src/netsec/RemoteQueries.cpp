#include "netsec/RemoteQueries.h"

#include "applib/DfxFormat.h"
#include "applib/LastError.h"
#include "applib/RegistryDfx.h"
#include "netsec/NetApiDfx.h"
#include "netsec/NetworkDfx.h"
#include "netsec/SecurityDfx.h"

#include <QList>
#include <QPair>
#include <array>

namespace velmora::netsec {

using namespace platform;

namespace {

const QString kCurrentVersionKey =
    QStringLiteral("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");
const QString kWinlogonKey =
    QStringLiteral("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon");
const QString kLogonUiKey =
    QStringLiteral("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Authentication\\LogonUI");
const QString kProfileListKey =
    QStringLiteral("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\");
const QString kEnvironmentKey =
    QStringLiteral("SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment");

constexpr uint32_t kErrorRegistryIoFailed = 1016;
constexpr uint32_t kErrorNoNetOrBadPath = 1203;
constexpr uint32_t kErrorNotLoggedOn = 1245;
constexpr uint32_t kErrorNoToken = 1008;

void StoreKeyCannotOpen(const QString& path, const QString& key)
{
    SetLastErrorFmt(QString::fromLatin1(kRegKeyCannotOpenFmt), {path, key}, false, kDfxErrorText);
}

void StoreValueMissing(const QString& path, const QString& value)
{
    SetLastErrorFmt(QString::fromLatin1(kRegValueMissingFmt), {path, value}, false, kDfxErrorText);
}

// --- Shell folders -----------------------------------------------------------------------

enum class Source
{
    Users,
    Machine,
    Function
};

struct ShellFolderRow
{
    uint8_t code;
    Source source;
    const char* key;   // nullptr: the shell folders key
    const char* value; // the value name, or the function's name
    const char* appended;
};

constexpr char kShellFoldersKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
constexpr char kNtCurrentVersion[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr char kWinCurrentVersion[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

constexpr std::array<ShellFolderRow, kShellFolderRows> kRows = {{
    {0x00, Source::Users, nullptr, "DeskTop", ""},
    {0x02, Source::Users, nullptr, "Programs", ""},
    {0x05, Source::Users, nullptr, "Personal", ""},
    {0x06, Source::Users, nullptr, "Favorites", ""},
    {0x07, Source::Users, nullptr, "Startup", ""},
    {0x08, Source::Users, nullptr, "Recent", ""},
    {0x09, Source::Users, nullptr, "SendTo", ""},
    {0x0B, Source::Users, nullptr, "Start Menu", ""},
    {0x10, Source::Users, nullptr, "DeskTop", ""},
    {0x13, Source::Users, nullptr, "NetHood", ""},
    {0x14, Source::Users, nullptr, "Fonts", ""},
    {0x15, Source::Users, nullptr, "Templates", ""},
    {0x16, Source::Machine, nullptr, "Common Start Menu", ""},
    {0x17, Source::Machine, nullptr, "Common Programs", ""},
    {0x18, Source::Machine, nullptr, "Common Startup", ""},
    {0x19, Source::Machine, nullptr, "Common Desktop", ""},
    {0x1A, Source::Users, nullptr, "Appdata", ""},
    {0x1B, Source::Users, nullptr, "PrintHood", ""},
    {0x1C, Source::Users, nullptr, "Local AppData", ""},
    {0x1F, Source::Machine, nullptr, "Common Favorites", ""},
    {0x20, Source::Users, nullptr, "Cache", ""},
    {0x21, Source::Users, nullptr, "Cookies", ""},
    {0x22, Source::Users, nullptr, "History", ""},
    {0x23, Source::Machine, nullptr, "Common AppData", ""},
    {0x24, Source::Machine, kNtCurrentVersion, "SystemRoot", ""},
    {0x25, Source::Machine, kNtCurrentVersion, "SystemRoot", "\\System32"},
    {0x26, Source::Machine, kWinCurrentVersion, "ProgramFilesDir", ""},
    {0x27, Source::Users, nullptr, "My Pictures", ""},
    {0x28, Source::Function, nullptr, "DfxGetProfileImagePath", ""},
    {0x2A, Source::Machine, kWinCurrentVersion, "ProgramFilesDir (x86)", ""},
    {0x2D, Source::Machine, nullptr, "Common Templates", ""},
    {0x2E, Source::Machine, nullptr, "Common Documents", ""},
    {0x2F, Source::Machine, nullptr, "Common Administrative Tools", ""},
    {0x30, Source::Users, nullptr, "Administrative Tools", ""},
    {0x3E, Source::Function, nullptr, "DfxGetProfilesDirectory", ""},
    {0x3F, Source::Machine, "SOFTWARE\\Microsoft\\SchedulingAgent", "TasksFolder", ""},
    {0x40, Source::Users, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\GrpConv\\MapGroups",
     "Quick Launch", ""},
}};

struct VariableName
{
    const char* name;
    uint8_t code;
};

// In search order: the first name found in a text is expanded first.
constexpr std::array<VariableName, 38> kVariables = {{
    {"%WINSYSDIR%", 0x25},
    {"%WINDIR%", 0x24},
    {"%DESKTOP%", 0x00},
    {"%PROGRAMS%", 0x02},
    {"%PERSONAL%", 0x05},
    {"%FAVORITES%", 0x06},
    {"%STARTUP%", 0x07},
    {"%RECENT%", 0x08},
    {"%SENDTO%", 0x09},
    {"%STARTMENU%", 0x0B},
    {"%DESKTOPDIRECTORY%", 0x10},
    {"%NETHOOD%", 0x13},
    {"%FONTS%", 0x14},
    {"%TEMPLATES%", 0x15},
    {"%COMMONSTARTMENU%", 0x16},
    {"%COMMONPROGRAMS%", 0x17},
    {"%COMMONSTARTUP%", 0x18},
    {"%COMMONDESKTOPDIRECTORY%", 0x19},
    {"%APPDATA%", 0x1A},
    {"%PRINTHOOD%", 0x1B},
    {"%LOCALAPPDATA%", 0x1C},
    {"%COMMONFAVORITES%", 0x1F},
    {"%INTERNETCACHE%", 0x20},
    {"%COOKIES%", 0x21},
    {"%HISTORY%", 0x22},
    {"%COMMONAPPDATA%", 0x23},
    {"%WINDOWS%", 0x24},
    {"%SYSTEMROOT%", 0x24},
    {"%SYSTEM%", 0x25},
    {"%PROGRAMFILES%", 0x26},
    {"%PROGRAMFILESX86%", 0x2A},
    {"%MYPICTURES%", 0x27},
    {"%USERPROFILE%", 0x28},
    {"%PROFILEDIRECTORY%", 0x28},
    {"%COMMONTEMPLATES%", 0x2D},
    {"%COMMONDOCUMENTS%", 0x2E},
    {"%COMMONADMINTOOLS%", 0x2F},
    {"%ADMINTOOLS%", 0x30},
}};

int RowOfCode(uint8_t code)
{
    for (size_t i = 0; i < kRows.size(); ++i) {
        if (kRows[i].code == code)
            return int(i);
    }
    return -1;
}

// The folder functions that rows name, looked up by name as the rows give it.
using FolderFunction = bool (*)(Network&, const QString&, const QString&, QString&);
struct NamedFunction
{
    const char* name;
    FolderFunction function;
};
const std::array<NamedFunction, 2> kFolderFunctions = {{
    {"DfxGetProfileImagePath", &DfxGetProfileImagePath},
    {"DfxGetProfilesDirectory", &DfxGetProfilesDirectory},
}};

FolderFunction FindFolderFunction(const char* name)
{
    for (const NamedFunction& entry : kFolderFunctions) {
        if (qstrcmp(entry.name, name) == 0)
            return entry.function;
    }
    return nullptr;
}

// A shell-folder value may name variables whose folders name variables again; a value that
// leads back to itself would never end.
thread_local int t_expansionDepth = 0;
constexpr int kMaxExpansionDepth = 8;

// --- Environment -------------------------------------------------------------------------

using Environment = QList<QPair<QString, QString>>; // "%NAME%" -> value

// Replaces each "%TOKEN%" from left to right; a replaced value is not scanned again, so a
// value that holds its own token cannot loop.
bool ExpandWith(const Environment& environment, QString& text)
{
    QString result;
    qsizetype from = 0;
    for (;;) {
        const qsizetype open = text.indexOf(QLatin1Char('%'), from);
        const qsizetype close = open < 0 ? -1 : text.indexOf(QLatin1Char('%'), open + 1);
        if (close < 0) {
            result += text.mid(from);
            break;
        }
        const QString token = text.mid(open, close - open + 1).toUpper();
        const QString* value = nullptr;
        for (const auto& entry : environment) {
            if (entry.first == token) {
                value = &entry.second;
                break;
            }
        }
        if (value == nullptr) {
            SetLastErrorCode(kErrorNoToken, false);
            return false;
        }
        result += text.mid(from, open - from) + *value;
        from = close + 1;
    }
    text = result;
    return true;
}

// "C:" of "C:\WINDOWS", "\\SRV\SHARE" of a UNC root.
QString DrivePart(const QString& path)
{
    if (path.size() >= 2 && path.at(1) == QLatin1Char(':'))
        return path.left(2);
    if (path.startsWith(QLatin1String("\\\\"))) {
        const qsizetype server = path.indexOf(QLatin1Char('\\'), 2);
        if (server < 0)
            return path;
        const qsizetype share = path.indexOf(QLatin1Char('\\'), server + 1);
        return share < 0 ? path : path.left(share);
    }
    return QString();
}

bool ReadVersionClass(TDfxRegistry& registry, int& osClass)
{
    if (!registry.OpenKeyReadOnly(kCurrentVersionKey)) {
        StoreKeyCannotOpen(registry.CurrentPath(), kCurrentVersionKey);
        return false;
    }
    QString version;
    registry.ReadStringEX(QStringLiteral("CurrentVersion"), version);
    osClass = OsClassOfVersion(version);
    return true;
}

} // namespace

int OsClassOfVersion(const QString& currentVersion)
{
    const qsizetype dot = currentVersion.indexOf(QLatin1Char('.'));
    const QString majorText = dot < 0 ? currentVersion : currentVersion.left(dot);
    const QString minorText = dot < 0 ? QString() : currentVersion.mid(dot + 1);
    bool ok = false;
    int major = majorText.toInt(&ok);
    if (!ok)
        major = 0;
    int minor = minorText.toInt(&ok);
    if (!ok)
        minor = 0;
    switch (major) {
    case 3:
        return 2;
    case 4:
        return 3;
    case 5:
        return minor == 0 ? 4 : minor == 1 ? 8 : minor == 2 ? 9 : 0;
    case 6:
        return 10;
    default:
        return 0;
    }
}

bool GetRemoteOsClass(Network& network, const QString& machine, int& osClass)
{
    osClass = 0;
    TDfxRegistry registry(network, kKeyRead);
    if (!machine.isEmpty() && !registry.ConnectRemote(machine))
        return false;
    return ReadVersionClass(registry, osClass);
}

bool IsRemoteNT4(Network& network, const QString& machine)
{
    int osClass = 0;
    return GetRemoteOsClass(network, machine, osClass) && osClass == 3;
}

bool IsVistaOrLater(Network& network, RegKey rootKey)
{
    TDfxRegistry registry(network, kKeyRead);
    registry.SetRootKey(rootKey); // borrowed: the caller closes it
    int osClass = 0;
    return ReadVersionClass(registry, osClass) && osClass == 10;
}

bool GetLoggedOnUser(Network& network, const QString& machine, QString& userName,
                     QString& domainName)
{
    userName.clear();
    domainName.clear();
    if (machine.isEmpty())
        return false;
    TDfxRegistry registry(network, kKeyRead);
    if (!registry.ConnectRemote(machine))
        return false;
    if (registry.KeyExists(QStringLiteral("Software\\Wow6432Node")))
        registry.SetAccess(registry.Access() | kKeyWow6464Key);

    if (IsVistaOrLater(network, registry.RootKey())) {
        if (!registry.OpenKeyReadOnly(kLogonUiKey)) {
            StoreKeyCannotOpen(
                registry.CurrentPath(),
                QStringLiteral("..\\Windows\\CurrentVersion\\Authentication\\LogonUI"));
            return false;
        }
        const QString value = QStringLiteral("LastLoggedOnSAMUser");
        QString samUser;
        if (!registry.ValueExists(value)) {
            StoreValueMissing(registry.CurrentPath(), value);
            return false;
        }
        if (!registry.ReadStringEX(value, samUser))
            return false;
        const qsizetype slash = samUser.indexOf(QLatin1Char('\\'));
        domainName = slash < 0 ? QString() : samUser.left(slash);
        userName = samUser.mid(slash + 1);
        return true;
    }

    bool haveUser = false;
    bool haveDomain = false;
    if (registry.OpenKeyReadOnly(kWinlogonKey)) {
        haveUser = registry.ValueExists(QStringLiteral("DefaultUserName")) &&
                   registry.ReadStringEX(QStringLiteral("DefaultUserName"), userName);
        haveDomain = registry.ValueExists(QStringLiteral("DefaultDomainName")) &&
                     registry.ReadStringEX(QStringLiteral("DefaultDomainName"), domainName);
    }
    if (haveUser && haveDomain)
        return true;
    SetLastErrorText(QStringLiteral("No Default User/Domain name available."), false,
                     kDfxErrorText);
    return false;
}

bool GetLoggedOnUserSid(Network& network, const QString& machine, QString& sidText)
{
    sidText.clear();
    QString user;
    QString domain;
    if (!GetLoggedOnUser(network, machine, user, domain))
        return false;
    if (!AccountSidText(network, domain, user, sidText))
        return false;
    // NT 4 keeps no separate classes hive; later systems load "<SID>_Classes" with the user.
    const QString hive =
        IsRemoteNT4(network, machine) ? sidText : sidText + QStringLiteral("_Classes");
    return CanOpenUsersKey(network, machine, hive);
}

QString LoggedOnUserSidText(Network& network, const QString& machine)
{
    QString sidText;
    return GetLoggedOnUserSid(network, machine, sidText) ? sidText : QString();
}

bool IsUserLoggedOn(Network& network, const QString& machine)
{
    QString sidText;
    return GetLoggedOnUserSid(network, machine, sidText);
}

bool CanOpenUsersKey(Network& network, const QString& machine, const QString& subKey)
{
    RegKey users = 0;
    const uint32_t connected = ConnectRegistry(network, machine, kHKeyUsers, users);
    if (connected != kNoError) {
        SetLastErrorCode(connected, false);
        return false;
    }
    RegKey key = 0;
    const uint32_t opened = network.RegOpenKeyEx(users, subKey, kKeyRead, key);
    if (opened == kNoError)
        network.RegCloseKey(key);
    else if (opened != kErrorFileNotFound)
        SetLastErrorCode(opened, false);
    network.RegCloseKey(users);
    return opened == kNoError;
}

bool CanConnectRemoteRegistry(Network& network, const QString& machine)
{
    RegKey key = 0;
    const uint32_t status = ConnectRegistry(network, machine, kHKeyLocalMachine, key);
    if (status != kNoError) {
        SetLastErrorCode(status, false);
        return false;
    }
    network.RegCloseKey(key);
    return true;
}

bool RemoteKeyExists(Network& network, const QString& machine, RegKey rootKey, const QString& key)
{
    RegKey root = 0;
    const uint32_t status = ConnectRegistry(network, machine, rootKey, root);
    if (status != kNoError) {
        SetLastErrorCode(status, false);
        return false;
    }
    RegKey opened = 0;
    const bool exists = network.RegOpenKeyEx(root, key, kKeyRead, opened) == kNoError;
    if (exists)
        network.RegCloseKey(opened);
    network.RegCloseKey(root);
    return exists;
}

int ReadShellFolder(Network& network, const QString& machine, int row, QString& path)
{
    path.clear();
    if (row < 0 || row >= kShellFolderRows)
        return kShellFolderUnreachable;
    const ShellFolderRow& entry = kRows[size_t(row)];

    if (entry.source == Source::Function) {
        const QString sid = LoggedOnUserSidText(network, machine);
        if (sid.isEmpty())
            return kShellFolderNoUser;
        const FolderFunction function = FindFolderFunction(entry.value);
        if (function == nullptr || !function(network, machine, sid, path))
            return kShellFolderUnreachable;
        return path.isEmpty() ? kShellFolderEmpty : kShellFolderFound;
    }

    TDfxRegistry registry(network, kKeyRead);
    registry.SetRootKey(entry.source == Source::Users ? kHKeyUsers : kHKeyLocalMachine);
    if (!registry.ConnectRemote(machine))
        return kShellFolderUnreachable;
    QString key = QString::fromLatin1(entry.key != nullptr ? entry.key : kShellFoldersKey);
    if (entry.source == Source::Users) {
        const QString sid = LoggedOnUserSidText(network, machine);
        if (sid.isEmpty())
            return kShellFolderNoUser;
        key = sid + QLatin1Char('\\') + key;
    }
    if (!registry.OpenKeyReadOnly(key))
        return kShellFolderUnreachable;
    const QString value = QString::fromLatin1(entry.value);
    if (registry.ValueExists(value) && registry.ReadStringEX(value, path) && !path.isEmpty())
        path += QString::fromLatin1(entry.appended);
    return path.isEmpty() ? kShellFolderEmpty : kShellFolderFound;
}

bool ResolveShellFolder(Network& network, const QString& machine, int row, QString& path)
{
    switch (ReadShellFolder(network, machine, row, path)) {
    case kShellFolderFound:
        break;
    case kShellFolderNoUser:
        SetLastErrorCode(kErrorNotLoggedOn, false);
        return false;
    case kShellFolderEmpty:
        SetLastErrorCode(kErrorNoNetOrBadPath, false);
        return false;
    default:
        SetLastErrorCode(kErrorRegistryIoFailed, false);
        return false;
    }
    bool anyFound = false;
    return ExpandShellFolderVariables(network, machine, path, anyFound);
}

bool ExpandShellFolderVariables(Network& network, const QString& machine, QString& text,
                                bool& anyFound)
{
    anyFound = false;
    if (t_expansionDepth >= kMaxExpansionDepth) {
        SetLastErrorCode(kDfxExpandVariableFailed, false);
        return false;
    }
    ++t_expansionDepth;
    struct Leave
    {
        ~Leave() { --t_expansionDepth; }
    } leave;

    while (text.contains(QLatin1Char('%'))) {
        const QString upper = text.toUpper();
        const VariableName* found = nullptr;
        for (const VariableName& variable : kVariables) {
            if (upper.contains(QLatin1String(variable.name))) {
                found = &variable;
                break;
            }
        }
        if (found == nullptr) {
            SetLastErrorFmt(QString::fromLatin1(kNoShellFolderVariableFmt), {text}, false,
                            kDfxErrorText);
            return false;
        }
        anyFound = true;
        QString folder;
        if (!ResolveShellFolder(network, machine, RowOfCode(found->code), folder))
            return false;
        text.replace(QLatin1String(found->name), folder, Qt::CaseInsensitive);
    }
    return true;
}

bool ExpandRemoteEnvironment(Network& network, const QString& machine, QString& text)
{
    TDfxRegistry registry(network, kKeyRead);
    if (!registry.ConnectRemote(machine))
        return false;
    if (!registry.OpenKeyReadOnly(kCurrentVersionKey)) {
        StoreKeyCannotOpen(registry.CurrentPath(), kCurrentVersionKey);
        return false;
    }
    Environment environment;
    QString root;
    registry.ReadStringEX(QStringLiteral("SystemRoot"), root);
    environment.append({QStringLiteral("%SYSTEMROOT%"), root});
    environment.append({QStringLiteral("%SYSTEMDRIVE%"), DrivePart(root)});
    environment.append({QStringLiteral("%TMP%"), root + QStringLiteral("\\Temp")});
    environment.append({QStringLiteral("%TEMP%"), root + QStringLiteral("\\Temp")});

    registry.CloseKey();
    if (!registry.OpenKeyReadOnly(kEnvironmentKey)) {
        StoreKeyCannotOpen(registry.CurrentPath(), kEnvironmentKey);
        return false;
    }
    for (const auto& [value, name] :
         {QPair<QString, QString>{QStringLiteral("windir"), QStringLiteral("%WINDIR%")},
          QPair<QString, QString>{QStringLiteral("comspec"), QStringLiteral("%COMSPEC%")}}) {
        QString expanded;
        registry.ReadStringEX(value, expanded);
        if (!ExpandWith(environment, expanded))
            return false;
        environment.append({name, expanded});
    }
    return ExpandWith(environment, text);
}

bool DfxGetProfileImagePath(Network& network, const QString& machine, const QString& userSid,
                            QString& path)
{
    path.clear();
    TDfxRegistry registry(network, kKeyRead);
    if (!machine.isEmpty() && !registry.ConnectRemote(machine))
        return false;
    const QString key = kProfileListKey + userSid;
    if (!registry.OpenKeyReadOnly(key)) {
        StoreKeyCannotOpen(registry.CurrentPath(), key);
        return false;
    }
    const QString value = QStringLiteral("ProfileImagePath");
    if (!registry.ValueExists(value)) {
        StoreValueMissing(registry.CurrentPath(), value);
        return false;
    }
    if (!registry.ReadStringEX(value, path))
        return false;
    registry.CloseRootKey();
    // The local computer's environment is read from its registry too: the program's own
    // process environment is not the machine's.
    return ExpandRemoteEnvironment(network, machine, path);
}

bool DfxGetProfilesDirectory(Network& network, const QString& machine, const QString& userSid,
                             QString& path)
{
    if (!DfxGetProfileImagePath(network, machine, userSid, path))
        return false;
    QString folder = path;
    if (folder.endsWith(QLatin1Char('\\')))
        folder.chop(1);
    const qsizetype cut = folder.lastIndexOf(QLatin1Char('\\'));
    path = cut < 0 ? QString() : folder.left(cut);
    return true;
}

QString LocalPathToAdminShare(const QString& machine, const QString& localPath)
{
    if (localPath.size() < 2 || localPath.at(1) != QLatin1Char(':'))
        return QString();
    QString share = localPath;
    share[1] = QLatin1Char('$');
    return MakeServerUNC(StripServerUNC(machine).toUpper()) + QLatin1Char('\\') + share;
}

bool IsServiceRunning(Network& network, const QString& machine, const QString& serviceName)
{
    uint32_t state = 0;
    const uint32_t status = network.QueryServiceStatus(StripServerUNC(machine), serviceName, state);
    if (status != kNoError) {
        // The failure's own text: what the store held before would name an older problem.
        SetLastErrorText(ErrorCodeText(status), false, kDfxErrorText);
        return false;
    }
    return state == kServiceRunning;
}

} // namespace velmora::netsec
