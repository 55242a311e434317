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
//
// Result buffers of the enumerations point to the first record of an array of
// `entriesRead` records (ShareInfo*, UserInfo0, GroupUsersInfo0). A preferred maximum
// length of kMaxPreferredLength means "all in one piece".
inline constexpr uint32_t kMaxPreferredLength = 0xFFFFFFFFu;
inline constexpr uint32_t kNerrBase = 2100;
inline constexpr uint32_t kErrorHandleEof = 38; // end of the user list

// Share type bits.
enum : uint32_t {
    kStypeDisktree = 0,
    kStypePrintq = 1,
    kStypeDevice = 2,
    kStypeIpc = 3,
    kStypeSpecial = 0x80000000u,
};

// SHARE_INFO_0/1/2/502 in one record; a level fills its own members. The security
// descriptor (level 502) is in the binary self-relative form, empty when none.
struct ShareInfo
{
    QString netname;
    uint32_t type = 0;
    QString remark;
    uint32_t permissions = 0;
    uint32_t maxUses = 0xFFFFFFFFu;
    uint32_t currentUses = 0;
    QString path;
    QString password;
    QByteArray securityDescriptor;
};

// USER_INFO_0 and GROUP_USERS_INFO_0.
struct UserInfo0
{
    QString name;
};
struct GroupUsersInfo0
{
    QString name;
};

// NetUserEnum filters.
enum : uint32_t {
    kFilterTempDuplicateAccount = 0x0001,
    kFilterNormalAccount = 0x0002,
    kFilterInterdomainTrustAccount = 0x0008,
    kFilterWorkstationTrustAccount = 0x0010,
    kFilterServerTrustAccount = 0x0020,
};

namespace netapi {
using NetApiBufferFreeFn = std::function<uint32_t(void* buffer)>;
using NetServerGetInfoFn =
    std::function<uint32_t(const QString& server, uint32_t level, void** buffer)>;
// Buffer: ShareInfo[entriesRead]. Levels 0, 1, 2, 502.
using NetShareEnumFn = std::function<uint32_t(
    const QString& server, uint32_t level, void** buffer, uint32_t preferredMaxLength,
    uint32_t& entriesRead, uint32_t& totalEntries, uint32_t* resumeHandle)>;
// Buffer: UserInfo0[entriesRead]. Level 0. Pages by the preferred maximum length.
using NetUserEnumFn = std::function<uint32_t(
    const QString& server, uint32_t level, uint32_t filter, void** buffer,
    uint32_t preferredMaxLength, uint32_t& entriesRead, uint32_t& totalEntries,
    uint32_t* resumeHandle)>;
// Buffer: GroupUsersInfo0[entriesRead]. Level 0. Answers in one piece.
using NetUserGetGroupsFn = std::function<uint32_t(
    const QString& server, const QString& userName, uint32_t level, void** buffer,
    uint32_t preferredMaxLength, uint32_t& entriesRead, uint32_t& totalEntries)>;
} // namespace netapi

// The local security authority's entry points (library "advapi32.dll"), looked up by name
// in the same way.
using LsaHandle = uint64_t;
inline constexpr uint32_t kPolicyViewLocalInformation = 0x00000001u;
inline constexpr uint32_t kPolicyPrimaryDomainInformation = 3;

// POLICY_PRIMARY_DOMAIN_INFO: the primary domain's name and SID (binary; empty for a
// workgroup).
struct PolicyPrimaryDomainInfo
{
    QString name;
    QByteArray sid;
};

namespace lsa {
// Status results are NT status codes (0 success).
using LsaOpenPolicyFn =
    std::function<uint32_t(const QString& systemName, uint32_t desiredAccess, LsaHandle& handle)>;
// Buffer: PolicyPrimaryDomainInfo for class 3.
using LsaQueryInformationPolicyFn =
    std::function<uint32_t(LsaHandle handle, uint32_t informationClass, void** buffer)>;
using LsaFreeMemoryFn = std::function<uint32_t(void* buffer)>;
using LsaCloseFn = std::function<uint32_t(LsaHandle handle)>;
using LsaNtStatusToWinErrorFn = std::function<uint32_t(uint32_t status)>;
} // namespace lsa

class NetApiLibrary
{
public:
    virtual ~NetApiLibrary() = default;
    virtual const void* Resolve(const QString& entryName) const = 0;
};
// Any library loaded by name; the same lookup.
using Library = NetApiLibrary;

