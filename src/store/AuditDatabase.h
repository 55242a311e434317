#pragma once
// Setting up an audit database on a PostgreSQL server, and the checks that tell whether
// an opened database is one the program can work with.

#include "data/Connection.h"
#include "store/ProgramFolder.h"

#include <QString>
#include <QStringList>

namespace velmora::store {

// The script that creates the access-rights functions for a provider; empty while the
// program holds none for it.
QString FunctionsScript(const QString& provider);

// Whether this program expects the six access-rights functions on a database of the
// connection's provider: on PostgreSQL once it ships their script, on SQLite once it
// registers them on its connections.
bool AccessFunctionsExpected(data::Connection& connection);

// Creates the audit tables (and the access-rights functions) in the existing database that
// `params` name, in one transaction, and writes the connection file pointing at it. A
// database that already holds the program's tables is kept as it is; one that holds other
// tables is refused. False with `error` naming the database and the reason.
bool InitServerDatabase(const ProgramFolder& folder, const data::ConnectionParams& params,
                        QString& report, QString& error);

// "Provider=PostgreSQL;Data Source=...;Initial Catalog=...;User ID=...;Password=..." with
// values quoted where they hold ';', quotes or edge blanks, and "Connect Timeout=N" when
// the time-out is not the default 10 seconds.
QString PostgresInitString(const data::ConnectionParams& params);

} // namespace velmora::store
