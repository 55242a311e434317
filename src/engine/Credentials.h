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

// Attaches the table rules to the datasets of `dm`: new-row defaults, modification stamps,
// upper-cased managed domain names, the two delete guards, the password's get-text and
// set-text.
void InstallCredentialRules(TDataDM& dm);

struct ManagedDomainEntry
{
    QString domainName;
    int id = 0;
};
// Every managed domain, in the order of its name.
QList<ManagedDomainEntry> ListManagedDomains(TDataDM& dm);

} // namespace velmora::engine
