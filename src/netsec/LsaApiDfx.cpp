#include "netsec/LsaApiDfx.h"

#include "netsec/EntryPoints.h"

#include <array>
#include <string_view>

namespace velmora::netsec {

using namespace platform;

namespace {

constexpr std::array<const char*, 25> kEntryPoints = {
    "LsaOpenPolicy",
    "LsaEnumerateTrustedDomains",
    "LsaClose",
    "LsaFreeMemory",
    "LsaSetInformationPolicy",
    "LsaQueryInformationPolicy",
    "LsaNtStatusToWinError",
    "LsaLookupSids",
    "LsaEnumerateAccountsWithUserRight",
    "LsaRemoveAccountRights",
    "LsaAddAccountRights",
    "LsaEnumerateAccountRights",
    "LsaQueryDomainInformationPolicy",
    "LsaSetDomainInformationPolicy",
    "LsaLookupNames",
    "LsaOpenTrustedDomainByName",
    "LsaQueryTrustedDomainInfo",
    "LsaSetTrustedDomainInformation",
    "LsaDeleteTrustedDomain",
    "LsaQueryTrustedDomainInfoByName",
    "LsaSetTrustedDomainInfoByName",
    "LsaEnumerateTrustedDomainsEx",
    "LsaCreateTrustedDomainEx",
    "LsaRetrievePrivateData",
    "LsaStorePrivateData",
};

constexpr int SlotOf(const char* name)
{
    return EntrySlot(kEntryPoints, name);
}

constexpr int kSlotOpenPolicy = SlotOf("LsaOpenPolicy");
constexpr int kSlotQueryInformationPolicy = SlotOf("LsaQueryInformationPolicy");
constexpr int kSlotFreeMemory = SlotOf("LsaFreeMemory");
constexpr int kSlotClose = SlotOf("LsaClose");
constexpr int kSlotNtStatusToWinError = SlotOf("LsaNtStatusToWinError");
static_assert(kSlotOpenPolicy >= 0 && kSlotQueryInformationPolicy >= 0 && kSlotFreeMemory >= 0 &&
              kSlotClose >= 0 && kSlotNtStatusToWinError >= 0);

} // namespace

LsaApiDfx::LsaApiDfx(Network& network)
    : m_library(network.LoadLibrary(LibraryName())),
      m_slots(ResolveEntryPoints(m_library.get(), kEntryPoints))
{
}

const QStringList& LsaApiDfx::EntryPointNames()
{
    static const QStringList names = EntryNameList(kEntryPoints);
    return names;
}

bool LsaApiDfx::HasEntryPoint(const QString& name) const
{
    const qsizetype slot = EntryPointNames().indexOf(name);
    return slot >= 0 && m_slots[size_t(slot)] != nullptr;
}

template <typename Fn> const Fn* LsaApiDfx::Entry(int slot) const
{
    const auto* entry = static_cast<const Fn*>(m_slots[size_t(slot)]);
    return entry != nullptr && *entry ? entry : nullptr;
}

uint32_t LsaApiDfx::LsaOpenPolicy(const QString& systemName, uint32_t desiredAccess,
                                  LsaHandle& handle) const
{
    const auto* entry = Entry<lsa::LsaOpenPolicyFn>(kSlotOpenPolicy);
    return entry ? (*entry)(systemName, desiredAccess, handle) : kMissingEntryStatus;
}

uint32_t LsaApiDfx::LsaQueryInformationPolicy(LsaHandle handle, uint32_t informationClass,
                                              void** buffer) const
{
    const auto* entry = Entry<lsa::LsaQueryInformationPolicyFn>(kSlotQueryInformationPolicy);
    return entry ? (*entry)(handle, informationClass, buffer) : kMissingEntryStatus;
}

uint32_t LsaApiDfx::LsaFreeMemory(void* buffer) const
{
    const auto* entry = Entry<lsa::LsaFreeMemoryFn>(kSlotFreeMemory);
    return entry ? (*entry)(buffer) : kMissingEntryStatus;
}

uint32_t LsaApiDfx::LsaClose(LsaHandle handle) const
{
    const auto* entry = Entry<lsa::LsaCloseFn>(kSlotClose);
    return entry ? (*entry)(handle) : kMissingEntryStatus;
}

uint32_t LsaApiDfx::LsaNtStatusToWinError(uint32_t status) const
{
    const auto* entry = Entry<lsa::LsaNtStatusToWinErrorFn>(kSlotNtStatusToWinError);
    return entry ? (*entry)(status) : kMissingEntryStatus;
}

} // namespace velmora::netsec
