#include "store/ConnectionDM.h"

#include "access/AccessFunctions.h"
#include "applib/DfxFormat.h"
#include "applib/Exceptions.h"
#include "store/AuditDatabase.h"
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

    const QString database = params.provider == QLatin1String("SQLite")
                                 ? params.dataSource
                                 : Fmt("%s on %s", params.catalog, params.dataSource);
    if (params.provider == QLatin1String("SQLite") && !QFileInfo::exists(params.dataSource)) {
        // A missing embedded database starts afresh from the empty one shipped beside it.
        const QString templ = m_folder.DatabaseTemplate();
        if (!QFileInfo::exists(templ))
            RaiseErrorMessageFmt(
                QStringLiteral("Database \"%s\" named by the connection file \"%s\" does not "
                               "exist and cannot be created: the database template \"%s\" is "
                               "missing; run \"velmora-cli db template\" or reinstall the program"),
                {params.dataSource, path, templ});
        QDir().mkpath(QFileInfo(params.dataSource).absolutePath());
        QFile copy(templ);
        if (!copy.copy(params.dataSource))
            RaiseErrorMessageFmt(QStringLiteral("Database \"%s\" named by the connection file "
                                                "\"%s\" does not exist and cannot be created "
                                                "from \"%s\": %s"),
                                 {params.dataSource, path, templ, copy.errorString()});
        QFile(params.dataSource)
            .setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup);
    }

    if (!m_connection.Open(params))
        RaiseErrorMessageFmt(QStringLiteral("Unable to open the audit database \"%s\" named by "
                                            "\"%s\": %s"),
                             {database, path, m_connection.LastError()});
    OpenTables(path, database);
}

void TConnectionDM::OpenTables(const QString& connectionFile, const QString& database)
{
    QString reason;
    if (AccessFunctionsExpected(m_connection) &&
        !access::HasAccessFunctions(m_connection, reason)) {
        m_connection.Close();
        RaiseErrorMessageFmt(QStringLiteral("Unable to use the audit database \"%s\" named by "
                                            "\"%s\": %s"),
                             {database, connectionFile, reason});
    }
    try {
        for (const auto& step : m_openSteps)
            step();
    } catch (const Exception& e) {
        // A database without the audit tables, or with tables of another shape.
        reason = e.Message();
    }
    if (!reason.isEmpty()) {
        m_connection.Close();
        RaiseErrorMessageFmt(QStringLiteral("Unable to open the tables of the audit database "
                                            "\"%s\" named by \"%s\": %s"),
                             {database, connectionFile, reason});
    }
}

void TConnectionDM::Reconnect()
{
    m_connection.Close();
    Connect();
}

std::atomic<int> ConnectFailed{0};

TSQLConnectionThread::TSQLConnectionThread(TConnectionDM& connection, QObject* parent)
    : QThread(parent), m_connection(connection), m_owner(QThread::currentThread())
{
}

void TSQLConnectionThread::run()
{
    ConnectFailed = 0;
    m_error.clear();
    try {
        m_connection.Connect();
    } catch (const Exception& e) {
        ConnectFailed = 1;
        m_error = e.Message();
    } catch (const std::exception& e) {
        ConnectFailed = 1;
        m_error = QString::fromLocal8Bit(e.what());
    }
    m_connection.Connection().HandOverToThread(m_owner);
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
