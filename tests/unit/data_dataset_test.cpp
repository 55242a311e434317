// The connection, table datasets and statements on a small table in a temporary SQLite
// database: navigation in index order, append/edit/delete, locate, events, display-update
// suspension, reconnecting, parameters, and that a big table is not read whole.

#include "applib/Exceptions.h"
#include "applib/LastError.h"
#include "data/Connection.h"
#include "data/Dataset.h"
#include "data/sqlite/SqliteBackend.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>
#include <sqlite3.h>

using namespace velmora::data;
using velmora::Exception;

namespace {

FieldDef Def(const QString& name, FieldType type = FieldType::Text, int size = 0,
             bool required = false, const QString& label = {})
{
    return FieldDef{name, type, size, required, label};
}

const QString kSmiley = QString::fromUtf8("\xF0\x9F\x98\x80");

TableDef ItemsTable(QStringList indexFields = {QStringLiteral("Grp"), QStringLiteral("Name")})
{
    return TableDef{
        QStringLiteral("Items"),
        {
            Def(QStringLiteral("ID"), FieldType::AutoInc),
            Def(QStringLiteral("Grp"), FieldType::Text, 8),
            Def(QStringLiteral("Name"), FieldType::Text, 8, true, QStringLiteral("Item Name")),
            Def(QStringLiteral("Code"), FieldType::FixedText, 6),
            Def(QStringLiteral("Active"), FieldType::Bool),
            Def(QStringLiteral("Amount"), FieldType::SmallInt),
            Def(QStringLiteral("Stamp"), FieldType::DateTime),
        },
        QStringLiteral("idxItems"),
        indexFields};
}

bool CreateEmptyFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly);
}

QString MessageOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const Exception& e) {
        return e.Message();
    }
    return QStringLiteral("(no exception)");
}

class DatasetTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_path = m_dir.filePath(QStringLiteral("audit.db"));
        ASSERT_TRUE(CreateEmptyFile(m_path));
        ASSERT_TRUE(m_connection.Open(Params())) << m_connection.LastError().toStdString();
        m_connection.ExecDirect(QStringLiteral(
            "CREATE TABLE Items (ID integer PRIMARY KEY AUTOINCREMENT, Grp varchar(8), "
            "Name varchar(8) NOT NULL, Code char(6), Active bit, Amount smallint, "
            "Stamp datetime)"));
        m_connection.ExecDirect(QStringLiteral("CREATE INDEX idxItems ON Items (Grp, Name)"));
    }

    ConnectionParams Params() const
    {
        ConnectionParams params;
        params.provider = QStringLiteral("SQLite");
        params.dataSource = m_path;
        params.timeoutSeconds = 3;
        return params;
    }

    // Rows with given IDs (so the row identity is known), written by plain SQL.
    void Insert(int id, const QVariant& grp, const QString& name, const QVariant& code = {})
    {
        Statement insert(m_connection);
        insert.SetSQL(QStringLiteral(
            "INSERT INTO Items (ID, Grp, Name, Code) VALUES (:ID, :Grp, :Name, :Code)"));
        insert.SetParam(QStringLiteral("ID"), id);
        insert.SetParam(QStringLiteral("Grp"), grp);
        insert.SetParam(QStringLiteral("Name"), name);
        insert.SetParam(QStringLiteral("Code"), code);
        insert.ExecSQL();
    }

    QVariant Stored(int id, const QString& column)
    {
        Statement select(m_connection);
        select.SetSQL(QStringLiteral("SELECT %1 FROM Items WHERE ID = :ID").arg(column));
        select.SetParam(QStringLiteral("ID"), id);
        select.Open();
        return select.Eof() ? QVariant(QStringLiteral("(no row)")) : select.FieldAt(0);
    }

    int Count()
    {
        Statement count(m_connection);
        count.SetSQL(QStringLiteral("SELECT COUNT(*) FROM Items"));
        count.Open();
        return count.FieldAt(0).toInt();
    }

    static int Id(TableDataset& dataset)
    {
        return dataset.FieldByName(QStringLiteral("ID")).AsInteger();
    }

    static QList<int> WalkIds(TableDataset& dataset)
    {
        QList<int> ids;
        for (bool row = dataset.First(); row; row = dataset.Next())
            ids.append(Id(dataset));
        return ids;
    }

    QTemporaryDir m_dir;
    QString m_path;
    Connection m_connection;
};

// --- Connection ----------------------------------------------------------------------------

TEST_F(DatasetTest, OpeningSetsJournalForeignKeysAndTimeout)
{
    const auto pragma = [&](const char* name) {
        Statement statement(m_connection);
        statement.SetSQL(QStringLiteral("PRAGMA %1").arg(QLatin1String(name)));
        statement.Open();
        return statement.FieldAt(0).toString();
    };
    EXPECT_EQ(pragma("journal_mode"), QStringLiteral("wal"));
    EXPECT_EQ(pragma("foreign_keys"), QStringLiteral("1"));
    EXPECT_EQ(pragma("busy_timeout"), QStringLiteral("3000"));
    EXPECT_NE(SqliteHandle(m_connection.Database()), nullptr);
}

