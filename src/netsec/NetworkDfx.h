#pragma once
// Walking the network neighbourhood (providers, their domains, the domains' servers) and
// the network connections made with alternate credentials.

#include "platform/Network.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace velmora::netsec {

// Text of a network-router error, as the enumeration reports it.
QString WNetErrorText(platform::Network& network, uint32_t error);

// A string list in which every entry owns a copy of its resource description: scope, type,
// display type, usage and the remote name (the other texts are not kept). A plain value:
// copies own their descriptions too, so a caller's copy never refers to freed ones.
class TWNetStrings
{
  public:
    void Clear();
    int Count() const { return int(m_names.size()); }
    void Add(const QString& name, const platform::NetResource& resource);
    void Delete(int index);
    const QString& Name(int index) const { return m_names.at(index); }
    // The kept copy: the other text members are empty.
    const platform::NetResource& Resource(int index) const { return m_resources.at(index); }
    const QStringList& Names() const { return m_names; }

  private:
    QStringList m_names;
    QList<platform::NetResource> m_resources;
};

// The network providers (the top level of the network). False when the enumeration cannot
// be opened or fails midway, with the reason in the last-error store (not logged); `list`
// then holds what was read before the failure.
bool ListNetworkProviders(platform::Network& network, TWNetStrings& list);
// The domains and workgroups of one provider; as ListNetworkProviders.
bool ListProviderDomains(platform::Network& network, const QString& provider, TWNetStrings& list);
// The name of the LAN Manager provider (type 0x00020000), the add-domain dialog's default.
// Empty when the call fails, which is logged. The caller keeps it: the network is asked on
// every call.
QString LanManProviderName(platform::Network& network);

class TDfxEnumNet
{
  public:
    explicit TDfxEnumNet(platform::Network& network);

    void Clear();
    int ProviderCount() const { return m_providers.size(); }
    void GetProviders(QStringList& list) const;
    bool GetDomains(const QString& provider, QStringList& list) const;
    bool GetServers(const QString& provider, const QString& domain, QStringList& list) const;

    // Providers (level 0), their domains (1) and the domains' servers (2).
    void Enumerate(int maxLevel);
    void EnumerateDomain(const QString& provider, const QString& domain);

    const QString& LastErrorText() const { return m_lastErrorText; }
    int MaxLevel() const { return m_maxLevel; }

  private:
    struct Node
    {
        QString name;
        platform::NetResource resource;
        QList<Node> children;
    };
    // Returns 1 when at least one server was found below the container, else 0.
    int InternalEnumerate(int level, QList<Node>& target, const platform::NetResource* container);
    // Reads an open enumeration into `target`; `result` becomes 1 at the first server.
    void ReadLevel(platform::EnumHandle handle, int level, QList<Node>& target, int& result);
    const Node* FindProvider(const QString& provider) const;

    platform::Network& m_network;
    QList<Node> m_providers;
    QString m_lastErrorText;
    int m_maxLevel = 0;
};

// A network connection to the server itself (no share) with an account; a null password
// argument for the associated-password marker 0x02, an empty one for the blank marker 0x03.
// False with NetErrorText of the status in the last-error store (code kDfxErrorText).
bool AddServerConnection(platform::Network& network, const QString& machine,
                         const QString& userName, const QString& password, uint32_t flags);
bool CancelServerConnection(platform::Network& network, const QString& machine, bool force);

// One alternate credential of the refresh list.
struct TAltCredential
{
    quint8 active = 1;
    QString userName; // at most 80 characters
    QString password; // clear text, or a one-character marker
};
using TAltCredentials = QList<TAltCredential>;

inline constexpr QChar kAssociatedPasswordMarker = QChar(0x02);
inline constexpr QChar kBlankPasswordMarker = QChar(0x03);

bool IsLocalComputer(platform::Network& network, const QString& machine);
uint32_t ConnectRegistry(platform::Network& network, const QString& machine, platform::RegKey root,
                         platform::RegKey& key);
// Opens the machine's registry, trying the credentials in list order when the machine
// answers access denied. `usedIndex` is the credential that made the connection, or -1.
bool ConnectRegistryWithCredentials(platform::Network& network, const QString& machine,
                                    platform::RegKey root, platform::RegKey& key, int& usedIndex,
                                    const TAltCredentials& credentials);

} // namespace velmora::netsec
