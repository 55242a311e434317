#include "engine/Credentials.h"

#include "applib/CryptDfx.h"
#include "applib/DfxFormat.h"
#include "applib/Exceptions.h"
#include "engine/DataDM.h"
#include "netsec/NetworkDfx.h"

#include <QDateTime>
#include <QLocale>
#include <QScopeGuard>

namespace velmora::engine {

using data::Field;
using data::TableDataset;

namespace {
const QString kID = QStringLiteral("ID");
const QString kLastUserModified = QStringLiteral("LastUserModified");
const QString kDomainName = QStringLiteral("DomainName");

bool IsMarker(const QString& stored)
{
    return stored.size() == 1 &&
           (stored[0] == netsec::kAssociatedPasswordMarker || stored[0] == netsec::kBlankPasswordMarker);
}

void Stamp(TableDataset& d)
{
    d.FieldByName(kLastUserModified).SetAsDateTime(QDateTime::currentDateTime());
}

// Closes the shared statement and gives it a new text; the caller sets the parameters.
data::Statement& Prepare(TDataDM& dm, const QString& sql)
{
    data::Statement& query = dm.Query();
    query.Close();
    query.SetSQL(sql);
    return query;
}

// Runs a link lookup on the shared statement: true when MngdDomain2Credentials holds a row
// whose `column` equals `id`. The statement is closed again in every case.
bool LinkExists(TDataDM& dm, const QString& column, int id)
{
    data::Statement& query =
        Prepare(dm, Fmt("Select %s FROM MngdDomain2Credentials WHERE %s = :%s", column, column, column));
    query.SetParam(column, id);
    auto close = qScopeGuard([&] { query.Close(); });
    query.Open();
    return !query.Eof();
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
    // Nothing typed means an empty password, which has its own stored form: an empty stored
    // value would be refused by the required column, and a scrambled empty text is empty.
    if (typed.isEmpty())
        return QString(netsec::kBlankPasswordMarker);
    return ScramblePassword(typed);
}

QString ManagedDomainName(const QString& typed)
{
    return QLocale().toUpper(typed);
}

void InstallCredentialRules(TDataDM& dm)
{
    TableDataset& domains = dm.tbMngdDomains();
    domains.OnNewRecord = [](TableDataset& d) { Stamp(d); };
    domains.BeforePost = [](TableDataset& d) {
        // The refresh matches a domain by its upper-cased name, so a name that reached the
        // field without its set-text step is upper-cased here as well.
        Field& name = d.FieldByName(kDomainName);
        if (!name.IsNull())
            name.SetAsString(ManagedDomainName(name.AsString()));
        Stamp(d);
    };
    domains.BeforeDelete = [&dm](TableDataset& d) {
        if (LinkExists(dm, QStringLiteral("MngdDomainID"), d.FieldByName(kID).AsInteger()))
            throw EErrorMessageException(
                QStringLiteral("Unable to delete this record, other tables link to this record"));
    };
    domains.FieldByName(kDomainName).OnSetText = [](Field& f, const QString& text) {
        f.SetAsString(ManagedDomainName(text));
    };

    TableDataset& credentials = dm.tbAlternateCredentials();
    credentials.OnNewRecord = [](TableDataset& d) {
        d.FieldByName(QStringLiteral("isActive")).SetAsBoolean(true);
        Stamp(d);
    };
    credentials.BeforePost = [](TableDataset& d) { Stamp(d); };
    credentials.BeforeDelete = [&dm](TableDataset& d) {
        if (LinkExists(dm, QStringLiteral("AlternateCredentialID"), d.FieldByName(kID).AsInteger()))
            throw Exception(Fmt("Unable to delete \"%s\" Alternate Credential, Manged Domains are "
                                "stilled linking to this data.",
                                d.FieldByName(QStringLiteral("Description")).AsString()));
    };
    Field& password = credentials.FieldByName(QStringLiteral("UserPassword"));
    // Display and edit text alike: the clear password is never shown.
    password.OnGetText = [](const Field& f, bool) { return PasswordDisplayText(f.AsString()); };
    password.OnSetText = [](Field& f, const QString& text) { f.SetAsString(StoredPasswordFor(text)); };
}

void InsertCredentialLink(TDataDM& dm, int domainId, int credentialId, int priority)
{
    data::Statement& q = Prepare(dm, QStringLiteral(
        "INSERT INTO MngdDomain2Credentials ( MngdDomainID, AlternateCredentialID, PriorityOrder, "
        "LastUserModified ) VALUES ( :MngdDomainID, :AlternateCredentialID, :PriorityOrder, "
        "CURRENT_TIMESTAMP )"));
    q.SetParam(QStringLiteral("MngdDomainID"), domainId);
    q.SetParam(QStringLiteral("AlternateCredentialID"), credentialId);
    q.SetParam(QStringLiteral("PriorityOrder"), priority);
    q.ExecSQL();
}

int UpdateCredentialLink(TDataDM& dm, int newDomainId, int credentialId, int priority, int oldDomainId)
{
    data::Statement& q = Prepare(dm, QStringLiteral(
        "Update MngdDomain2Credentials SET MngdDomainID = :MngdDomainID, PriorityOrder = "
        ":PriorityOrder, LastUserModified = CURRENT_TIMESTAMP WHERE MngdDomainID = "
        ":OldMngdDomainID AND AlternateCredentialID = :AlternateCredentialID"));
    q.SetParam(QStringLiteral("MngdDomainID"), newDomainId);
    q.SetParam(QStringLiteral("PriorityOrder"), priority);
    q.SetParam(QStringLiteral("OldMngdDomainID"), oldDomainId);
    q.SetParam(QStringLiteral("AlternateCredentialID"), credentialId);
    return q.ExecSQL();
}

int DeleteCredentialLink(TDataDM& dm, int domainId, int credentialId)
{
    return Prepare(dm, Fmt("DELETE FROM MngdDomain2Credentials WHERE      MngdDomainID = %d AND  "
                           "AlternateCredentialID = %d ",
                           domainId, credentialId))
        .ExecSQL();
}

int DeleteDomainLinks(TDataDM& dm, int domainId)
{
    return Prepare(dm, Fmt("DELETE FROM MngdDomain2Credentials WHERE MngdDomainID = %d", domainId)).ExecSQL();
}

QList<LinkedCredential> DomainCredentials(TDataDM& dm, int domainId)
{
    data::Statement& q = Prepare(dm, QStringLiteral(
        "SELECT AlternateCredentials.ID, MngdDomain2Credentials.PriorityOrder, "
        "AlternateCredentials.Description, AlternateCredentials.isActive FROM "
        "MngdDomain2Credentials, AlternateCredentials WHERE "
        "MngdDomain2Credentials.AlternateCredentialID = AlternateCredentials.ID AND "
        "MngdDomain2Credentials.MngdDomainID = :MngdDomainID ORDER BY PriorityOrder"));
    q.SetParam(QStringLiteral("MngdDomainID"), domainId);
    auto close = qScopeGuard([&] { q.Close(); });
    QList<LinkedCredential> list;
    for (q.Open(); !q.Eof(); q.Next())
        list.append({q.FieldAt(0).toInt(), q.FieldAt(1).toInt(), q.FieldAt(2).toString(), q.FieldAt(3).toBool()});
    return list;
}

QList<ManagedDomainEntry> ListManagedDomains(TDataDM& dm)
{
    QList<ManagedDomainEntry> list;
    TableDataset& domains = dm.tbMngdDomains();
    // The table is open while the audit connection is; leave it as it was found.
    const bool wasActive = domains.Active();
    if (!wasActive)
        domains.Open();
    auto close = qScopeGuard([&] {
        if (!wasActive)
            domains.Close();
    });
    for (domains.First(); !domains.Eof(); domains.Next())
        list.append({domains.FieldByName(kDomainName).AsString(), domains.FieldByName(kID).AsInteger()});
    return list;
}

} // namespace velmora::engine
