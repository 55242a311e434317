#include "netsec/NetworkDfx.h"

#include "applib/DfxFormat.h"
#include "applib/LastError.h"
#include "applib/Log.h"
#include "netsec/NetApiDfx.h"
#include "platform/OsError.h"

#include <algorithm>
#include <new>

namespace velmora::netsec {

using namespace platform;

namespace {
constexpr uint32_t kEnumBufferSize = 32000;
constexpr uint32_t kEnumBatch = 1000;
const QString kWebClientProviders = QStringLiteral("Web Client Network;");
const QString kVmWareProviders = QStringLiteral("VmWare Shared Folders;");

// Whether a name is a part of a list text such as "VmWare Shared Folders;" (without regard
// to case). An empty name is no part of anything: a plain substring test would say yes.
bool OccursWithin(const QString& name, const QString& text)
{
    return !name.isEmpty() && text.contains(name, Qt::CaseInsensitive);
}

// The final path component of a remote name: the text after the last backslash or colon.
QString FinalComponent(const QString& remoteName)
{
    const qsizetype cut = std::max(remoteName.lastIndexOf(QLatin1Char('\\')),
                                   remoteName.lastIndexOf(QLatin1Char(':')));
    return remoteName.mid(cut + 1);
}

// Closes an enumeration handle whichever way the walk leaves.
class EnumGuard
{
  public:
    EnumGuard(Network& network, EnumHandle handle) : m_network(network), m_handle(handle) {}
    ~EnumGuard() { m_network.WNetCloseEnum(m_handle); }

