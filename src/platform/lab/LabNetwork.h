#pragma once
// The lab backend: a simulated network answered from a lab file (LabFile.h). Every call
// answers like the wire: the same status codes, the same enumeration batches, the same
// refusals; every failing call also sets the thread's last error (platform/OsError.h).
//
// Identity: the program runs as the lab's local user. A machine admits that user when its
// `admits` says so, or when this network object holds an explicit connection to it made
// with one of its credentials (WNetAddConnection2) that has not been cancelled.
//
// Counters: every call aimed at a machine is counted under the machine's name, so tests
// can assert what the program asked (CallCount). Buffers handed out by the network
// management library are counted until NetApiBufferFree, so tests can assert that none
// leaked.
//
// The calls a scan makes on a machine once found (share and user listings, group
// memberships, the LSA's primary domain, account lookup, file search and security,
// registry reads, service status) refuse the caller as a connection would: 53 for a name
// that is no machine, the machine's connect_error, 5 when it does not admit the user.
// docs/lab-network.md gives each call's answers, pages and sizes.
//
// Extended errors: a 1208 from opening an enumeration leaves the provider's or domain's
// extended_error for WNetGetLastError (code 0 and no text when the file gives none; the
// provider's name when it names none).
//
// Thread safety: calls may come from any thread; the object's state is locked per call.
// The extended error of WNetGetLastError is kept per thread, as the platform keeps it.

#include "platform/Network.h"
#include "platform/lab/LabFile.h"

#include <memory>

namespace velmora::platform::lab {

class LabNetwork : public Network
{
  public:
    explicit LabNetwork(LabModel model);
    ~LabNetwork() override;

    // Reads a lab file; nullptr with `error` naming the file and the reason.
    static std::unique_ptr<LabNetwork> Open(const QString& path, QString& error);

    // Network
    QString Description() const override;
    QString LocalComputerName() const override;
    uint32_t WNetOpenEnum(uint32_t scope, uint32_t type, uint32_t usage,
                          const NetResource* container, EnumHandle& handle) override;
    uint32_t WNetEnumResource(EnumHandle handle, uint32_t& count, std::vector<NetResource>& entries,
                              uint32_t bufferSize) override;
    uint32_t WNetCloseEnum(EnumHandle handle) override;
    uint32_t WNetGetLastError(uint32_t& error, QString& errorText, int errorTextMax,
                              QString& provider, int providerMax) override;
    uint32_t WNetGetProviderName(uint32_t netType, QString& name, uint32_t& bufferSize) override;
    uint32_t WNetAddConnection2(const NetResource& resource, const QString& password,
                                const QString& userName, uint32_t flags) override;
    uint32_t WNetCancelConnection2(const QString& name, uint32_t flags, bool force) override;
    std::shared_ptr<const NetApiLibrary> LoadNetApiLibrary(const QString& name) override;
    uint32_t RegConnectRegistry(const QString& machine, RegKey root, RegKey& key) override;
    uint32_t RegCloseKey(RegKey key) override;
    bool ResolveHost(const QString& host, uint32_t& address) override;
    uint32_t IcmpSendEcho(uint32_t address, const QByteArray& request, uint32_t timeoutMs,
                          EchoReply& reply) override;
    std::shared_ptr<const Library> LoadLibrary(const QString& name) override;
    bool LookupAccountName(const QString& system, const QString& accountName, QByteArray* sid,
                           uint32_t& sidSize, QString& domain, uint32_t& domainChars,
                           uint32_t& use) override;
    bool FindFirstFile(const QString& pattern, FindHandle& handle, FindData& data) override;
    bool FindNextFile(FindHandle handle, FindData& data) override;
    bool FindClose(FindHandle handle) override;
    bool GetFileSecurity(const QString& path, uint32_t requestedInformation, QByteArray* descriptor,
                         uint32_t bufferSize, uint32_t& needed) override;
    uint32_t RegOpenKeyEx(RegKey key, const QString& subKey, uint32_t access,
                          RegKey& result) override;
    uint32_t RegQueryValueEx(RegKey key, const QString& valueName, uint32_t& type, QByteArray* data,
                             uint32_t& size) override;
    uint32_t RegEnumValue(RegKey key, uint32_t index, QString& valueName) override;
    uint32_t RegEnumKeyEx(RegKey key, uint32_t index, QString& keyName) override;
    uint32_t QueryServiceStatus(const QString& machine, const QString& serviceName,
                                uint32_t& currentState) override;

    // The network as read from the file.
    const LabModel& Model() const;
    // The interactive user ("DOMAIN\name") that machines admit or refuse.
    QString InteractiveUser() const;

    // How often `call` (the interface's name, e.g. "NetServerGetInfo", "IcmpSendEcho",
    // "RegConnectRegistry", "WNetAddConnection2", "WNetCancelConnection2", "ResolveHost")
    // was made for a machine (name without regard to case or leading backslashes).
    int CallCount(const QString& machine, const QString& call) const;
    // The same summed over every machine (calls for unknown names included).
    int TotalCallCount(const QString& call) const;
    void ResetCallCounts();

    // Resources still held by the program: buffers not yet given to NetApiBufferFree,
    // enumeration handles not closed, registry keys not closed.
    int OutstandingBuffers() const;
    int OpenEnumerations() const;
    int OpenRegistryKeys() const;
    // Buffers of LsaQueryInformationPolicy not yet given to LsaFreeMemory, policy handles
    // not closed, file searches not closed.
    int OutstandingLsaBuffers() const;
    int OpenLsaHandles() const;
    int OpenSearches() const;
    // Remote names ("\\SRV") of the explicit connections this object holds, in the order
    // they were made.
    QStringList Connections() const;
    // Whether the machine lets the interactive user in right now (admitted, or an explicit
    // connection with one of its credentials is held).
    bool Admits(const QString& machine) const;

    struct State;

  private:
    std::shared_ptr<State> m_state;
};

// Status codes of the calls below that the interface does not name.
enum : uint32_t
{
    kErrorNoMoreFiles = 18,
    kErrorBadDevType = 66,
    kErrorInvalidName = 123,
    kErrorNoLogonServers = 1311,
    kErrorMrMidNotFound = 317, // what LsaNtStatusToWinError answers for a status it does not know
};

// NT statuses the lab's LSA calls answer, and the codes LsaNtStatusToWinError turns them into.
enum : uint32_t
{
    kStatusInvalidInfoClass = 0xC0000003u,     // 87
    kStatusInvalidHandle = 0xC0000008u,        // 6
    kStatusInvalidParameter = 0xC000000Du,     // 87
    kStatusAccessDenied = 0xC0000022u,         // 5
    kStatusNoLogonServers = 0xC000005Eu,       // 1311
    kStatusLogonFailure = 0xC000006Du,         // 1326
    kStatusBadNetworkPath = 0xC00000BEu,       // 53
    kStatusBadNetworkName = 0xC00000CCu,       // 67
    kStatusRpcServerUnavailable = 0xC0020017u, // 1722
};

// The error code for an NT status, as the platform's LsaNtStatusToWinError maps it (0 for
// success, 317 for a status outside the table).
uint32_t LsaNtStatusToWinError(uint32_t status);

// Size in bytes that an enumeration entry takes in the caller's buffer: the 32-bit
// NETRESOURCE record (32 bytes) and its non-empty strings with their terminating NUL, one
// byte per character.
uint32_t NetResourceSize(const NetResource& entry);

} // namespace velmora::platform::lab
