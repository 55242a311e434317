// velmora-bench-refresh: how fast a refresh writes an audit database, and what it holds in
// memory while doing so.
//
// For one network size it generates a lab network, loads it (time and memory), refreshes it
// into a fresh SQLite audit database in a temporary program folder (rows written per table,
// rows per second, memory growth), then inserts the same rows into another fresh database
// of the same schema in one transaction with prepared statements: the most the database
// can take, against which the refresh is measured. A refresh commits each row on its own
// (every row is visible at once), so it cannot reach that limit; the ratio tells how much
// of the gap is the program's. The micro benchmark gives the cost of one Append/Post of a
// table dataset beside a bare prepared INSERT of the same row.
//
// Run one size per process: peak memory is the process's. scripts/bench runs the sizes.

#include "data/Dataset.h"
#include "engine/DataDM.h"
#include "engine/Progress.h"
#include "platform/lab/LabGenerator.h"
#include "platform/lab/LabNetwork.h"
#include "store/ConnectionDM.h"
#include "store/ConnectionFile.h"
#include "store/ProgramFolder.h"
#include "store/Schema.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdio>
#include <sqlite3.h>
#include <string>
#include <sys/resource.h>
#include <variant>
#include <vector>

using namespace velmora;

namespace {

// --- memory ----------------------------------------------------------------------------

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"); -1 when absent.
long StatusKiB(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLong();
    return -1;
}

long RssKiB() { return StatusKiB("VmRSS"); }

long MaxRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Restarts the peak (VmHWM) at the current RSS, so a later VmHWM is the peak of what
// follows. False where the kernel does not offer it.
bool ResetPeak()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

double Mib(long kib) { return kib / 1024.0; }

// --- output ----------------------------------------------------------------------------

void Line(const char* label, const QString& value)
{
    std::printf("  %-44s %s\n", label, value.toUtf8().constData());
}

QString Rate(qint64 rows, qint64 ns)
{
    return ns > 0 ? QString::number(double(rows) * 1e9 / double(ns), 'f', 0) : QStringLiteral("-");
}

QString Seconds(qint64 ns) { return QString::number(double(ns) / 1e9, 'f', 2) + QStringLiteral(" s"); }

QString MibText(long kib) { return QString::number(Mib(kib), 'f', 1) + QStringLiteral(" MiB"); }

[[noreturn]] void Die(const QString& message)
{
    std::fprintf(stderr, "velmora-bench-refresh: %s\n", message.toUtf8().constData());
    std::exit(2);
}

// --- progress that shows nothing -------------------------------------------------------

class QuietProgress : public engine::ProgressBase
{
};

// --- SQLite ----------------------------------------------------------------------------

struct Db
{
    sqlite3* handle = nullptr;
    explicit Db(const QString& path, int flags = SQLITE_OPEN_READWRITE)
    {
        if (sqlite3_open_v2(QFile::encodeName(path).constData(), &handle, flags, nullptr) !=
            SQLITE_OK)
            Die(QStringLiteral("cannot open %1: %2").arg(path, QString::fromUtf8(sqlite3_errmsg(handle))));
    }
    ~Db() { sqlite3_close(handle); }
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;

    void Exec(const char* sql) const
    {
        char* message = nullptr;
        if (sqlite3_exec(handle, sql, nullptr, nullptr, &message) != SQLITE_OK) {
            const QString text = QString::fromUtf8(message ? message : "?");
            sqlite3_free(message);
            Die(QStringLiteral("%1: %2").arg(QString::fromUtf8(sql), text));
        }
    }
    sqlite3_stmt* Prepare(const QByteArray& sql) const
    {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(handle, sql.constData(), int(sql.size()), &statement, nullptr) !=
            SQLITE_OK)
            Die(QStringLiteral("%1: %2").arg(QString::fromUtf8(sql),
                                             QString::fromUtf8(sqlite3_errmsg(handle))));
        return statement;
    }
    qint64 Count(const QString& table) const
    {
        sqlite3_stmt* q = Prepare("SELECT COUNT(*) FROM " + table.toUtf8());
        sqlite3_step(q);
        const qint64 n = sqlite3_column_int64(q, 0);
        sqlite3_finalize(q);
        return n;
    }
    // The settings the program's SQLite connection uses.
    void ProgramSettings() const
    {
        Exec("PRAGMA journal_mode=WAL");
        Exec("PRAGMA synchronous=NORMAL");
        Exec("PRAGMA foreign_keys=ON");
    }
};

