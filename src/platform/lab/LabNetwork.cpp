#include "platform/lab/LabNetwork.h"

#include "platform/OsError.h"
#include "platform/lab/LabNetworkState.h"

#include <QHash>
#include <QThread>
#include <map>
#include <mutex>
#include <unordered_map>

namespace velmora::platform::lab {

namespace {

// The extended error of the last 1208 on this thread, as WNetGetLastError answers it.
thread_local ExtendedError t_extendedError;

constexpr uint32_t kLoopbackAddress = 0x7F000001u;

} // namespace

bool LabNetwork::State::Admits(const Machine& machine) const
{
    if (machine.admitsAnyone)
        return true;
    for (const QString& identity : machine.admits) {
        if (SameIdentity(identity, model.local.user))
            return true;
    }
    const QString key = Key(machine.name);
    for (const Connection& connection : connections) {
        if (connection.machineKey == key && connection.withCredential)
            return true;
    }
    return false;
}

uint32_t LabNetwork::State::NetServerGetInfo(const QString& server, uint32_t level, void** buffer)
{
    std::lock_guard lock(mutex);
    const QString name = StripServerPrefix(server);
    Count(name.isEmpty() ? model.local.computer : name, "NetServerGetInfo");
    if (buffer == nullptr)
        return Failed(kErrorInvalidParameter);
    *buffer = nullptr;
    const Machine* machine = model.FindMachine(name.isEmpty() ? model.local.computer : name);
    auto info = std::make_shared<ServerInfo101>();
    if (machine != nullptr) {
        if (machine->typeError)
            return Failed(*machine->typeError);
        info->name = machine->name;
        info->type = machine->type;
        info->comment = machine->comment;
    } else if (IsLocal(name)) {
        // The computer the program runs on, when the file does not list it: a workstation.
        info->name = model.local.computer;
        info->type = kSvTypeWorkstation | kSvTypeServer | kSvTypeNt;
    } else {
        return Failed(kErrorBadNetPath);
    }
    if (level != 101)
        return Failed(kErrorInvalidLevel);
    *buffer = info.get();
    buffers.emplace(info.get(), info);
    return kNoError;
}

uint32_t LabNetwork::State::NetApiBufferFree(void* buffer)
{
    std::lock_guard lock(mutex);
    if (buffer == nullptr)
        return kNoError;
    if (buffers.erase(buffer) == 0)
        return Failed(kErrorInvalidParameter);
    return kNoError;
}

namespace {

class LabNetApiLibrary : public NetApiLibrary
{
  public:
    explicit LabNetApiLibrary(std::shared_ptr<LabNetwork::State> state)
    {
        // The functions hold the state, so a library outlives the network object safely.
        m_serverGetInfo = [state](const QString& server, uint32_t level, void** buffer) {
            return state->NetServerGetInfo(server, level, buffer);
        };
        m_bufferFree = [state](void* buffer) { return state->NetApiBufferFree(buffer); };
        m_shareEnum = [state](const QString& server, uint32_t level, void** buffer,
                              uint32_t preferredMaxLength, uint32_t& entriesRead,
                              uint32_t& totalEntries, uint32_t* resumeHandle) {
            return state->NetShareEnum(server, level, buffer, preferredMaxLength, entriesRead,
                                       totalEntries, resumeHandle);
        };
        m_userEnum = [state](const QString& server, uint32_t level, uint32_t filter, void** buffer,
                             uint32_t preferredMaxLength, uint32_t& entriesRead,
                             uint32_t& totalEntries, uint32_t* resumeHandle) {
            return state->NetUserEnum(server, level, filter, buffer, preferredMaxLength,
                                      entriesRead, totalEntries, resumeHandle);
        };
        m_userGetGroups = [state](const QString& server, const QString& userName, uint32_t level,
                                  void** buffer, uint32_t preferredMaxLength, uint32_t& entriesRead,
                                  uint32_t& totalEntries) {
            return state->NetUserGetGroups(server, userName, level, buffer, preferredMaxLength,
                                           entriesRead, totalEntries);
        };
    }

