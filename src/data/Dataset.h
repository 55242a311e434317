#pragma once
// Table datasets and statements: the program's way to the database. A table dataset has a
// current record; every operation is one indexed SQL statement, and no table is held in
// memory. Database errors raise Exception with the driver's text and the statement.

#include "data/Connection.h"
#include "data/Fields.h"

#include <QObject>
#include <QSqlQuery>
#include <QVariantList>
#include <functional>
#include <memory>
#include <vector>

namespace velmora::data {

enum class DatasetState { Inactive, Browse, Edit, Insert };

struct LocateOptions
{
    bool caseInsensitive = false;
    bool partialKey = false; // text fields match as prefixes
};

class TableDataset : public QObject
{
    Q_OBJECT
public:
    TableDataset(Connection& connection, TableDef table, QObject* parent = nullptr);
    ~TableDataset() override;

    const TableDef& Table() const { return m_table; }

    // Opens in the order of the table's index, positioned on the first row. Rows with equal
    // index values come in the order of their row identity. Every step is an index seek
    // when the table has an index on exactly the index columns (in their own collation).
    // Raises Exception when the connection is closed.
    void Open();
    void Close();
    bool Active() const { return m_state != DatasetState::Inactive; }
    DatasetState State() const { return m_state; }

    // Navigation in index order (keyset based). A pending change is posted first (or
    // dropped when nothing was changed). Next at the last row leaves it current and sets
    // Eof; First on an empty table sets Eof and clears the fields. Last moves to the last
    // row and sets Eof.
    bool First();
    bool Next();
    bool Last();
    bool Eof() const { return m_eof; }
    bool IsEmpty(); // true for a closed dataset
    int RecordCount();

    // Starts a new record: fields cleared, then OnNewRecord.
    void Append();
    // Edit of an empty dataset starts a new record instead.
    void Edit();
    // BeforePost, then INSERT or UPDATE of the current row; the row stays current.
    // A required field that is null or empty text refuses the post ("Field 'X' must have
    // a value", X the display label) and the record stays in its state.
    void Post();
    void Cancel();
    // BeforeDelete, then DELETE of the current row; the next row becomes current (the
    // new last row, with Eof set, when the last one was deleted). An exception from
    // BeforeDelete abandons the delete.
    void Delete();
    // True while a new or edited record holds changes that are not posted.
    bool Modified() const;

    // Finds the first row in index order whose fields equal the values and makes it
    // current; false (current row unchanged) when none. Fixed-width fields compare
    // without trailing blanks; a null value matches NULL. Each value is first converted
    // as if it were assigned to its field (so a text is cut to the field's width).
    // `fields` name fields of the dataset (another name raises Exception). One SELECT;
    // the table's indexes make it fast.
    bool Locate(const QStringList& fields, const QVariantList& values,
                LocateOptions options = {});
    bool Locate(const QString& field, const QVariant& value, LocateOptions options = {})
    {
        return Locate(QStringList{field}, QVariantList{value}, options);
    }

    Field& FieldByName(const QString& name); // raises Exception for an unknown name
    Field* FindField(const QString& name);
    const std::vector<std::unique_ptr<Field>>& Fields() const { return m_fields; }

    // Events (table rules live in the data module that owns the dataset).
    std::function<void(TableDataset&)> OnNewRecord;
    std::function<void(TableDataset&)> BeforePost;
    std::function<void(TableDataset&)> AfterPost;
    std::function<void(TableDataset&)> BeforeDelete;

    // Display updates: while suspended (nestable), DataChanged is not emitted; resuming the
    // last level emits it once.
    void DisableControls();
    void EnableControls();
    bool ControlsDisabled() const { return m_disableCount > 0; }

signals:
    void DataChanged();

private:
    // implementation detail owned by the data layer
    friend class Connection;
    void ReopenAfterConnect();
    void CloseForDisconnect();
    void DetachFromConnection();
    void NotifyChanged();

    Connection& m_connection;
    TableDef m_table;
    std::vector<std::unique_ptr<Field>> m_fields;
    DatasetState m_state = DatasetState::Inactive;
    QVariant m_rowId; // identity of the current row
    bool m_eof = true;
    bool m_wasActive = false;
    int m_disableCount = 0;
    bool m_changedWhileDisabled = false;
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// A parameterised statement with the program's SQL text and :Name parameters. The text
// is prepared once and reused until it changes; results are read forward only.
class Statement
{
public:
    explicit Statement(Connection& connection);
    ~Statement();

    void SetSQL(const QString& sql); // closes the statement; parameters are taken from :Name
    QString SQL() const { return m_sql; }
    void SetParam(const QString& name, const QVariant& value); // raises for an unknown name
    QVariant Param(const QString& name) const;
    // Declared text width: a longer value is cut when set (as the parameter's size).
    void SetParamSize(const QString& name, int size);
    QStringList ParamNames() const { return m_paramNames; }

    void Open();     // runs a query (again when active); positioned on the first row
    void Close();
    bool Active() const { return m_active; }
    bool Eof() const { return m_eof; }
    bool Next();
    QVariant FieldByName(const QString& name) const; // raises for an unknown column
    QVariant FieldAt(int index) const;
    QStringList FieldNames() const;
    int ExecSQL(); // runs a statement without rows; returns the rows affected

private:
    friend class Connection;
    void Prepare();
    void Bind();
    // Closes, prepares, binds and runs; raises on a database error.
    void Execute();
    void FetchNext();
    void Release(); // the connection closes: prepared statements go
    int ParamIndex(const QString& name) const;

    Connection& m_connection;
    bool m_detached = false;
    QString m_sql;
    QString m_positionalSql;
    QList<int> m_paramSlots;
    QStringList m_paramNames;
    QHash<QString, QVariant> m_params;
    QHash<QString, int> m_paramSizes;
    std::unique_ptr<QSqlQuery> m_query;
    QStringList m_columns;
    bool m_active = false;
    bool m_eof = true;
};

} // namespace velmora::data