void Step(sqlite3* db, sqlite3_stmt* statement)
{
    if (sqlite3_step(statement) != SQLITE_DONE)
        Die(QString::fromUtf8(sqlite3_errmsg(db)));
    sqlite3_reset(statement);
}

// A fresh program folder with an empty audit database, as the program makes one.
QString NewProgramFolder(const QString& path)
{
    QDir().mkpath(path);
    const store::ProgramFolder folder(path);
    QString error;
    if (!store::CreateDatabaseFile(folder.Database(), error) ||
        !store::WriteConnectionFile(
            folder.ConnectionFile(),
            store::SQLiteInitString(store::ProgramFolder::DatabaseRelativePath()), error))
        Die(error);
    return folder.Database();
}

// A column value held between reading and writing.
using Value = std::variant<std::monostate, qint64, double, QByteArray>;

// Inserts every row of `tables` from `source` into `target` in one transaction with
// prepared statements. Rows are read in batches into memory first; only the inserts and
// the commit are timed. Returns the rows inserted; `ns` gets the time.
qint64 CopyInOneTransaction(const Db& source, const Db& target, const QStringList& tables,
                            qint64& ns)
{
    constexpr int kBatch = 20000;
    qint64 rows = 0;
    ns = 0;
    QElapsedTimer timer;
    timer.start();
    target.Exec("BEGIN");
    ns += timer.nsecsElapsed();
    for (const QString& table : tables) {
        sqlite3_stmt* read = source.Prepare("SELECT * FROM " + table.toUtf8());
        const int columns = sqlite3_column_count(read);
        QByteArray insert = "INSERT INTO " + table.toUtf8() + " VALUES (";
        for (int c = 0; c < columns; ++c)
            insert += c ? ",?" : "?";
        insert += ')';
        sqlite3_stmt* write = target.Prepare(insert);
        std::vector<Value> batch;
        batch.reserve(size_t(kBatch) * size_t(columns));
        bool more = true;
        while (more) {
            batch.clear();
            int n = 0;
            while (n < kBatch && (more = sqlite3_step(read) == SQLITE_ROW)) {
                for (int c = 0; c < columns; ++c) {
                    switch (sqlite3_column_type(read, c)) {
                    case SQLITE_INTEGER:
                        batch.emplace_back(qint64(sqlite3_column_int64(read, c)));
                        break;
                    case SQLITE_FLOAT:
                        batch.emplace_back(sqlite3_column_double(read, c));
                        break;
                    case SQLITE_NULL:
                        batch.emplace_back(std::monostate());
                        break;
                    default:
                        batch.emplace_back(QByteArray(
                            static_cast<const char*>(sqlite3_column_blob(read, c)),
                            sqlite3_column_bytes(read, c)));
                    }
                }
                ++n;
            }
            timer.restart();
            for (int r = 0; r < n; ++r) {
                for (int c = 0; c < columns; ++c) {
                    const Value& v = batch[size_t(r) * size_t(columns) + size_t(c)];
                    if (const auto* i = std::get_if<qint64>(&v))
                        sqlite3_bind_int64(write, c + 1, *i);
                    else if (const auto* d = std::get_if<double>(&v))
                        sqlite3_bind_double(write, c + 1, *d);
                    else if (const auto* t = std::get_if<QByteArray>(&v))
                        sqlite3_bind_text(write, c + 1, t->constData(), int(t->size()),
                                          SQLITE_STATIC);
                    else
                        sqlite3_bind_null(write, c + 1);
                }
                Step(target.handle, write);
            }
            ns += timer.nsecsElapsed();
            rows += n;
        }
        sqlite3_finalize(read);
        sqlite3_finalize(write);
    }
    timer.restart();
    target.Exec("COMMIT");
    ns += timer.nsecsElapsed();
    return rows;
}

