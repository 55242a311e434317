#include "data/Dataset.h"

#include "applib/Exceptions.h"
#include "data/DataErrors.h"
#include "data/SqlText.h"

#include <QHash>
#include <QSqlRecord>
#include <unordered_map>

namespace velmora::data {

namespace {

QString Joined(const QStringList& parts, const char* separator = ", ")
{
    return parts.join(QLatin1String(separator));
}

QString DatasetClosedText()
{
    return QStringLiteral("Cannot perform this operation on a closed dataset");
}

QString ConnectionClosedText()
{
    return QStringLiteral("The database connection is closed");
}

// A statement prepared once and run many times; `binds` tells, for each '?', where its
// value comes from (the meaning depends on the kind of statement).
struct Prepared
{
    std::unique_ptr<QSqlQuery> query;
    QString sql;
    QList<int> binds;
};

// How a locate condition binds its value.
enum class BindForm
{
    Plain,
    Padded,
    Trimmed
};

struct LocateSlot
{
    int value; // index into the locate's values
    BindForm form;
};

struct LocatePlan
{
    Prepared statement;
    QList<LocateSlot> binds;
};

QString RightTrimmed(const QString& text)
{
    qsizetype end = text.size();
    while (end > 0 && text[end - 1] == QLatin1Char(' '))
        --end;
    return text.left(end);
}

} // namespace

struct TableDataset::Impl
{
    bool detached = false;

    // SQL pieces, made for the backend of the connection when the dataset is opened.
    Backend* backend = nullptr;
    QString table;
    QString rowId;
    QString selectList; // row identity, the fields, then the index columns
    QStringList keys;   // the index columns, as they stand in SQL
    int keyOffset = 0;  // column of the first index column in a result row
    QString orderAscending;
    QString orderDescending;
    QList<int> written;  // fields that INSERT and UPDATE write (all but AutoInc)
    QList<int> autoIncs; // fields that the database makes

    Prepared first, last, insert, update, remove, count, any;
    std::unordered_map<quint64, Prepared> nextByNullMask;
    std::unordered_map<QString, LocatePlan> locates;

    QVariantList key; // the index columns of the current row, as stored

    // The browse position before Append or Edit, restored by Cancel.
    QVariantList savedValues;
    QVariant savedRowId;
    QVariantList savedKey;
    bool savedEof = true;
    // The values right after Append (with OnNewRecord) or Edit, to tell a change.
    QVariantList initialValues;

    void DropStatements()
    {
        for (Prepared* p : {&first, &last, &insert, &update, &remove, &count, &any})
            *p = Prepared();
        nextByNullMask.clear();
        locates.clear();
    }

    void BuildSql(const TableDef& table, Backend* backend);
    Prepared& NextStatement(const QVariantList& key);
    bool Fetch(QSqlQuery& query, const std::vector<std::unique_ptr<Field>>& fields,
               QVariant& rowId);
    bool SeekAfter(Connection& connection, const std::vector<std::unique_ptr<Field>>& fields,
                   const QVariantList& key, const QVariant& afterRowId, QVariant& rowId);

