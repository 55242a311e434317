#include "support/PgTestServer.h"

#include "data/DataErrors.h"
#include "data/postgres/PostgresBackend.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

namespace velmora::test {

namespace {

QAtomicInt g_counter;
const int kTestTimeoutSeconds = 120;

// Runs one statement on `catalog` through a connection of its own.
bool RunOn(const data::ConnectionParams& params, const QString& catalog, const QString& sql,
           QString& error)
{
    const QString name = QStringLiteral("velmora-pg-test-%1").arg(g_counter.fetchAndAddOrdered(1));
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        QString host;
        int port = -1;
        data::SplitHostPort(params.dataSource, host, port);
        db.setHostName(host);
        db.setPort(port);
        db.setDatabaseName(catalog);
        db.setUserName(params.userId);
        db.setPassword(params.password);
        db.setConnectOptions(QStringLiteral("connect_timeout=%1").arg(kTestTimeoutSeconds));
        if (!db.open()) {
            error = data::DatabaseErrorText(db.lastError());
        } else {
            QSqlQuery query(db);
            ok = query.exec(sql);
            if (!ok)
                error = data::DatabaseErrorText(query.lastError());
        }
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

} // namespace

PgTestDatabase::Outcome PgTestDatabase::Create(QString& why)
{
    const bool required = qEnvironmentVariable("VELMORA_REQUIRE_PG") == QLatin1String("1");
    const Outcome unavailable = required ? Outcome::Fail : Outcome::Skip;
    const QString spec = qEnvironmentVariable("VELMORA_TEST_PG");
    if (spec.trimmed().isEmpty()) {
        why = QStringLiteral("VELMORA_TEST_PG is not set: no PostgreSQL server for this test "
                             "(start one with scripts/pg-test-cluster)");
        return unavailable;
    }
    QString host;
    QString port;
    m_params = {};
    m_params.provider = QStringLiteral("PostgreSQL");
    // A loaded test machine can take longer than the program's 10 s to start a session.
    m_params.timeoutSeconds = kTestTimeoutSeconds;
    for (const QString& item : spec.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const qsizetype eq = item.indexOf(QLatin1Char('='));
        const QString key = item.left(eq);
        const QString value = eq < 0 ? QString() : item.mid(eq + 1);
        if (key == QLatin1String("host"))
            host = value;
        else if (key == QLatin1String("port"))
            port = value;
        else if (key == QLatin1String("user"))
            m_params.userId = value;
        else if (key == QLatin1String("password"))
            m_params.password = value;
    }
    m_params.dataSource = port.isEmpty() ? host : host + QLatin1Char(':') + port;
    const QString name = QStringLiteral("velmora_test_%1_%2_%3")
                             .arg(QCoreApplication::applicationPid())
                             .arg(g_counter.fetchAndAddOrdered(1))
                             .arg(QRandomGenerator::global()->bounded(1000000));
    QString error;
    if (!Admin(QStringLiteral("CREATE DATABASE %1 TEMPLATE template0 ENCODING 'UTF8'").arg(name),
               error)) {
        why = QStringLiteral("The PostgreSQL server of VELMORA_TEST_PG (%1) cannot be used: %2")
                  .arg(spec, error);
        return required ? Outcome::Fail : Outcome::Skip;
    }
    m_name = name;
    m_params.catalog = name;
    return Outcome::Ready;
}

void PgTestDatabase::Drop()
{
    if (m_name.isEmpty())
        return;
    QString error;
    // FORCE ends connections that a failed test left open.
    if (!Admin(QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)").arg(m_name), error))
        ADD_FAILURE() << "dropping the test database " << m_name.toStdString()
                      << " failed: " << error.toStdString();
    m_name.clear();
}

bool PgTestDatabase::Admin(const QString& sql, QString& error) const
{
    return RunOn(m_params, QStringLiteral("postgres"), sql, error);
}

bool PgTestDatabase::Exec(const QString& sql, QString& error) const
{
    return RunOn(m_params, m_name, sql, error);
}

} // namespace velmora::test
