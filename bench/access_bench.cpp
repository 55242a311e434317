// velmora-bench-access: times the six access-rights functions on a generated audit database,
// on SQLite and (when a server is given) PostgreSQL, beside the reference evaluator on the
// same rows in memory, and checks that every implementation returns the same rows.
//
//   velmora-bench-access [--scale N] [--seed S] [--dir DIR] [--only TEXT] [--keep]
//                        [--sqlite FILE | --no-sqlite] [--pg-database NAME]
//                        [--reference-timeout SECONDS] [--db-timeout SECONDS]
//
// --scale N divides every size by N (1, the default, is the full size). PostgreSQL is used
// when VELMORA_BENCH_PG or VELMORA_TEST_PG holds a libpq connection string; a database of
// its own is created there and dropped at the end. The reference evaluator runs each
// question in a child process that is stopped after --reference-timeout seconds (default
// 120): it is written for clarity, and on the full size most of its folder questions take
// far longer than that. A database question still running after --db-timeout seconds
// (default 300) is interrupted and shown as stopped. --sqlite FILE times an existing
// database made with the same seed and scale (--keep leaves one), for trying a change to
// it such as an extra index; --pg-database NAME likewise on the server (the functions
// script is run on it again first); --no-sqlite times PostgreSQL alone.

#include "access/AccessFunctions.h"
#include "access/Reference.h"
#include "applib/Exceptions.h"
#include "bench/access_data.h"
#include "data/Connection.h"
#include "data/Dataset.h"
#include "data/sqlite/SqliteBackend.h"
#include "store/AuditDatabase.h"
#include "store/Schema.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <libpq-fe.h>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>

using namespace velmora;
using access::AccessFunction;

