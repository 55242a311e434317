#pragma once
// The six access-rights functions on SQLite: eponymous table-valued functions (virtual
// table modules whose arguments are hidden columns), so that
// "SELECT * FROM ListActual...(?, ?, ?, ?)" runs as the program writes it. Each call reads
// the scan tables through the same handle with indexed statements and computes in memory.

#include <QString>

struct sqlite3;

namespace velmora::access {

// Registers the six modules on the handle. False with `error` when SQLite refuses one.
bool RegisterSqliteAccessFunctions(sqlite3* db, QString& error);

} // namespace velmora::access
