#pragma once
// The server backend: a PostgreSQL database through Qt's QPSQL driver.
//
// Row identity: every table of a PostgreSQL audit database carries a column "rowid"
// (bigint, made by the database as an identity, unique). The keyset datasets find their
// current row again by it after other rows changed; a physical address such as ctid moves
// whenever the row is updated (PostgreSQL writes a new row version), and so cannot serve.
//
// Letter case: names compare without regard to case through a case-insensitive collation
// on the text columns (the schema script creates it), as SQLite's COLLATE NOCASE does, so
// `WHERE Server = :Server` matches "SRV1" and "srv1" alike on both backends.

#include "data/Connection.h"

namespace velmora::data {

class PostgresBackend : public Backend
{
public:
    QString ProviderName() const override { return QStringLiteral("PostgreSQL"); }
    QString DriverName() const override { return QStringLiteral("QPSQL"); }
    // Data Source: host[:port]; a host that starts with "/" is the folder of the server's
    // Unix socket. The connection attempt gives up after params.timeoutSeconds.
    bool Open(QSqlDatabase& db, const ConnectionParams& params, QString& error) override;
    // [Full Control] -> "Full Control"; everything else as written.
    QString Dialect(const QString& sql) const override;
    QString SqlType(const FieldDef& field) const override;
    QString RowIdExpression() const override { return QStringLiteral("rowid"); }
    // Booleans as 0/1 (flags are smallint columns, so that the program's "isActive = 1"
    // works as written); dates and times as local-time text, which the server reads into
    // its "timestamp" columns unchanged.
    QVariant BindValue(const QVariant& value) const override;
    // NULL first in ascending order, as on SQLite.
    QString OrderTerm(const QString& expression, bool descending) const override;
};

// Splits "host[:port]" (a socket folder may itself hold ':'; only a trailing ":digits" is a
// port). False when the port is not a number from 1 to 65535.
bool SplitHostPort(const QString& dataSource, QString& host, int& port);

} // namespace velmora::data
