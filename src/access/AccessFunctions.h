#pragma once
// The six access-rights functions of the audit database: their names, arguments and result
// columns, the parsing of their arguments (shared by every implementation), and a check
// that a connection offers them.

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace velmora::data {
class Connection;
}

namespace velmora::access {

enum class AccessFunction {
    SharesForUser,             // ListActualAccessRightsToSharesWithRelativeACEsForUser
    FoldersForUser,            // ListActualAccessRightsToFoldersWithRelativeACEsForUser
    SharesForAllUsersGroups,   // ...ToSharesWithRelativeACEsForAllUsersGroups
    FoldersForAllUsersGroups,  // ...ToFoldersWithRelativeACEsForForAllUsersGroups
    UsersToServerShare,        // ListActualAccessRightsForUsersToServerShare
    UsersToServerShareFolders, // ListActualAccessRightsForUsersToServerShareFolders
};

const QList<AccessFunction>& AllAccessFunctions();
// The SQL name, as the program's statements spell it.
QString FunctionName(AccessFunction function);
// The four argument names in call order.
QStringList ArgumentNames(AccessFunction function);
// The result columns in order ("Full Control" with its blank).
QStringList ResultColumns(AccessFunction function);
bool IsFolderFunction(AccessFunction function);
bool IsResourceSide(AccessFunction function);
bool IsAllAccounts(AccessFunction function);

// Rights are kept as bits in the order of the rights columns.
inline constexpr int kShareRightCount = 3;  // Full Control, Change, Read
inline constexpr int kFolderRightCount = 7; // ListDirectory ... Delete, FullControl
QStringList ShareRightColumns();
QStringList FolderRightColumns();

// Account side: "" own SID, "G" + groups, "E" + Everyone, "GE" both (letters in any order,
// either case). False for any other text.
struct AccountLevel
{
    bool groups = false;
    bool everyone = false;
};
bool ParseAccountLevel(const QString& text, AccountLevel& level);

// Resource side: optional "E" (expand groups into member users), then one of "S" (show
// Everyone), "H" (hide it), "X" (expand Everyone into every user). False for any other text.
struct ResourceLevel
{
    enum class Everyone { Show, Hide, Expand };
    bool expandGroups = false;
    Everyone everyone = Everyone::Show;
};
bool ParseResourceLevel(const QString& text, ResourceLevel& level);

// The excluded-groups argument "SID, SID, ...": split at commas, trimmed, upper-cased;
// entries that are not SID texts are left out.
QStringList ParseExcludedGroups(const QString& text);

// "1", "true" (any case) or a non-zero number: every group; anything else: every user.
bool ParseAllGroupsFlag(const QVariant& value);

// The error text for a level argument that is not one of the accepted letter sets.
QString BadLevelText(AccessFunction function, const QString& level);

// Standard access masks: the share rights, and the two masks a folder entry's FullControl
// column records (1: 0x001F01FF, 2: 0x000F01FF, the latter without SYNCHRONIZE).
inline constexpr quint32 kShareFull = 0x001F01FF;
inline constexpr quint32 kShareChange = 0x001301BF;
inline constexpr quint32 kShareRead = 0x001200A9;
inline constexpr quint32 kFolderFull = 0x001F01FF;
inline constexpr quint32 kFolderFullNoSync = 0x000F01FF;

inline const char kEveryoneSid[] = "S-1-1-0";
inline const char kAllMarker[] = "[ALL]";

// True when every one of the six functions can be called on the connection. Otherwise
// false with `missing` naming the first one that failed and why.
bool HasAccessFunctions(data::Connection& connection, QString& missing);

} // namespace velmora::access
