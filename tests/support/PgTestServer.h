#pragma once
// The PostgreSQL server of the tests (scripts/pg-test-cluster starts one): each test gets a
// fresh, uniquely named database, dropped again when the test ends.
//
// VELMORA_TEST_PG names the server as libpq keywords ("host=/tmp/x/socket port=5433
// user=postgres"). Without it, tests that need the server are skipped with a message;
// with VELMORA_REQUIRE_PG=1 they fail instead, as they do when the server cannot be used.

#include "data/Connection.h"

#include <QString>
#include <gtest/gtest.h>

namespace velmora::test {

class PgTestDatabase
{
public:
    enum class Outcome { Ready, Skip, Fail };

    PgTestDatabase() = default;
    ~PgTestDatabase() { Drop(); }
    PgTestDatabase(const PgTestDatabase&) = delete;
    PgTestDatabase& operator=(const PgTestDatabase&) = delete;

    // Creates the database; on Skip or Fail `why` says why.
    Outcome Create(QString& why);
    void Drop();

    const QString& Name() const { return m_name; }
    // Provider "PostgreSQL", the server, the new database and the user; a connect
    // time-out long enough for a busy machine.
    data::ConnectionParams Params() const { return m_params; }
    // Runs SQL on the test database outside the program's connection; false with `error`.
    bool Exec(const QString& sql, QString& error) const;

private:
    bool Admin(const QString& sql, QString& error) const;

    data::ConnectionParams m_params;
    QString m_name;
};

} // namespace velmora::test

// In SetUp or a test body: creates `database` or skips / fails the test.
#define VELMORA_CREATE_PG_DATABASE(database)                                                 \
    do {                                                                                     \
        QString why_;                                                                        \
        switch ((database).Create(why_)) {                                                   \
        case ::velmora::test::PgTestDatabase::Outcome::Ready:                                \
            break;                                                                           \
        case ::velmora::test::PgTestDatabase::Outcome::Skip:                                 \
            GTEST_SKIP() << why_.toStdString();                                              \
        case ::velmora::test::PgTestDatabase::Outcome::Fail:                                 \
            FAIL() << why_.toStdString();                                                    \
        }                                                                                    \
    } while (false)
