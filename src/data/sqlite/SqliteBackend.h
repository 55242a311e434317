#pragma once
// The embedded backend: one database file through Qt's QSQLITE driver, which uses the
// system's libsqlite3, so the program can add its own SQL functions on the same handle.

#include "data/Connection.h"

struct sqlite3;

namespace velmora::data {

class SqliteBackend : public Backend
{
  public:
    QString ProviderName() const override { return QStringLiteral("SQLite"); }
    QString DriverName() const override { return QStringLiteral("QSQLITE"); }
    // Opens an existing database file only (a missing file is an error, never created);
    // WAL journal, foreign keys on, busy time-out from the connection's time-out.
    bool Open(QSqlDatabase& db, const ConnectionParams& params, QString& error) override;
    // SQLite reads the program's SQL as it is written (brackets and :Name included).
    QString Dialect(const QString& sql) const override { return sql; }
    QString SqlType(const FieldDef& field) const override;
    QString RowIdExpression() const override { return QStringLiteral("rowid"); }
    // Booleans as 0/1, dates and times as "yyyy-MM-dd HH:mm:ss.zzz" text (local time),
    // which sorts and compares as text and is understood by SQLite's date functions.
    QVariant BindValue(const QVariant& value) const override;
    // Unicode-aware lower case (SQLite's own lower() folds ASCII letters only).
    QString CaseFold(const QString& expression) const override;
};

// The sqlite3 handle behind an open QSQLITE connection; nullptr for any other.
sqlite3* SqliteHandle(const QSqlDatabase& db);

} // namespace velmora::data