    const void* Resolve(const QString& entryName) const override
    {
        if (entryName == QStringLiteral("NetServerGetInfo"))
            return &m_serverGetInfo;
        if (entryName == QStringLiteral("NetApiBufferFree"))
            return &m_bufferFree;
        if (entryName == QStringLiteral("NetShareEnum"))
            return &m_shareEnum;
        if (entryName == QStringLiteral("NetUserEnum"))
            return &m_userEnum;
        if (entryName == QStringLiteral("NetUserGetGroups"))
            return &m_userGetGroups;
        return nullptr;
    }

  private:
    netapi::NetServerGetInfoFn m_serverGetInfo;
    netapi::NetApiBufferFreeFn m_bufferFree;
    netapi::NetShareEnumFn m_shareEnum;
    netapi::NetUserEnumFn m_userEnum;
    netapi::NetUserGetGroupsFn m_userGetGroups;
};

// The local security authority's entry points of "advapi32.dll".
class LabLsaLibrary : public Library
{
  public:
    explicit LabLsaLibrary(std::shared_ptr<LabNetwork::State> state)
    {
        m_openPolicy = [state](const QString& systemName, uint32_t desiredAccess,
                               LsaHandle& handle) {
            return state->LsaOpenPolicy(systemName, desiredAccess, handle);
        };
        m_queryInformationPolicy = [state](LsaHandle handle, uint32_t informationClass,
                                           void** buffer) {
            return state->LsaQueryInformationPolicy(handle, informationClass, buffer);
        };
        m_freeMemory = [state](void* buffer) { return state->LsaFreeMemory(buffer); };
        m_close = [state](LsaHandle handle) { return state->LsaClose(handle); };
        m_ntStatusToWinError = [](uint32_t status) { return LsaNtStatusToWinError(status); };
    }

    const void* Resolve(const QString& entryName) const override
    {
        if (entryName == QStringLiteral("LsaOpenPolicy"))
            return &m_openPolicy;
        if (entryName == QStringLiteral("LsaQueryInformationPolicy"))
            return &m_queryInformationPolicy;
        if (entryName == QStringLiteral("LsaFreeMemory"))
            return &m_freeMemory;
        if (entryName == QStringLiteral("LsaClose"))
            return &m_close;
        if (entryName == QStringLiteral("LsaNtStatusToWinError"))
            return &m_ntStatusToWinError;
        return nullptr;
    }

