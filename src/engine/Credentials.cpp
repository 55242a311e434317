#include "engine/Credentials.h"

#include "applib/CryptDfx.h"
#include "engine/DataDM.h"
#include "netsec/NetworkDfx.h"

namespace velmora::engine {

namespace {
bool IsMarker(const QString& stored)
{
    return stored.size() == 1 &&
           (stored[0] == netsec::kAssociatedPasswordMarker || stored[0] == netsec::kBlankPasswordMarker);
}
} // namespace

QString ClearPassword(const QString& stored)
{
    if (IsMarker(stored))
        return stored;
    return UnscramblePassword(stored);
}

QString PasswordDisplayText(const QString& stored)
{
    if (stored == QString(netsec::kAssociatedPasswordMarker))
        return QStringLiteral("<Associated Pwd>");
    if (stored == QString(netsec::kBlankPasswordMarker))
        return QStringLiteral("<Blank Password>");
    if (!stored.isEmpty())
        return QStringLiteral("**********");
    return QString();
}

QString StoredPasswordFor(const QString& typed)
{
    if (typed.isEmpty())
        return QString(netsec::kBlankPasswordMarker);
    return ScramblePassword(typed);
}

void InstallCredentialRules(TDataDM&)
{
    // The table rules come with the credential commands.
}

QList<ManagedDomainEntry> ListManagedDomains(TDataDM&)
{
    return {};
}

} // namespace velmora::engine