namespace {

constexpr double kSingleAim = 0.5;
constexpr double kAllAim = 30.0;

struct Question
{
    AccessFunction function;
    QString label;     // what is asked, for the table
    QVariantList args; // in call order
    double aim = kSingleAim;
};

// What one implementation answered: time, rows and an order-free digest of the rows.
struct Answer
{
    enum class State
    {
        Done,
        Failed,
        TimedOut,
        Skipped
    } state = State::Skipped;
    double seconds = 0;
    double cpu = -1; // CPU seconds of this process and the database server's (-1: unknown)
    qint64 rows = 0;
    quint64 digest = 0;
    QString error;
};

double ProcessCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// CPU seconds of another process on this machine (the PostgreSQL server's process for
// the benchmark's connection); -1 when it cannot be read.
double OtherProcessCpuSeconds(qint64 pid)
{
    if (pid <= 0)
        return -1;
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = file.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    // Fields 14 and 15 of the file (user and system time), counted after the name.
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

quint64 RowHash(const QString& text)
{
    quint64 hash = 0xCBF29CE484222325ull; // FNV-1a
    for (const QChar c : text) {
        hash ^= c.unicode();
        hash *= 0x100000001B3ull;
    }
    return hash;
}

const char* FunctionShortName(AccessFunction function)
{
    switch (function) {
    case AccessFunction::SharesForUser:
        return "SharesForUser";
    case AccessFunction::FoldersForUser:
        return "FoldersForUser";
    case AccessFunction::SharesForAllUsersGroups:
        return "SharesForAll";
    case AccessFunction::FoldersForAllUsersGroups:
        return "FoldersForAll";
    case AccessFunction::UsersToServerShare:
        return "UsersToShare";
    case AccessFunction::UsersToServerShareFolders:
        return "UsersToFolders";
    }
    return "?";
}

std::vector<Question> Questions(const bench::AccessData& data)
{
    const QString domain = QString::fromLatin1(data.domainNames[0]);
    const QString user = QString::fromLatin1(data.accounts[data.busyUser].sid);
    const QString group = QString::fromLatin1(data.accounts[data.bigGroup].sid);
    const QString server = QString::fromLatin1(data.servers[data.busyServer].name);
    const QString all = QLatin1String(access::kAllMarker);
    int userGroups = 0;
    QStringList excluded; // two of the busy user's departmental groups
    for (const auto& [member, g] : data.memberships) {
        if (member != data.busyUser)
            continue;
        ++userGroups;
        if (g != data.bigGroup && excluded.size() < 2)
            excluded << QString::fromLatin1(data.accounts[g].sid);
    }
    const QString userLabel = QStringLiteral("user %1 groups").arg(userGroups);
    const QString groupLabel = QStringLiteral("Domain Users");

    std::vector<Question> out;
    for (AccessFunction f : {AccessFunction::SharesForUser, AccessFunction::FoldersForUser}) {
        for (const char* level : {"", "G", "E", "GE"})
            out.push_back({f, userLabel, {domain, user, QString(), QLatin1String(level)}});
        for (const char* level : {"", "G"})
            out.push_back({f, groupLabel, {domain, group, QString(), QLatin1String(level)}});
    }
    out.push_back({AccessFunction::FoldersForUser,
                   userLabel + QStringLiteral(" excl 2"),
                   {domain, user, excluded.join(QStringLiteral(", ")), QStringLiteral("G")}});
    for (AccessFunction f :
         {AccessFunction::SharesForAllUsersGroups, AccessFunction::FoldersForAllUsersGroups}) {
        out.push_back(
            {f, QStringLiteral("[ALL] users"), {domain, 0, QString(), QString()}, kAllAim});
        out.push_back(
            {f, QStringLiteral("[ALL] groups"), {domain, 1, QString(), QString()}, kAllAim});
        out.push_back({f,
                       QStringLiteral("[ALL] groups"),
                       {domain, 1, QString(), QStringLiteral("G")},
                       kAllAim});
    }
    // Every user through its groups: the biggest answer a user can ask for.
    for (AccessFunction f :
         {AccessFunction::SharesForAllUsersGroups, AccessFunction::FoldersForAllUsersGroups})
        out.push_back({f,
                       QStringLiteral("[ALL] users"),
                       {domain, 0, QString(), QStringLiteral("G")},
                       kAllAim});
    for (AccessFunction f :
         {AccessFunction::UsersToServerShare, AccessFunction::UsersToServerShareFolders}) {
        for (const char* level : {"S", "H", "X", "ES", "EX"})
            out.push_back({f, server, {domain, server, all, QLatin1String(level)}});
    }
    return out;
}

QString LevelOf(const Question& q)
{
    return q.args.value(3).toString();
}

// Interrupts the SQLite statement running on `handle` when it is still running after
// `seconds`; PostgreSQL gets a statement_timeout instead.
class Watchdog
{
  public:
    Watchdog(sqlite3* handle, int seconds)
    {
        if (!handle || seconds <= 0)
            return;
        m_thread = std::thread([this, handle, seconds] {
            std::unique_lock lock(m_mutex);
            if (!m_cv.wait_for(lock, std::chrono::seconds(seconds), [this] { return m_done; })) {
                m_fired = true;
                sqlite3_interrupt(handle);
            }
        });
    }
    ~Watchdog() { Stop(); }
    // True when the statement was interrupted.
    bool Stop()
    {
        if (m_thread.joinable()) {
            {
                std::lock_guard lock(m_mutex);
                m_done = true;
            }
            m_cv.notify_all();
            m_thread.join();
        }
        return m_fired;
    }

  private:
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_done = false;
    bool m_fired = false;
};

// Runs one question through the program's own statement class, reading every row.
Answer RunOnDatabase(data::Connection& connection, const Question& q, qint64 serverPid,
                     int timeoutSeconds)
{
    Answer answer;
    Watchdog watchdog(data::SqliteHandle(connection.Database()), timeoutSeconds);
    const double cpuStart = ProcessCpuSeconds();
    const double serverCpuStart = OtherProcessCpuSeconds(serverPid);
    const QStringList names = access::ArgumentNames(q.function);
    QString sql =
        QStringLiteral("SELECT * FROM ") + access::FunctionName(q.function) + QLatin1Char('(');
    for (int i = 0; i < names.size(); ++i)
        sql += (i ? QStringLiteral(", :") : QStringLiteral(":")) + names[i];
    sql += QLatin1Char(')');
    const QStringList rights = access::IsFolderFunction(q.function) ? access::FolderRightColumns()
                                                                    : access::ShareRightColumns();
    const QString accountColumn = access::IsResourceSide(q.function)
                                      ? QStringLiteral("UserName")
                                      : QStringLiteral("UserGroupName");
    QElapsedTimer timer;
    timer.start();
    try {
        data::Statement statement(connection);
        statement.SetSQL(sql);
        for (int i = 0; i < names.size(); ++i)
            statement.SetParam(names[i], q.args[i]);
        statement.Open();
        const QStringList columns = statement.FieldNames();
        // The program reads columns by name without regard to case (PostgreSQL folds the
        // unquoted ones to lower case).
        auto at = [&](const QString& name) {
            for (int i = 0; i < columns.size(); ++i)
                if (columns[i].compare(name, Qt::CaseInsensitive) == 0)
                    return i;
            return -1;
        };
        const int account = at(accountColumn), server = at(QStringLiteral("Server")),
                  share = at(QStringLiteral("Share")), folder = at(QStringLiteral("FolderName"));
        QList<int> rightAt;
        for (const QString& r : rights)
            rightAt << at(r);
        for (; !statement.Eof(); statement.Next()) {
            access::AccessRow row;
            if (account >= 0)
                row.account = statement.FieldAt(account).toString();
            row.server = statement.FieldAt(server).toString();
            row.share = statement.FieldAt(share).toString();
            if (folder >= 0)
                row.folderName = statement.FieldAt(folder).toString();
            for (int i = 0; i < rightAt.size(); ++i)
                if (rightAt[i] >= 0 && statement.FieldAt(rightAt[i]).toBool())
                    row.rights |= 1u << i;
            ++answer.rows;
            answer.digest += RowHash(access::RowText(row, q.function));
        }
        answer.state = Answer::State::Done;
    } catch (const Exception& e) {
        answer.state = Answer::State::Failed;
        answer.error = e.Message().left(200).replace(QLatin1Char('\r'), QLatin1Char(' '));
    }
    answer.seconds = double(timer.nsecsElapsed()) / 1e9;
    // An interrupted statement may also end as if its rows were all read (the statement
    // class takes a failed step for the end of the rows): its rows do not count either way.
    const bool interrupted = watchdog.Stop();
    if (interrupted || (answer.state == Answer::State::Failed &&
                        answer.error.contains(QLatin1String("statement timeout")))) {
        answer.state = Answer::State::TimedOut;
        answer.seconds = timeoutSeconds;
    }
    answer.cpu = ProcessCpuSeconds() - cpuStart;
    if (serverPid > 0) {
        const double serverCpu = OtherProcessCpuSeconds(serverPid);
        answer.cpu =
            serverCpu < 0 || serverCpuStart < 0 ? -1 : answer.cpu + serverCpu - serverCpuStart;
    }
    return answer;
}

// The reference evaluator in a child process, so that a question it cannot finish in time
// is stopped without stopping the benchmark.
Answer RunReference(const access::AuditData& audit, const Question& q, int timeoutSeconds)
{
    Answer answer;
    int fds[2];
    if (pipe(fds) != 0) {
        answer.state = Answer::State::Failed;
        answer.error = QStringLiteral("pipe failed");
        return answer;
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        QElapsedTimer timer;
        timer.start();
        const double cpuStart = ProcessCpuSeconds();
        QList<access::AccessRow> rows;
        QString error;
        double result[4] = {-1, 0, 0, 0};
        quint64 digest = 0;
        if (access::Evaluate(audit, q.function, q.args, rows, error)) {
            for (const access::AccessRow& row : rows)
                digest += RowHash(access::RowText(row, q.function));
            result[0] = double(timer.nsecsElapsed()) / 1e9;
            result[1] = double(rows.size());
            result[2] = ProcessCpuSeconds() - cpuStart;
        }
        const bool ok = write(fds[1], result, sizeof result) == sizeof result &&
                        write(fds[1], &digest, sizeof digest) == sizeof digest;
        _exit(ok ? 0 : 1);
    }
    close(fds[1]);
    if (child < 0) {
        close(fds[0]);
        answer.state = Answer::State::Failed;
        answer.error = QStringLiteral("fork failed");
        return answer;
    }
    pollfd pfd{fds[0], POLLIN, 0};
    int ready;
    do {
        ready = poll(&pfd, 1, timeoutSeconds * 1000);
    } while (ready < 0 && errno == EINTR);
    double result[4] = {};
    quint64 digest = 0;
    if (ready == 1 && read(fds[0], result, sizeof result) == sizeof result &&
        read(fds[0], &digest, sizeof digest) == sizeof digest && result[0] >= 0) {
        answer.state = Answer::State::Done;
        answer.seconds = result[0];
        answer.rows = qint64(result[1]);
        answer.cpu = result[2];
        answer.digest = digest;
    } else if (ready == 0) {
        answer.state = Answer::State::TimedOut;
        answer.seconds = timeoutSeconds;
        kill(child, SIGKILL);
    } else {
        answer.state = Answer::State::Failed;
        answer.error = QStringLiteral("the evaluator gave no answer");
    }
    close(fds[0]);
    waitpid(child, nullptr, 0);
    return answer;
}

// ---- PostgreSQL: a database of the benchmark's own on the given server ----

class PostgresDatabase
{
  public:
    // False with `error` when the server cannot be reached or the database not made.
    bool Create(const QByteArray& conninfo, QString& error)
    {
        m_conninfo = conninfo;
        m_name = "velmora_bench_access_" + QByteArray::number(qint64(getpid()));
        return Admin("DROP DATABASE IF EXISTS " + m_name, error) &&
               Admin("CREATE DATABASE " + m_name, error);
    }
    // Drops the database unless it is to be kept; call it once its connections are closed.
    bool Drop(QString& error)
    {
        if (m_name.isEmpty() || m_keep)
            return true;
        const bool ok = Admin("DROP DATABASE IF EXISTS " + m_name, error);
        m_name.clear();
        return ok;
    }
    void Keep() { m_keep = true; }
    // An existing database, loaded by an earlier run with the same seed and scale; kept.
    void Adopt(const QByteArray& conninfo, const QByteArray& name)
    {
        m_conninfo = conninfo;
        m_name = name;
        m_keep = true;
    }
    QByteArray Name() const { return m_name; }
    QByteArray Conninfo() const { return m_conninfo + " dbname=" + m_name; }

    // The program's connection parameters for the same server and database.
    data::ConnectionParams Params() const
    {
        data::ConnectionParams params;
        params.provider = QStringLiteral("PostgreSQL");
        params.catalog = QString::fromLatin1(m_name);
        params.timeoutSeconds = 30;
        char* message = nullptr;
        PQconninfoOption* options = PQconninfoParse(m_conninfo.constData(), &message);
        QString host, port;
        for (PQconninfoOption* o = options; o && o->keyword; ++o) {
            if (!o->val)
                continue;
            const QString value = QString::fromUtf8(o->val);
            if (qstrcmp(o->keyword, "host") == 0)
                host = value;
            else if (qstrcmp(o->keyword, "port") == 0)
                port = value;
            else if (qstrcmp(o->keyword, "user") == 0)
                params.userId = value;
            else if (qstrcmp(o->keyword, "password") == 0)
                params.password = value;
        }
        PQconninfoFree(options);
        PQfreemem(message);
        params.dataSource = port.isEmpty() ? host : host + QLatin1Char(':') + port;
        return params;
    }

  private:
    bool Admin(const QByteArray& sql, QString& error) const
    {
        PGconn* conn = PQconnectdb(
            (m_conninfo + " dbname=postgres options='-c client_min_messages=warning'").constData());
        bool ok = PQstatus(conn) == CONNECTION_OK;
        if (ok) {
            PGresult* result = PQexec(conn, sql.constData());
            ok = PQresultStatus(result) == PGRES_COMMAND_OK;
            PQclear(result);
        }
        if (!ok)
            error = QStringLiteral("PostgreSQL: %1")
                        .arg(QString::fromUtf8(PQerrorMessage(conn)).trimmed());
        PQfinish(conn);
        return ok;
    }

    QByteArray m_conninfo;
    QByteArray m_name;
    bool m_keep = false;
};

// ---- output ----

QString Cell(const Answer& a)
{
    switch (a.state) {
    case Answer::State::Done:
        return QStringLiteral("%1 %2 %3")
            .arg(a.seconds, 8, 'f', 3)
            .arg(a.cpu < 0 ? QStringLiteral("-") : QString::number(a.cpu, 'f', 3), 7)
            .arg(a.rows, 9);
    case Answer::State::Failed:
        return QStringLiteral("%1").arg(QStringLiteral("FAILED"), 26);
    case Answer::State::TimedOut:
        return QStringLiteral(">%1 %2 %3")
            .arg(a.seconds, 7, 'f', 0)
            .arg(QStringLiteral("-"), 7)
            .arg(QStringLiteral("stopped"), 9);
    case Answer::State::Skipped:
        break;
    }
    return QStringLiteral("%1").arg(QStringLiteral("-"), 26);
}

void Print(const QString& text)
{
    std::fputs(text.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

struct Options
{
    int scale = 1;
    uint64_t seed = 1;
    QString dir;
    QString only;
    QString sqliteFile; // an existing database made with the same seed and scale
    QString pgDatabase; // likewise on the PostgreSQL server
    bool noSqlite = false;
    int referenceTimeout = 120;
    int dbTimeout = 300;
    bool keep = false;
};

bool ParseOptions(const QStringList& args, Options& options, QString& error)
{
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        auto value = [&]() -> std::optional<QString> {
            if (i + 1 >= args.size())
                return std::nullopt;
            return args[++i];
        };
        bool ok = true;
        if (a == QLatin1String("--keep")) {
            options.keep = true;
            continue;
        }
        if (a == QLatin1String("--no-sqlite")) {
            options.noSqlite = true;
            continue;
        }
        const std::optional<QString> v = value();
        if (!v) {
            error = QStringLiteral("%1 needs a value").arg(a);
            return false;
        }
        if (a == QLatin1String("--scale"))
            options.scale = v->toInt(&ok);
        else if (a == QLatin1String("--seed"))
            options.seed = v->toULongLong(&ok);
        else if (a == QLatin1String("--dir"))
            options.dir = *v;
        else if (a == QLatin1String("--only"))
            options.only = *v;
        else if (a == QLatin1String("--sqlite"))
            options.sqliteFile = *v;
        else if (a == QLatin1String("--pg-database"))
            options.pgDatabase = *v;
        else if (a == QLatin1String("--reference-timeout"))
            options.referenceTimeout = v->toInt(&ok);
        else if (a == QLatin1String("--db-timeout"))
            options.dbTimeout = v->toInt(&ok);
        else {
            error = QStringLiteral("unknown option %1").arg(a);
            return false;
        }
        if (!ok || options.scale < 1 || options.referenceTimeout < 0 || options.dbTimeout < 0) {
            error = QStringLiteral("%1: bad value \"%2\"").arg(a, *v);
            return false;
        }
    }
    return true;
}

// The machine's 1-minute load average: figures taken on a busy machine read high.
QString LoadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    return QString::fromLatin1(file.readLine().split(' ').value(0));
}

double Seconds(const QElapsedTimer& timer)
{
    return double(timer.nsecsElapsed()) / 1e9;
}

struct Backend
{
    QString name;
    std::unique_ptr<data::Connection> connection;
    bool ready = false;
    qint64 serverPid = 0; // the server process behind the connection (PostgreSQL)
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Options options;
    QString error;
    if (!ParseOptions(app.arguments(), options, error)) {
        Print(QStringLiteral("velmora-bench-access: %1").arg(error));
        return 2;
    }
    const bench::AccessDataSize size = bench::ScaledSize(options.scale, options.seed);
    if (!bench::CheckSize(size, error)) {
        Print(QStringLiteral("velmora-bench-access: %1").arg(error));
        return 2;
    }

    const QString startLoad = LoadAverage();
    // A temporary folder only when none is named; it goes at the end unless kept.
    std::optional<QTemporaryDir> temp;
    if (options.dir.isEmpty())
        temp.emplace();
    const QString dir = temp ? temp->path() : options.dir;
    if (!QDir().mkpath(dir)) {
        Print(QStringLiteral("velmora-bench-access: cannot make the folder %1").arg(dir));
        return 1;
    }
    if (temp)
        temp->setAutoRemove(!options.keep);

    QElapsedTimer timer;
    timer.start();
    const bench::AccessData data = bench::GenerateAccessData(size);
    Print(QStringLiteral("Generated (seed %1, scale 1/%2) in %3 s: %4 domains, %5 accounts "
                         "(%6 users, %7 groups), %8 memberships, %9 servers, %10 shares, "
                         "%11 share entries, %12 folders, %13 folder entries")
              .arg(size.seed)
              .arg(options.scale)
              .arg(Seconds(timer), 0, 'f', 1)
              .arg(data.domainNames.size())
              .arg(data.accounts.size())
              .arg(size.users)
              .arg(size.groups)
              .arg(data.memberships.size())
              .arg(data.servers.size())
              .arg(data.shares.size())
              .arg(data.shareEntries.size())
              .arg(data.folders.size())
              .arg(data.folderEntries.size()));

    std::vector<Backend> backends;
    // SQLite: unless left out by hand.
    if (!options.noSqlite) {
        Backend b{QStringLiteral("SQLite"), std::make_unique<data::Connection>(), false, 0};
        const bool reuse = !options.sqliteFile.isEmpty();
        const QString file =
            reuse ? options.sqliteFile : QDir(dir).filePath(QStringLiteral("access-bench.db"));
        if (!reuse)
            QFile::remove(file);
        timer.restart();
        if (!reuse && !bench::WriteSqlite(data, file, error)) {
            Print(QStringLiteral("SQLite: %1").arg(error));
        } else {
            Print(QStringLiteral("SQLite: %1 %2 in %3 s (%4 MB)")
                      .arg(reuse ? QStringLiteral("using") : QStringLiteral("loaded"), file)
                      .arg(Seconds(timer), 0, 'f', 1)
                      .arg(QFileInfo(file).size() / 1000000));
            data::ConnectionParams params;
            params.provider = QStringLiteral("SQLite");
            params.dataSource = file;
            b.ready = b.connection->Open(params);
            if (!b.ready)
                Print(QStringLiteral("SQLite: cannot open: %1").arg(b.connection->LastError()));
        }
        backends.push_back(std::move(b));
    }
    // PostgreSQL: when a server is named.
    std::unique_ptr<PostgresDatabase> pg;
    QByteArray conninfo = qgetenv("VELMORA_BENCH_PG");
    if (conninfo.isEmpty())
        conninfo = qgetenv("VELMORA_TEST_PG");
    if (!conninfo.isEmpty()) {
        Backend b{QStringLiteral("PostgreSQL"), std::make_unique<data::Connection>(), false, 0};
        pg = std::make_unique<PostgresDatabase>();
        if (options.keep)
            pg->Keep();
        // The program's own scripts: the tables, then the access-rights functions.
        const QString provider = QStringLiteral("PostgreSQL");
        const QString schema = store::SchemaScript(provider);
        const QString functions = store::FunctionsScript(provider);
        timer.restart();
        if (!options.pgDatabase.isEmpty()) {
            pg->Adopt(conninfo, options.pgDatabase.toUtf8());
            if (bench::ExecPostgres(pg->Conninfo(), functions, error)) {
                Print(QStringLiteral("PostgreSQL: using database %1 (functions script run again)")
                          .arg(options.pgDatabase));
                b.ready = b.connection->Open(pg->Params());
            } else {
                Print(QStringLiteral("PostgreSQL: %1").arg(error));
            }
        } else if (schema.isEmpty()) {
            Print(QStringLiteral("PostgreSQL: the program has no schema script for it yet"));
        } else if (!pg->Create(conninfo, error) ||
                   !bench::WritePostgres(data, pg->Conninfo(),
                                         schema + QLatin1Char('\n') + functions, error)) {
            Print(QStringLiteral("PostgreSQL: %1").arg(error));
        } else {
            Print(QStringLiteral("PostgreSQL: loaded database %1 in %2 s (COPY, then ANALYZE)")
                      .arg(QString::fromLatin1(pg->Name()))
                      .arg(Seconds(timer), 0, 'f', 1));
            b.ready = b.connection->Open(pg->Params());
        }
        if (b.ready && options.dbTimeout > 0)
            b.connection->ExecDirect(
                QStringLiteral("SET statement_timeout = %1").arg(options.dbTimeout * 1000));
        if (b.ready) {
            // The server's notices (a long function name cut to 63 characters) are not
            // figures.
            b.connection->ExecDirect(QStringLiteral("SET client_min_messages = warning"));
            QSqlQuery query(b.connection->Database());
            if (query.exec(QStringLiteral("SELECT pg_backend_pid()")) && query.next())
                b.serverPid = query.value(0).toLongLong();
        }
        if (!b.ready && !b.connection->LastError().isEmpty())
            Print(QStringLiteral("PostgreSQL: cannot open: %1").arg(b.connection->LastError()));
        backends.push_back(std::move(b));
    } else {
        Print(QStringLiteral("PostgreSQL: not timed (set VELMORA_BENCH_PG or VELMORA_TEST_PG)"));
    }
    for (Backend& b : backends) {
        QString missing;
        if (b.ready && !access::HasAccessFunctions(*b.connection, missing)) {
            Print(QStringLiteral("%1: the access-rights functions are missing: %2")
                      .arg(b.name, missing));
            b.ready = false;
        }
    }

    // The reference evaluator reads the same rows back from the first backend that opened.
    access::AuditData audit;
    bool haveReference = false;
    if (options.referenceTimeout > 0) {
        for (Backend& b : backends) {
            if (!b.connection->Connected())
                continue;
            timer.restart();
            try {
                audit = access::LoadAuditData(*b.connection);
                haveReference = true;
                Print(QStringLiteral("Reference: read the tables from %1 into memory in %2 s")
                          .arg(b.name)
                          .arg(Seconds(timer), 0, 'f', 1));
            } catch (const Exception& e) {
                Print(QStringLiteral("Reference: reading the tables failed: %1").arg(e.Message()));
            }
            break;
        }
    }

    Print(QStringLiteral("Domain %1; busy user %2 (%3); big group %4; server %5 (folders)")
              .arg(QString::fromLatin1(data.domainNames[0]),
                   QString::fromLatin1(data.accounts[data.busyUser].name),
                   QString::fromLatin1(data.accounts[data.busyUser].sid),
                   QString::fromLatin1(data.accounts[data.bigGroup].name),
                   QString::fromLatin1(data.servers[data.busyServer].name)));
    QString header = QStringLiteral("%1 %2 %3 %4")
                         .arg(QStringLiteral("function"), -15)
                         .arg(QStringLiteral("question"), -26)
                         .arg(QStringLiteral("level"), -5)
                         .arg(QStringLiteral("aim"), 5);
    for (const Backend& b : backends)
        header += QStringLiteral(" | %1").arg(b.name + QStringLiteral(" wall, cpu, rows"), -26);
    header +=
        QStringLiteral(" | %1 | verdict").arg(QStringLiteral("reference wall, cpu, rows"), -26);
    Print(QStringLiteral("wall: seconds to run the function and read every row through the "
                         "program's statement class; cpu: CPU seconds of this process and, for "
                         "PostgreSQL, of the server process serving the connection (wall time "
                         "on a loaded machine reads high; cpu does not)."));
    Print(header);
    Print(QString(header.size(), QLatin1Char('-')));

    int missed = 0, mismatched = 0, failed = 0;
    std::vector<AccessFunction> stoppedReference;
    for (const Question& q : Questions(data)) {
        const QString name = QString::fromLatin1(FunctionShortName(q.function));
        if (!options.only.isEmpty() &&
            !(name + QLatin1Char(' ') + q.label + QLatin1Char(' ') + LevelOf(q))
                 .contains(options.only, Qt::CaseInsensitive))
            continue;
        QString line = QStringLiteral("%1 %2 %3 %4")
                           .arg(name, -15)
                           .arg(q.label, -26)
                           .arg(QStringLiteral("\"%1\"").arg(LevelOf(q)), -5)
                           .arg(q.aim, 5, 'f', 1);
        std::vector<Answer> answers;
        for (Backend& b : backends) {
            answers.push_back(b.ready
                                  ? RunOnDatabase(*b.connection, q, b.serverPid, options.dbTimeout)
                                  : Answer{});
            line += QStringLiteral(" | ") + Cell(answers.back());
        }
        // Every question of a function walks the same loops in the evaluator: once one was
        // stopped, the others of that function would be too.
        const bool referenceGaveUp = std::find(stoppedReference.begin(), stoppedReference.end(),
                                               q.function) != stoppedReference.end();
        const Answer reference = haveReference && !referenceGaveUp
                                     ? RunReference(audit, q, options.referenceTimeout)
                                     : Answer{};
        if (reference.state == Answer::State::TimedOut)
            stoppedReference.push_back(q.function);
        line += QStringLiteral(" | ") + Cell(reference);
        QStringList verdict;
        const Answer* first = nullptr;
        bool allAgree = true;
        for (size_t i = 0; i < answers.size(); ++i) {
            const Answer& a = answers[i];
            if (a.state == Answer::State::Failed) {
                ++failed;
                verdict << QStringLiteral("%1 FAILED: %2").arg(backends[i].name, a.error);
            }
            if ((a.state == Answer::State::Done && a.seconds > q.aim) ||
                a.state == Answer::State::TimedOut) {
                ++missed;
                verdict << QStringLiteral("%1 over aim").arg(backends[i].name);
            }
        }
        std::vector<const Answer*> done;
        for (const Answer& a : answers)
            if (a.state == Answer::State::Done)
                done.push_back(&a);
        if (reference.state == Answer::State::Done)
            done.push_back(&reference);
        for (const Answer* a : done) {
            if (!first)
                first = a;
            else if (a->rows != first->rows || a->digest != first->digest)
                allAgree = false;
        }
        if (!allAgree) {
            ++mismatched;
            verdict << QStringLiteral("*** MISMATCH: the rows differ ***");
        }
        if (verdict.isEmpty())
            verdict << (done.empty() ? QStringLiteral("not run") : QStringLiteral("ok"));
        Print(line + QStringLiteral(" | ") + verdict.join(QStringLiteral("; ")));
    }
    Print(QStringLiteral("Aims: single account or server %1 s, [ALL] %2 s. Over aim: %3; row "
                         "mismatches: %4; failures: %5. Load average %6 at the start, %7 at "
                         "the end (%8 processors).")
              .arg(kSingleAim)
              .arg(kAllAim)
              .arg(missed)
              .arg(mismatched)
              .arg(failed)
              .arg(startLoad, LoadAverage())
              .arg(QThread::idealThreadCount()));
    if (options.keep)
        Print(QStringLiteral("Kept: %1%2")
                  .arg(dir, pg ? QStringLiteral(" and PostgreSQL database ") +
                                     QString::fromLatin1(pg->Name())
                               : QString()));
    // The connections go first: a database cannot be dropped while it is in use.
    backends.clear();
    if (pg && !pg->Drop(error))
        Print(
            QStringLiteral("PostgreSQL: the benchmark's database was not dropped: %1").arg(error));
    return mismatched || failed ? 1 : 0;
}
