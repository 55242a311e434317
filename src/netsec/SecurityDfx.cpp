#include "netsec/SecurityDfx.h"

#include "applib/DfxFormat.h"
#include "applib/LastError.h"
#include "applib/Log.h"
#include "netsec/LsaApiDfx.h"
#include "netsec/NetApiDfx.h"
#include "platform/OsError.h"
#include "platform/Security.h"

#include <QScopeGuard>

namespace velmora::netsec {

using namespace platform;

namespace {
constexpr uint32_t kDomainChars = 1024;
constexpr int kComputerNameChars = 260;
constexpr uint32_t kErrorBufferOverflow = 111;
} // namespace

bool GetLocalComputerName(Network& network, QString& name)
{
    const QString computer = network.LocalComputerName();
    if (computer.size() >= kComputerNameChars) {
        name.clear();
        SetLastErrorCode(kErrorBufferOverflow, false);
        return false;
    }
    name = computer;
    return true;
}

bool FindAccountSid(Network& network, const QString& server, const QString& account,
                    QByteArray& sid, QString& domain, AccountTypeSet allowedTypes)
{
    sid.clear();
    QString serverName = StripServerUNC(server);
    if (serverName.isEmpty() || serverName == QStringLiteral(".")) {
        if (!GetLocalComputerName(network, serverName))
            return false;
    }
    const QString qualified = serverName + QLatin1Char('\\') + account;
    struct Lookup
    {
        QString system;
        QString name;
    };
    const Lookup lookups[] = {
        {serverName, account},
        {QStringLiteral("."), qualified},
        {serverName, qualified},
    };

    QString domainText;
    uint32_t domainChars = kDomainChars;
    for (int i = 0; i < 3; ++i) {
        const bool last = i == 2;
        // Each lookup gets the whole domain buffer again: a failed lookup may have left a
        // smaller length that would cut the next one's domain name.
        domainChars = kDomainChars;
        uint32_t sidSize = 0;
        uint32_t use = 0;
        network.LookupAccountName(lookups[i].system, lookups[i].name, nullptr, sidSize, domainText,
                                  domainChars, use);
        if (GetOsLastError() != kErrorInsufficientBuffer) {
            // Only the last attempt's failure is worth a record and a log line: the first
            // two are expected to fail for many names.
            if (last)
                SetLastErrorFromOS(true);
            continue;
        }
        sid = QByteArray(qsizetype(sidSize), '\0');
        bool found = false;
        if (network.LookupAccountName(lookups[i].system, lookups[i].name, &sid, sidSize, domainText,
                                      domainChars, use))
            found = IsAccountTypeIn(use, allowedTypes);
        else
            SetLastErrorFromOS(false);
        if (found) {
            domain = domainText.left(qsizetype(domainChars));
            return true;
        }
        SetLastErrorText(Fmt("LookupAccountNamev%d returned the wrong type of SID", i + 1), false,
                         kDfxErrorText);
        sid.clear();
    }
    domain = domainText.left(qsizetype(domainChars));
    return false;
}

bool AccountSidText(Network& network, const QString& server, const QString& account, QString& text)
{
    QByteArray sid;
    QString domain;
    if (!FindAccountSid(network, server, account, sid, domain, kUserAccountTypes))
        return false;
    return SidToText(sid, text);
}

bool SidToText(QByteArrayView sid, QString& text)
{
    if (!IsValidSid(sid)) {
        SetLastErrorText(QStringLiteral("Invalid SID Structure"), false, kDfxErrorText);
        return false;
    }
    uint64_t authority = 0;
    GetSidIdentifierAuthority(sid, authority);
    // The authority is printed from its last four bytes, as every authority in use fits them.
    text = Fmt("S-%u-%u", uint32_t(GetSidRevision(sid)), uint32_t(authority & 0xFFFFFFFFu));
    uint8_t count = 0;
    GetSidSubAuthorityCount(sid, count);
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t value = 0;
        if (!GetSidSubAuthority(sid, i, value)) {
            SetLastErrorFromOS(false);
            return false;
        }
        text += Fmt("-%u", value);
    }
    return true;
}

bool GetSidRid(QByteArrayView sid, uint32_t& rid)
{
    uint8_t count = 0;
    if (!GetSidSubAuthorityCount(sid, count)) {
        SetLastErrorFromOS(false);
        return false;
    }
    if (count > 1 && GetSidSubAuthority(sid, uint32_t(count) - 1, rid))
        return true;
    SetLastErrorText(QStringLiteral("SID does not contain the miminum required sub authorities."),
                     false, kDfxErrorText);
    return false;
}

bool IsSidOfKind(QByteArrayView sid, int kind)
{
    uint32_t rid = 0;
    if (!GetSidRid(sid, rid))
        return false;
    switch (kind) {
    case kSidKindAny:
        return true;
    case kSidKindAdministrators:
        return rid == 500 || rid == 512 || rid == 544;
    case kSidKindUsers:
        return rid == 545 || rid == 513;
    case kSidKindGuests:
        return rid == 501 || rid == 514;
    case kSidKindPowerUsers:
        return rid == 547;
    case kSidKindAccountOperators:
        return rid == 548;
    case kSidKindServerOperators:
        return rid == 549;
    case kSidKindPrintOperators:
        return rid == 550;
    case kSidKindBackupOperators:
        return rid == 551;
    default:
        return true;
    }
}

bool GetMachineDomainRole(Network& network, const QString& machine, int& role, QString& domainName)
{
    role = 0;
    domainName.clear();
    QString name = machine;
    if (name.isEmpty() && !GetLocalComputerName(network, name))
        return false;
    name = StripServerUNC(name);

    const LsaApiDfx lsa(network);
    const auto fail = [&lsa](uint32_t status) {
        SetLastErrorCode(lsa.LsaNtStatusToWinError(status), false);
        LogLastError();
        return false;
    };
    LsaHandle policy = 0;
    const uint32_t opened = lsa.LsaOpenPolicy(name, kPolicyViewLocalInformation, policy);
    if (opened != 0)
        return fail(opened);
    auto close = qScopeGuard([&] { lsa.LsaClose(policy); });

    void* buffer = nullptr;
    const uint32_t queried =
        lsa.LsaQueryInformationPolicy(policy, kPolicyPrimaryDomainInformation, &buffer);
    auto release = qScopeGuard([&] {
        if (buffer != nullptr)
            lsa.LsaFreeMemory(buffer);
    });
    if (queried != 0 || buffer == nullptr)
        return fail(queried);

    const auto* info = static_cast<const PolicyPrimaryDomainInfo*>(buffer);
    domainName = info->name;
    if (!info->sid.isEmpty())
        role = 2;
    else if (domainName.compare(name, Qt::CaseInsensitive) == 0)
        role = 1;
    return true;
}

bool IsDomainMember(Network& network, const QString& machine)
{
    int role = 0;
    QString domain;
    return GetMachineDomainRole(network, machine, role, domain) && role == 2;
}

} // namespace velmora::netsec