  private:
    Network& m_network;
    EnumHandle m_handle;
};
} // namespace

QString WNetErrorText(Network& network, uint32_t error)
{
    switch (error) {
    case kErrorInvalidHandle:
        return QStringLiteral("The handle specified by the hEnum parameter is not valid.");
    case kErrorNoNetwork:
        return QStringLiteral("The network is unavailable.");
    case kErrorExtendedError: {
        uint32_t code = 0;
        QString text;
        QString provider;
        if (network.WNetGetLastError(code, text, 80, provider, 80) == kNoError)
            return Fmt("Extended Error: %s from Provider: %s", text, provider);
        return QStringLiteral("WNetGetLastError failed");
    }
    default:
        return SystemErrorText(error);
    }
}

TDfxEnumNet::TDfxEnumNet(Network& network) : m_network(network) {}

void TDfxEnumNet::Clear()
{
    m_providers.clear();
}

void TDfxEnumNet::GetProviders(QStringList& list) const
{
    list.clear();
    for (const Node& provider : m_providers)
        list << provider.name;
}

const TDfxEnumNet::Node* TDfxEnumNet::FindProvider(const QString& provider) const
{
    for (const Node& node : m_providers)
        if (node.name.compare(provider, Qt::CaseInsensitive) == 0)
            return &node;
    return nullptr;
}

bool TDfxEnumNet::GetDomains(const QString& provider, QStringList& list) const
{
    if (m_maxLevel == 0)
        return false;
    const Node* node = FindProvider(provider);
    if (!node)
        return false;
    list.clear();
    for (const Node& domain : node->children)
        list << domain.name;
    return true;
}

bool TDfxEnumNet::GetServers(const QString& provider, const QString& domain,
                             QStringList& list) const
{
    if (m_maxLevel != 2)
        return false;
    const Node* node = FindProvider(provider);
    if (!node)
        return false;
    for (const Node& d : node->children) {
        if (d.name.compare(domain, Qt::CaseInsensitive) == 0) {
            list.clear();
            for (const Node& server : d.children)
                list << server.name;
            return true;
        }
    }
    return false;
}

void TDfxEnumNet::Enumerate(int maxLevel)
{
    Clear();
    m_maxLevel = maxLevel;
    InternalEnumerate(0, m_providers, nullptr);
}

void TDfxEnumNet::EnumerateDomain(const QString& provider, const QString& domain)
{
    Clear();
    m_maxLevel = 2;
    Node providerNode;
    providerNode.name = provider;
    Node domainNode;
    domainNode.name = domain;
    domainNode.resource.scope = kResourceGlobalNet;
    domainNode.resource.type = kResourceTypeAny;
    domainNode.resource.displayType = kDisplayTypeDomain;
    domainNode.resource.usage = kResourceUsageContainer;
    domainNode.resource.remoteName = domain;
    domainNode.resource.provider = provider;
    if (InternalEnumerate(2, domainNode.children, &domainNode.resource) == 1)
        providerNode.children.append(domainNode);
    m_providers.append(providerNode);
}

int TDfxEnumNet::InternalEnumerate(int level, QList<Node>& target, const NetResource* container)
{
    m_lastErrorText = SystemErrorText(0);
    EnumHandle handle = 0;
    const uint32_t open = m_network.WNetOpenEnum(kResourceGlobalNet, kResourceTypeAny,
                                                 kResourceUsageContainer, container, handle);
    if (open != kNoError) {
        m_lastErrorText = WNetErrorText(m_network, open);
        const QString resource =
            container ? container->remoteName : QStringLiteral("<RESOURCETYPE_ANY>");
        // The WebDAV provider fails to enumerate on most networks; that is expected.
        if (!OccursWithin(resource, kWebClientProviders))
            LogErrorFmt(QStringLiteral("\"%s\" for NetResource \"%s\""),
                        {m_lastErrorText, resource},
                        QStringLiteral("TDfxEnumNet.InternalEnumerate.WNetOpenEnum"));
        return 0;
    }

    EnumGuard guard(m_network, handle);
    int result = 0;
    try {
        ReadLevel(handle, level, target, result);
    } catch (const std::bad_alloc& e) {
        // A walk that runs out of memory keeps what it found so far.
        m_lastErrorText = QString::fromLatin1(e.what());
        LogErrorFmt(QStringLiteral("Error in %s = %s"),
                    {QStringLiteral("TDfxEnumNet.InternalEnumerate"), m_lastErrorText});
    }
    return result;
}

void TDfxEnumNet::ReadLevel(EnumHandle handle, int level, QList<Node>& target, int& result)
{
    std::vector<NetResource> entries;
    for (;;) {
        uint32_t count = kEnumBatch;
        entries.clear();
        const uint32_t status = m_network.WNetEnumResource(handle, count, entries, kEnumBufferSize);
        if (status == kErrorNoMoreItems)
            break;
        if (status != kNoError && status != kErrorMoreData) {
            m_lastErrorText = WNetErrorText(m_network, status);
            LogErrorFmt(QStringLiteral("Error in %s = %s"),
                        {QStringLiteral("TDfxEnumNet.InternalEnumerate"), m_lastErrorText});
            break;
        }
        if (status == kErrorMoreData && entries.empty()) {
            // Nothing fits the buffer: reading again would answer the same.
            m_lastErrorText = WNetErrorText(m_network, status);
            LogErrorFmt(QStringLiteral("Error in %s = %s"),
                        {QStringLiteral("TDfxEnumNet.InternalEnumerate"), m_lastErrorText});
            break;
        }
        for (const NetResource& entry : entries) {
            // "SHARED" is a part of the VMware provider's name and is skipped with it.
            if (OccursWithin(entry.remoteName, kVmWareProviders))
                continue;
            Node node;
            node.name = StripServerUNC(entry.remoteName);
            node.resource = entry;
            if (level == 2) {
                target.append(node);
                result = 1;
                continue;
            }
            if (InternalEnumerate(level + 1, node.children, &entry) == 1) {
                target.append(node);
                result = 1;
            }
        }
    }
}

void TWNetStrings::Clear()
{
    m_names.clear();
    m_resources.clear();
}

void TWNetStrings::Add(const QString& name, const NetResource& resource)
{
    NetResource kept;
    kept.scope = resource.scope;
    kept.type = resource.type;
    kept.displayType = resource.displayType;
    kept.usage = resource.usage;
    kept.remoteName = resource.remoteName;
    m_names.append(name);
    m_resources.append(kept);
}

void TWNetStrings::Delete(int index)
{
    m_names.removeAt(index);
    m_resources.removeAt(index);
}

namespace {
// The walk shared by the provider and domain lists.
bool ListContainers(Network& network, uint32_t usage, const NetResource* container,
                    TWNetStrings& list)
{
    list.Clear();
    EnumHandle handle = 0;
    if (network.WNetOpenEnum(kResourceGlobalNet, kResourceTypeAny, usage, container, handle) !=
        kNoError) {
        SetLastErrorFromOS(false);
        return false;
    }
    EnumGuard guard(network, handle);
    std::vector<NetResource> entries;
    for (;;) {
        uint32_t count = kEnumBatch;
        entries.clear();
        const uint32_t status = network.WNetEnumResource(handle, count, entries, kEnumBufferSize);
        if (status == kErrorNoMoreItems)
            return true;
        // A "more data" answer that brought nothing would repeat for ever.
        if ((status != kNoError && status != kErrorMoreData) || entries.empty()) {
            SetLastErrorCode(status, false);
            return false;
        }
        for (const NetResource& entry : entries)
            list.Add(FinalComponent(entry.remoteName), entry);
    }
}
} // namespace

bool ListNetworkProviders(Network& network, TWNetStrings& list)
{
    return ListContainers(network, kResourceUsageContainer, nullptr, list);
}

bool ListProviderDomains(Network& network, const QString& provider, TWNetStrings& list)
{
    NetResource container;
    container.scope = kResourceGlobalNet;
    container.type = kResourceTypeAny;
    container.displayType = kDisplayTypeNetwork;
    container.usage = kResourceUsageReserved;
    container.provider = provider;
    return ListContainers(network, kResourceUsageContainer, &container, list);
}

QString LanManProviderName(Network& network)
{
    constexpr uint32_t kNameChars = 260;
    QString name;
    uint32_t bufferSize = kNameChars;
    if (network.WNetGetProviderName(kWNetLanManProviderType, name, bufferSize) != kNoError) {
        LogApiError(QStringLiteral("WNetGetProviderName"));
        return QString();
    }
    return name;
}

bool AddServerConnection(Network& network, const QString& machine, const QString& userName,
                         const QString& password, uint32_t flags)
{
    NetResource resource;
    resource.type = kResourceTypeAny;
    resource.remoteName = MakeServerUNC(machine);
    QString passwordArg;
    if (password == QString(kAssociatedPasswordMarker))
        passwordArg = QString();
    else if (password == QString(kBlankPasswordMarker))
        passwordArg = QLatin1String("");
    else
        passwordArg = password.isNull() ? QLatin1String("") : password;
    const QString userArg = userName.isEmpty() ? QString() : userName;
    const uint32_t status = network.WNetAddConnection2(resource, passwordArg, userArg, flags);
    if (status != kNoError) {
        SetLastErrorText(NetApiDFX::NetErrorText(status), false, kDfxErrorText);
        return false;
    }
    return true;
}

bool CancelServerConnection(Network& network, const QString& machine, bool force)
{
    return network.WNetCancelConnection2(MakeServerUNC(machine), 0, force) == kNoError;
}

bool IsLocalComputer(Network& network, const QString& machine)
{
    const QString unc = MakeServerUNC(machine);
    if (unc.isEmpty() || QString(unc).remove(QLatin1Char('\\')).isEmpty())
        return true;
    return unc.compare(QStringLiteral("\\\\") + network.LocalComputerName(), Qt::CaseInsensitive) ==
           0;
}

uint32_t ConnectRegistry(Network& network, const QString& machine, RegKey root, RegKey& key)
{
    const QString name = IsLocalComputer(network, machine) ? QString() : MakeServerUNC(machine);
    return network.RegConnectRegistry(name, root, key);
}

bool ConnectRegistryWithCredentials(Network& network, const QString& machine, RegKey root,
                                    RegKey& key, int& usedIndex, const TAltCredentials& credentials)
{
    usedIndex = -1;
    uint32_t status = ConnectRegistry(network, machine, root, key);
    if (status == kNoError)
        return true;
    SetLastErrorCode(status, false);
    if (status != kErrorAccessDenied)
        return false;
    bool connected = false;
    for (int i = 0; i < credentials.size(); ++i) {
        CancelServerConnection(network, machine, true);
        connected = AddServerConnection(network, machine, credentials[i].userName,
                                        credentials[i].password, 0);
        if (!connected)
            continue;
        status = ConnectRegistry(network, machine, root, key);
        if (status == kNoError) {
            usedIndex = i;
            return true;
        }
        SetLastErrorCode(status, false);
    }
    // A connection that did not open the registry is of no use to the scan; the caller
    // cancels only the one that helped.
    if (connected)
        CancelServerConnection(network, machine, true);
    return false;
}

} // namespace velmora::netsec
