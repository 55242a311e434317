#pragma once
// Account and SID helpers: resolving an account name on a server to its SID, the S-1-...
// text of a SID, its relative identifier (the last sub-authority) and what kind of account
// that makes it, and a machine's domain role through the local security authority.
//
// Every operation reports failure by a false result and the last-error store; none raises.
// Only the third account lookup's first call and the LSA failures write to the log.
// Called on the main thread.

#include "platform/Network.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace velmora::netsec {

// Sets of account types (SID_NAME_USE values 1..7), bit n standing for value n. A type
// above 7 is never a member.
using AccountTypeSet = uint8_t;
constexpr AccountTypeSet AccountTypeBit(uint32_t use)
{
    return use >= 1 && use <= 7 ? AccountTypeSet(1u << use) : AccountTypeSet(0);
}
// What the engine resolves users with (2) and the groups of a user with (62).
inline constexpr AccountTypeSet kUserAccountTypes = AccountTypeBit(platform::kSidTypeUser);
inline constexpr AccountTypeSet kGroupAccountTypes =
    AccountTypeBit(platform::kSidTypeUser) | AccountTypeBit(platform::kSidTypeGroup) |
    AccountTypeBit(platform::kSidTypeDomain) | AccountTypeBit(platform::kSidTypeAlias) |
    AccountTypeBit(platform::kSidTypeWellKnownGroup);
inline constexpr bool IsAccountTypeIn(uint32_t use, AccountTypeSet set)
{
    return (AccountTypeBit(use) & set) != 0;
}

// Resolves an account name on a server ("", "." and the local name mean the local
// computer; leading backslashes are ignored). Tries the account on the server, then
// "SERVER\account" on the local computer, then "SERVER\account" on the server, and stops at
// the first lookup that gives a type in allowedTypes. On success `sid` holds the binary SID
// and `domain` the referenced domain; on failure `sid` is empty and the last-error text
// says which lookup failed last ("LookupAccountNamev3 returned the wrong type of SID").
bool FindAccountSid(platform::Network& network, const QString& server, const QString& account,
                    QByteArray& sid, QString& domain, AccountTypeSet allowedTypes);
// FindAccountSid for a user, then SidToText.
bool AccountSidText(platform::Network& network, const QString& server, const QString& account,
                    QString& text);

// "S-1-5-32-544"; sub-authorities as unsigned decimal numbers. "Invalid SID Structure" for
// bytes that are not a SID.
bool SidToText(QByteArrayView sid, QString& text);
// The last sub-authority of a SID with at least two of them.
bool GetSidRid(QByteArrayView sid, uint32_t& rid);

// Kinds of SID by their relative identifier.
enum SidKind : int
{
    kSidKindAny = 0,              // any SID that has a RID
    kSidKindAdministrators = 1,   // 500, 512, 544: the engine's hasAdminRights
    kSidKindUsers = 2,            // 545, 513
    kSidKindGuests = 3,           // 501, 514
    kSidKindPowerUsers = 4,       // 547
    kSidKindAccountOperators = 5, // 548
    kSidKindServerOperators = 6,  // 549
    kSidKindPrintOperators = 7,   // 550
    kSidKindBackupOperators = 8,  // 551
};
// False when the SID has no RID (with GetSidRid's text); kinds above 8 accept any RID.
bool IsSidOfKind(QByteArrayView sid, int kind);

// The local computer's name; false when it does not fit the 260-character buffer.
bool GetLocalComputerName(platform::Network& network, QString& name);

// The primary domain of a machine (empty: the local computer): role 2 when the domain has
// a SID (a domain member), 1 when it has none and carries the machine's own name, 0 for a
// workgroup. A failing LSA call is stored as the last error and logged.
bool GetMachineDomainRole(platform::Network& network, const QString& machine, int& role,
                          QString& domainName);
bool IsDomainMember(platform::Network& network, const QString& machine);

} // namespace velmora::netsec
