#pragma once
// The audit connection's owner. Connect reads the connection file and opens the database;
// the data modules hook their table opening onto AfterConnect.

#include "data/Connection.h"
#include "store/ProgramFolder.h"

#include <QObject>
#include <QThread>
#include <atomic>
#include <functional>
#include <vector>

namespace velmora::store {

class TConnectionDM : public QObject
{
    Q_OBJECT
public:
    explicit TConnectionDM(ProgramFolder folder, QObject* parent = nullptr);
    ~TConnectionDM() override;

    data::Connection& Connection() { return m_connection; }
    const ProgramFolder& Folder() const { return m_folder; }

    // Opens the audit connection from the connection file, then runs every registered
    // table-opening step. Raises EErrorMessageException "File \"%s\" missing" without a
    // connection file, and an EErrorMessageException naming the file and the reason for
    // any other failure (the connection is then closed): an unreachable server (given up
    // after the connection's time-out), a provider this system lacks, a database without
    // the audit tables or without the access-rights functions. A SQLite database that the
    // connection file names but that does not exist is made from the shipped template.
    void Connect();
    // Closes the connection and connects again, which reloads every table dataset.
    void Reconnect();
    bool Connected() const { return m_connection.Connected(); }

    // Steps run after each successful opening (OpenAllTables of the data modules).
    void AddOpenAllTables(std::function<void()> step) { m_openSteps.push_back(std::move(step)); }

private:
    void OpenTables(const QString& connectionFile, const QString& database);

    ProgramFolder m_folder;
    data::Connection m_connection;
    std::vector<std::function<void()>> m_openSteps;
};

// 0 after a successful start-up connect, 1 after a failed one; 0 before the first. Written
// by the connection thread only, read after it has finished.
extern std::atomic<int> ConnectFailed;

// The start-up connect on a worker thread: runs Connect, records the outcome in
// ConnectFailed and keeps the failure's message; the opened connection is handed to the
// thread that created this object before the worker ends. That thread must not touch the
// connection's data modules until the worker has finished.
class TSQLConnectionThread : public QThread
{
    Q_OBJECT
public:
    explicit TSQLConnectionThread(TConnectionDM& connection, QObject* parent = nullptr);
    // The reason of the failed attempt; empty after a success. Read after the end.
    QString ErrorText() const { return m_error; }

protected:
    void run() override;

private:
    TConnectionDM& m_connection;
    QThread* m_owner;
    QString m_error;
};

// Creates an empty audit database at `path` from the backend's schema script, written
// to a temporary file first so that a failure leaves nothing half-made. False with
// `error` naming the file and the reason; an existing file is never replaced.
bool CreateDatabaseFile(const QString& path, QString& error);

// Sets up the embedded database: the connection file (kept when `keepConnectionFile` and
// it exists) and Data File/Velmora.db copied from the shipped template when missing (an
// existing database is kept, never emptied). `report` says what was done.
bool InitEmbeddedDatabase(const ProgramFolder& folder, QString& report, QString& error);

} // namespace velmora::store
