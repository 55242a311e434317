#pragma once
// Rules of the credential tables (AlternateCredentials, MngdDomains, their link table) and
// the handling of stored passwords.
//
// Stored forms of AlternateCredentials.UserPassword:
//   the one character 0x02   connect with the password the system associates with the user
//   the one character 0x03   connect with an empty password
//   empty                    no password
//   anything else            a scrambled password (applib/CryptDfx.h)
// The markers are stored as they are, never scrambled.

#include <QString>
#include <QStringList>
#include <QList>

namespace velmora::engine {

class TDataDM;

// The password to connect with: a marker unchanged, empty for empty, else the unscrambled
// stored value.
QString ClearPassword(const QString& stored);

// Display and edit text of a stored password: "<Associated Pwd>", "<Blank Password>",
// "**********" for any other non-empty value, empty for empty. Never the password.
QString PasswordDisplayText(const QString& stored);

// The value to store for a typed password: scrambled and cut to the column; a blank entry
// is stored as the blank-password marker.
QString StoredPasswordFor(const QString& typed);

// A managed domain's name as it is stored: upper-cased by the rules of the user's locale.
QString ManagedDomainName(const QString& typed);

// Attaches the table rules to the datasets of `dm`: new-row defaults, modification stamps,
// upper-cased managed domain names, the two delete guards, the password's get-text and
// set-text. The delete guards use dm.Query(); a refused delete raises and leaves the row.
// A marker is written with SetAsString (never through the set-text step, which scrambles).
void InstallCredentialRules(TDataDM& dm);

struct ManagedDomainEntry
{
    QString domainName;
    int id = 0;
};
// The link statements (MngdDomain2Credentials), each run on dm.Query(). Within a domain the
// credentials are tried lowest PriorityOrder first; gaps do not matter. Database errors
// raise Exception.
void InsertCredentialLink(TDataDM& dm, int domainId, int credentialId, int priority);
// Moves the link (oldDomainId, credentialId) to newDomainId with a new priority; the rows
// changed.
int UpdateCredentialLink(TDataDM& dm, int newDomainId, int credentialId, int priority, int oldDomainId);
// Removes one link; the rows removed. The domain's other links keep their priorities.
int DeleteCredentialLink(TDataDM& dm, int domainId, int credentialId);
// Removes every link of a managed domain, so that the domain itself can be deleted.
int DeleteDomainLinks(TDataDM& dm, int domainId);

struct LinkedCredential
{
    int id = 0;
    int priority = 0;
    QString description;
    bool active = false;
};
// The credentials linked to a managed domain in the order they are tried, inactive ones
// included.
QList<LinkedCredential> DomainCredentials(TDataDM& dm, int domainId);

// Every managed domain, in the order of its name, read through tbMngdDomains (opened for
// the call and closed again when it was closed before).
QList<ManagedDomainEntry> ListManagedDomains(TDataDM& dm);

} // namespace velmora::engine
