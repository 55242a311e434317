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
uint32_t ConnectRegistry(platform::Network& network, const QString& machine,
                         platform::RegKey root, platform::RegKey& key);
// Opens the machine's registry, trying the credentials in list order when the machine
// answers access denied. `usedIndex` is the credential that made the connection, or -1.
bool ConnectRegistryWithCredentials(platform::Network& network, const QString& machine,
                                    platform::RegKey root, platform::RegKey& key,
                                    int& usedIndex, const TAltCredentials& credentials);

} // namespace velmora::netsec