  private:
    lsa::LsaOpenPolicyFn m_openPolicy;
    lsa::LsaQueryInformationPolicyFn m_queryInformationPolicy;
    lsa::LsaFreeMemoryFn m_freeMemory;
    lsa::LsaCloseFn m_close;
    lsa::LsaNtStatusToWinErrorFn m_ntStatusToWinError;
};

bool IsLibrary(const QString& name, const char* base)
{
    const QString plain = QString::fromLatin1(base);
    return name.compare(plain, Qt::CaseInsensitive) == 0 ||
           name.compare(plain + QStringLiteral(".dll"), Qt::CaseInsensitive) == 0;
}

NetResource Container(uint32_t displayType, const QString& remoteName, const QString& provider,
                      const QString& comment = QString())
{
    NetResource entry;
    entry.scope = kResourceGlobalNet;
    entry.type = kResourceTypeAny;
    entry.displayType = displayType;
    entry.usage = kResourceUsageContainer;
    entry.remoteName = remoteName;
    entry.provider = provider;
    entry.comment = comment;
    return entry;
}

uint32_t TextSize(const QString& text)
{
    return text.isEmpty() ? 0 : uint32_t(text.size()) + 1;
}

// What a container names: a provider (by its name) or a domain of a provider.
enum class ContainerKind
{
    Provider,
    Domain,
    Server
};

ContainerKind Classify(const LabModel& model, const NetResource& container)
{
    if (container.remoteName.isEmpty())
        return ContainerKind::Provider;
    if (container.remoteName.startsWith(QStringLiteral("\\\\")))
        return ContainerKind::Server;
    if (container.displayType == kDisplayTypeDomain)
        return ContainerKind::Domain;
    if (container.displayType == kDisplayTypeNetwork)
        return ContainerKind::Provider;
    return model.FindProvider(container.remoteName) != nullptr ? ContainerKind::Provider
                                                               : ContainerKind::Domain;
}

void SetExtendedError(const std::optional<ExtendedError>& error, const QString& provider)
{
    t_extendedError = error.value_or(ExtendedError{});
    if (t_extendedError.provider.isEmpty())
        t_extendedError.provider = provider;
}

QString Cut(const QString& text, int bufferLength)
{
    // A buffer of n characters holds n - 1 of them and the terminating NUL.
    return bufferLength <= 0 ? QString() : text.left(bufferLength - 1);
}

} // namespace

uint32_t NetResourceSize(const NetResource& entry)
{
    return 32 + TextSize(entry.localName) + TextSize(entry.remoteName) + TextSize(entry.comment) +
           TextSize(entry.provider);
}

LabNetwork::LabNetwork(LabModel model) : m_state(std::make_shared<State>(std::move(model))) {}

LabNetwork::~LabNetwork() = default;

std::unique_ptr<LabNetwork> LabNetwork::Open(const QString& path, QString& error)
{
    std::optional<LabModel> model = LabFile::Read(path, error);
    if (!model)
        return nullptr;
    return std::make_unique<LabNetwork>(std::move(*model));
}

QString LabNetwork::Description() const
{
    return QStringLiteral("lab network ") + m_state->model.fileName;
}

QString LabNetwork::LocalComputerName() const
{
    return m_state->model.local.computer;
}

const LabModel& LabNetwork::Model() const
{
    return m_state->model;
}

QString LabNetwork::InteractiveUser() const
{
    return m_state->model.local.user;
}

uint32_t LabNetwork::WNetOpenEnum(uint32_t scope, uint32_t /*type*/, uint32_t usage,
                                  const NetResource* container, EnumHandle& handle)
{
    State& state = *m_state;
    std::lock_guard lock(state.mutex);
    const LabModel& model = state.model;
    ++state.callCounts[QString()][QStringLiteral("WNetOpenEnum")];
    handle = 0;
    if (scope != kResourceGlobalNet)
        return Failed(kErrorInvalidParameter);

    Enumeration enumeration;
    if (container == nullptr) {
        for (const Provider& provider : model.providers) {
            NetResource entry = Container(kDisplayTypeNetwork, provider.name, provider.name);
            entry.usage = kResourceUsageContainer | kResourceUsageReserved;
            enumeration.entries.push_back(entry);
        }
    } else {
        switch (Classify(model, *container)) {
        case ContainerKind::Provider: {
            const QString name =
                container->remoteName.isEmpty() ? container->provider : container->remoteName;
            const Provider* provider = model.FindProvider(name);
            if (provider == nullptr)
                return Failed(kErrorBadProvider);
            if (provider->openError) {
                if (*provider->openError == kErrorExtendedError)
                    SetExtendedError(provider->extendedError, provider->name);
                return Failed(*provider->openError);
            }
            for (const QString& domain : provider->domains)
                enumeration.entries.push_back(
                    Container(kDisplayTypeDomain, domain, provider->name));
            break;
        }
        case ContainerKind::Domain: {
            const Provider* provider = nullptr;
            if (!container->provider.isEmpty()) {
                provider = model.FindProvider(container->provider);
                if (provider == nullptr)
                    return Failed(kErrorBadProvider);
            } else {
                for (const Provider& candidate : model.providers) {
                    if (candidate.domains.contains(container->remoteName, Qt::CaseInsensitive)) {
                        provider = &candidate;
                        break;
                    }
                }
            }
            if (provider == nullptr ||
                !provider->domains.contains(container->remoteName, Qt::CaseInsensitive))
                return Failed(kErrorNoBrowserServersFound);
            const Domain* domain = model.FindDomain(container->remoteName);
            if (domain == nullptr)
                break; // a bare container: nothing below it
            if (domain->openError) {
                if (*domain->openError == kErrorExtendedError)
                    SetExtendedError(domain->extendedError, provider->name);
                return Failed(*domain->openError);
            }
            for (const QString& server : domain->servers) {
                const Machine* machine = model.FindMachine(server);
                const QString remoteName = server.startsWith(QStringLiteral("\\\\"))
                                               ? server
                                               : QStringLiteral("\\\\") + server;
                enumeration.entries.push_back(
                    Container(kDisplayTypeServer, remoteName, provider->name,
                              machine != nullptr ? machine->comment : QString()));
            }
            enumeration.failAfter = domain->enumErrorAfter;
            break;
        }
        case ContainerKind::Server:
            // Shares below a server are not enumerated through this call yet.
            return Failed(kErrorNotSupported);
        }
    }
    // Every entry at these levels is a container; asking for connectable resources only
    // gives none.
    if ((usage & kResourceUsageConnectable) && !(usage & kResourceUsageContainer))
        enumeration.entries.clear();

    handle = state.nextEnumHandle++;
    state.enumerations.emplace(handle, std::move(enumeration));
    return kNoError;
}

uint32_t LabNetwork::WNetEnumResource(EnumHandle handle, uint32_t& count,
                                      std::vector<NetResource>& entries, uint32_t bufferSize)
{
    State& state = *m_state;
    std::lock_guard lock(state.mutex);
    ++state.callCounts[QString()][QStringLiteral("WNetEnumResource")];
    const uint32_t wanted = count;
    count = 0;
    entries.clear();
    const auto it = state.enumerations.find(handle);
    if (it == state.enumerations.end())
        return Failed(kErrorInvalidHandle);
    if (wanted == 0)
        return Failed(kErrorInvalidParameter);
    Enumeration& enumeration = it->second;

    size_t available = enumeration.entries.size();
    if (enumeration.failAfter)
        available = std::min<size_t>(available, enumeration.failAfter->count);
    if (enumeration.next >= available) {
        if (enumeration.failAfter)
            return Failed(enumeration.failAfter->code);
        return Failed(kErrorNoMoreItems);
    }
    uint32_t used = 0;
    while (enumeration.next < available && count < wanted) {
        const NetResource& entry = enumeration.entries[enumeration.next];
        const uint32_t size = NetResourceSize(entry);
        if (size > bufferSize - used)
            break;
        used += size;
        entries.push_back(entry);
        ++enumeration.next;
        ++count;
    }
    if (count == 0)
        return Failed(kErrorMoreData);
    return kNoError;
}

uint32_t LabNetwork::WNetCloseEnum(EnumHandle handle)
{
    std::lock_guard lock(m_state->mutex);
    if (m_state->enumerations.erase(handle) == 0)
        return Failed(kErrorInvalidHandle);
    return kNoError;
}

uint32_t LabNetwork::WNetGetLastError(uint32_t& error, QString& errorText, int errorTextMax,
                                      QString& provider, int providerMax)
{
    error = t_extendedError.code;
    errorText = Cut(t_extendedError.text, errorTextMax);
    provider = Cut(t_extendedError.provider, providerMax);
    return kNoError;
}

uint32_t LabNetwork::WNetGetProviderName(uint32_t netType, QString& name, uint32_t& bufferSize)
{
    for (const Provider& provider : m_state->model.providers) {
        if (provider.type != netType)
            continue;
        const uint32_t needed = uint32_t(provider.name.size()) + 1;
        if (needed > bufferSize) {
            bufferSize = needed;
            return Failed(kErrorMoreData);
        }
        name = provider.name;
        return kNoError;
    }
    return Failed(kErrorNoNetwork);
}

uint32_t LabNetwork::WNetAddConnection2(const NetResource& resource, const QString& password,
                                        const QString& userName, uint32_t /*flags*/)
{
    State& state = *m_state;
    std::lock_guard lock(state.mutex);
    const QString& remoteName = resource.remoteName;
    if (!remoteName.startsWith(QStringLiteral("\\\\")))
        return Failed(kErrorBadNetName);
    const QStringList parts = remoteName.mid(2).split(QLatin1Char('\\'));
    const QString server = parts[0];
    state.Count(server, "WNetAddConnection2");
    if (server.isEmpty() || parts.size() > 2 || (parts.size() == 2 && parts[1].isEmpty()))
        return Failed(kErrorBadNetName);
    if (!resource.localName.isEmpty())
        return Failed(kErrorNotSupported); // connections to drive letters are not simulated
    const Machine* machine = state.model.FindMachine(server);
    if (machine == nullptr)
        return Failed(kErrorBadNetPath);
    if (machine->connectError)
        return Failed(*machine->connectError);
    if (parts.size() == 2 && parts[1].compare(QStringLiteral("IPC$"), Qt::CaseInsensitive) != 0) {
        bool found = false;
        for (const Share& share : machine->shares)
            found = found || share.name.compare(parts[1], Qt::CaseInsensitive) == 0;
        if (!found)
            return Failed(kErrorBadNetName);
    }

    // No user name: the interactive user with the logon's own credentials.
    const QString user = userName.isNull() ? state.model.local.user : userName;
    bool withCredential = false;
    for (const Credential& credential : machine->credentials) {
        if (!SameIdentity(credential.user, user))
            continue;
        // A null password is the associated-password marker; an empty one the blank marker.
        const bool passwordMatches = credential.password.isNull()
                                         ? password.isNull()
                                         : !password.isNull() && credential.password == password;
        if (passwordMatches)
            withCredential = true;
    }
    const bool accepted = withCredential || (userName.isNull() && state.Admits(*machine));
    if (!accepted)
        return Failed(kErrorLogonFailure);

    const QString machineKey = Key(machine->name);
    for (const Connection& connection : state.connections) {
        if (connection.machineKey != machineKey)
            continue;
        if (!SameIdentity(connection.user, user))
            return Failed(kErrorSessionCredentialConflict);
        if (connection.remoteName.compare(remoteName, Qt::CaseInsensitive) == 0)
            return kNoError; // already connected with this account
    }
    state.connections.push_back(Connection{remoteName, machineKey, user, withCredential});
    return kNoError;
}

uint32_t LabNetwork::WNetCancelConnection2(const QString& name, uint32_t /*flags*/, bool /*force*/)
{
    State& state = *m_state;
    std::lock_guard lock(state.mutex);
    state.Count(StripServerPrefix(name).section(QLatin1Char('\\'), 0, 0), "WNetCancelConnection2");
    for (auto it = state.connections.begin(); it != state.connections.end(); ++it) {
        if (it->remoteName.compare(name, Qt::CaseInsensitive) == 0) {
            state.connections.erase(it);
            return kNoError;
        }
    }
    return Failed(kErrorNotConnected);
}

std::shared_ptr<const NetApiLibrary> LabNetwork::LoadNetApiLibrary(const QString& name)
{
    if (!IsLibrary(name, "netapi32")) {
        SetOsLastError(kErrorModNotFound);
        return nullptr;
    }
    return std::make_shared<LabNetApiLibrary>(m_state);
}

std::shared_ptr<const Library> LabNetwork::LoadLibrary(const QString& name)
{
    if (IsLibrary(name, "advapi32"))
        return std::make_shared<LabLsaLibrary>(m_state);
    return LoadNetApiLibrary(name);
}

uint32_t LabNetwork::RegConnectRegistry(const QString& machineName, RegKey root, RegKey& key)
{
    State& state = *m_state;
    std::lock_guard lock(state.mutex);
    key = 0;
    const bool local = state.IsLocal(machineName);
    state.Count(local ? state.model.local.computer : machineName, "RegConnectRegistry");
    if (root != kHKeyLocalMachine && root != kHKeyUsers)
        return Failed(kErrorInvalidParameter);

    const Registry* registry = nullptr;
    if (local) {
        registry = &state.model.local.registry;
    } else {
        const Machine* machine = state.model.FindMachine(machineName);
        if (machine == nullptr)
            return Failed(kErrorBadNetPath);
        if (machine->connectError)
            return Failed(*machine->connectError);
        registry = &machine->registry;
        if (registry->access == RegistryAccess::Open && !state.Admits(*machine))
            return Failed(kErrorAccessDenied);
    }
    if (registry->access == RegistryAccess::Refused)
        return Failed(kErrorAccessDenied);
    if (registry->access == RegistryAccess::Unreachable)
        return Failed(kErrorBadNetPath);

    key = state.nextRegistryKey++;
    state.registryKeys.emplace(
        key, OpenKey{local ? QString() : Key(machineName),
                     root == kHKeyLocalMachine ? QStringLiteral("HKLM") : QStringLiteral("HKU"),
                     QString()});
    return kNoError;
}

uint32_t LabNetwork::RegCloseKey(RegKey key)
{
    std::lock_guard lock(m_state->mutex);
    if (key == kHKeyLocalMachine || key == kHKeyUsers)
        return kNoError;
    if (m_state->registryKeys.erase(key) == 0)
        return Failed(kErrorInvalidHandle);
    return kNoError;
}

bool LabNetwork::ResolveHost(const QString& host, uint32_t& address)
{
    State& state = *m_state;
    std::lock_guard lock(state.mutex);
    const QString name = StripServerPrefix(host);
    uint32_t parsed = 0;
    if (ParseIpv4Text(name, parsed)) {
        const Machine* machine = state.model.FindMachineByAddress(parsed);
        state.Count(machine != nullptr ? machine->name : name, "ResolveHost");
        address = parsed;
        return true;
    }
    state.Count(name, "ResolveHost");
    if (const Machine* machine = state.model.FindMachine(name)) {
        if (machine->address) {
            address = *machine->address;
            return true;
        }
    } else if (!name.isEmpty() && state.IsLocal(name)) {
        address = kLoopbackAddress;
        return true;
    }
    SetOsLastError(kWsaHostNotFound);
    return false;
}

uint32_t LabNetwork::IcmpSendEcho(uint32_t address, const QByteArray& request, uint32_t timeoutMs,
                                  EchoReply& reply)
{
    State& state = *m_state;
    Ping ping;
    {
        std::lock_guard lock(state.mutex);
        const Machine* machine = state.model.FindMachineByAddress(address);
        if (machine != nullptr) {
            state.Count(machine->name, "IcmpSendEcho");
            ping = machine->ping;
        } else if (address == kLoopbackAddress) {
            state.Count(state.model.local.computer, "IcmpSendEcho");
            ping = Ping{true, 0, 0};
        } else {
            state.Count(Ipv4Text(address), "IcmpSendEcho");
            ping = Ping{false, 0, kIpRequestTimedOut};
        }
    }
    if (ping.reply && ping.rttMs > timeoutMs)
        ping = Ping{false, 0, kIpRequestTimedOut};

    reply = EchoReply{};
    reply.address = address;
    if (state.model.realtime) {
        const uint32_t waitMs =
            ping.reply ? ping.rttMs : (ping.status == kIpRequestTimedOut ? timeoutMs : 0);
        QThread::msleep(waitMs);
    }
    if (!ping.reply) {
        reply.status = ping.status;
        SetOsLastError(ping.status);
        return 0;
    }
    reply.status = 0;
    reply.roundTripMs = ping.rttMs;
    reply.data = request;
    return 1;
}

int LabNetwork::CallCount(const QString& machine, const QString& call) const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->callCounts.value(Key(machine)).value(call);
}