TEST_F(DatasetTest, OpenFailsWithoutCreatingAMissingFile)
{
    velmora::ClearLastErrorForTesting();
    Connection connection;
    ConnectionParams params = Params();
    params.dataSource = m_dir.filePath(QStringLiteral("missing.db"));
    EXPECT_FALSE(connection.Open(params));
    EXPECT_FALSE(connection.Connected());
    EXPECT_TRUE(connection.LastError().contains(params.dataSource))
        << connection.LastError().toStdString();
    EXPECT_EQ(velmora::GetLastErrorText(), connection.LastError());
    EXPECT_FALSE(QFile::exists(params.dataSource));
}

TEST_F(DatasetTest, OpenFailsOnOtherBadTargets)
{
    QFile garbage(m_dir.filePath(QStringLiteral("garbage.db")));
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
    garbage.write(QByteArray(4096, 'x'));
    garbage.close();

    struct Case
    {
        const char* name;
        QString provider;
        QString dataSource;
        QString inMessage;
    };
    const Case cases[] = {
        {"unknownProvider", QStringLiteral("Oracle"), m_path, QStringLiteral("Oracle")},
        {"folder", QStringLiteral("SQLite"), m_dir.path(), m_dir.path()},
        {"notADatabase", QStringLiteral("SQLite"), garbage.fileName(), garbage.fileName()},
        {"noFileGiven", QStringLiteral("SQLite"), QString(), QStringLiteral("file")},
    };
    for (const Case& c : cases) {
        Connection connection;
        ConnectionParams params = Params();
        params.provider = c.provider;
        params.dataSource = c.dataSource;
        EXPECT_FALSE(connection.Open(params)) << c.name;
        EXPECT_FALSE(connection.Connected()) << c.name;
        EXPECT_TRUE(connection.LastError().contains(c.inMessage))
            << c.name << ": " << connection.LastError().toStdString();
    }
}

TEST_F(DatasetTest, BackendsAreFoundByProviderName)
{
    EXPECT_TRUE(BackendProviders().contains(QStringLiteral("SQLite")));
    Backend* backend = FindBackend(QStringLiteral("sqlite"));
    ASSERT_NE(backend, nullptr);
    EXPECT_EQ(backend->DriverName(), QStringLiteral("QSQLITE"));
    EXPECT_EQ(backend->RowIdExpression(), QStringLiteral("rowid"));
    const QString sql = QStringLiteral("SELECT [Full Control] FROM t WHERE a = :a");
    EXPECT_EQ(backend->Dialect(sql), sql);
    EXPECT_EQ(FindBackend(QStringLiteral("Oracle")), nullptr);
}

// --- Navigation ----------------------------------------------------------------------------

