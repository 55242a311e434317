#include "data/Connection.h"

#include "applib/Exceptions.h"
#include "applib/LastError.h"
#include "data/DataErrors.h"
#include "data/Dataset.h"
#include "data/postgres/PostgresBackend.h"
#include "data/sqlite/SqliteBackend.h"

#include <QAtomicInt>
#include <QSqlDriver>
#include <QSqlQuery>
#include <vector>

namespace velmora::data {

namespace {

std::vector<std::unique_ptr<Backend>>& Backends()
{
    static std::vector<std::unique_ptr<Backend>> backends = [] {
        std::vector<std::unique_ptr<Backend>> list;
        list.push_back(std::make_unique<SqliteBackend>());
        list.push_back(std::make_unique<PostgresBackend>());
        return list;
    }();
    return backends;
}

QAtomicInt g_connectionCount;

} // namespace

QString DatabaseErrorText(const QSqlError& error)
{
    const QString text = error.databaseText().trimmed();
    return text.isEmpty() ? error.text().trimmed() : text;
}

void RaiseDatabaseError(const QSqlError& error, const QString& sql)
{
    QString message = DatabaseErrorText(error);
    if (message.isEmpty())
        message = QStringLiteral("Database error");
    if (!sql.isEmpty())
        message += QLatin1Char('\r') + sql;
    throw Exception(message);
}

Backend* FindBackend(const QString& providerName)
{
    for (const auto& backend : Backends())
        if (backend->ProviderName().compare(providerName, Qt::CaseInsensitive) == 0)
            return backend.get();
    return nullptr;
}

QStringList BackendProviders()
{
    QStringList names;
    for (const auto& backend : Backends())
        names.append(backend->ProviderName());
    return names;
}

void RegisterBackend(std::unique_ptr<Backend> backend)
{
    auto& backends = Backends();
    for (auto& existing : backends)
        if (existing->ProviderName().compare(backend->ProviderName(), Qt::CaseInsensitive) == 0) {
            existing = std::move(backend);
            return;
        }
    backends.push_back(std::move(backend));
}

Connection::Connection(QObject* parent)
    : QObject(parent),
      m_connectionName(
          QStringLiteral("velmora-data-%1").arg(g_connectionCount.fetchAndAddOrdered(1)))
{
}

Connection::~Connection()
{
    Close();
    for (TableDataset* dataset : std::as_const(m_datasets))
        dataset->DetachFromConnection();
    for (Statement* statement : std::as_const(m_statements))
        statement->m_detached = true;
    const bool added = m_db.isValid();
    m_db = QSqlDatabase();
    if (added)
        QSqlDatabase::removeDatabase(m_connectionName);
}

bool Connection::Fail(const QString& reason)
{
    m_lastError = reason;
    SetLastErrorText(reason, false, kDfxErrorText);
    return false;
}

bool Connection::Open(const ConnectionParams& params)
{
    Close();
    m_params = params;
    m_lastError.clear();
    Backend* backend = FindBackend(params.provider);
    if (!backend)
        return Fail(QStringLiteral("The database provider \"%1\" is not available on this system")
                        .arg(params.provider));
    if (m_db.isValid() && m_db.driverName() != backend->DriverName()) {
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_connectionName);
    }
    if (!m_db.isValid())
        m_db = QSqlDatabase::addDatabase(backend->DriverName(), m_connectionName);
    if (!m_db.isValid() || !m_db.driver() || !m_db.isDriverAvailable(backend->DriverName()))
        return Fail(
            QStringLiteral("The database driver %1 is not available").arg(backend->DriverName()));
    m_backend = backend;
    QString error;
    if (!backend->Open(m_db, params, error)) {
        if (m_db.isOpen())
            m_db.close();
        return Fail(error.isEmpty() ? QStringLiteral("Cannot open the database") : error);
    }
    // Copy: a dataset's reopening may register or unregister others.
    const QList<TableDataset*> datasets = m_datasets;
    try {
        for (TableDataset* dataset : datasets)
            if (m_datasets.contains(dataset) && dataset->m_wasActive)
                dataset->ReopenAfterConnect();
    } catch (const Exception& e) {
        const QString reason = e.Message();
        Close();
        return Fail(reason);
    }
    emit AfterConnect();
    return true;
}

void Connection::Close()
{
    if (!Connected())
        return;
    emit BeforeDisconnect();
    for (TableDataset* dataset : std::as_const(m_datasets))
        dataset->CloseForDisconnect();
    for (Statement* statement : std::as_const(m_statements))
        statement->Release();
    m_db.close();
}

bool Connection::Connected() const
{
    return m_db.isValid() && m_db.isOpen();
}

QSqlDatabase Connection::Database() const
{
    return m_db;
}

void Connection::RegisterDataset(TableDataset* dataset)
{
    if (!m_datasets.contains(dataset))
        m_datasets.append(dataset);
}

void Connection::UnregisterDataset(TableDataset* dataset)
{
    m_datasets.removeAll(dataset);
}

void Connection::RegisterStatement(Statement* statement)
{
    if (!m_statements.contains(statement))
        m_statements.append(statement);
}

void Connection::UnregisterStatement(Statement* statement)
{
    m_statements.removeAll(statement);
}

void Connection::ExecDirect(const QString& sql)
{
    if (!Connected())
        throw Exception(QStringLiteral("The database connection is closed"));
    const QString text = m_backend->Dialect(sql);
    QSqlQuery query(m_db);
    if (!query.exec(text))
        RaiseDatabaseError(query.lastError(), sql);
}

void Connection::HandOverToThread(QThread* thread)
{
    // Only the thread an object lives in can give it away.
    QSqlDriver* driver = m_db.isValid() ? m_db.driver() : nullptr;
    if (driver && driver->thread() == QThread::currentThread())
        driver->moveToThread(thread);
    if (!parent() && this->thread() == QThread::currentThread())
        moveToThread(thread);
}

} // namespace velmora::data