// The tables a refresh writes, parents first.
QStringList RefreshedTables()
{
    QStringList names;
    for (const data::TableDef* table :
         {&store::tables::Servers(), &store::tables::UserGroupList(), &store::tables::User2Group(),
          &store::tables::ServerShares(), &store::tables::ShareAccessList(),
          &store::tables::ShareFolders(), &store::tables::FolderAccessList()})
        names << table->name;
    return names;
}

// --- the refresh -----------------------------------------------------------------------

void RefreshBenchmark(const platform::lab::LabGeneratorOptions& options, int maxDepth,
                      const QString& work, const QString& keepLab)
{
    std::printf("refresh: seed %llu, %d domains, %d servers, %d users, %d groups, %d shares, "
                "depth %d, fanout %d, entries %d\n",
                static_cast<unsigned long long>(options.seed), options.domains, options.servers,
                options.users, options.groups, options.shares, options.depth, options.fanout,
                options.entries);
    std::printf("  folder walk limit %d (0: whole trees)\n", maxDepth);
    QElapsedTimer timer;

    const QString labPath = keepLab.isEmpty() ? work + QStringLiteral("/lab.json") : keepLab;
    if (keepLab.isEmpty() || !QFileInfo::exists(keepLab)) {
        QFile file(labPath);
        QString error;
        timer.start();
        if (!file.open(QIODevice::WriteOnly) || !platform::lab::GenerateLab(options, file, error))
            Die(error.isEmpty() ? file.errorString() : error);
        file.close();
        Line("lab file generated", Seconds(timer.nsecsElapsed()) + QStringLiteral(", ") +
                                       MibText(QFileInfo(labPath).size() / 1024));
    }

    const long rssStart = RssKiB();
    ResetPeak();
    timer.start();
    QString error;
    std::unique_ptr<platform::lab::LabNetwork> lab = platform::lab::LabNetwork::Open(labPath, error);
    if (!lab)
        Die(error);
    const qint64 loadNs = timer.nsecsElapsed();
    const long rssLoaded = RssKiB();
    const long peakLoad = StatusKiB("VmHWM");
    Line("lab load", Seconds(loadNs));
    Line("lab model (RSS after load - before)", MibText(rssLoaded - rssStart));
    Line("peak RSS while loading", MibText(peakLoad));

    const QString home = work + QStringLiteral("/program");
    const QString database = NewProgramFolder(home);
    qint64 refreshNs = 0;
    long rssBefore = 0;
    long rssAfter = 0;
    long peakRefresh = 0;
    {
        QuietProgress progress;
        store::TConnectionDM connection{store::ProgramFolder(home)};
        engine::TDataDM dataDM(connection, *lab, progress);
        dataDM.MaxFolderDepth = maxDepth;
        connection.Connect();
        engine::WaitOptions wait;
        wait.caption = QStringLiteral("Please be patient...");
        progress.ShowWait(wait);
        rssBefore = RssKiB();
        const bool peakReset = ResetPeak();
        timer.start();
        dataDM.RefreshAll();
        refreshNs = timer.nsecsElapsed();
        rssAfter = RssKiB();
        peakRefresh = peakReset ? StatusKiB("VmHWM") : -1;
    }

    const Db refreshed(database, SQLITE_OPEN_READONLY);
    const QStringList tables = RefreshedTables();
    qint64 rows = 0;
    std::printf("  rows written:\n");
    for (const QString& table : tables) {
        const qint64 n = refreshed.Count(table);
        rows += n;
        std::printf("    %-20s %12lld\n", table.toUtf8().constData(), static_cast<long long>(n));
    }
    std::printf("    %-20s %12lld\n", "total", static_cast<long long>(rows));
    Line("refresh time", Seconds(refreshNs));
    Line("refresh rows/s", Rate(rows, refreshNs));
    Line("RSS before refresh", MibText(rssBefore));
    Line("RSS growth during refresh (peak - before)",
         peakRefresh < 0 ? QStringLiteral("-") : MibText(peakRefresh - rssBefore));
    Line("RSS after refresh", MibText(rssAfter));

    lab.reset();
    const QString referencePath = NewProgramFolder(work + QStringLiteral("/reference"));
    qint64 referenceNs = 0;
    qint64 copied = 0;
    {
        const Db target(referencePath);
        target.ProgramSettings();
        copied = CopyInOneTransaction(refreshed, target, tables, referenceNs);
    }
    Line("reference: one transaction, rows", QString::number(copied));
    Line("reference rows/s", Rate(copied, referenceNs));
    if (referenceNs > 0 && refreshNs > 0 && rows > 0)
        Line("refresh / reference",
             QString::number((double(rows) / double(refreshNs)) /
                                 (double(copied) / double(referenceNs)),
                             'f', 3));
    Line("peak RSS of the process (ru_maxrss)", MibText(MaxRssKiB()));
}

