#include "data/sqlite/SqliteBackend.h"

#include "access/SqliteFunctions.h"
#include "data/BindValues.h"

#include <QDateTime>
#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <sqlite3.h>

namespace velmora::data {

namespace {

const char kFoldFunction[] = "velmora_fold";

// SQLite URI of a file that must already exist ("mode=rw" never creates one).
QString ExistingFileUri(const QString& path)
{
    QString encoded;
    for (QChar c : path) {
        if (c == QLatin1Char('%'))
            encoded += QLatin1String("%25");
        else if (c == QLatin1Char('?'))
            encoded += QLatin1String("%3f");
        else if (c == QLatin1Char('#'))
            encoded += QLatin1String("%23");
        else
            encoded += c;
    }
    return QLatin1String("file:") + encoded + QLatin1String("?mode=rw");
}

void FoldCase(sqlite3_context* context, int, sqlite3_value** argv)
{
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) {
        sqlite3_result_null(context);
        return;
    }
    const auto* text = static_cast<const char16_t*>(sqlite3_value_text16(argv[0]));
    const int bytes = sqlite3_value_bytes16(argv[0]);
    const QString folded = QString::fromUtf16(text, static_cast<qsizetype>(bytes / 2)).toLower();
    sqlite3_result_text16(context, folded.utf16(), static_cast<int>(folded.size() * 2),
                          SQLITE_TRANSIENT);
}

QString ErrorText(const QSqlError& error)
{
    return error.databaseText().isEmpty() ? error.text() : error.databaseText();
}

} // namespace

sqlite3* SqliteHandle(const QSqlDatabase& db)
{
    if (!db.isValid() || !db.driver())
        return nullptr;
    const QVariant handle = db.driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3* const*>(handle.constData());
}

bool SqliteBackend::Open(QSqlDatabase& db, const ConnectionParams& params, QString& error)
{
    const QString file = params.dataSource;
    if (file.isEmpty()) {
        error = QStringLiteral("No database file is given");
        return false;
    }
    const QFileInfo info(file);
    if (!info.exists()) {
        error = QStringLiteral("The database file \"%1\" does not exist").arg(file);
        return false;
    }
    if (!info.isFile()) {
        error = QStringLiteral("\"%1\" is not a database file").arg(file);
        return false;
    }
    db.setDatabaseName(ExistingFileUri(file));
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI"));
    if (!db.open()) {
        error = QStringLiteral("Cannot open the database file \"%1\": %2")
                    .arg(file, ErrorText(db.lastError()));
        return false;
    }
    // synchronous=NORMAL is safe with WAL (a power cut may lose the last commits but never
    // corrupts the file) and spares a disk flush for every posted row.
    const QString pragmas[] = {
        QStringLiteral("PRAGMA journal_mode=WAL"),
        QStringLiteral("PRAGMA synchronous=NORMAL"),
        QStringLiteral("PRAGMA foreign_keys=ON"),
        QStringLiteral("PRAGMA busy_timeout=%1").arg(qMax(0, params.timeoutSeconds) * 1000),
    };
    for (const QString& pragma : pragmas) {
        QSqlQuery query(db);
        if (!query.exec(pragma)) {
            error = QStringLiteral("Cannot open the database file \"%1\": %2")
                        .arg(file, ErrorText(query.lastError()));
            query = QSqlQuery();
            db.close();
            return false;
        }
    }
    sqlite3* handle = SqliteHandle(db);
    if (!handle ||
        sqlite3_create_function_v2(handle, kFoldFunction, 1,
                                   SQLITE_UTF16 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS, nullptr,
                                   FoldCase, nullptr, nullptr, nullptr) != SQLITE_OK) {
        error = QStringLiteral("Cannot open the database file \"%1\": %2")
                    .arg(file, handle ? QString::fromUtf8(sqlite3_errmsg(handle))
                                      : QStringLiteral("no SQLite handle"));
        db.close();
        return false;
    }
    // The access-rights functions live on every connection, as stored functions would.
    QString registerError;
    if (!access::RegisterSqliteAccessFunctions(handle, registerError)) {
        error = QStringLiteral("Cannot open the database file \"%1\": %2").arg(file, registerError);
        db.close();
        return false;
    }
    return true;
}

QString SqliteBackend::SqlType(const FieldDef& field) const
{
    switch (field.type) {
    case FieldType::Text:
        return QStringLiteral("varchar(%1)").arg(field.size);
    case FieldType::FixedText:
        return QStringLiteral("char(%1)").arg(field.size);
    case FieldType::Guid:
        return QStringLiteral("char(38)");
    case FieldType::Bool:
        return QStringLiteral("bit");
    case FieldType::TinyInt:
        return QStringLiteral("tinyint");
    case FieldType::SmallInt:
        return QStringLiteral("smallint");
    case FieldType::Integer:
        return QStringLiteral("integer");
    case FieldType::AutoInc:
        return QStringLiteral("integer primary key autoincrement");
    case FieldType::DateTime:
        return QStringLiteral("datetime");
    }
    return QStringLiteral("text");
}

QVariant SqliteBackend::BindValue(const QVariant& value) const
{
    return PortableBindValue(value);
}

QString SqliteBackend::CaseFold(const QString& expression) const
{
    return QLatin1String(kFoldFunction) + QLatin1Char('(') + expression + QLatin1Char(')');
}

} // namespace velmora::data
