#pragma once
// The audit connection's owner. Connect reads the connection file and opens the database;
// the data modules hook their table opening onto AfterConnect.

#include "data/Connection.h"
#include "store/ProgramFolder.h"

#include <QObject>
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
    // any other failure (the connection is then closed).
    void Connect();
    // Closes the connection and connects again, which reloads every table dataset.
    void Reconnect();
    bool Connected() const { return m_connection.Connected(); }

    // Steps run after each successful opening (OpenAllTables of the data modules).
    void AddOpenAllTables(std::function<void()> step) { m_openSteps.push_back(std::move(step)); }

private:
    ProgramFolder m_folder;
    data::Connection m_connection;
    std::vector<std::function<void()>> m_openSteps;
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