TEST_F(DatasetTest, NavigatesInIndexOrderWithNullsAndDuplicateKeys)
{
    Insert(1, QStringLiteral("b"), QStringLiteral("x"));
    Insert(2, QVariant(), QStringLiteral("m"));
    Insert(3, QStringLiteral("a"), QStringLiteral("z"));
    Insert(4, QStringLiteral("b"), QStringLiteral("x"));
    Insert(5, QVariant(), QStringLiteral("a"));
    Insert(6, QStringLiteral("a"), QStringLiteral("c"));
    Insert(7, QStringLiteral("b"), QStringLiteral("x"));
    Insert(8, QVariant(), QStringLiteral("m"));

    TableDataset items(m_connection, ItemsTable());
    items.Open();
    EXPECT_TRUE(items.Active());
    EXPECT_FALSE(items.Eof());
    EXPECT_EQ(Id(items), 5); // opened on the first row of the index
    // NULL groups first; equal keys in the order of their rows.
    EXPECT_EQ(WalkIds(items), (QList<int>{5, 2, 8, 6, 3, 1, 4, 7}));

    // Past the end: Eof, and the last row stays current.
    EXPECT_TRUE(items.Eof());
    EXPECT_EQ(Id(items), 7);
    EXPECT_FALSE(items.Next());
    EXPECT_EQ(Id(items), 7);
    EXPECT_EQ(items.RecordCount(), 8);

    EXPECT_TRUE(items.Last());
    EXPECT_EQ(Id(items), 7);

    TableDataset byRowId(m_connection, ItemsTable({}));
    byRowId.Open();
    EXPECT_EQ(WalkIds(byRowId), (QList<int>{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST_F(DatasetTest, EmptyTable)
{
    TableDataset items(m_connection, ItemsTable());
    items.Open();
    EXPECT_TRUE(items.Eof());
    EXPECT_TRUE(items.IsEmpty());
    EXPECT_EQ(items.RecordCount(), 0);
    EXPECT_FALSE(items.First());
    EXPECT_FALSE(items.Next());
    EXPECT_TRUE(items.FieldByName(QStringLiteral("ID")).IsNull());
    EXPECT_THROW(items.Delete(), Exception);
    // Edit of an empty dataset starts a new record.
    items.Edit();
    EXPECT_EQ(items.State(), DatasetState::Insert);
    EXPECT_FALSE(items.IsEmpty());
    items.Cancel();
    EXPECT_EQ(items.State(), DatasetState::Browse);
}

TEST_F(DatasetTest, ClosedDatasetAndUnknownFieldRaise)
{
    TableDataset items(m_connection, ItemsTable());
    EXPECT_FALSE(items.Active());
    EXPECT_THROW(items.First(), Exception);
    EXPECT_THROW(items.Append(), Exception);
    EXPECT_THROW(items.RecordCount(), Exception);
    EXPECT_TRUE(items.IsEmpty());
    EXPECT_THROW(items.FieldByName(QStringLiteral("Nope")), Exception);
    EXPECT_EQ(items.FindField(QStringLiteral("nope")), nullptr);
    EXPECT_EQ(&items.FieldByName(QStringLiteral("name")), items.FindField(QStringLiteral("Name")));
}

// --- Append, edit, delete ------------------------------------------------------------------

TEST_F(DatasetTest, AppendPostReadsBackTheIdentityAndStaysOnTheRow)
{
    TableDataset items(m_connection, ItemsTable());
    items.Open();
    items.Append();
    EXPECT_EQ(items.State(), DatasetState::Insert);
    items.FieldByName(QStringLiteral("Grp")).SetAsString(QStringLiteral("b"));
    items.FieldByName(QStringLiteral("Name")).SetAsString(QStringLiteral("n"));
    items.FieldByName(QStringLiteral("Code")).SetAsString(QStringLiteral("AB"));
    items.FieldByName(QStringLiteral("Active")).SetAsBoolean(true);
    const QDateTime stamp(QDate(2024, 2, 29), QTime(13, 14, 15, 160));
    items.FieldByName(QStringLiteral("Stamp")).SetAsDateTime(stamp);
    items.Post();
    EXPECT_EQ(items.State(), DatasetState::Browse);
    const int first = Id(items);
    EXPECT_GT(first, 0);
    EXPECT_EQ(Stored(first, QStringLiteral("Code")).toString(), QStringLiteral("AB    "));
    EXPECT_EQ(Stored(first, QStringLiteral("Active")).toInt(), 1);

    items.Append();
    items.FieldByName(QStringLiteral("Grp")).SetAsString(QStringLiteral("a"));
    items.FieldByName(QStringLiteral("Name")).SetAsString(QStringLiteral("q"));
    items.Post();
    const int second = Id(items);
    EXPECT_NE(second, first);
    // The new row sits at its place in the index: ("a","q") comes before ("b","n").
    EXPECT_TRUE(items.Next());
    EXPECT_EQ(Id(items), first);
    EXPECT_TRUE(items.FieldByName(QStringLiteral("Active")).AsBoolean());
    EXPECT_EQ(items.FieldByName(QStringLiteral("Stamp")).AsDateTime(), stamp);
    EXPECT_EQ(items.FieldByName(QStringLiteral("Code")).AsString(), QStringLiteral("AB    "));
    EXPECT_FALSE(items.Next());
}

TEST_F(DatasetTest, TextIsStoredCutToTheFieldWidth)
{
    struct Case
    {
        QString assigned;
        QString stored;
    };
    const Case cases[] = {
        {QStringLiteral("abcdefghij"), QStringLiteral("abcdefgh")},
        {QStringLiteral("abcdefg") + kSmiley + QStringLiteral("xy"),
         QStringLiteral("abcdefg") + kSmiley},
        {QStringLiteral("abcdefgh") + kSmiley, QStringLiteral("abcdefgh")},
    };
    TableDataset items(m_connection, ItemsTable());
    items.Open();
    for (const Case& c : cases) {
        items.Append();
        items.FieldByName(QStringLiteral("Name")).SetAsString(c.assigned);
        items.Post();
        EXPECT_EQ(Stored(Id(items), QStringLiteral("Name")).toString(), c.stored);
    }
}

TEST_F(DatasetTest, EditPostMovesTheRowToItsNewPlace)
{
    Insert(1, QStringLiteral("g"), QStringLiteral("a"));
    Insert(2, QStringLiteral("g"), QStringLiteral("b"));
    Insert(3, QStringLiteral("g"), QStringLiteral("c"));
    TableDataset items(m_connection, ItemsTable());
    items.Open();
    ASSERT_EQ(Id(items), 1);
    items.Edit();
    EXPECT_EQ(items.State(), DatasetState::Edit);
    items.FieldByName(QStringLiteral("Name")).SetAsString(QStringLiteral("d"));
    items.Post();
    EXPECT_EQ(Stored(1, QStringLiteral("Name")).toString(), QStringLiteral("d"));
    EXPECT_EQ(Id(items), 1);
    EXPECT_FALSE(items.Next()); // now the last row
    EXPECT_EQ(WalkIds(items), (QList<int>{2, 3, 1}));

    // Cancel restores the record and writes nothing.
    ASSERT_TRUE(items.Locate(QStringLiteral("ID"), 2));
    items.Edit();
    items.FieldByName(QStringLiteral("Name")).SetAsString(QStringLiteral("zz"));
    EXPECT_TRUE(items.Modified());
    items.Cancel();
    EXPECT_EQ(items.FieldByName(QStringLiteral("Name")).AsString(), QStringLiteral("b"));
    EXPECT_EQ(Stored(2, QStringLiteral("Name")).toString(), QStringLiteral("b"));

    // Moving away from a changed record posts it.
    items.Edit();
    items.FieldByName(QStringLiteral("Name")).SetAsString(QStringLiteral("e"));
    items.Next();
    EXPECT_EQ(items.State(), DatasetState::Browse);
    EXPECT_EQ(Stored(2, QStringLiteral("Name")).toString(), QStringLiteral("e"));

    // A row that someone else deleted cannot be updated.
    ASSERT_TRUE(items.Locate(QStringLiteral("ID"), 3));
    items.Edit();
    m_connection.ExecDirect(QStringLiteral("DELETE FROM Items WHERE ID = 3"));
    items.FieldByName(QStringLiteral("Name")).SetAsString(QStringLiteral("f"));
    EXPECT_THROW(items.Post(), Exception);
    EXPECT_EQ(items.State(), DatasetState::Edit);
    items.Cancel();
}

TEST_F(DatasetTest, DeleteMakesTheNextRowCurrent)
{
    Insert(1, QStringLiteral("g"), QStringLiteral("a"));
    Insert(2, QStringLiteral("g"), QStringLiteral("b"));
    Insert(3, QStringLiteral("g"), QStringLiteral("c"));
    TableDataset items(m_connection, ItemsTable());
    items.Open();
    ASSERT_TRUE(items.Locate(QStringLiteral("Name"), QStringLiteral("b")));
    items.Delete();
    EXPECT_EQ(Id(items), 3);
    EXPECT_FALSE(items.Eof());
    EXPECT_EQ(Count(), 2);

    // Deleting the last row: its predecessor becomes current, with nothing after it.
    items.Delete();
    EXPECT_EQ(Id(items), 1);
    EXPECT_TRUE(items.Eof());

    items.Delete();
    EXPECT_TRUE(items.IsEmpty());
    EXPECT_TRUE(items.Eof());
    EXPECT_TRUE(items.FieldByName(QStringLiteral("ID")).IsNull());
    EXPECT_EQ(Count(), 0);
}

TEST_F(DatasetTest, DeleteWhileInsertingDropsTheNewRecord)
{
    Insert(1, QStringLiteral("g"), QStringLiteral("a"));
    TableDataset items(m_connection, ItemsTable());
    items.Open();
    items.Append();
    items.FieldByName(QStringLiteral("Name")).SetAsString(QStringLiteral("new"));
    items.Delete();
    EXPECT_EQ(items.State(), DatasetState::Browse);
    EXPECT_EQ(Id(items), 1);
    EXPECT_EQ(Count(), 1);
}

TEST_F(DatasetTest, AnUnchangedNewRecordIsDroppedOnNavigation)
{
    Insert(1, QStringLiteral("g"), QStringLiteral("a"));
    TableDataset items(m_connection, ItemsTable());
    items.OnNewRecord = [](TableDataset& dataset) {
        dataset.FieldByName(QStringLiteral("Amount")).SetAsInteger(0);
    };
    items.Open();
    items.Append();
    EXPECT_FALSE(items.Modified()); // defaults of OnNewRecord are no change
    items.First();
    EXPECT_EQ(Count(), 1);
    EXPECT_EQ(Id(items), 1);
}

// --- Events --------------------------------------------------------------------------------

TEST_F(DatasetTest, EventsRunInOrderAndCanChangeTheRecord)
{
    QStringList log;
    TableDataset items(m_connection, ItemsTable());
    items.OnNewRecord = [&](TableDataset& dataset) {
        log << QStringLiteral("new");
        dataset.FieldByName(QStringLiteral("Active")).SetAsBoolean(false);
        dataset.FieldByName(QStringLiteral("Amount")).SetAsInteger(0);
    };
    items.BeforePost = [&](TableDataset& dataset) {
        log << (dataset.State() == DatasetState::Insert ? QStringLiteral("before insert")
                                                        : QStringLiteral("before edit"));
        Field& name = dataset.FieldByName(QStringLiteral("Name"));
        name.SetAsString(name.AsString().toUpper());
    };
    items.AfterPost = [&](TableDataset&) { log << QStringLiteral("after"); };
    items.Open();

    items.Append();
    EXPECT_FALSE(items.FieldByName(QStringLiteral("Active")).IsNull());
    EXPECT_FALSE(items.FieldByName(QStringLiteral("Active")).AsBoolean());
    EXPECT_EQ(items.FieldByName(QStringLiteral("Amount")).Value(), QVariant(0));
    EXPECT_TRUE(items.FieldByName(QStringLiteral("Grp")).IsNull());
    items.FieldByName(QStringLiteral("Name")).SetAsString(QStringLiteral("widget"));
    items.Post();
    const int id = Id(items);
    EXPECT_EQ(Stored(id, QStringLiteral("Name")).toString(), QStringLiteral("WIDGET"));
    EXPECT_EQ(Stored(id, QStringLiteral("Amount")).toInt(), 0);

    items.Edit();
    items.FieldByName(QStringLiteral("Name")).SetAsString(QStringLiteral("gadget"));
    items.Post();
    EXPECT_EQ(Stored(id, QStringLiteral("Name")).toString(), QStringLiteral("GADGET"));
    EXPECT_EQ(log, (QStringList{QStringLiteral("new"), QStringLiteral("before insert"),
                                QStringLiteral("after"), QStringLiteral("before edit"),
                                QStringLiteral("after")}));
}

TEST_F(DatasetTest, AnExceptionFromAnEventAbandonsTheOperation)
{
    Insert(1, QStringLiteral("g"), QStringLiteral("a"));
    Insert(2, QStringLiteral("g"), QStringLiteral("b"));
    TableDataset items(m_connection, ItemsTable());
    items.BeforeDelete = [](TableDataset& dataset) {
        throw Exception(QStringLiteral("Unable to delete \"%1\"")
                            .arg(dataset.FieldByName(QStringLiteral("Name")).AsString()));
    };
    items.Open();
    EXPECT_EQ(MessageOf([&] { items.Delete(); }), QStringLiteral("Unable to delete \"a\""));
    EXPECT_EQ(Count(), 2);
    EXPECT_EQ(Id(items), 1);
    EXPECT_EQ(items.State(), DatasetState::Browse);

    // A failing BeforePost leaves the record in its state, unwritten.
    items.BeforePost = [](TableDataset&) { throw Exception(QStringLiteral("refused")); };
    items.Append();
    items.FieldByName(QStringLiteral("Name")).SetAsString(QStringLiteral("c"));
    EXPECT_EQ(MessageOf([&] { items.Post(); }), QStringLiteral("refused"));
    EXPECT_EQ(items.State(), DatasetState::Insert);
    EXPECT_EQ(Count(), 2);
    items.Cancel();
    EXPECT_EQ(Id(items), 1); // back on the row that was current before Append

    // A failing OnNewRecord leaves no new record.
    items.OnNewRecord = [](TableDataset&) { throw Exception(QStringLiteral("no")); };
    EXPECT_THROW(items.Append(), Exception);
    EXPECT_EQ(items.State(), DatasetState::Browse);
    EXPECT_EQ(Id(items), 1);
}

TEST_F(DatasetTest, RequiredFieldRefusesThePostByItsLabel)
{
    TableDataset items(m_connection, ItemsTable());
    items.Open();
    items.Append();
    EXPECT_EQ(MessageOf([&] { items.Post(); }),
              QStringLiteral("Field 'Item Name' must have a value"));
    EXPECT_EQ(items.State(), DatasetState::Insert);
    items.FieldByName(QStringLiteral("Name")).SetAsString(QStringLiteral("ok"));
    items.Post();
    EXPECT_EQ(Count(), 1);
}

TEST_F(DatasetTest, DatabaseErrorsCarryTheDriverText)
{
    m_connection.ExecDirect(QStringLiteral("CREATE UNIQUE INDEX idxItemsName ON Items (Name)"));
    TableDataset items(m_connection, ItemsTable());
    items.Open();
    for (int i = 0; i < 2; ++i) {
        items.Append();
        items.FieldByName(QStringLiteral("Name")).SetAsString(QStringLiteral("same"));
        if (i == 0)
            items.Post();
    }
    const QString message = MessageOf([&] { items.Post(); });
    EXPECT_TRUE(message.contains(QStringLiteral("UNIQUE constraint failed")))
        << message.toStdString();
    EXPECT_EQ(items.State(), DatasetState::Insert);

    EXPECT_TRUE(MessageOf([&] {
                    m_connection.ExecDirect(QStringLiteral("DROP TABLE Missing"));
                }).contains(QStringLiteral("no such table: Missing")));
}

// --- Locate --------------------------------------------------------------------------------

struct LocateCase
{
    const char* name;
    QStringList fields;
    QVariantList values;
    LocateOptions options;
    int expectedId; // 0: not found
};

// Failure messages name the case.
void PrintTo(const LocateCase& c, std::ostream* os)
{
    *os << c.name;
}

class LocateTest : public DatasetTest, public ::testing::WithParamInterface<LocateCase>
{
};

TEST_P(LocateTest, FindsTheFirstMatchInIndexOrder)
{
    const QString aUmlaut = QString::fromUtf8("\xC3\xA4rger");
    Insert(1, QStringLiteral("g1"), QStringLiteral("alpha"), QStringLiteral("AB    "));
    Insert(2, QStringLiteral("g1"), QStringLiteral("beta"), QStringLiteral("CD")); // not padded
    Insert(3, QVariant(), QStringLiteral("gamma"));
    Insert(4, QStringLiteral("g2"), QStringLiteral("alpha"), QStringLiteral("AB    "));
    Insert(5, QStringLiteral("g2"), aUmlaut);
    Insert(6, QStringLiteral("g0"), QStringLiteral("alphabet"));

    TableDataset items(m_connection, ItemsTable());
    items.Open();
    ASSERT_EQ(Id(items), 3);
    const LocateCase& c = GetParam();
    const bool found = items.Locate(c.fields, c.values, c.options);
    EXPECT_EQ(found, c.expectedId != 0);
    // Not found: the current row stays.
    EXPECT_EQ(Id(items), found ? c.expectedId : 3);
    EXPECT_FALSE(items.Eof());
}

LocateOptions CaseInsensitive()
{
    LocateOptions options;
    options.caseInsensitive = true;
    return options;
}

LocateOptions Partial(bool caseInsensitive = false)
{
    LocateOptions options;
    options.partialKey = true;
    options.caseInsensitive = caseInsensitive;
    return options;
}

const QString kName = QStringLiteral("Name");
const QString kGrp = QStringLiteral("Grp");
const QString kCode = QStringLiteral("Code");

INSTANTIATE_TEST_SUITE_P(
    Cases, LocateTest,
    ::testing::Values(
        LocateCase{"single", {kName}, {QStringLiteral("beta")}, {}, 2},
        LocateCase{"firstOfSeveral", {kName}, {QStringLiteral("alpha")}, {}, 1},
        LocateCase{
            "twoColumns", {kGrp, kName}, {QStringLiteral("g2"), QStringLiteral("alpha")}, {}, 4},
        LocateCase{
            "twoColumnsNone", {kGrp, kName}, {QStringLiteral("g2"), QStringLiteral("beta")}, {}, 0},
        LocateCase{"nullMatchesNull", {kGrp, kName}, {QVariant(), QStringLiteral("gamma")}, {}, 3},
        LocateCase{
            "nullMatchesOnlyNull", {kGrp, kName}, {QVariant(), QStringLiteral("alpha")}, {}, 0},
        LocateCase{"fixedWithoutBlanks", {kCode}, {QStringLiteral("AB")}, {}, 1},
        LocateCase{"fixedStoredUnpadded", {kCode}, {QStringLiteral("CD")}, {}, 2},
        LocateCase{"fixedWithBlanks", {kCode}, {QStringLiteral("CD    ")}, {}, 2},
        LocateCase{"caseMatters", {kName}, {QStringLiteral("BETA")}, {}, 0},
        LocateCase{"caseInsensitive", {kName}, {QStringLiteral("BETA")}, CaseInsensitive(), 2},
        LocateCase{"caseInsensitiveNonAscii",
                   {kName},
                   {QString::fromUtf8("\xC3\x84RGER")},
                   CaseInsensitive(),
                   5},
        LocateCase{"caseInsensitiveFixed", {kCode}, {QStringLiteral("cd")}, CaseInsensitive(), 2},
        LocateCase{"partial", {kName}, {QStringLiteral("alph")}, Partial(), 6},
        LocateCase{"partialCaseMatters", {kName}, {QStringLiteral("ALPH")}, Partial(), 0},
        LocateCase{"partialCaseInsensitive", {kName}, {QStringLiteral("ALPH")}, Partial(true), 6},
        LocateCase{"partialNone", {kName}, {QStringLiteral("alpz")}, Partial(), 0},
        LocateCase{"cutLikeAnAssignment", {kName}, {QStringLiteral("alphabetical")}, {}, 6},
        LocateCase{"integerFromText", {QStringLiteral("id")}, {QStringLiteral("4")}, {}, 4}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DatasetTest, LocateRejectsUnknownFieldsAndMismatchedValues)
{
    TableDataset items(m_connection, ItemsTable());
    items.Open();
    EXPECT_THROW(items.Locate(QStringLiteral("Nope"), 1), Exception);
    EXPECT_THROW(items.Locate(QStringList{kName, kGrp}, QVariantList{1}), Exception);
    EXPECT_THROW(items.Locate(QStringLiteral("Amount"), QStringLiteral("many")), Exception);
}

// --- Display updates -----------------------------------------------------------------------

TEST_F(DatasetTest, SuspendedDisplayUpdatesAreSignalledOnceOnResume)
{
    Insert(1, QStringLiteral("g"), QStringLiteral("a"));
    Insert(2, QStringLiteral("g"), QStringLiteral("b"));
    TableDataset items(m_connection, ItemsTable());
    int changes = 0;
    QObject::connect(&items, &TableDataset::DataChanged, [&] { ++changes; });
    items.Open();
    EXPECT_EQ(changes, 1);
    items.Next();
    EXPECT_EQ(changes, 2);
    items.Edit();
    items.FieldByName(kName).SetAsString(QStringLiteral("c"));
    items.Post();
    EXPECT_EQ(changes, 3);

    changes = 0;
    items.DisableControls();
    items.DisableControls();
    EXPECT_TRUE(items.ControlsDisabled());
    items.First();
    items.Append();
    items.FieldByName(kName).SetAsString(QStringLiteral("d"));
    items.Post();
    items.Delete();
    items.EnableControls();
    EXPECT_EQ(changes, 0); // still suspended: one level left
    EXPECT_TRUE(items.ControlsDisabled());
    items.EnableControls();
    EXPECT_EQ(changes, 1);
    EXPECT_FALSE(items.ControlsDisabled());

    // Nothing changed while suspended: nothing to signal.
    changes = 0;
    items.DisableControls();
    items.RecordCount();
    items.Locate(kName, QStringLiteral("none"));
    items.EnableControls();
    EXPECT_EQ(changes, 0);

    // A resume too many does nothing, and suspension still works afterwards.
    items.EnableControls();
    items.DisableControls();
    items.First();
    EXPECT_EQ(changes, 0);
    items.EnableControls();
    EXPECT_EQ(changes, 1);
}

// --- Reconnecting --------------------------------------------------------------------------

TEST_F(DatasetTest, DatasetsThatWereOpenReopenAfterReconnect)
{
    Insert(1, QStringLiteral("g"), QStringLiteral("b"));
    TableDataset open(m_connection, ItemsTable());
    TableDataset closedByUser(m_connection, ItemsTable());
    TableDataset neverOpened(m_connection, ItemsTable());
    Statement statement(m_connection);
    statement.SetSQL(QStringLiteral("SELECT COUNT(*) FROM Items WHERE Grp = :Grp"));
    statement.SetParam(kGrp, QStringLiteral("g"));
    statement.Open();
    EXPECT_EQ(statement.FieldAt(0).toInt(), 1);

    open.Open();
    closedByUser.Open();
    closedByUser.Close();
    int before = 0;
    int after = 0;
    QObject::connect(&m_connection, &Connection::BeforeDisconnect, [&] { ++before; });
    QObject::connect(&m_connection, &Connection::AfterConnect, [&] { ++after; });

    m_connection.Close();
    EXPECT_FALSE(m_connection.Connected());
    EXPECT_FALSE(open.Active());
    EXPECT_FALSE(statement.Active());
    EXPECT_THROW(statement.Open(), Exception);
    EXPECT_THROW(open.Open(), Exception);

    // Another writer adds a row while this connection is closed.
    {
        Connection other;
        ASSERT_TRUE(other.Open(Params()));
        other.ExecDirect(QStringLiteral("INSERT INTO Items (ID, Grp, Name) VALUES (2, 'g', 'a')"));
    }

    ASSERT_TRUE(m_connection.Open(Params()));
    EXPECT_EQ(before, 1);
    EXPECT_EQ(after, 1);
    EXPECT_TRUE(open.Active());
    EXPECT_FALSE(closedByUser.Active());
    EXPECT_FALSE(neverOpened.Active());
    EXPECT_EQ(Id(open), 2); // reloaded, on the first row
    EXPECT_EQ(open.RecordCount(), 2);

    open.Append();
    open.FieldByName(kName).SetAsString(QStringLiteral("c"));
    open.Post();
    EXPECT_TRUE(open.Locate(kName, QStringLiteral("b")));
    statement.Open();
    EXPECT_EQ(statement.FieldAt(0).toInt(), 2);
}

TEST_F(DatasetTest, AConnectionOpenedOnAWorkerIsUsedOnTheMainThread)
{
    Insert(1, QStringLiteral("g"), QStringLiteral("a"));
    static QStringList warnings;
    warnings.clear();
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
            if (type != QtDebugMsg && type != QtInfoMsg)
                warnings.append(text);
        });

    {
        Connection connection;
        TableDataset items(connection, ItemsTable());
        QThread* mainThread = QThread::currentThread();
        bool opened = false;
        std::unique_ptr<QThread> worker(QThread::create([&] {
            opened = connection.Open(Params());
            items.Open();
            connection.HandOverToThread(mainThread);
        }));
        worker->start();
        ASSERT_TRUE(worker->wait());
        ASSERT_TRUE(opened);
        EXPECT_EQ(connection.thread(), mainThread);

        EXPECT_EQ(Id(items), 1);
        items.Append();
        items.FieldByName(kGrp).SetAsString(QStringLiteral("g"));
        items.FieldByName(kName).SetAsString(QStringLiteral("b"));
        items.Post();
        EXPECT_TRUE(items.Locate(kName, QStringLiteral("a")));
        EXPECT_TRUE(items.Next());
        Statement statement(connection);
        statement.SetSQL(QStringLiteral("SELECT COUNT(*) FROM Items"));
        statement.Open();
        EXPECT_EQ(statement.FieldAt(0).toInt(), 2);
        statement.Close();
        connection.Close();
    }
    qInstallMessageHandler(previous);
    EXPECT_TRUE(warnings.isEmpty()) << warnings.join(QLatin1Char('\n')).toStdString();
}

TEST_F(DatasetTest, DatasetsOutliveTheirConnection)
{
    auto connection = std::make_unique<Connection>();
    ASSERT_TRUE(connection->Open(Params()));
    TableDataset items(*connection, ItemsTable());
    Statement statement(*connection);
    statement.SetSQL(QStringLiteral("SELECT 1"));
    items.Open();
    connection.reset();
    EXPECT_FALSE(items.Active());
    EXPECT_THROW(items.Open(), Exception);
    EXPECT_THROW(statement.Open(), Exception);
}

// --- Statements ----------------------------------------------------------------------------

TEST_F(DatasetTest, StatementParameters)
{
    Insert(1, QStringLiteral("x"), QStringLiteral("n1"));
    Insert(2, QStringLiteral("g"), QStringLiteral("x"));
    Insert(3, QStringLiteral("g"), QStringLiteral("y"));

    Statement statement(m_connection);
    // One parameter in two places.
    statement.SetSQL(
        QStringLiteral("SELECT ID, Name FROM Items WHERE Grp = :Key OR Name = :key ORDER BY ID"));
    EXPECT_EQ(statement.ParamNames(), QStringList{QStringLiteral("Key")});
    statement.SetParam(QStringLiteral("KEY"), QStringLiteral("x"));
    statement.Open();
    QList<int> ids;
    for (; !statement.Eof(); statement.Next())
        ids.append(statement.FieldByName(QStringLiteral("id")).toInt());
    EXPECT_EQ(ids, (QList<int>{1, 2}));
    EXPECT_FALSE(statement.Next());
    EXPECT_EQ(statement.FieldNames(), (QStringList{QStringLiteral("ID"), QStringLiteral("Name")}));
    EXPECT_THROW(statement.FieldByName(QStringLiteral("Grp")), Exception);

    // Run again with another value: the prepared statement is reused.
    statement.SetParam(QStringLiteral("Key"), QStringLiteral("y"));
    statement.Open();
    EXPECT_EQ(statement.FieldAt(0).toInt(), 3);
    statement.Close();
    EXPECT_FALSE(statement.Active());

    // A ':' inside a literal is text, not a parameter.
    statement.SetSQL(QStringLiteral("SELECT ':Key at 10:30' AS Label, :Value AS Value"));
    EXPECT_EQ(statement.ParamNames(), QStringList{QStringLiteral("Value")});
    EXPECT_THROW(statement.SetParam(QStringLiteral("Key"), 1), Exception);
    statement.SetParam(QStringLiteral("Value"), 5);
    statement.Open();
    EXPECT_EQ(statement.FieldByName(QStringLiteral("Label")).toString(),
              QStringLiteral(":Key at 10:30"));
    EXPECT_EQ(statement.FieldByName(QStringLiteral("Value")).toInt(), 5);

    // Null and unset parameters are NULL.
    statement.SetSQL(QStringLiteral("SELECT :A IS NULL, :B IS NULL"));
    statement.SetParam(QStringLiteral("A"), QVariant());
    statement.Open();
    EXPECT_EQ(statement.FieldAt(0).toInt(), 1);
    EXPECT_EQ(statement.FieldAt(1).toInt(), 1);
}

TEST_F(DatasetTest, StatementParameterSizeCutsText)
{
    Statement statement(m_connection);
    statement.SetSQL(QStringLiteral("SELECT :Name, :Other"));
    statement.SetParam(QStringLiteral("Name"), QStringLiteral("abcdef"));
    statement.SetParamSize(QStringLiteral("Name"), 3); // cuts the value already set
    EXPECT_EQ(statement.Param(QStringLiteral("Name")).toString(), QStringLiteral("abc"));
    statement.SetParam(QStringLiteral("Name"),
                       QStringLiteral("ab") + kSmiley + QStringLiteral("cd"));
    statement.SetParamSize(QStringLiteral("Other"), 2);
    statement.SetParam(QStringLiteral("Other"), 12345); // not text: kept
    statement.Open();
    EXPECT_EQ(statement.FieldAt(0).toString(), QStringLiteral("ab") + kSmiley);
    EXPECT_EQ(statement.FieldAt(1).toInt(), 12345);
    EXPECT_THROW(statement.SetParamSize(QStringLiteral("Missing"), 3), Exception);
}

TEST_F(DatasetTest, StatementExecSqlAndValueConversions)
{
    Insert(1, QStringLiteral("g"), QStringLiteral("a"));
    Insert(2, QStringLiteral("g"), QStringLiteral("b"));
    Insert(3, QStringLiteral("h"), QStringLiteral("c"));
    Statement statement(m_connection);
    statement.SetSQL(
        QStringLiteral("UPDATE Items SET Active = :Active, Stamp = :Stamp WHERE Grp = :Grp"));
    const QDateTime stamp(QDate(2025, 1, 2), QTime(3, 4, 5, 6));
    statement.SetParam(QStringLiteral("Active"), true);
    statement.SetParam(QStringLiteral("Stamp"), stamp);
    statement.SetParam(kGrp, QStringLiteral("g"));
    EXPECT_EQ(statement.ExecSQL(), 2);
    EXPECT_EQ(Stored(1, QStringLiteral("Active")).toInt(), 1);

    TableDataset items(m_connection, ItemsTable());
    items.Open();
    EXPECT_TRUE(items.FieldByName(QStringLiteral("Active")).AsBoolean());
    EXPECT_EQ(items.FieldByName(QStringLiteral("Stamp")).AsDateTime(), stamp);

    statement.SetSQL(QStringLiteral("INSERT INTO Missing VALUES (1)"));
    EXPECT_TRUE(MessageOf([&] { statement.ExecSQL(); }).contains(QStringLiteral("no such table")));
}

// --- Big tables ----------------------------------------------------------------------------

// Pages of the database that the connection has read (from its cache or the file) since
// the last call.
int PagesRead(sqlite3* handle)
{
    int total = 0;
    for (int counter : {SQLITE_DBSTATUS_CACHE_HIT, SQLITE_DBSTATUS_CACHE_MISS}) {
        int current = 0;
        int highest = 0;
        sqlite3_db_status(handle, counter, &current, &highest, 1);
        total += current;
    }
    return total;
}

TEST_F(DatasetTest, ABigTableIsNeverReadWhole)
{
    m_connection.ExecDirect(QStringLiteral(
        "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 200000) "
        "INSERT INTO Items (Grp, Name, Code) "
        "SELECT 'g' || (x % 1000), 'n' || x, NULL FROM n"));
    sqlite3* handle = SqliteHandle(m_connection.Database());
    ASSERT_NE(handle, nullptr);

    // What reading the table whole costs, to show that the measure can tell.
    PagesRead(handle);
    Statement scan(m_connection);
    scan.SetSQL(QStringLiteral("SELECT SUM(length(Name)) FROM Items"));
    scan.Open();
    scan.Close();
    const int wholeTable = PagesRead(handle);
    ASSERT_GT(wholeTable, 1000);

    TableDataset items(m_connection, ItemsTable());
    items.Open();
    EXPECT_EQ(items.FieldByName(kGrp).AsString(), QStringLiteral("g0"));
    ASSERT_TRUE(items.Locate(QStringList{kGrp, kName},
                             QVariantList{QStringLiteral("g500"), QStringLiteral("n100500")}));
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(items.Next());
    items.Edit();
    items.FieldByName(QStringLiteral("Amount")).SetAsInteger(7);
    items.Post();
    items.Delete();
    items.Append();
    items.FieldByName(kName).SetAsString(QStringLiteral("new"));
    items.Post();
    EXPECT_TRUE(items.Last());
    EXPECT_LT(PagesRead(handle), 300);
}

} // namespace