int LabNetwork::TotalCallCount(const QString& call) const
{
    std::lock_guard lock(m_state->mutex);
    int total = 0;
    for (const auto& calls : std::as_const(m_state->callCounts))
        total += calls.value(call);
    return total;
}

void LabNetwork::ResetCallCounts()
{
    std::lock_guard lock(m_state->mutex);
    m_state->callCounts.clear();
}

int LabNetwork::OutstandingBuffers() const
{
    std::lock_guard lock(m_state->mutex);
    return int(m_state->buffers.size());
}

int LabNetwork::OpenEnumerations() const
{
    std::lock_guard lock(m_state->mutex);
    return int(m_state->enumerations.size());
}

int LabNetwork::OpenRegistryKeys() const
{
    std::lock_guard lock(m_state->mutex);
    return int(m_state->registryKeys.size());
}

QStringList LabNetwork::Connections() const
{
    std::lock_guard lock(m_state->mutex);
    QStringList names;
    for (const Connection& connection : m_state->connections)
        names.append(connection.remoteName);
    return names;
}

bool LabNetwork::Admits(const QString& machine) const
{
    std::lock_guard lock(m_state->mutex);
    if (m_state->IsLocal(machine))
        return true;
    const Machine* found = m_state->model.FindMachine(machine);
    return found != nullptr && m_state->Admits(*found);
}

} // namespace velmora::platform::lab