// --- one row at a time -----------------------------------------------------------------

// The cost of one posted row: a table dataset's Append/Post (each row its own statement and
// commit), a bare prepared INSERT with the same autocommit, and the same INSERT inside one
// transaction.
void MicroBenchmark(int rows, const QString& work)
{
    std::printf("micro: %d rows into folderaccesslist\n", rows);
    const QString home = work + QStringLiteral("/micro");
    NewProgramFolder(home);
    auto fill = [](int i, QString& guid, QString& sid) {
        guid = QStringLiteral("{%1-0000-0000-0000-000000000000}").arg(i / 10, 8, 16, QLatin1Char('0'));
        sid = QStringLiteral("S-1-5-21-1000-2000-3000-%1").arg(1000 + i % 10);
    };
    qint64 datasetNs = 0;
    {
        QuietProgress progress;
        store::TConnectionDM connection{store::ProgramFolder(home)};
        data::TableDataset table(connection.Connection(), store::tables::FolderAccessList());
        connection.Connect();
        table.Open();
        data::Field& folder = table.FieldByName(QStringLiteral("FolderGUID"));
        data::Field& sid = table.FieldByName(QStringLiteral("UserGroupSID"));
        data::Field& list = table.FieldByName(QStringLiteral("ListDirectory"));
        data::Field& full = table.FieldByName(QStringLiteral("FullControl"));
        QString guidText;
        QString sidText;
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < rows; ++i) {
            fill(i, guidText, sidText);
            table.Append();
            folder.SetAsString(guidText);
            sid.SetAsString(sidText);
            list.SetAsInteger(1);
            full.SetAsInteger(i % 2);
            table.Post();
        }
        datasetNs = timer.nsecsElapsed();
    }
    auto bare = [&](bool oneTransaction) {
        const QString path = NewProgramFolder(work + (oneTransaction ? QStringLiteral("/micro-tx")
                                                                     : QStringLiteral("/micro-bare")));
        const Db db(path);
        db.ProgramSettings();
        sqlite3_stmt* insert = db.Prepare("INSERT INTO folderaccesslist (FolderGUID, UserGroupSID, "
                                          "ListDirectory, FullControl) VALUES (?, ?, ?, ?)");
        QString guidText;
        QString sidText;
        QElapsedTimer timer;
        timer.start();
        if (oneTransaction)
            db.Exec("BEGIN");
        for (int i = 0; i < rows; ++i) {
            fill(i, guidText, sidText);
            const QByteArray guid = guidText.toUtf8();
            const QByteArray sid = sidText.toUtf8();
            sqlite3_bind_text(insert, 1, guid.constData(), int(guid.size()), SQLITE_TRANSIENT);
            sqlite3_bind_text(insert, 2, sid.constData(), int(sid.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int(insert, 3, 1);
            sqlite3_bind_int(insert, 4, i % 2);
            Step(db.handle, insert);
        }
        if (oneTransaction)
            db.Exec("COMMIT");
        const qint64 ns = timer.nsecsElapsed();
        sqlite3_finalize(insert);
        return ns;
    };
    const qint64 bareNs = bare(false);
    const qint64 transactionNs = bare(true);
    auto perRow = [rows](qint64 ns) {
        return QString::number(double(ns) / 1000.0 / rows, 'f', 2) + QStringLiteral(" us/row, ") +
               Rate(rows, ns) + QStringLiteral(" rows/s");
    };
    Line("dataset Append/Post, one commit per row", perRow(datasetNs));
    Line("prepared INSERT, one commit per row", perRow(bareNs));
    Line("prepared INSERT, one transaction", perRow(transactionNs));
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velmora-bench-refresh"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Refreshes a generated lab network into SQLite and prints rows per second and memory."));
    parser.addHelpOption();
    const QList<QCommandLineOption> sizes = {
        {QStringLiteral("seed"), QStringLiteral("Generator seed."), QStringLiteral("N"), QStringLiteral("7")},
        {QStringLiteral("domains"), QStringLiteral("Domains."), QStringLiteral("N"), QStringLiteral("4")},
        {QStringLiteral("servers"), QStringLiteral("File servers."), QStringLiteral("N"), QStringLiteral("200")},
        {QStringLiteral("users"), QStringLiteral("Users per domain."), QStringLiteral("N"), QStringLiteral("500")},
        {QStringLiteral("groups"), QStringLiteral("Groups per domain."), QStringLiteral("N"), QStringLiteral("40")},
        {QStringLiteral("shares"), QStringLiteral("Shares per server."), QStringLiteral("N"), QStringLiteral("4")},
        {QStringLiteral("depth"), QStringLiteral("Folder depth."), QStringLiteral("N"), QStringLiteral("3")},
        {QStringLiteral("fanout"), QStringLiteral("Subfolders per folder."), QStringLiteral("N"), QStringLiteral("6")},
        {QStringLiteral("entries"), QStringLiteral("Entries a share root adds (and a folder that breaks inheritance)."), QStringLiteral("N"), QStringLiteral("8")},
    };
    parser.addOptions(sizes);
    const QCommandLineOption micro(QStringLiteral("micro"),
                                   QStringLiteral("Rows of the Append/Post micro benchmark (0: skip)."),
                                   QStringLiteral("N"), QStringLiteral("50000"));
    const QCommandLineOption maxDepth(
        QStringLiteral("max-depth"),
        QStringLiteral("The refresh's folder walk limit (0: none, the whole trees; the program's "
                       "default is 3)."),
        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption noRefresh(QStringLiteral("no-refresh"), QStringLiteral("Only the micro benchmark."));
    const QCommandLineOption lab(QStringLiteral("lab"),
                                 QStringLiteral("Lab file to use (generated there when missing)."),
                                 QStringLiteral("FILE"));
    const QCommandLineOption workDir(QStringLiteral("work"),
                                     QStringLiteral("Folder for the databases (default: a temporary one)."),
                                     QStringLiteral("DIR"));
    parser.addOptions({micro, maxDepth, noRefresh, lab, workDir});
    parser.process(app);

    auto number = [&](const QCommandLineOption& option) {
        bool ok = false;
        const qlonglong n = parser.value(option).toLongLong(&ok);
        if (!ok || n < 0)
            Die(QStringLiteral("--%1: expected a number, not \"%2\"")
                    .arg(option.names().constFirst(), parser.value(option)));
        return n;
    };
    platform::lab::LabGeneratorOptions options;
    options.seed = quint64(number(sizes[0]));
    options.domains = int(number(sizes[1]));
    options.servers = int(number(sizes[2]));
    options.users = int(number(sizes[3]));
    options.groups = int(number(sizes[4]));
    options.shares = int(number(sizes[5]));
    options.depth = int(number(sizes[6]));
    options.fanout = int(number(sizes[7]));
    options.entries = int(number(sizes[8]));
    QString error;
    if (!platform::lab::CheckLabGeneratorOptions(options, error))
        Die(error);

    QTemporaryDir temporary(QDir::tempPath() + QStringLiteral("/velmora-bench-XXXXXX"));
    const QString work = parser.isSet(workDir) ? parser.value(workDir) : temporary.path();
    if (!QDir().mkpath(work))
        Die(QStringLiteral("cannot make %1").arg(work));

    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    try {
        if (!parser.isSet(noRefresh))
            RefreshBenchmark(options, int(number(maxDepth)), work, parser.value(lab));
        if (const int rows = int(number(micro)); rows > 0)
            MicroBenchmark(rows, work);
    } catch (const std::exception& e) {
        Die(QString::fromUtf8(e.what()));
    }
    return 0;
}
