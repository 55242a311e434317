#pragma once
// The connection file: a data-link file ("[oledb]" header, one initialisation string) in
// UTF-16 with a byte-order mark. It may hold a password, so it is written owner-only.

#include "data/Connection.h"

#include <QString>

namespace velmora::store {

struct InitString
{
    QString text;                     // "Provider=...;Data Source=..."
    QList<QPair<QString, QString>> items; // in order, keys as written
    QString Value(const QString& key) const; // case-insensitive; empty when absent
};

InitString ParseInitString(const QString& text);

// Reads the initialisation string; false with `error` naming the file and the reason.
bool ReadConnectionFile(const QString& path, InitString& out, QString& error);
// Writes the file atomically with owner-only permissions; false with `error`.
bool WriteConnectionFile(const QString& path, const QString& initString, QString& error);

// Turns an initialisation string into connection parameters. SQLite data sources are
// relative to the program folder. SQL Server strings are recognised and refused as not
// available on this system; false with `error`.
bool ToConnectionParams(const InitString& init, const QString& programFolder,
                        data::ConnectionParams& params, QString& error);

// The initialisation string for the embedded database at `relativePath`.
QString SQLiteInitString(const QString& relativePath);

} // namespace velmora::store
