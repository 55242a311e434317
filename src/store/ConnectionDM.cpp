#include "store/ConnectionDM.h"

#include "applib/DfxFormat.h"
#include "applib/Exceptions.h"
#include "store/ConnectionFile.h"
#include "store/Schema.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>

namespace velmora::store {

TConnectionDM::TConnectionDM(ProgramFolder folder, QObject* parent)
    : QObject(parent), m_folder(std::move(folder))
{
}

TConnectionDM::~TConnectionDM()
{
    m_connection.Close();
}

void TConnectionDM::Connect()
{
    const QString path = m_folder.ConnectionFile();
    if (!QFileInfo::exists(path))
        RaiseErrorMessageFmt(QStringLiteral("File \"%s\" missing"), {path});

    InitString init;
    QString error;
    data::ConnectionParams params;
    if (!ReadConnectionFile(path, init, error) ||
        !ToConnectionParams(init, m_folder.Path(), params, error))
        RaiseErrorMessage(error);

    if (params.provider == QLatin1String("SQLite") && !QFileInfo::exists(params.dataSource))
        RaiseErrorMessageFmt(QStringLiteral("Database \"%s\" named by the connection file \"%s\" "
                                            "does not exist; run \"velmora-cli db init\""),
                             {params.dataSource, path});

    if (!m_connection.Open(params))
        RaiseErrorMessageFmt(QStringLiteral("Unable to open the audit database \"%s\" named by "
                                            "\"%s\": %s"),
                             {params.dataSource, path, m_connection.LastError()});
    try {
        for (const auto& step : m_openSteps)
            step();
    } catch (...) {
        m_connection.Close();
        throw;
    }
}

void TConnectionDM::Reconnect()
{
    m_connection.Close();
    Connect();
}

bool CreateDatabaseFile(const QString& path, QString& error)
{
    if (QFileInfo::exists(path)) {
        error = Fmt("Database \"%s\" already exists", path);
        return false;
    }
    QDir().mkpath(QFileInfo(path).absolutePath());
    const QString temp = path + QStringLiteral(".new");
    QFile::remove(temp);
    const QString name = QStringLiteral("velmora-create-") + QUuid::createUuid().toString();
    QString failure;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(temp);
        bool ok = db.open();
        QString reason = db.lastError().text();
        const QStringList script = SplitScript(SchemaScript(QStringLiteral("SQLite")));
        if (script.isEmpty()) {
            ok = false;
            reason = QStringLiteral("the program holds no schema script for SQLite");
        }
        if (ok) {
            QSqlQuery query(db);
            for (const QString& statement : script) {
                if (!query.exec(statement)) {
                    ok = false;
                    reason = query.lastError().text();
                    break;
                }
            }
        }
        db.close();
        if (!ok)
            failure = Fmt("Database \"%s\" cannot be created: %s", path, reason);
    }
    QSqlDatabase::removeDatabase(name);
    if (!failure.isEmpty()) {
        error = failure;
        QFile::remove(temp);
        return false;
    }
    if (!QFile::rename(temp, path)) {
        error = Fmt("Database \"%s\" cannot be created: the file cannot be moved into place", path);
        QFile::remove(temp);
        return false;
    }
    return true;
}

bool InitEmbeddedDatabase(const ProgramFolder& folder, QString& report, QString& error)
{
    QStringList done;
    const QString database = folder.Database();
    if (QFileInfo::exists(database)) {
        done << Fmt("kept the existing database \"%s\"", database);
    } else {
        const QString templ = folder.DatabaseTemplate();
        if (!QFileInfo::exists(templ)) {
            error = Fmt("The database template \"%s\" is missing; run \"velmora-cli db template\" "
                        "or reinstall the program", templ);
            return false;
        }
        QDir().mkpath(QFileInfo(database).absolutePath());
        if (!QFile::copy(templ, database)) {
            error = Fmt("Database \"%s\" cannot be created from \"%s\"", database, templ);
            return false;
        }
        QFile(database).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                       QFileDevice::ReadGroup);
        done << Fmt("created the database \"%s\" from \"%s\"", database, templ);
    }
    if (!WriteConnectionFile(folder.ConnectionFile(),
                             SQLiteInitString(ProgramFolder::DatabaseRelativePath()), error))
        return false;
    done << Fmt("wrote the connection file \"%s\"", folder.ConnectionFile());
    report = done.join(QLatin1Char('\n'));
    return true;
}

} // namespace velmora::store
