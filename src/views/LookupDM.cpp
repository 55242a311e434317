#include "views/LookupDM.h"

#include "store/Schema.h"
#include "views/AccessRows.h"

#include <QScopeGuard>
#include <QSet>

namespace velmora::views {

using data::FieldDef;
using data::FieldType;
using data::MemTable;
using data::Statement;

namespace {

const QString kDomainName = QStringLiteral("DomainName");
const QString kUserGroupName = QStringLiteral("UserGroupName");
const QString kSID = QStringLiteral("SID");
const QString kIsGroup = QStringLiteral("isGroup");
const QString kSortOrder = QStringLiteral("SortOrder");
const QString kServer = QStringLiteral("Server");
const QString kShare = QStringLiteral("Share");

} // namespace

QStringList SplitSidList(const QString& sids)
{
    QStringList entries;
    for (const QString& part : sids.split(QLatin1Char(','))) {
        const QString entry = part.trimmed();
        if (!entry.isEmpty())
            entries << entry;
    }
    return entries;
}

void CopyIntoMemTable(Statement& statement, MemTable& table)
{
    auto closeStatement = qScopeGuard([&] { statement.Close(); });
    if (table.Active())
        table.EmptyTable();
    else
        table.Open();
    if (!statement.Active())
        statement.Open();
    for (; !statement.Eof(); statement.Next()) {
        table.Append();
        for (const auto& field : table.Fields())
            field->SetValue(statement.FieldByName(field->FieldName()));
        table.Post();
    }
}

TLookupDM::TLookupDM(data::Connection& connection)
    : m_domainList({MakeField(kDomainName, FieldType::Text, 80)}),
      m_accountList({MakeField(kUserGroupName, FieldType::Text, 80),
                     MakeField(kSID, FieldType::Text, kSidWidth),
                     MakeField(kIsGroup, FieldType::Bool)}),
      // The SID is as wide as in the tables: a narrower field would cut the longest SIDs
      // and so exclude nothing.
      m_lookupExcludableGroups({MakeField(kUserGroupName, FieldType::Text, 80),
                                MakeField(kSID, FieldType::Text, kSidWidth)}),
      m_lookupShareUsersServers(
          {MakeField(kSortOrder, FieldType::Integer), MakeField(kServer, FieldType::Text, 80)}),
      m_lookupServerShareUsersShare(
          {MakeField(kSortOrder, FieldType::Integer), MakeField(kShare, FieldType::Text, 80)})
{
    m_lookupDomains =
        MakeStatement(connection, "SELECT Distinct DomainName FROM Servers Order BY DomainName");
    m_lookupUserSharesDomainUsers = MakeStatement(
        connection,
        "SELECT Distinct UserGroupName, SID, isGroup FROM UserGroupList WHERE DomainName = "
        ":DomainName UNION SELECT '[ALL]', '{00000000-0000-0000-0000-000000000000}', NULL "
        "Order BY UserGroupName");
    m_lookupUserSharesDomainUsers->SetParamSize(kDomainName, 80);
    m_quExcludableGroups = MakeStatement(
        connection,
        "SELECT Distinct UserGroupName, SID FROM UserGroupList WHERE DomainName = :DomainName "
        "AND isGroup = 1 AND hasAdminRights = 0 ORDER BY UserGroupName");
    m_quExcludableGroups->SetParamSize(kDomainName, 80);
    m_fetchServers = MakeStatement(
        connection,
        "SELECT Distinct 1 as SortOrder, Server FROM Servers WHERE DomainName = :DomainName "
        "UNION SELECT 0 as SortOrder, '[ALL]' FROM ServerShares Order BY SortOrder , Server");
    m_fetchServers->SetParamSize(kDomainName, 80);
    m_fetchShares = MakeStatement(
        connection,
        "SELECT Distinct 1 as SortOrder, Share FROM ServerShares WHERE Server = :Server "
        "UNION SELECT 0 as SortOrder, '[ALL]' FROM ServerShares Order BY SortOrder , Share");
    m_fetchShares->SetParamSize(kServer, 80);

    // Every opening starts the list with the row that stands for no exclusion.
    m_lookupExcludableGroups.AfterOpen = [](MemTable& table) {
        table.Append();
        table.FieldByName(kUserGroupName).SetAsString(QString::fromLatin1(kNoneKeyword));
        table.FieldByName(kSID).SetAsString(QString::fromLatin1(store::kNullGuidText));
        table.Post();
    };
    m_accountList.Filter = [this](const MemTable& table) {
        if (table.FieldByName(kUserGroupName).AsString() == QLatin1String(kAllKeyword))
            return true;
        const data::Field& isGroup = table.FieldByName(kIsGroup);
        return !isGroup.IsNull() && isGroup.AsBoolean() == m_groupsOnly;
    };
}

TLookupDM::~TLookupDM() = default;

void TLookupDM::RefreshLookups()
{
    m_lookupDomains->Close();
    CopyIntoMemTable(*m_lookupDomains, m_domainList);
    m_lookupExcludableGroups.Close();
    m_lookupExcludableGroups.Open();
    m_lookupUserSharesDomainUsers->Close();
    m_accountList.Close();
    m_lookupShareUsersServers.Close();
}

void TLookupDM::LoadDomainAccounts(const QString& domain)
{
    m_lookupUserSharesDomainUsers->Close();
    m_lookupUserSharesDomainUsers->SetParam(kDomainName, domain);
    CopyIntoMemTable(*m_lookupUserSharesDomainUsers, m_accountList);
    m_accountList.First();
    m_lookupExcludableGroups.Close();
    m_quExcludableGroups->Close();
    m_quExcludableGroups->SetParam(kDomainName, domain);
    CopyIntoMemTable(*m_quExcludableGroups, m_lookupExcludableGroups);
    m_lookupExcludableGroups.First();
}

void TLookupDM::LoadDomainServers(const QString& domain)
{
    m_fetchServers->Close();
    m_fetchServers->SetParam(kDomainName, domain);
    CopyIntoMemTable(*m_fetchServers, m_lookupShareUsersServers);
    m_lookupShareUsersServers.First();
}

void TLookupDM::LoadServerShares(const QString& server)
{
    m_fetchShares->Close();
    m_fetchShares->SetParam(kServer, server);
    CopyIntoMemTable(*m_fetchShares, m_lookupServerShareUsersShare);
    m_lookupServerShareUsersShare.First();
}

void TLookupDM::ApplyAccountFilter(bool groupsOnly)
{
    m_accountList.SetFiltered(false);
    m_groupsOnly = groupsOnly;
    m_accountList.SetFiltered(true);
}

QString TLookupDM::AccountSid(const QString& name)
{
    if (!m_accountList.Active())
        return {};
    const bool filtered = m_accountList.Filtered();
    m_accountList.SetFiltered(false);
    auto restore = qScopeGuard([&] { m_accountList.SetFiltered(filtered); });
    if (!m_accountList.Locate({kUserGroupName}, {name}, true))
        return {};
    return m_accountList.FieldByName(kSID).AsString();
}

QList<ExcludableGroup> TLookupDM::ExcludableGroupChoices(const QString& excludedSids)
{
    QSet<QString> excluded;
    for (const QString& sid : SplitSidList(excludedSids))
        excluded.insert(sid.toUpper());
    QList<ExcludableGroup> choices;
    if (!m_lookupExcludableGroups.Active())
        return choices;
    // The first row is "[NONE]", which is never offered.
    bool first = true;
    for (m_lookupExcludableGroups.First(); !m_lookupExcludableGroups.Eof();
         m_lookupExcludableGroups.Next()) {
        if (first) {
            first = false;
            continue;
        }
        ExcludableGroup group;
        group.name = m_lookupExcludableGroups.FieldByName(kUserGroupName).AsString();
        group.sid = m_lookupExcludableGroups.FieldByName(kSID).AsString();
        group.marked = excluded.contains(group.sid.toUpper());
        choices << group;
    }
    return choices;
}

GroupExclusion TLookupDM::ExcludeGroups(const QStringList& pickedNames)
{
    GroupExclusion exclusion;
    QStringList names;
    QStringList sids;
    for (const QString& picked : pickedNames) {
        const bool found = picked != QLatin1String(kNoneKeyword) &&
                           m_lookupExcludableGroups.Active() &&
                           m_lookupExcludableGroups.Locate({kUserGroupName}, {picked}, true);
        if (!found) {
            exclusion.unknown << picked;
            continue;
        }
        const QString sid = m_lookupExcludableGroups.FieldByName(kSID).AsString();
        if (sids.contains(sid))
            continue;
        names << m_lookupExcludableGroups.FieldByName(kUserGroupName).AsString();
        sids << sid;
    }
    exclusion.names = names.join(QLatin1String(", "));
    exclusion.sids = sids.join(QLatin1String(", "));
    return exclusion;
}

QStringList TLookupDM::Column(MemTable& table, const QString& field)
{
    QStringList values;
    if (!table.Active())
        return values;
    for (table.First(); !table.Eof(); table.Next())
        values << table.FieldByName(field).AsString();
    return values;
}

} // namespace velmora::views
