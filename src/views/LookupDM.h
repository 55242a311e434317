#pragma once
// The lookup lists of the two access questions: domains, a domain's accounts, the groups
// that may be left out of a search, a domain's servers and a server's shares. Statements
// are read forward only, so every list a box shows is copied into a memory table and the
// statement is closed again; the lists keep their content until the next load.
// Main thread only.

#include "data/Dataset.h"
#include "data/MemTable.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <memory>

namespace velmora::views {

// Keyword rows of the lists and arguments of the access-rights functions.
inline constexpr char kAllKeyword[] = "[ALL]";
inline constexpr char kNoneKeyword[] = "[NONE]";
// SID texts are at most this long in the audit tables.
inline constexpr int kSidWidth = 47;

// A group as the multi-select window offers it.
struct ExcludableGroup
{
    QString name;
    QString sid;
    bool marked = false;
};

// The exclude box's text and the excluded-SID list made from picked groups, each joined
// by ", "; `unknown` holds picked names that are not excludable groups of the domain.
struct GroupExclusion
{
    QString names;
    QString sids;
    QStringList unknown;
};

// The entries of an excluded-SID list ("SID, SID"), trimmed, empty entries dropped.
QStringList SplitSidList(const QString& sids);

class TLookupDM
{
  public:
    explicit TLookupDM(data::Connection& connection);
    ~TLookupDM();
    TLookupDM(const TLookupDM&) = delete;
    TLookupDM& operator=(const TLookupDM&) = delete;

    // Reloads the domain list, leaves the excludable groups with their "[NONE]" row only and
    // closes the account and server lists. Run after every change of the Servers table.
    void RefreshLookups();
    // Fills the account list (with its "[ALL]" row) and the excludable groups of a domain.
    void LoadDomainAccounts(const QString& domain);
    // Fills the server list of a domain ("[ALL]" first while any share is stored).
    void LoadDomainServers(const QString& domain);
    // Fills the share list of a server ("[ALL]" first while any share is stored).
    void LoadServerShares(const QString& server);
    // Shows the "[ALL]" row and only groups (groupsOnly) or only users in the account list.
    void ApplyAccountFilter(bool groupsOnly);

    // The SID of the account list's row of that name, whatever the filter shows (names
    // compare without regard to case, as the network treats them); empty when none.
    QString AccountSid(const QString& name);

    // The excludable groups in list order without the "[NONE]" row, each marked when its
    // SID is an entry of `excludedSids`. Whole SIDs are compared, never names inside a
    // text: excluding "Pre Sales" must not mark "Sales".
    QList<ExcludableGroup> ExcludableGroupChoices(const QString& excludedSids);
    // The exclusion made of the picked groups, in the order given. Names compare without
    // regard to case; "[NONE]" is not a group and counts as unknown.
    GroupExclusion ExcludeGroups(const QStringList& pickedNames);

    // Names of a list's rows in list order (filter applied), for the callers that only
    // need the texts.
    static QStringList Column(data::MemTable& table, const QString& field);

    data::Statement& LookupDomains() { return *m_lookupDomains; }
    data::MemTable& DomainList() { return m_domainList; }
    data::Statement& LookupUserSharesDomainUsers() { return *m_lookupUserSharesDomainUsers; }
    data::MemTable& AccountList() { return m_accountList; }
    data::Statement& quExcludableGroups() { return *m_quExcludableGroups; }
    data::MemTable& LookupExcludableGroups() { return m_lookupExcludableGroups; }
    data::Statement& FetchServers() { return *m_fetchServers; }
    data::MemTable& LookupShareUsersServers() { return m_lookupShareUsersServers; }
    data::Statement& FetchShares() { return *m_fetchShares; }
    data::MemTable& LookupServerShareUsersShare() { return m_lookupServerShareUsersShare; }

  private:
    std::unique_ptr<data::Statement> m_lookupDomains;
    std::unique_ptr<data::Statement> m_lookupUserSharesDomainUsers;
    std::unique_ptr<data::Statement> m_quExcludableGroups;
    std::unique_ptr<data::Statement> m_fetchServers;
    std::unique_ptr<data::Statement> m_fetchShares;
    data::MemTable m_domainList;
    data::MemTable m_accountList;
    data::MemTable m_lookupExcludableGroups;
    data::MemTable m_lookupShareUsersServers;
    data::MemTable m_lookupServerShareUsersShare;
    bool m_groupsOnly = false;
};

// Empties `table` (opening it when closed), appends every row of `statement` by field
// name, and closes the statement, also when a step fails.
void CopyIntoMemTable(data::Statement& statement, data::MemTable& table);

} // namespace velmora::views
