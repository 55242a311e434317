#include "store/AuditDatabase.h"

#include "access/AccessFunctions.h"
#include "applib/DfxFormat.h"
#include "data/DataErrors.h"
#include "store/ConnectionFile.h"
#include "store/Schema.h"

#include <QFile>
#include <QSqlQuery>

namespace velmora::store {

namespace {

// A value of an initialisation string, quoted when reading it back would change it.
QString InitValue(const QString& value)
{
    const bool plain = !value.contains(QLatin1Char(';')) && !value.contains(QLatin1Char('"')) &&
                       !value.contains(QLatin1Char('\'')) && value.trimmed() == value;
    if (plain)
        return value;
    QString quoted = value;
    quoted.replace(QLatin1String("\""), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

// The program's table names, as PostgreSQL stores unquoted names (folded to lower case).
QStringList StoredTableNames()
{
    QStringList names;
    for (const data::TableDef* table : tables::All())
        names << table->name.toLower();
    return names;
}

const char kSchemaMarker[] = "Velmora audit database";

} // namespace

QString FunctionsScript(const QString& provider)
{
    if (provider.compare(QLatin1String("PostgreSQL"), Qt::CaseInsensitive) != 0)
        return {};
    SchemaScript(provider); // registers the resources
    QFile file(QStringLiteral(":/store/postgres-functions.sql"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}

bool AccessFunctionsExpected(data::Connection& connection)
{
    data::Backend* backend = connection.CurrentBackend();
    if (!connection.Connected() || !backend)
        return false;
    if (backend->ProviderName() == QLatin1String("PostgreSQL"))
        return !FunctionsScript(backend->ProviderName()).isEmpty();
    // SQLite: the functions live in the program. Once it registers any of them on its
    // connections, it must register all six.
    QStringList names;
    for (access::AccessFunction function : access::AllAccessFunctions())
        names << access::FunctionName(function).toLower();
    QSqlQuery query(connection.Database());
    if (!query.exec(QStringLiteral("SELECT lower(name) FROM pragma_module_list")))
        return false;
    while (query.next())
        if (names.contains(query.value(0).toString()))
            return true;
    return false;
}

QString PostgresInitString(const data::ConnectionParams& params)
{
    QString init = QStringLiteral("Provider=PostgreSQL;Data Source=%1;Initial Catalog=%2;User ID=%3;"
                                  "Password=%4")
                       .arg(InitValue(params.dataSource), InitValue(params.catalog),
                            InitValue(params.userId), InitValue(params.password));
    if (params.timeoutSeconds != data::ConnectionParams().timeoutSeconds)
        init += QStringLiteral(";Connect Timeout=%1").arg(params.timeoutSeconds);
    return init;
}

bool InitServerDatabase(const ProgramFolder& folder, const data::ConnectionParams& params,
                        QString& report, QString& error)
{
    const QString where = Fmt("PostgreSQL database \"%s\" on \"%s\"", params.catalog,
                              params.dataSource.isEmpty() ? QStringLiteral("the local server")
                                                          : params.dataSource);
    data::Connection connection;
    if (!connection.Open(params)) {
        error = connection.LastError();
        return false;
    }
    QSqlDatabase db = connection.Database();
    QStringList done;

    // What the database already holds in the schema the program's names resolve to.
    QStringList existing;
    bool marked = false;
    {
        QSqlQuery query(db);
        if (!query.exec(QStringLiteral(
                "SELECT c.relname, coalesce(obj_description(c.oid, 'pg_class'), '') "
                "FROM pg_class c WHERE c.relnamespace = current_schema()::regnamespace "
                "AND c.relkind IN ('r', 'p', 'v', 'm', 'f') ORDER BY c.relname"))) {
            error = Fmt("The %s cannot be read: %s", where, data::DatabaseErrorText(query.lastError()));
            return false;
        }
        while (query.next()) {
            existing << query.value(0).toString();
            if (query.value(0).toString() == QLatin1String("servers") &&
                query.value(1).toString().startsWith(QLatin1String(kSchemaMarker)))
                marked = true;
        }
    }
    const QStringList ours = StoredTableNames();
    bool complete = marked;
    for (const QString& name : ours)
        complete = complete && existing.contains(name);

    QStringList scripts;
    if (existing.isEmpty()) {
        scripts << SchemaScript(QStringLiteral("PostgreSQL"));
        done << Fmt("created the audit tables in the %s", where);
    } else if (complete) {
        done << Fmt("kept the audit tables of the %s", where);
    } else {
        error = Fmt("The %s already holds tables that are not Velmora's (%s); use an empty "
                    "database",
                    where, existing.mid(0, 5).join(QStringLiteral(", ")) +
                               (existing.size() > 5 ? QStringLiteral(", ...") : QString()));
        return false;
    }
    const QString functions = FunctionsScript(QStringLiteral("PostgreSQL"));
    if (!functions.isEmpty()) {
        QString missing;
        if (existing.isEmpty() || !access::HasAccessFunctions(connection, missing)) {
            scripts << functions;
            done << Fmt("created the access-rights functions in the %s", where);
        }
    }

    if (!scripts.isEmpty()) {
        // One transaction: a failure leaves the database as it was.
        QSqlQuery query(db);
        bool ok = db.transaction();
        QString reason = ok ? QString() : data::DatabaseErrorText(db.lastError());
        for (const QString& script : std::as_const(scripts)) {
            if (!ok)
                break;
            // The simple query protocol runs a whole script, dollar-quoted bodies included.
            if (!query.exec(script)) {
                ok = false;
                reason = data::DatabaseErrorText(query.lastError());
            }
        }
        query.finish();
        if (ok && !db.commit()) {
            ok = false;
            reason = data::DatabaseErrorText(db.lastError());
        }
        if (!ok) {
            db.rollback();
            error = Fmt("The audit tables cannot be created in the %s: %s", where, reason);
            return false;
        }
    }
    connection.Close();

    if (!WriteConnectionFile(folder.ConnectionFile(), PostgresInitString(params), error))
        return false;
    done << Fmt("wrote the connection file \"%s\"", folder.ConnectionFile());
    report = done.join(QLatin1Char('\n'));
    return true;
}

} // namespace velmora::store