    void FinishAll()
    {
        for (Prepared* p : {&first, &last, &insert, &update, &remove, &count, &any})
            if (p->query)
                p->query->finish();
        for (auto& [mask, p] : nextByNullMask)
            if (p.query)
                p.query->finish();
        for (auto& [signature, plan] : locates)
            if (plan.statement.query)
                plan.statement.query->finish();
    }
};

TableDataset::TableDataset(Connection& connection, TableDef table, QObject* parent)
    : QObject(parent), m_connection(connection), m_table(std::move(table)),
      m_impl(std::make_unique<Impl>())
{
    m_fields.reserve(m_table.fields.size());
    for (const FieldDef& def : std::as_const(m_table.fields))
        m_fields.push_back(std::make_unique<Field>(def));
    m_connection.RegisterDataset(this);
}

TableDataset::~TableDataset()
{
    m_impl->DropStatements();
    if (!m_impl->detached)
        m_connection.UnregisterDataset(this);
}

// --- Statements --------------------------------------------------------------------------

namespace {

QSqlQuery& Ready(Prepared& p, Connection& connection, Backend* backend)
{
    if (!p.query) {
        auto query = std::make_unique<QSqlQuery>(connection.Database());
        query->setForwardOnly(true);
        if (!query->prepare(backend->Dialect(p.sql)))
            RaiseDatabaseError(query->lastError(), p.sql);
        p.query = std::move(query);
    }
    return *p.query;
}

void Run(Prepared& p, Connection& connection, Backend* backend, const QVariantList& values)
{
    QSqlQuery& query = Ready(p, connection, backend);
    for (qsizetype i = 0; i < values.size(); ++i)
        query.bindValue(static_cast<int>(i), values[i]);
    if (!query.exec()) {
        const QSqlError error = query.lastError();
        query.finish();
        RaiseDatabaseError(error, p.sql);
    }
}

} // namespace

// Ensures the SQL pieces fit the connection's backend (they are made again after a
// reconnect to another backend).
void TableDataset::Impl::BuildSql(const TableDef& table, Backend* backend)
{
    Impl& impl = *this;
    if (impl.backend == backend)
        return;
    impl.DropStatements();
    impl.backend = backend;
    impl.table = QuoteName(table.name);
    impl.rowId = backend->RowIdExpression();
    impl.keys.clear();
    for (const QString& name : table.indexFields)
        impl.keys.append(QuoteName(name));
    QStringList select{impl.rowId};
    QStringList written;
    QStringList placeholders;
    QStringList assignments;
    QStringList returnedAutoIncs;
    impl.written.clear();
    impl.autoIncs.clear();
    for (qsizetype i = 0; i < table.fields.size(); ++i) {
        const QString column = QuoteName(table.fields[i].name);
        select.append(column);
        if (table.fields[i].type == FieldType::AutoInc) {
            impl.autoIncs.append(static_cast<int>(i));
            returnedAutoIncs.append(column);
        } else {
            impl.written.append(static_cast<int>(i));
            written.append(column);
            placeholders.append(QStringLiteral("?"));
            assignments.append(column + QLatin1String(" = ?"));
        }
    }
    impl.keyOffset = static_cast<int>(select.size());
    select.append(impl.keys);
    impl.selectList = Joined(select);

    QStringList ascending;
    QStringList descending;
    const QStringList orderColumns = QStringList(impl.keys) << impl.rowId;
    for (const QString& column : orderColumns) {
        ascending.append(backend->OrderTerm(column, false));
        descending.append(backend->OrderTerm(column, true));
    }
    impl.orderAscending = Joined(ascending);
    impl.orderDescending = Joined(descending);

    const QString from = QLatin1String(" FROM ") + impl.table;
    impl.first.sql = QLatin1String("SELECT ") + impl.selectList + from +
                     QLatin1String(" ORDER BY ") + impl.orderAscending + QLatin1String(" LIMIT 1");
    impl.last.sql = QLatin1String("SELECT ") + impl.selectList + from +
                    QLatin1String(" ORDER BY ") + impl.orderDescending + QLatin1String(" LIMIT 1");
    impl.count.sql = QLatin1String("SELECT COUNT(*)") + from;
    impl.any.sql = QLatin1String("SELECT 1") + from + QLatin1String(" LIMIT 1");
    impl.remove.sql = QLatin1String("DELETE") + from + QLatin1String(" WHERE ") + impl.rowId +
                      QLatin1String(" = ?");
    // The statements that write return what the database made or stored: the new row's
    // identity, its AutoInc values and its index columns as they are stored.
    const QString returnedKeys = Joined(QStringList{impl.rowId} + returnedAutoIncs + impl.keys);
    impl.insert.sql =
        QLatin1String("INSERT INTO ") + impl.table +
        (written.isEmpty() ? QStringLiteral(" DEFAULT VALUES")
                           : QLatin1String(" (") + Joined(written) + QLatin1String(") VALUES (") +
                                 Joined(placeholders) + QLatin1Char(')')) +
        QLatin1String(" RETURNING ") + returnedKeys;
    impl.update.sql = assignments.isEmpty()
                          ? QString()
                          : QLatin1String("UPDATE ") + impl.table + QLatin1String(" SET ") +
                                Joined(assignments) + QLatin1String(" WHERE ") + impl.rowId +
                                QLatin1String(" = ? RETURNING ") +
                                Joined(QStringList{impl.rowId} + impl.keys);
}

// The row after the key (k1..kn, row id) in index order, in one statement: for each
// length of a prefix of equal index columns (longest first) one index range, of which
// the first that holds a row wins. NULL sorts before every value, so "after NULL" is
// IS NOT NULL and "equal to NULL" is IS NULL; the statement's text depends on which
// index columns of the key are null.
Prepared& TableDataset::Impl::NextStatement(const QVariantList& key)
{
    Impl& impl = *this;
    quint64 mask = 0;
    for (qsizetype i = 0; i < key.size(); ++i)
        if (key[i].isNull())
            mask |= quint64(1) << i;
    auto found = impl.nextByNullMask.find(mask);
    if (found != impl.nextByNullMask.end())
        return found->second;

    Prepared p;
    QStringList branches;
    const qsizetype n = impl.keys.size();
    for (qsizetype j = n; j >= 0; --j) {
        QStringList conditions;
        for (qsizetype i = 0; i < j; ++i) {
            if (key[i].isNull()) {
                conditions.append(impl.keys[i] + QLatin1String(" IS NULL"));
            } else {
                conditions.append(impl.keys[i] + QLatin1String(" = ?"));
                p.binds.append(static_cast<int>(i));
            }
        }
        QStringList order;
        if (j == n) {
            conditions.append(impl.rowId + QLatin1String(" > ?"));
            p.binds.append(-1);
            order.append(impl.rowId);
        } else {
            if (key[j].isNull()) {
                conditions.append(impl.keys[j] + QLatin1String(" IS NOT NULL"));
            } else {
                conditions.append(impl.keys[j] + QLatin1String(" > ?"));
                p.binds.append(static_cast<int>(j));
            }
            for (qsizetype k = j; k < n; ++k)
                order.append(impl.backend->OrderTerm(impl.keys[k], false));
            order.append(impl.rowId);
        }
        branches.append(
            QStringLiteral("SELECT * FROM (SELECT %1 FROM %2 WHERE %3 ORDER BY %4 "
                           "LIMIT 1) AS n%5")
                .arg(impl.selectList, impl.table, Joined(conditions, " AND "), Joined(order))
                .arg(j));
    }
    p.sql = branches.join(QLatin1String(" UNION ALL ")) + QLatin1String(" LIMIT 1");
    return impl.nextByNullMask.emplace(mask, std::move(p)).first->second;
}

// --- Rows ----------------------------------------------------------------------------------

namespace {

QVariantList ValuesOf(const std::vector<std::unique_ptr<Field>>& fields)
{
    QVariantList values;
    values.reserve(static_cast<qsizetype>(fields.size()));
    for (const auto& field : fields)
        values.append(field->Value());
    return values;
}

void SetValues(const std::vector<std::unique_ptr<Field>>& fields, const QVariantList& values)
{
    for (size_t i = 0; i < fields.size(); ++i) {
        if (static_cast<qsizetype>(i) < values.size())
            fields[i]->SetStoredValue(values[static_cast<qsizetype>(i)]);
        else
            fields[i]->Clear();
    }
}

void ClearValues(const std::vector<std::unique_ptr<Field>>& fields)
{
    for (const auto& field : fields)
        field->Clear();
}

} // namespace

// Reads the row that `query` stands on into the fields and the key; false (nothing
// changed) when there is none. The query is reset either way.
bool TableDataset::Impl::Fetch(QSqlQuery& query, const std::vector<std::unique_ptr<Field>>& fields,
                               QVariant& rowId)
{
    Impl& impl = *this;
    if (!query.next()) {
        query.finish();
        return false;
    }
    rowId = query.value(0);
    for (size_t i = 0; i < fields.size(); ++i)
        fields[i]->SetStoredValue(query.value(static_cast<int>(i) + 1));
    impl.key.resize(impl.keys.size());
    for (qsizetype k = 0; k < impl.keys.size(); ++k)
        impl.key[k] = query.value(impl.keyOffset + static_cast<int>(k));
    query.finish();
    return true;
}

void TableDataset::NotifyChanged()
{
    if (m_disableCount > 0)
        m_changedWhileDisabled = true;
    else
        emit DataChanged();
}

// --- Opening and closing -------------------------------------------------------------------

void TableDataset::Open()
{
    if (Active())
        return;
    if (m_impl->detached || !m_connection.Connected())
        throw Exception(ConnectionClosedText());
    m_impl->BuildSql(m_table, m_connection.CurrentBackend());
    Run(m_impl->first, m_connection, m_impl->backend, {});
    if (m_impl->Fetch(*m_impl->first.query, m_fields, m_rowId)) {
        m_eof = false;
    } else {
        ClearValues(m_fields);
        m_rowId = QVariant();
        m_impl->key.clear();
        m_eof = true;
    }
    m_state = DatasetState::Browse;
    m_wasActive = true;
    NotifyChanged();
}

void TableDataset::Close()
{
    m_wasActive = false;
    if (!Active())
        return;
    m_impl->FinishAll();
    m_state = DatasetState::Inactive;
    ClearValues(m_fields);
    m_rowId = QVariant();
    m_impl->key.clear();
    m_eof = true;
    NotifyChanged();
}

void TableDataset::CloseForDisconnect()
{
    if (Active()) {
        Close();
        m_wasActive = true;
    }
    // The connection finalises its statements when it closes.
    m_impl->DropStatements();
    m_impl->backend = nullptr;
}

void TableDataset::ReopenAfterConnect()
{
    Open();
}

void TableDataset::DetachFromConnection()
{
    CloseForDisconnect();
    m_wasActive = false;
    m_impl->detached = true;
}

// --- Navigation ----------------------------------------------------------------------------

namespace {

void CheckActive(const TableDataset& dataset)
{
    if (!dataset.Active())
        throw Exception(DatasetClosedText());
}

} // namespace

bool TableDataset::First()
{
    CheckActive(*this);
    if (m_state != DatasetState::Browse) {
        if (Modified())
            Post();
        else
            Cancel();
    }
    Run(m_impl->first, m_connection, m_impl->backend, {});
    if (m_impl->Fetch(*m_impl->first.query, m_fields, m_rowId)) {
        m_eof = false;
    } else {
        ClearValues(m_fields);
        m_rowId = QVariant();
        m_impl->key.clear();
        m_eof = true;
    }
    NotifyChanged();
    return !m_eof;
}

bool TableDataset::Last()
{
    CheckActive(*this);
    if (m_state != DatasetState::Browse) {
        if (Modified())
            Post();
        else
            Cancel();
    }
    Run(m_impl->last, m_connection, m_impl->backend, {});
    const bool found = m_impl->Fetch(*m_impl->last.query, m_fields, m_rowId);
    if (!found) {
        ClearValues(m_fields);
        m_rowId = QVariant();
        m_impl->key.clear();
    }
    // Like Next at the last row: positioned on it, with nothing after it.
    m_eof = true;
    NotifyChanged();
    return found;
}

// Moves to the row after (key, rowId); false with nothing changed when there is none.
bool TableDataset::Impl::SeekAfter(Connection& connection,
                                   const std::vector<std::unique_ptr<Field>>& fields,
                                   const QVariantList& key, const QVariant& afterRowId,
                                   QVariant& rowId)
{
    Impl& impl = *this;
    Prepared& next = impl.NextStatement(key);
    QVariantList values;
    values.reserve(next.binds.size());
    for (int source : std::as_const(next.binds))
        values.append(source < 0 ? afterRowId : key[source]);
    Run(next, connection, impl.backend, values);
    return impl.Fetch(*next.query, fields, rowId);
}

bool TableDataset::Next()
{
    CheckActive(*this);
    if (m_state != DatasetState::Browse) {
        if (Modified())
            Post();
        else
            Cancel();
    }
    if (m_eof || m_rowId.isNull())
        return false;
    const QVariantList key = m_impl->key;
    const QVariant rowId = m_rowId;
    if (!m_impl->SeekAfter(m_connection, m_fields, key, rowId, m_rowId)) {
        m_eof = true;
        return false;
    }
    NotifyChanged();
    return true;
}

bool TableDataset::IsEmpty()
{
    if (!Active())
        return true;
    if (m_state == DatasetState::Insert)
        return false;
    Run(m_impl->any, m_connection, m_impl->backend, {});
    const bool any = m_impl->any.query->next();
    m_impl->any.query->finish();
    return !any;
}

int TableDataset::RecordCount()
{
    CheckActive(*this);
    Run(m_impl->count, m_connection, m_impl->backend, {});
    QSqlQuery& query = *m_impl->count.query;
    const int count = query.next() ? query.value(0).toInt() : 0;
    query.finish();
    return count;
}

// --- Editing -------------------------------------------------------------------------------

bool TableDataset::Modified() const
{
    if (m_state != DatasetState::Edit && m_state != DatasetState::Insert)
        return false;
    for (size_t i = 0; i < m_fields.size(); ++i)
        if (m_fields[i]->Value() != m_impl->initialValues.value(static_cast<qsizetype>(i)))
            return true;
    return false;
}

void TableDataset::Append()
{
    CheckActive(*this);
    if (m_state != DatasetState::Browse) {
        if (Modified())
            Post();
        else
            Cancel();
    }
    m_impl->savedValues = ValuesOf(m_fields);
    m_impl->savedRowId = m_rowId;
    m_impl->savedKey = m_impl->key;
    m_impl->savedEof = m_eof;
    ClearValues(m_fields);
    m_state = DatasetState::Insert;
    if (OnNewRecord) {
        try {
            OnNewRecord(*this);
        } catch (...) {
            Cancel();
            throw;
        }
    }
    m_impl->initialValues = ValuesOf(m_fields);
    NotifyChanged();
}

void TableDataset::Edit()
{
    CheckActive(*this);
    if (m_state != DatasetState::Browse)
        return;
    if (m_rowId.isNull()) {
        Append();
        return;
    }
    m_impl->savedValues = ValuesOf(m_fields);
    m_impl->savedRowId = m_rowId;
    m_impl->savedKey = m_impl->key;
    m_impl->savedEof = m_eof;
    m_impl->initialValues = m_impl->savedValues;
    m_state = DatasetState::Edit;
}

void TableDataset::Cancel()
{
    if (m_state != DatasetState::Edit && m_state != DatasetState::Insert)
        return;
    SetValues(m_fields, m_impl->savedValues);
    m_rowId = m_impl->savedRowId;
    m_impl->key = m_impl->savedKey;
    m_eof = m_impl->savedEof;
    m_state = DatasetState::Browse;
    NotifyChanged();
}

void TableDataset::Post()
{
    CheckActive(*this);
    if (m_state != DatasetState::Edit && m_state != DatasetState::Insert)
        return;
    if (BeforePost)
        BeforePost(*this);
    CheckRequiredFields(m_fields);

    Impl& impl = *m_impl;
    QVariantList values;
    values.reserve(impl.written.size() + 1);
    for (int i : std::as_const(impl.written))
        values.append(impl.backend->BindValue(m_fields[static_cast<size_t>(i)]->Value()));

    if (m_state == DatasetState::Insert) {
        Run(impl.insert, m_connection, impl.backend, values);
        QSqlQuery& query = *impl.insert.query;
        if (!query.next()) {
            const QSqlError error = query.lastError();
            query.finish();
            RaiseDatabaseError(error, impl.insert.sql);
        }
        m_rowId = query.value(0);
        int column = 1;
        for (int i : std::as_const(impl.autoIncs))
            m_fields[static_cast<size_t>(i)]->SetStoredValue(query.value(column++));
        impl.key.resize(impl.keys.size());
        for (qsizetype k = 0; k < impl.keys.size(); ++k)
            impl.key[k] = query.value(column++);
        query.finish();
    } else if (!impl.update.sql.isEmpty()) {
        values.append(m_rowId);
        Run(impl.update, m_connection, impl.backend, values);
        QSqlQuery& query = *impl.update.query;
        if (!query.next()) {
            query.finish();
            throw Exception(
                QStringLiteral("The row to update is no longer in the table %1").arg(m_table.name));
        }
        for (qsizetype k = 0; k < impl.keys.size(); ++k)
            impl.key[k] = query.value(1 + static_cast<int>(k));
        query.finish();
    }
    // What the fields hold is now stored; the row's place follows its index columns.
    m_eof = false;
    m_state = DatasetState::Browse;
    if (AfterPost)
        AfterPost(*this);
    NotifyChanged();
}

void TableDataset::Delete()
{
    CheckActive(*this);
    if (m_state == DatasetState::Insert) {
        Cancel();
        return;
    }
    if (m_state == DatasetState::Edit)
        Cancel();
    if (m_rowId.isNull())
        throw Exception(QStringLiteral("Cannot perform this operation on an empty dataset"));
    if (BeforeDelete)
        BeforeDelete(*this);
    Run(m_impl->remove, m_connection, m_impl->backend, {m_rowId});
    m_impl->remove.query->finish();

    const QVariantList key = m_impl->key;
    const QVariant rowId = m_rowId;
    if (m_impl->SeekAfter(m_connection, m_fields, key, rowId, m_rowId)) {
        m_eof = false;
    } else {
        // The last row went: its predecessor, now last, becomes current.
        Run(m_impl->last, m_connection, m_impl->backend, {});
        if (!m_impl->Fetch(*m_impl->last.query, m_fields, m_rowId)) {
            ClearValues(m_fields);
            m_rowId = QVariant();
            m_impl->key.clear();
        }
        m_eof = true;
    }
    NotifyChanged();
}

// --- Locate --------------------------------------------------------------------------------

bool TableDataset::Locate(const QStringList& fields, const QVariantList& values,
                          LocateOptions options)
{
    CheckActive(*this);
    if (fields.size() != values.size() || fields.isEmpty())
        throw Exception(QStringLiteral("Locate needs one value for each field"));
    if (m_state != DatasetState::Browse) {
        if (Modified())
            Post();
        else
            Cancel();
    }
    Impl& impl = *m_impl;

    // The values as the fields would hold them, and the form of each condition.
    QVariantList converted;
    QString signature;
    QList<int> fieldIndexes;
    for (qsizetype i = 0; i < fields.size(); ++i) {
        const Field& field = FieldByName(fields[i]);
        int position = 0;
        while (m_fields[static_cast<size_t>(position)].get() != &field)
            ++position;
        fieldIndexes.append(position);
        FieldDef def = field.Def();
        const bool text = IsTextType(def.type);
        const bool partial = options.partialKey && text;
        if (partial && def.type == FieldType::FixedText)
            def.type = FieldType::Text; // a prefix is not padded
        const QVariant value = ConvertFieldValue(def, values[i]);
        converted.append(value);
        signature += QString::number(position) + QLatin1Char(value.isNull() ? 'n' : 'v');
        if (text && !value.isNull()) {
            signature += QLatin1Char(partial ? 'p' : '-');
            signature += QLatin1Char(options.caseInsensitive ? 'i' : '-');
        }
        signature += QLatin1Char(',');
    }

    auto planIt = impl.locates.find(signature);
    if (planIt == impl.locates.end()) {
        LocatePlan plan;
        QStringList conditions;
        for (qsizetype i = 0; i < fields.size(); ++i) {
            const Field& field = *m_fields[static_cast<size_t>(fieldIndexes[i])];
            const FieldType type = field.Def().type;
            const QString column = QuoteName(field.FieldName());
            const int v = static_cast<int>(i);
            const bool fixed = type == FieldType::FixedText;
            const bool fold = options.caseInsensitive && IsTextType(type);
            const BindForm search = fixed ? BindForm::Trimmed : BindForm::Plain;
            if (converted[i].isNull()) {
                conditions.append(column + QLatin1String(" IS NULL"));
            } else if (options.partialKey && IsTextType(type)) {
                const QString start =
                    QLatin1String("substr(") + column + QLatin1String(", 1, length(?))");
                conditions.append(fold ? impl.backend->CaseFold(start) + QLatin1String(" = ") +
                                             impl.backend->CaseFold(QStringLiteral("?"))
                                       : start + QLatin1String(" = ?"));
                plan.binds.append({v, search});
                plan.binds.append({v, search});
            } else if (fold) {
                const QString stored =
                    fixed ? QLatin1String("rtrim(") + column + QLatin1Char(')') : column;
                conditions.append(impl.backend->CaseFold(stored) + QLatin1String(" = ") +
                                  impl.backend->CaseFold(QStringLiteral("?")));
                plan.binds.append({v, search});
            } else if (fixed) {
                // Rows written here are padded; rows written by plain SQL may not be. Both
                // forms keep the comparison on the index.
                conditions.append(column + QLatin1String(" IN (?, ?)"));
                plan.binds.append({v, BindForm::Padded});
                plan.binds.append({v, BindForm::Trimmed});
            } else {
                conditions.append(column + QLatin1String(" = ?"));
                plan.binds.append({v, BindForm::Plain});
            }
        }
        plan.statement.sql = QLatin1String("SELECT ") + impl.selectList + QLatin1String(" FROM ") +
                             impl.table + QLatin1String(" WHERE ") + Joined(conditions, " AND ") +
                             QLatin1String(" ORDER BY ") + impl.orderAscending +
                             QLatin1String(" LIMIT 1");
        planIt = impl.locates.emplace(signature, std::move(plan)).first;
    }

    LocatePlan& plan = planIt->second;
    QVariantList binds;
    binds.reserve(plan.binds.size());
    for (const LocateSlot& slot : std::as_const(plan.binds)) {
        const QVariant& value = converted[slot.value];
        const FieldDef& def = m_fields[static_cast<size_t>(fieldIndexes[slot.value])]->Def();
        switch (slot.form) {
        case BindForm::Plain:
            binds.append(impl.backend->BindValue(value));
            break;
        case BindForm::Padded:
            binds.append(
                QVariant(def.size > 0 ? PadToWidth(value.toString(), def.size) : value.toString()));
            break;
        case BindForm::Trimmed:
            binds.append(QVariant(RightTrimmed(value.toString())));
            break;
        }
    }
    Run(plan.statement, m_connection, impl.backend, binds);
    if (!impl.Fetch(*plan.statement.query, m_fields, m_rowId))
        return false;
    m_eof = false;
    NotifyChanged();
    return true;
}

// --- Fields and display updates ------------------------------------------------------------

Field* TableDataset::FindField(const QString& name)
{
    return FindFieldIn(m_fields, name);
}

Field& TableDataset::FieldByName(const QString& name)
{
    if (Field* field = FindField(name))
        return *field;
    throw Exception(QStringLiteral("%1: Field '%2' not found").arg(m_table.name, name));
}

void TableDataset::DisableControls()
{
    ++m_disableCount;
}

void TableDataset::EnableControls()
{
    if (m_disableCount == 0)
        return;
    if (--m_disableCount == 0 && m_changedWhileDisabled) {
        m_changedWhileDisabled = false;
        emit DataChanged();
    }
}

// --- Statement -----------------------------------------------------------------------------

Statement::Statement(Connection& connection) : m_connection(connection)
{
    m_connection.RegisterStatement(this);
}

Statement::~Statement()
{
    m_query.reset();
    if (!m_detached)
        m_connection.UnregisterStatement(this);
}

void Statement::SetSQL(const QString& sql)
{
    Close();
    m_query.reset();
    m_sql = sql;
    PositionalSql positional = ToPositional(sql);
    m_positionalSql = positional.text;
    m_paramNames = positional.names;
    m_paramSlots = positional.order;
    m_params.clear();
    m_paramSizes.clear();
}

int Statement::ParamIndex(const QString& name) const
{
    for (qsizetype i = 0; i < m_paramNames.size(); ++i)
        if (m_paramNames[i].compare(name, Qt::CaseInsensitive) == 0)
            return static_cast<int>(i);
    return -1;
}

namespace {

[[noreturn]] void RaiseUnknownParam(const QString& name)
{
    throw Exception(QStringLiteral("Parameter '%1' not found").arg(name));
}

} // namespace

void Statement::SetParam(const QString& name, const QVariant& value)
{
    const int index = ParamIndex(name);
    if (index < 0)
        RaiseUnknownParam(name);
    const QString& canonical = m_paramNames[index];
    const auto size = m_paramSizes.constFind(canonical);
    if (size != m_paramSizes.constEnd() && value.metaType().id() == QMetaType::QString)
        m_params.insert(canonical, QVariant(CutToWidth(value.toString(), *size)));
    else
        m_params.insert(canonical, value);
}

QVariant Statement::Param(const QString& name) const
{
    const int index = ParamIndex(name);
    if (index < 0)
        RaiseUnknownParam(name);
    return m_params.value(m_paramNames[index]);
}

void Statement::SetParamSize(const QString& name, int size)
{
    const int index = ParamIndex(name);
    if (index < 0)
        RaiseUnknownParam(name);
    const QString& canonical = m_paramNames[index];
    m_paramSizes.insert(canonical, size);
    const auto value = m_params.constFind(canonical);
    if (value != m_params.constEnd() && value->metaType().id() == QMetaType::QString)
        m_params.insert(canonical, QVariant(CutToWidth(value->toString(), size)));
}

void Statement::Prepare()
{
    if (m_detached || !m_connection.Connected())
        throw Exception(ConnectionClosedText());
    if (m_query)
        return;
    auto query = std::make_unique<QSqlQuery>(m_connection.Database());
    query->setForwardOnly(true);
    if (!query->prepare(m_connection.CurrentBackend()->Dialect(m_positionalSql)))
        RaiseDatabaseError(query->lastError(), m_sql);
    m_query = std::move(query);
}

void Statement::Bind()
{
    Backend* backend = m_connection.CurrentBackend();
    for (qsizetype i = 0; i < m_paramSlots.size(); ++i)
        m_query->bindValue(static_cast<int>(i),
                           backend->BindValue(m_params.value(m_paramNames[m_paramSlots[i]])));
}

void Statement::Execute()
{
    Close();
    Prepare();
    Bind();
    if (!m_query->exec()) {
        const QSqlError error = m_query->lastError();
        m_query->finish();
        RaiseDatabaseError(error, m_sql);
    }
}

void Statement::Open()
{
    Execute();
    const QSqlRecord record = m_query->record();
    for (int i = 0; i < record.count(); ++i)
        m_columns.append(record.fieldName(i));
    m_active = true;
    FetchNext();
}

// A step that fails (an interrupted or broken statement) must not pass for the end of the
// rows: the caller would take a cut answer for a whole one.
void Statement::FetchNext()
{
    m_eof = !m_query->next();
    if (!m_eof)
        return;
    const QSqlError error = m_query->lastError();
    m_query->finish();
    if (error.type() != QSqlError::NoError) {
        m_active = false;
        m_columns.clear();
        RaiseDatabaseError(error, m_sql);
    }
}

void Statement::Close()
{
    if (m_query)
        m_query->finish();
    m_active = false;
    m_eof = true;
    m_columns.clear();
}

void Statement::Release()
{
    m_query.reset();
    m_active = false;
    m_eof = true;
    m_columns.clear();
}

bool Statement::Next()
{
    if (!m_active || m_eof)
        return false;
    FetchNext();
    return !m_eof;
}

QVariant Statement::FieldByName(const QString& name) const
{
    if (!m_active)
        throw Exception(DatasetClosedText());
    for (qsizetype i = 0; i < m_columns.size(); ++i)
        if (m_columns[i].compare(name, Qt::CaseInsensitive) == 0)
            return m_eof ? QVariant() : m_query->value(static_cast<int>(i));
    throw Exception(QStringLiteral("Field '%1' not found").arg(name));
}

QVariant Statement::FieldAt(int index) const
{
    if (!m_active)
        throw Exception(DatasetClosedText());
    if (index < 0 || index >= m_columns.size())
        throw Exception(QStringLiteral("Field index %1 out of range").arg(index));
    return m_eof ? QVariant() : m_query->value(index);
}

QStringList Statement::FieldNames() const
{
    return m_columns;
}

int Statement::ExecSQL()
{
    Execute();
    const int rows = m_query->numRowsAffected();
    m_query->finish();
    return rows;
}

} // namespace velmora::data
