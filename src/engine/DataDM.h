#pragma once
// The audit engine: the table datasets of the audit database and the refresh that fills
// them. Runs on the main thread; reports progress through IProgress and reads its cancel
// flag at fixed points only.

#include "data/Dataset.h"
#include "engine/Progress.h"
#include "netsec/NetApiDfx.h"
#include "netsec/NetworkDfx.h"
#include "platform/Network.h"
#include "store/ConnectionDM.h"

#include <QByteArrayView>
#include <QHash>
#include <QObject>
#include <memory>
#include <vector>

namespace velmora::engine {

// Classification flags of a server.
enum ServerFlag : quint8 {
    kServerFlag = 0x01,
    kControllerFlag = 0x02,
};

class TDataDM : public QObject
{
    Q_OBJECT
public:
    TDataDM(store::TConnectionDM& connection, platform::Network& network, IProgress& progress,
            QObject* parent = nullptr);
    ~TDataDM() override;

    // Folder walk limit (0: none) and the ping time-out before a server is scanned.
    int MaxFolderDepth = 3;
    int PingTimeoutMS = 1500;
    // The alternate credentials of the domain being scanned, in priority order.
    netsec::TAltCredentials RefreshCredentials;

    // Opens every table dataset; run after each opening of the audit connection.
    void OpenAllTables();

    // Full refresh of everything the network enumeration finds.
    void RefreshAll();
    // The per-domain refresh: entries "DOMAIN=PROVIDER" in order; a cancel ends it.
    // Returns false when it was cancelled.
    bool RefreshDomains(const QStringList& domainEntries);

    void DeleteAllData();
    void DeleteProvider(const QString& provider, bool reconnect);
    void DeleteDomain(const QString& domain, bool reconnect);
    // Deletes one member server's row (its shares and folders go with it). False when no
    // such row exists; raises EErrorMessageException for a domain controller's row, which
    // only goes with its domain.
    bool DeleteServer(const QString& provider, const QString& domain, const QString& server);

    void BuildFromEnumerator(netsec::TDfxEnumNet& enumerator);
    // Scans the server of the current Servers row.
    void ScanServer();
    bool ClassifyServer(const QString& server, quint8& flags);
    void AddServerManually(const QString& provider, const QString& domain, const QString& server);
    void LoadDomainCredentials(const QString& domain);
    // The steps that read accounts, shares and folders of the current server. BuildAccounts
    // works only for a domain controller's row; BuildFolders walks the share of the current
    // ServerShares row.
    void BuildAccounts();
    void BuildShares();
    void BuildFolders();

    data::TableDataset& tbServers() { return *m_tbServers; }
    data::TableDataset& tbServerShares() { return *m_tbServerShares; }
    data::TableDataset& tbShareAccessList() { return *m_tbShareAccessList; }
    data::TableDataset& tbShareFolders() { return *m_tbShareFolders; }
    data::TableDataset& tbFolderAccessList() { return *m_tbFolderAccessList; }
    data::TableDataset& tbUserGroupList() { return *m_tbUserGroupList; }
    data::TableDataset& tbUser2Group() { return *m_tbUser2Group; }
    data::TableDataset& tbMngdDomains() { return *m_tbMngdDomains; }
    data::TableDataset& tbAlternateCredentials() { return *m_tbAlternateCredentials; }

    data::Statement& quGetProviders() { return *m_quGetProviders; }
    data::Statement& quGetProviderDomains() { return *m_quGetProviderDomains; }
    data::Statement& quGetDomainsAltCredentials() { return *m_quGetDomainsAltCredentials; }
    // The shared statement object: each user closes it, sets text and parameters afresh.
    data::Statement& Query() { return *m_query; }

    store::TConnectionDM& ConnectionDM() { return m_connectionDM; }
    platform::Network& Network() { return m_network; }

private:
    QStringList DistinctValues(data::Statement& statement, const QString& column);
    void ScanOnline(const QString& server);

    // Scan steps (Scan.cpp).
    struct FolderWalk;
    void AppendWellKnownAccounts();
    void ScanUser(const QString& controller, const QString& user, QStringList& groups);
    void AppendMembership(const QString& userSid, const QString& groupSid);
    // Whether UserGroupList holds the SID; remembered for the rest of the share or walk.
    bool IsKnownSid(const QString& sidText);
    void StoreShareEntry(const QString& sidText, bool deny, uint32_t mask);
    void StoreFolderEntry(const QString& sidText, bool deny, uint32_t mask);
    using StoreEntryFn = void (TDataDM::*)(const QString& sidText, bool deny, uint32_t mask);
    // store-if-known: an entry whose SID has no text or is not in UserGroupList is dropped
    // silently.
    void StoreIfKnown(QByteArrayView sid, bool deny, uint32_t mask, StoreEntryFn store);
    void StoreEntriesIfKnown(QByteArrayView dacl, uint32_t count, StoreEntryFn store);
    void StoreSharePermissions(const QByteArray& descriptor, bool special);
    void StoreFolderPermissions(QByteArrayView descriptor);
    void WalkFolder(FolderWalk& walk, int level, bool junction);
    // Reads the descriptor and writes the folder row with its entries; false when the
    // descriptor could not be read (logged). `identity` tells the descriptor apart.
    bool RecordFolder(const QString& path, size_t& identity);

    store::TConnectionDM& m_connectionDM;
    platform::Network& m_network;
    IProgress& m_progress;
    netsec::NetApiDFX m_netApi;

    std::unique_ptr<data::TableDataset> m_tbServers;
    std::unique_ptr<data::TableDataset> m_tbServerShares;
    std::unique_ptr<data::TableDataset> m_tbShareAccessList;
    std::unique_ptr<data::TableDataset> m_tbShareFolders;
    std::unique_ptr<data::TableDataset> m_tbFolderAccessList;
    std::unique_ptr<data::TableDataset> m_tbUserGroupList;
    std::unique_ptr<data::TableDataset> m_tbUser2Group;
    std::unique_ptr<data::TableDataset> m_tbMngdDomains;
    std::unique_ptr<data::TableDataset> m_tbAlternateCredentials;
    std::unique_ptr<data::Statement> m_quGetProviders;
    std::unique_ptr<data::Statement> m_quGetProviderDomains;
    std::unique_ptr<data::Statement> m_quGetDomainsAltCredentials;
    std::unique_ptr<data::Statement> m_query;

    // State of the share or folder being stored.
    QString m_shareGuid;
    QString m_folderGuid;
    QHash<QString, bool> m_knownSids;
};

} // namespace velmora::engine
