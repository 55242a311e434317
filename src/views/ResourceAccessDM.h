#pragma once
// The statements of the Resource Access question: which accounts can reach the shares or
// folders of a server (or of every server) of a domain. Main thread only.

#include "data/Dataset.h"

#include <QList>
#include <QString>
#include <memory>

namespace velmora::views {

// How Everyone's entries are treated, in the order of the Everyone box.
enum EveryoneTreatment : int
{
    kEveryoneShow = 0,
    kEveryoneHide = 1,
    kEveryoneExpand = 2,
};

// The server-side level letters: "E" when groups are expanded into their member users,
// then "S", "H" or "X" for the Everyone treatment. Raises Exception for an index outside 0..2.
QString ResourceAccessRelationLevel(bool expandGroups, int everyone);

class TResourceAccessDM
{
  public:
    explicit TResourceAccessDM(data::Connection& connection);
    ~TResourceAccessDM();
    TResourceAccessDM(const TResourceAccessDM&) = delete;
    TResourceAccessDM& operator=(const TResourceAccessDM&) = delete;

    // Closes and reopens quShareUsers for a server name or "[ALL]" and a share name; an
    // empty share stands for "[ALL]". Each operation closes only its own statement.
    void OpenShareUsers(const QString& domain, const QString& server, int everyone,
                        bool expandGroups, const QString& share);
    // The same on quFolderUsers.
    void OpenFolderUsers(const QString& domain, const QString& server, int everyone,
                         bool expandGroups, const QString& share);

    static QList<data::FieldDef> ShareUsersFields();
    static QList<data::FieldDef> FolderUsersFields();

    data::Statement& quShareUsers() { return *m_quShareUsers; }
    data::Statement& quFolderUsers() { return *m_quFolderUsers; }

  private:
    void Open(data::Statement& statement, const QString& domain, const QString& server,
              int everyone, bool expandGroups, const QString& share);

    std::unique_ptr<data::Statement> m_quShareUsers;
    std::unique_ptr<data::Statement> m_quFolderUsers;
};

} // namespace velmora::views
