#pragma once
// The network interface: the calls the program makes on remote machines, shaped like the
// wire-level calls (status codes, enumeration batches, buffers owned by the library and
// freed by NetApiBufferFree). Backends: lab/ (a simulated network from a lab file) and,
// later, smb/ (Samba's client libraries). The backend is chosen at start-up and passed in.
//
// Text crosses this boundary as QString (UTF-8 on the wire side). A failing call returns
// its status and also sets the calling thread's last error (platform/OsError.h).

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace velmora::platform {

// Status codes the program meets.
enum : uint32_t {
    kNoError = 0,
    kErrorFileNotFound = 2,
    kErrorPathNotFound = 3,
    kErrorAccessDenied = 5,
    kErrorInvalidHandle = 6,
    kErrorNotEnoughMemory = 8,
    kErrorNotSupported = 50,
    kErrorBadNetPath = 53,
    kErrorNetworkBusy = 54,
    kErrorBadNetName = 67,
    kErrorInvalidParameter = 87,
    kErrorInvalidLevel = 124,
    kErrorMoreData = 234,
    kErrorNoMoreItems = 259,
    kErrorNoBrowserServersFound = 6118,
    kErrorExtendedError = 1208,
    kErrorSessionCredentialConflict = 1219,
    kErrorNoNetwork = 1222,
    kErrorLogonFailure = 1326,
    kErrorNoneMapped = 1332,
    kRpcServerUnavailable = 1722,
    kNerrUserNotFound = 2221,
    kNerrServerNotStarted = 2114,
    kErrorNotConnected = 2250,
    kIpRequestTimedOut = 11010,
    kErrorModNotFound = 126,
    kErrorBadProvider = 1204,
    kWsaHostNotFound = 11001,
};

// WNet constants.
enum : uint32_t {
    kResourceConnected = 1,
    kResourceGlobalNet = 2,
    kResourceTypeAny = 0,
    kResourceUsageConnectable = 1,
    kResourceUsageContainer = 2,
    kResourceUsageReserved = 0x80000000u,
    kDisplayTypeGeneric = 0,
    kDisplayTypeDomain = 1,
    kDisplayTypeServer = 2,
    kDisplayTypeShare = 3,
    kDisplayTypeNetwork = 6,
    kWNetLanManProviderType = 0x00020000u,
};

struct NetResource
{
    uint32_t scope = 0;
    uint32_t type = 0;
    uint32_t displayType = 0;
    uint32_t usage = 0;
    QString localName;
    QString remoteName;
    QString comment;
    QString provider;
};

// Opaque handles. 0 is never a valid handle.
using EnumHandle = uint64_t;
using RegKey = uint64_t;
inline constexpr RegKey kHKeyLocalMachine = 0x80000002u;
inline constexpr RegKey kHKeyUsers = 0x80000003u;

// SERVER_INFO_101.
struct ServerInfo101
{
    uint32_t platformId = 500;
    QString name;
    uint32_t versionMajor = 5;
    uint32_t versionMinor = 2;
    uint32_t type = 0;
    QString comment;
};

// Server type bits.
enum : uint32_t {
    kSvTypeWorkstation = 0x00000001u,
    kSvTypeServer = 0x00000002u,
    kSvTypeDomainCtrl = 0x00000008u,
    kSvTypeDomainBakCtrl = 0x00000010u,
    kSvTypeNt = 0x00001000u,
    kSvTypeServerNt = 0x00008000u,
};

struct EchoReply
{
    uint32_t address = 0;
    uint32_t status = 0; // 0 success, else an IP status (11010 timed out, ...)
    uint32_t roundTripMs = 0;
    QByteArray data;
};

// The network management library as loaded by name: entry points are looked up by name,
// as dlsym would. Each entry is a std::function of the matching type below, returned as
// an untyped pointer that the binding casts by the name it asked for; nullptr when the
// library has no such entry. Buffers that the calls return belong to the library and are
// released with NetApiBufferFree.
namespace netapi {
using NetApiBufferFreeFn = std::function<uint32_t(void* buffer)>;
using NetServerGetInfoFn =
    std::function<uint32_t(const QString& server, uint32_t level, void** buffer)>;
} // namespace netapi

class NetApiLibrary
{
public:
    virtual ~NetApiLibrary() = default;
    virtual const void* Resolve(const QString& entryName) const = 0;
};

class Network
{
public:
    virtual ~Network() = default;

    // A short description for messages ("lab network /path/file.json").
    virtual QString Description() const = 0;

    // The local computer.
    virtual QString LocalComputerName() const = 0;

    // Multiple-provider router.
    virtual uint32_t WNetOpenEnum(uint32_t scope, uint32_t type, uint32_t usage,
                                  const NetResource* container, EnumHandle& handle) = 0;
    // Reads up to `count` entries that fit into `bufferSize` bytes (entry sizes as the
    // real structures take); `count` becomes the number returned. 0 with entries, 259 when
    // nothing is left, 234 when the next entry does not fit an empty buffer, or an error.
    virtual uint32_t WNetEnumResource(EnumHandle handle, uint32_t& count,
                                      std::vector<NetResource>& entries,
                                      uint32_t bufferSize) = 0;
    virtual uint32_t WNetCloseEnum(EnumHandle handle) = 0;
    // Extended error of the last 1208 on this thread; texts cut to the buffer lengths.
    virtual uint32_t WNetGetLastError(uint32_t& error, QString& errorText, int errorTextMax,
                                      QString& provider, int providerMax) = 0;
    virtual uint32_t WNetGetProviderName(uint32_t netType, QString& name, uint32_t& bufferSize) = 0;
    // password/user: a null QString stands for "none" (the associated password, the
    // current user); an empty non-null QString for an empty text.
    virtual uint32_t WNetAddConnection2(const NetResource& resource, const QString& password,
                                        const QString& userName, uint32_t flags) = 0;
    virtual uint32_t WNetCancelConnection2(const QString& name, uint32_t flags, bool force) = 0;

    // Network management library; nullptr when it cannot be loaded.
    virtual std::shared_ptr<const NetApiLibrary> LoadNetApiLibrary(const QString& name) = 0;

    // Registry. An empty machine name is the local computer.
    virtual uint32_t RegConnectRegistry(const QString& machine, RegKey root, RegKey& key) = 0;
    virtual uint32_t RegCloseKey(RegKey key) = 0;

    // Name resolution and ICMP echo. ResolveHost accepts a dotted address or a name;
    // false when it does not resolve.
    // IPv4 addresses cross this interface in host byte order (10.0.0.1 is 0x0A000001), as
    // QHostAddress::toIPv4Address gives them.
    virtual bool ResolveHost(const QString& host, uint32_t& address) = 0;
    // Returns the number of replies (0 or 1); on 0 the thread's last error holds the IP
    // status (11010 timed out, ...).
    virtual uint32_t IcmpSendEcho(uint32_t address, const QByteArray& request,
                                  uint32_t timeoutMs, EchoReply& reply) = 0;
};

// Chooses a backend from its text ("lab:FILE"); nullptr with `error` set when the text or
// the lab file cannot be used. `error` names the file and the reason.
std::unique_ptr<Network> CreateNetwork(const QString& spec, QString& error);

} // namespace velmora::platform
