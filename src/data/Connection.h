#pragma once
// The audit connection and the small backend interface behind it. A backend is looked up
// by its provider name ("SQLite", "PostgreSQL").

#include "data/Fields.h"

#include <QHash>
#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <QThread>
#include <memory>

namespace velmora::data {

struct ConnectionParams
{
    QString provider;     // "SQLite", "PostgreSQL"
    QString dataSource;   // SQLite: database file (absolute); PostgreSQL: host[:port]
    QString catalog;      // PostgreSQL database name
    QString userId;
    QString password;
    int timeoutSeconds = 10;
};

class Backend
{
public:
    virtual ~Backend() = default;
    virtual QString ProviderName() const = 0;
    // The Qt driver name ("QSQLITE").
    virtual QString DriverName() const = 0;
    // Opens `db` (already added with DriverName()); false with the reason in `error`.
    virtual bool Open(QSqlDatabase& db, const ConnectionParams& params, QString& error) = 0;
    // Rewrites the program's SQL quoting ([Full Control]) for this backend. Statements and
    // datasets hand it SQL whose :Name parameters have already become positional '?'.
    virtual QString Dialect(const QString& sql) const = 0;
    // SQL type of a field in this backend's schema.
    virtual QString SqlType(const FieldDef& field) const = 0;
    // An expression that identifies a row of a table for the duration of a dataset's use.
    virtual QString RowIdExpression() const = 0;
    // The value to bind for a field value or parameter (bool, int, QString, QDateTime).
    virtual QVariant BindValue(const QVariant& value) const { return value; }
    // An SQL expression that folds the case of `expression` for case-insensitive matching.
    virtual QString CaseFold(const QString& expression) const
    {
        return QStringLiteral("lower(") + expression + QLatin1Char(')');
    }
    // One term of an ORDER BY in which NULL comes before every value in ascending order
    // (and after every value in descending order), as the keyset datasets expect.
    virtual QString OrderTerm(const QString& expression, bool descending) const
    {
        return descending ? expression + QLatin1String(" DESC") : expression;
    }
};

// Registered backends; nullptr for an unknown provider (names match case-insensitively).
Backend* FindBackend(const QString& providerName);
QStringList BackendProviders();
// Adds a backend (replacing one of the same provider name). Main thread, before use.
void RegisterBackend(std::unique_ptr<Backend> backend);

class TableDataset;
class Statement;

// Owns one QSqlDatabase connection. Datasets register themselves so that Close closes them
// and Open reopens the ones that were open (Reconnect reloads every dataset).
class Connection : public QObject
{
    Q_OBJECT
public:
    explicit Connection(QObject* parent = nullptr);
    ~Connection() override;

    // False with the reason in the last-error store and in LastError().
    bool Open(const ConnectionParams& params);
    void Close();
    bool Connected() const;
    QString LastError() const { return m_lastError; }
    const ConnectionParams& Params() const { return m_params; }

    QSqlDatabase Database() const;
    Backend* CurrentBackend() const { return m_backend; }

    // Used by TableDataset.
    void RegisterDataset(TableDataset* dataset);
    void UnregisterDataset(TableDataset* dataset);

    // Runs a statement with no result (DDL, PRAGMA); raises Exception on failure.
    void ExecDirect(const QString& sql);

    // The connection may be opened on a worker thread and then used on another one: the
    // opening thread calls this before it lets go of the connection.
    void HandOverToThread(QThread* thread);

signals:
    void AfterConnect();
    void BeforeDisconnect();

private:
    friend class Statement;
    void RegisterStatement(Statement* statement);
    void UnregisterStatement(Statement* statement);
    bool Fail(const QString& reason);

    QString m_connectionName;
    QSqlDatabase m_db;
    ConnectionParams m_params;
    Backend* m_backend = nullptr;
    QString m_lastError;
    QList<TableDataset*> m_datasets;
    QList<Statement*> m_statements;
};

} // namespace velmora::data
