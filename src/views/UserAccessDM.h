#pragma once
// The statements of the User Access question: which shares or folders an account (or
// every user, or every group) of a domain can reach. Each runs one access-rights function
// of the audit database; at most one of them is open at a time. Main thread only.

#include "data/Dataset.h"
#include "views/LookupDM.h"

#include <QList>
#include <QString>
#include <memory>

namespace velmora::views {

// The kinds of access tokens that count, in the order of the token kind box.
enum TokenKind : int
{
    kDirectAccessToken = 0,
    kDirectAndGroupAccess = 1,
    kDirectAndEveryoneAccess = 2,
    kAccessViaAnyToken = 3,
};

// The account-side level letters of a token kind: "", "G", "E", "GE". Raises Exception
// for a kind outside 0..3.
QString UserAccessRelationLevel(int tokenKind);
// Groups can be left out only when group tokens count (kinds 1 and 3).
bool TokenKindAllowsExclusion(int tokenKind);

class TUserAccessDM
{
  public:
    // Reads account SIDs from the account list of `lookups`.
    TUserAccessDM(data::Connection& connection, TLookupDM& lookups);
    ~TUserAccessDM();
    TUserAccessDM(const TUserAccessDM&) = delete;
    TUserAccessDM& operator=(const TUserAccessDM&) = delete;

    // Closes the current statement and opens the shares statement for the account: the
    // all-accounts function for "[ALL]" (every group when groupsOnly, else every user), the
    // one-account function with the account's SID from the account list otherwise.
    // `excludedSids` ("SID, SID") is passed only when the token kind counts groups.
    // Raises Exception when the account is not in the account list, or on a database error.
    void OpenUserShares(const QString& domain, const QString& account, int tokenKind,
                        bool groupsOnly, const QString& excludedSids);
    // The same for folders.
    void OpenUserFolders(const QString& domain, const QString& account, int tokenKind,
                         bool groupsOnly, const QString& excludedSids);

    // The statement opened last; nullptr before the first opening.
    data::Statement* CurrentStatement() { return m_current; }
    // The fields the current statement is read with (empty before the first opening).
    QList<data::FieldDef> CurrentFields() const;

    data::Statement& quUserShares() { return *m_quUserShares; }
    data::Statement& quUserFolders() { return *m_quUserFolders; }
    data::Statement& quAllUserShares() { return *m_quAllUserShares; }
    data::Statement& quAllUserFolders() { return *m_quAllUserFolders; }

  private:
    void Open(data::Statement& single, data::Statement& all, const QString& domain,
              const QString& account, int tokenKind, bool groupsOnly, const QString& excludedSids);

    TLookupDM& m_lookups;
    std::unique_ptr<data::Statement> m_quUserShares;
    std::unique_ptr<data::Statement> m_quUserFolders;
    std::unique_ptr<data::Statement> m_quAllUserShares;
    std::unique_ptr<data::Statement> m_quAllUserFolders;
    data::Statement* m_current = nullptr;
};

} // namespace velmora::views
