#pragma once
// Audit databases of a chosen size for timing the access-rights functions, made from a seed:
// the same sizes and seed give the same rows on every machine (own splitmix64 sequence, own
// number formatting).
//
// The rows look like what a refresh of a company's domains writes: the eleven well-known
// accounts; per domain an Administrator (RID 500, with its row to BUILTIN\Administrators),
// a Guest, Domain Admins/Users/Guests and departmental groups; every user in Domain Users and
// in a few departmental groups drawn with a skew (some groups are big); groups nested up to
// three levels with a couple of cycles; a primary controller and member servers per domain,
// each with its administrative and IPC shares and departmental shares; folder trees below
// the departmental shares where most folders carry their parent's entries again (inherited),
// some add an entry of their own and a few start afresh. Everyone and Domain Users are
// common, deny entries are rare, and some entries have a mask that none of the columns name
// (all zero), as the refresh stores them.
//
// Rows are held as indices into the account, share and folder lists so that two million
// folder entries take tens of megabytes; texts (SIDs, GUIDs, paths) are made when written.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <vector>

namespace velmora::bench {

struct AccessDataSize
{
    uint64_t seed = 1;
    int domains = 3;
    int users = 20000; // over all domains, Administrator and Guest included
    int groups = 2000; // over all domains, the domain's standard groups included
    int servers = 200; // primary controllers included
    int shares = 2000; // administrative and IPC shares included
    int folders = 200000;
    int folderEntries = 2000000; // at least this many
};

// The full size divided by `divisor` (at least 1), never below what one domain needs.
AccessDataSize ScaledSize(int divisor, uint64_t seed = 1);
// False with `error` naming the first size out of range.
bool CheckSize(const AccessDataSize& size, QString& error);

struct BenchAccount
{
    QByteArray sid;
    QByteArray name;
    int domain = -1; // -1: BUILTIN (the well-known rows)
    bool isGroup = false;
    bool admin = false;
};

struct BenchServer
{
    QByteArray name;
    int domain = 0;
    bool isDC = false;
};

struct BenchShare
{
    int server = 0;
    QByteArray name;
    bool isIPC = false;
};

struct BenchShareEntry
{
    int share = 0;
    int account = 0;
    uint8_t full = 0, change = 0, read = 0; // access values 0, 1, 2
};

struct BenchFolder
{
    int share = 0;
    QByteArray path; // "\\SERVER\Share\A\B"
};

struct BenchFolderEntry
{
    int folder = 0;
    int account = 0;
    // ListDirectory, AddFile, AddSubdirectory, Traverse, DeleteChild, _Delete, FullControl.
    uint8_t values[7] = {};
};

struct AccessData
{
    AccessDataSize size;
    std::vector<QByteArray> domainNames;
    std::vector<BenchAccount> accounts;           // the well-known rows first
    std::vector<std::pair<int, int>> memberships; // (member, group), unique pairs
    std::vector<BenchServer> servers;
    std::vector<BenchShare> shares;
    std::vector<BenchShareEntry> shareEntries;
    std::vector<BenchFolder> folders;
    std::vector<BenchFolderEntry> folderEntries;

    // Accounts and a server the benchmark asks about: the user of domain 0 with the most
    // groups, its Domain Users group, and the member server of domain 0 with the most folders.
    int busyUser = -1;
    int bigGroup = -1;
    int busyServer = -1;

    // GUID texts as the tables store them ("{XXXXXXXX-XXXX-...}"), fixed by seed and index.
    QByteArray ShareGuid(int share) const;
    QByteArray FolderGuid(int folder) const;
};

AccessData GenerateAccessData(const AccessDataSize& size);

inline constexpr char kProviderName[] = "Microsoft Windows Network";
inline constexpr int kEveryone = 0;       // index of "S-1-1-0" in AccessData::accounts
inline constexpr int kAdministrators = 1; // "S-1-5-32-544"
inline constexpr int kLocalSystem = 8;    // "S-1-5-18"

// Writes the rows into a new SQLite file made with the program's own schema script (the file
// must not exist): one transaction, prepared statements. False with `error` on failure.
bool WriteSqlite(const AccessData& data, const QString& file, QString& error);

// Makes the tables with `schemaSql` (statements separated as the program's schema scripts
// are) in the database `conninfo` names (libpq connection string), which should be empty,
// and copies the rows in with COPY. False with `error` on failure.
bool WritePostgres(const AccessData& data, const QByteArray& conninfo, const QString& schemaSql,
                   QString& error);

// Runs `sql` (one or more statements) on the database `conninfo` names.
bool ExecPostgres(const QByteArray& conninfo, const QString& sql, QString& error);

} // namespace velmora::bench