// Account types (SID_NAME_USE).
enum SidNameUse : uint32_t {
    kSidTypeUser = 1,
    kSidTypeGroup = 2,
    kSidTypeDomain = 3,
    kSidTypeAlias = 4,
    kSidTypeWellKnownGroup = 5,
    kSidTypeDeletedAccount = 6,
    kSidTypeInvalid = 7,
    kSidTypeUnknown = 8,
};

// One entry of a file search (WIN32_FIND_DATA as far as the program reads it).
struct FindData
{
    uint32_t attributes = 0;
    QString fileName;
};
using FindHandle = uint64_t;

// File attribute bits and the security information classes.
enum : uint32_t {
    kFileAttributeReadOnly = 0x00000001u,
    kFileAttributeHidden = 0x00000002u,
    kFileAttributeSystem = 0x00000004u,
    kFileAttributeDirectory = 0x00000010u,
    kFileAttributeArchive = 0x00000020u,
    kFileAttributeReparsePoint = 0x00000400u,
    kOwnerSecurityInformation = 1,
    kGroupSecurityInformation = 2,
    kDaclSecurityInformation = 4,
};

// Registry value types.
enum : uint32_t {
    kRegNone = 0,
    kRegSz = 1,
    kRegExpandSz = 2,
    kRegBinary = 3,
    kRegDword = 4,
};
inline constexpr uint32_t kKeyRead = 0x00020019u;
inline constexpr uint32_t kKeyAllAccess = 0x000F003Fu;
inline constexpr uint32_t kKeyWow6464Key = 0x00000100u;

// Service states.
enum : uint32_t {
    kServiceStopped = 1,
    kServiceRunning = 4,
    kErrorServiceDoesNotExist = 1060,
    kErrorInsufficientBuffer = 122,
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

    // The calls below have defaults that answer 50 (not supported) and set the thread's
    // last error, as a machine without the service would; backends override them.

    // Libraries other than the network management one ("advapi32.dll" for the LSA).
    virtual std::shared_ptr<const Library> LoadLibrary(const QString& name);

    // Account lookup by name (LookupAccountName): `system` empty means the local computer.
    // Asked with a SID buffer smaller than the SID (or none: sidSize 0), answers false
    // with last error 122 and the sizes needed in sidSize and domainChars. On success the
    // SID goes into `sid`, the referenced domain (cut to domainChars - 1 characters) into
    // `domain`, its length into domainChars, and the account type into `use`. An unknown
    // name: false with 1332.
    virtual bool LookupAccountName(const QString& system, const QString& accountName,
                                   QByteArray* sid, uint32_t& sidSize, QString& domain,
                                   uint32_t& domainChars, uint32_t& use);

    // File search over UNC paths ("\\SRV\SHARE\A\*"). FindFirstFile answers false with
    // the thread's last error (2 when nothing matches, 3, 5, 53, 67...).
    virtual bool FindFirstFile(const QString& pattern, FindHandle& handle, FindData& data);
    virtual bool FindNextFile(FindHandle handle, FindData& data); // false, 18 at the end
    virtual bool FindClose(FindHandle handle);

    // File security (GetFileSecurity): the descriptor in binary self-relative form with the
    // requested parts. With a buffer that is too small (or none), false with 122 and the
    // size needed in `needed`.
    virtual bool GetFileSecurity(const QString& path, uint32_t requestedInformation,
                                 QByteArray* descriptor, uint32_t bufferSize, uint32_t& needed);

    // Registry reads on keys from RegConnectRegistry (or the local predefined keys).
    virtual uint32_t RegOpenKeyEx(RegKey key, const QString& subKey, uint32_t access,
                                  RegKey& result);
    // Missing value: 2. `data` receives the raw bytes (REG_SZ as UTF-16 with its NUL, as the
    // platform stores it; REG_DWORD as 4 little-endian bytes); a null `data` asks the size.
    virtual uint32_t RegQueryValueEx(RegKey key, const QString& valueName, uint32_t& type,
                                     QByteArray* data, uint32_t& size);
    virtual uint32_t RegEnumValue(RegKey key, uint32_t index, QString& valueName); // 259 at end
    virtual uint32_t RegEnumKeyEx(RegKey key, uint32_t index, QString& keyName);   // 259 at end

    // Service status on a machine (empty: local): the current state (1 stopped, 4 running),
    // 1060 for an unknown service.
    virtual uint32_t QueryServiceStatus(const QString& machine, const QString& serviceName,
                                        uint32_t& currentState);
};

// Chooses a backend from its text ("lab:FILE"); nullptr with `error` set when the text or
// the lab file cannot be used. `error` names the file and the reason.
std::unique_ptr<Network> CreateNetwork(const QString& spec, QString& error);

} // namespace velmora::platform
