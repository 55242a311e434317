#pragma once
// How the data layer reports failures: Exception with a message for the user.

#include <QSqlError>
#include <QString>

namespace velmora::data {

// The driver's text of the error, then the statement on a line of its own.
[[noreturn]] void RaiseDatabaseError(const QSqlError& error, const QString& sql);
// The driver's own text of an error (the database's message where there is one).
QString DatabaseErrorText(const QSqlError& error);

} // namespace velmora::data
