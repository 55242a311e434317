#pragma once
// Facts about another machine read through its registry and service manager: its Windows
// version class, who is logged on and whether that user's hive is loaded, where its system
// and shell folders are, whether a key exists or a service runs, and how a local path of it
// is reached through its administrative drive share. An empty machine name, or the local
// computer's name, means the local computer.
//
// Every query reports failure by a false result (or a code) and the last-error store; none
// raises. Each opens and closes its own registry and service handles. Main thread only.

#include "platform/Network.h"

#include <QString>

namespace velmora::netsec {

// Windows version classes by "CurrentVersion": 3.x 2, 4.x 3, 5.0 4, 5.1 8, 5.2 9, 6.x 10,
// anything else 0.
int OsClassOfVersion(const QString& currentVersion);
bool GetRemoteOsClass(platform::Network& network, const QString& machine, int& osClass);
bool IsRemoteNT4(platform::Network& network, const QString& machine);
// Through a root key (HKEY_LOCAL_MACHINE) that is already connected.
bool IsVistaOrLater(platform::Network& network, platform::RegKey rootKey);

// The user last logged on at the machine, as its registry records it. A machine name is
// required.
bool GetLoggedOnUser(platform::Network& network, const QString& machine, QString& userName,
                     QString& domainName);
// The logged-on user's SID text, and whether that user's hive is loaded (the user is
// logged on now). `sidText` is set whenever the SID could be found.
bool GetLoggedOnUserSid(platform::Network& network, const QString& machine, QString& sidText);
// The SID text of a user who is logged on now; empty otherwise.
QString LoggedOnUserSidText(platform::Network& network, const QString& machine);
bool IsUserLoggedOn(platform::Network& network, const QString& machine);

// Whether HKEY_USERS\subKey opens on the machine. A failed connection, and a failure to
// open other than "not found", are stored as the last error.
bool CanOpenUsersKey(platform::Network& network, const QString& machine, const QString& subKey);
bool CanConnectRemoteRegistry(platform::Network& network, const QString& machine);
bool RemoteKeyExists(platform::Network& network, const QString& machine, platform::RegKey rootKey,
                     const QString& key);

// Shell-folder rows: where each folder's path is read.
inline constexpr int kShellFolderRows = 37;
inline constexpr int kShellFolderSystemRoot = 24;
inline constexpr int kShellFolderSystem = 25;
inline constexpr int kShellFolderProgramFiles = 26;
inline constexpr int kShellFolderUserProfile = 28;
inline constexpr int kShellFolderProfiles = 34;

enum ShellFolderResult : int
{
    kShellFolderFound = 0,
    kShellFolderNoUser = 1,     // the row reads the logged-on user's keys; nobody is logged on
    kShellFolderEmpty = 2,      // the value is missing or empty
    kShellFolderUnreachable = 3 // the registry, the key or the function could not be reached
};
// The row's raw path (variables in it unexpanded).
int ReadShellFolder(platform::Network& network, const QString& machine, int row, QString& path);
// The row's path with its variables expanded. Failures store 1245 (nobody logged on), 1203
// (no path) or 1016 (registry unreachable) as the last error.
bool ResolveShellFolder(platform::Network& network, const QString& machine, int row, QString& path);
// Replaces every shell-folder variable ("%PROGRAMFILES%", ...) in `text` by the machine's
// folder. `anyFound` tells whether there was one. A "%" that starts no known variable fails
// with the "does not contain a valid Shell Folder Variable" text.
bool ExpandShellFolderVariables(platform::Network& network, const QString& machine, QString& text,
                                bool& anyFound);
// Replaces %SYSTEMROOT%, %SYSTEMDRIVE%, %TMP%, %TEMP%, %WINDIR% and %COMSPEC% by the
// machine's values; any other %TOKEN% fails with 1008 stored as the last error.
bool ExpandRemoteEnvironment(platform::Network& network, const QString& machine, QString& text);

// A user's profile folder (ProfileImagePath, expanded with the machine's environment), and
// the folder that holds the profiles. An empty machine is the local computer, whose
// environment is read from its registry like any other machine's.
bool DfxGetProfileImagePath(platform::Network& network, const QString& machine,
                            const QString& userSid, QString& path);
bool DfxGetProfilesDirectory(platform::Network& network, const QString& machine,
                             const QString& userSid, QString& path);

// "C:\Program Files" on SRV gives "\\SRV\C$\Program Files"; a path without a drive gives "".
QString LocalPathToAdminShare(const QString& machine, const QString& localPath);
// Whether the service is in the running state. A manager or service that cannot be reached
// gives false with the failure's text stored (code 0xE0020001, not logged).
bool IsServiceRunning(platform::Network& network, const QString& machine,
                      const QString& serviceName);

} // namespace velmora::netsec
