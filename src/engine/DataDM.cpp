#include "engine/DataDM.h"

#include "applib/DfxFormat.h"
#include "applib/Exceptions.h"
#include "applib/LastError.h"
#include "applib/Log.h"
#include "engine/Credentials.h"
#include "netsec/IcmpDfx.h"
#include "store/Schema.h"

#include <QScopeGuard>

namespace velmora::engine {

using data::TableDataset;
using netsec::TDfxEnumNet;
using namespace store;

namespace {
const QString kProviderName = QStringLiteral("ProviderName");
const QString kDomainName = QStringLiteral("DomainName");
const QString kServer = QStringLiteral("Server");
const QString kIsDC = QStringLiteral("isDC");
const QString kIsOnline = QStringLiteral("isOnline");

// Suspends the display updates of datasets for a scope.
class ControlsSuspended
{
public:
    explicit ControlsSuspended(std::initializer_list<TableDataset*> datasets) : m_datasets(datasets)
    {
        for (TableDataset* d : m_datasets)
            d->DisableControls();
    }
    ~ControlsSuspended()
    {
        for (TableDataset* d : m_datasets)
            d->EnableControls();
    }

private:
    std::vector<TableDataset*> m_datasets;
};
} // namespace

TDataDM::TDataDM(TConnectionDM& connection, platform::Network& network, IProgress& progress,
                 QObject* parent)
    : QObject(parent), m_connectionDM(connection), m_network(network), m_progress(progress),
      m_netApi(network)
{
    data::Connection& c = connection.Connection();
    m_tbServers = std::make_unique<TableDataset>(c, tables::Servers());
    m_tbServerShares = std::make_unique<TableDataset>(c, tables::ServerShares());
    m_tbShareAccessList = std::make_unique<TableDataset>(c, tables::ShareAccessList());
    m_tbShareFolders = std::make_unique<TableDataset>(c, tables::ShareFolders());
    m_tbFolderAccessList = std::make_unique<TableDataset>(c, tables::FolderAccessList());
    m_tbUserGroupList = std::make_unique<TableDataset>(c, tables::UserGroupList());
    m_tbUser2Group = std::make_unique<TableDataset>(c, tables::User2Group());
    m_tbMngdDomains = std::make_unique<TableDataset>(c, tables::MngdDomains());
    m_tbAlternateCredentials = std::make_unique<TableDataset>(c, tables::AlternateCredentials());

    // Table rules: defaults of new rows.
    m_tbServers->OnNewRecord = [](TableDataset& d) { d.FieldByName(kIsOnline).SetAsBoolean(false); };
    m_tbShareAccessList->OnNewRecord = [](TableDataset& d) {
        for (const char* name : {"FullAccess", "ChangeAccess", "ReadAccess"})
            d.FieldByName(QString::fromLatin1(name)).SetAsInteger(0);
    };
    m_tbUserGroupList->OnNewRecord = [](TableDataset& d) {
        d.FieldByName(QStringLiteral("hasAdminRights")).SetAsBoolean(false);
    };

    m_quGetProviders = std::make_unique<data::Statement>(c);
    m_quGetProviders->SetSQL(QStringLiteral("SELECT Distinct ProviderName FROM Servers"));
    m_quGetProviderDomains = std::make_unique<data::Statement>(c);
    m_quGetProviderDomains->SetSQL(
        QStringLiteral("SELECT Distinct DomainName FROM Servers WHERE ProviderName = :ProviderName"));
    m_quGetProviderDomains->SetParamSize(QStringLiteral("ProviderName"), 80);
    m_quGetDomainsAltCredentials = std::make_unique<data::Statement>(c);
    m_quGetDomainsAltCredentials->SetSQL(QStringLiteral(
        "SELECT MngdDomain2Credentials.PriorityOrder, AlternateCredentials.UserName, "
        "AlternateCredentials.UserPassword FROM AlternateCredentials, MngdDomain2Credentials, "
        "MngdDomains WHERE MngdDomain2Credentials.MngdDomainID = MngdDomains.ID AND "
        "MngdDomain2Credentials.AlternateCredentialID = AlternateCredentials.ID AND "
        "AlternateCredentials.isActive = 1 AND Upper(MngdDomains.DomainName) = :DomainName "
        "ORDER BY PriorityOrder"));
    m_quGetDomainsAltCredentials->SetParamSize(QStringLiteral("DomainName"), 80);
    m_query = std::make_unique<data::Statement>(c);
    InstallCredentialRules(*this);

    connection.AddOpenAllTables([this] { OpenAllTables(); });
}

TDataDM::~TDataDM() = default;

void TDataDM::OpenAllTables()
{
    for (TableDataset* d : {m_tbServers.get(), m_tbServerShares.get(), m_tbShareAccessList.get(),
                            m_tbShareFolders.get(), m_tbFolderAccessList.get(),
                            m_tbUserGroupList.get(), m_tbUser2Group.get(), m_tbMngdDomains.get(),
                            m_tbAlternateCredentials.get()})
        if (!d->Active())
            d->Open();
    // Another database may be behind the connection now.
    m_knownSids.clear();
}

QStringList TDataDM::DistinctValues(data::Statement& statement, const QString& column)
{
    QStringList values;
    statement.Open();
    auto close = qScopeGuard([&] { statement.Close(); });
    for (; !statement.Eof(); statement.Next())
        values << statement.FieldByName(column).toString();
    return values;
}

void TDataDM::RefreshAll()
{
    if (!m_connectionDM.Connected())
        RaiseErrorMessage(QStringLiteral("Database connection closed, some database error occured."));
    m_progress.SetWaitHeading(QStringLiteral("Deleting existing data..."));
    m_progress.ProcessMessages();
    DeleteAllData();
    if (m_progress.WaitCancelled())
        return;

    TDfxEnumNet enumerator(m_network);
    m_progress.SetWaitHeading(QStringLiteral("Enumerating Network resources..."));
    m_progress.ProcessMessages();
    enumerator.Enumerate(2);
    if (m_progress.WaitCancelled())
        return;

    m_progress.SetWaitCancelEnabled(false);
    BuildFromEnumerator(enumerator);
}

bool TDataDM::RefreshDomains(const QStringList& domainEntries)
{
    TDfxEnumNet enumerator(m_network);
    for (const QString& entry : domainEntries) {
        const int eq = entry.indexOf(QLatin1Char('='));
        const QString domain = eq < 0 ? entry : entry.left(eq);
        const QString provider = eq < 0 ? QString() : entry.mid(eq + 1);

        m_progress.SetWaitHeading(Fmt("Deleting Existing \"%s\" resources...", domain));
        m_progress.ProcessMessages();
        DeleteDomain(domain, true);
        if (m_progress.WaitCancelled())
            return false;

        m_progress.SetWaitHeading(Fmt("Enumerating \"%s\" Domain resources...", domain));
        m_progress.ProcessMessages();
        enumerator.EnumerateDomain(provider, domain);
        if (m_progress.WaitCancelled())
            return false;

        m_progress.ProcessMessages();
        BuildFromEnumerator(enumerator);
    }
    return true;
}

void TDataDM::DeleteAllData()
{
    for (const QString& provider : DistinctValues(*m_quGetProviders, kProviderName))
        DeleteProvider(provider, false);
    m_connectionDM.Reconnect();
}

void TDataDM::DeleteProvider(const QString& provider, bool reconnect)
{
    m_quGetProviderDomains->SetParam(kProviderName, provider);
    for (const QString& domain : DistinctValues(*m_quGetProviderDomains, kDomainName))
        DeleteDomain(domain, false);
    if (reconnect)
        m_connectionDM.Reconnect();
}

void TDataDM::DeleteDomain(const QString& domain, bool reconnect)
{
    {
        ControlsSuspended suspended{m_tbServers.get()};
        // Member servers first: the controller's accounts may go with its row.
        for (bool controller : {false, true}) {
            while (m_tbServers->Locate(QStringList{kIsDC, kDomainName},
                                       QVariantList{controller, domain}))
                m_tbServers->Delete();
        }
    }
    if (reconnect)
        m_connectionDM.Reconnect();
}

bool TDataDM::DeleteServer(const QString& provider, const QString& domain, const QString& server)
{
    if (!m_tbServers->Locate(QStringList{kProviderName, kDomainName, kServer},
                             QVariantList{provider, domain, server}))
        return false;
    if (m_tbServers->FieldByName(kIsDC).AsBoolean())
        RaiseErrorMessageFmt(QStringLiteral("Server \"%s\" is the Primary Domain Controller of "
                                            "Domain \"%s\"; delete the domain instead"),
                             {server, domain});
    m_tbServers->Delete();
    return true;
}

void TDataDM::BuildFromEnumerator(TDfxEnumNet& enumerator)
{
    QStringList providers;
    enumerator.GetProviders(providers);
    for (const QString& provider : providers) {
        QStringList domains;
        if (!enumerator.GetDomains(provider, domains))
            continue;
        for (const QString& domain : domains) {
            try {
                QStringList servers;
                if (!enumerator.GetServers(provider, domain, servers))
                    servers.clear();

                // Walk from the last entry so removals keep the indexes of those not yet seen.
                QList<bool> isController(servers.size(), false);
                int controllers = 0;
                for (int i = servers.size() - 1; i >= 0; --i) {
                    quint8 flags = 0;
                    if (!ClassifyServer(servers[i], flags) || !(flags & kServerFlag)) {
                        servers.removeAt(i);
                        isController.removeAt(i);
                        continue;
                    }
                    if (flags & kControllerFlag) {
                        isController[i] = true;
                        ++controllers;
                    }
                }
                if (controllers == 0) {
                    LogErrorFmt(QStringLiteral("Domain: \"%s\" has no domain controller, or domain "
                                               "controller cannot be found. This Domain will be "
                                               "ignored."),
                                {domain});
                    continue;
                }
                if (controllers > 1) {
                    LogErrorFmt(QStringLiteral("Domain: \"%s\" has more than one domain "
                                               "controller. This Domain will be ignored."),
                                {domain});
                    continue;
                }

                LoadDomainCredentials(domain);
                const int dc = isController.indexOf(true);
                if (servers.size() > 1 && dc > 0) {
                    servers.move(dc, 0);
                    isController.move(dc, 0);
                }

                for (int i = 0; i < servers.size(); ++i) {
                    m_tbServers->Append();
                    m_tbServers->FieldByName(kProviderName).SetAsString(provider);
                    m_tbServers->FieldByName(kDomainName).SetAsString(domain);
                    m_tbServers->FieldByName(kServer).SetAsString(servers[i]);
                    m_tbServers->FieldByName(kIsDC).SetAsBoolean(isController[i]);
                    m_tbServers->FieldByName(kIsOnline).SetAsBoolean(true);
                    m_tbServers->Post();
                    m_progress.SetWaitHeading(Fmt("Building Server: \"%s\" data...", servers[i]));
                    m_progress.ProcessMessages();
                    ScanServer();
                }
            } catch (const EPDCOffline& e) {
                LogError(e.Message());
            }
        }
    }
}

void TDataDM::ScanServer()
{
    const QString server = m_tbServers->FieldByName(kServer).AsString();
    bool online = netsec::Ping(m_network, server, static_cast<uint32_t>(PingTimeoutMS));
    if (!online)
        LogErrorFmt(QStringLiteral("Unable to Ping \"%s\" in %dms"), {server, PingTimeoutMS});

    int usedIndex = -1;
    if (online) {
        platform::RegKey key = 0;
        online = netsec::ConnectRegistryWithCredentials(m_network, server, platform::kHKeyLocalMachine,
                                                        key, usedIndex, RefreshCredentials);
        if (online)
            m_network.RegCloseKey(key);
        else
            LogErrorFmt(QStringLiteral("Unable to connect to \"%s\" ERROR: %s"),
                        {server, GetLastErrorText()});
    }
    // The connection made with an alternate credential lasts for this server's scan only.
    auto cancelConnection = qScopeGuard([&] {
        if (usedIndex >= 0)
            netsec::CancelServerConnection(m_network, server, true);
    });

    if (!online) {
        m_tbServers->Edit();
        m_tbServers->FieldByName(kIsOnline).SetAsBoolean(false);
        m_tbServers->Post();
        if (m_tbServers->FieldByName(kIsDC).AsBoolean())
            throw EPDCOffline(QStringLiteral("Primary Domain Controller is offline, unable to "
                                             "complete Building Server data."));
        return;
    }
    ScanOnline(server);
}

void TDataDM::ScanOnline(const QString&)
{
    ControlsSuspended suspended{m_tbServers.get(), m_tbServerShares.get(),
                                m_tbShareAccessList.get(), m_tbUserGroupList.get(),
                                m_tbUser2Group.get()};
    BuildAccounts();
    BuildShares();
}

bool TDataDM::ClassifyServer(const QString& server, quint8& flags)
{
    flags = 0;
    void* buffer = nullptr;
    const uint32_t status = m_netApi.NetServerGetInfo(server, 101, &buffer);
    auto release = qScopeGuard([&] {
        if (buffer)
            m_netApi.NetApiBufferFree(buffer);
    });
    if (status != 0) {
        LogErrorFmt(QStringLiteral("NetServerGetInfo failed on \"%s\" with Error: %s"),
                    {server, SystemErrorText(status)});
        return false;
    }
    const uint32_t type = static_cast<const platform::ServerInfo101*>(buffer)->type;
    using namespace platform;
    if (!(type & (kSvTypeServerNt | kSvTypeDomainCtrl | kSvTypeDomainBakCtrl)))
        return true;
    flags |= kServerFlag;
    if (type & kSvTypeDomainCtrl)
        flags |= kControllerFlag;
    return true;
}

void TDataDM::AddServerManually(const QString& provider, const QString& domain, const QString& server)
{
    quint8 flags = 0;
    if (!ClassifyServer(server, flags) || !(flags & kServerFlag))
        throw EInvalidServerErr(Fmt("Machine \"%s\" must be a Server", server));

    const bool isController = flags & kControllerFlag;
    const bool hasController = m_tbServers->Locate(QStringList{kDomainName, kIsDC},
                                                   QVariantList{domain, true});
    if (isController && hasController)
        throw EInvalidServerErr(Fmt("Server \"%s\" is invalid because Domain \"%s\" already "
                                    "contains a Primary Domain Controller",
                                    server, domain));
    if (!hasController && !isController)
        throw EInvalidServerErr(Fmt("When adding Servers manually you must add the Primary "
                                    "Domain Controller for the Domain:\"%s\" first.",
                                    domain));

    m_tbServers->Append();
    m_tbServers->FieldByName(kProviderName).SetAsString(provider);
    m_tbServers->FieldByName(kDomainName).SetAsString(domain);
    m_tbServers->FieldByName(kServer).SetAsString(server);
    m_tbServers->FieldByName(kIsDC).SetAsBoolean(isController);
    m_tbServers->FieldByName(kIsOnline).SetAsBoolean(true);
    m_tbServers->Post();
    LoadDomainCredentials(domain);
    ScanServer();
}

void TDataDM::LoadDomainCredentials(const QString& domain)
{
    data::Statement& q = *m_quGetDomainsAltCredentials;
    q.SetParam(kDomainName, domain);
    q.Open();
    auto close = qScopeGuard([&] { q.Close(); });
    RefreshCredentials.clear();
    for (; !q.Eof(); q.Next()) {
        netsec::TAltCredential credential;
        credential.active = 1;
        credential.userName = q.FieldByName(QStringLiteral("UserName")).toString().left(80);
        credential.password = ClearPassword(q.FieldByName(QStringLiteral("UserPassword")).toString()).left(80);
        RefreshCredentials.append(credential);
    }
}

} // namespace velmora::engine
