#pragma once
// Memory tables: small lists the program builds itself (lookup lists, options), with a
// current record, locate and a filter. Not for scan data.

#include "data/Fields.h"

#include <QList>
#include <QVariantList>
#include <functional>
#include <memory>
#include <vector>

namespace velmora::data {

class MemTable
{
public:
    explicit MemTable(QList<FieldDef> fields);

    void Open();  // empty table, no record; then AfterOpen
    void Close();
    bool Active() const { return m_active; }
    void EmptyTable();

    void Append();  // new record (OnNewRecord), posted by Post at the end of the table
    void Edit();    // on an empty table: Append
    // BeforePost, then the required-field check ("Field 'X' must have a value").
    void Post();
    void Cancel();
    // BeforeDelete, then the row goes; the next visible row becomes current (else the
    // previous one, with Eof set).
    void Delete();
    bool Modified() const;

    // Navigation over the visible rows, in the order they were appended. A pending change
    // is posted first (dropped when nothing was changed).
    bool First();
    bool Next();
    bool Eof() const;
    int RecordCount() const; // rows that pass the filter

    // The first visible row whose fields equal the values (converted as the fields would
    // hold them; null matches null; fixed-width text without trailing blanks); false with
    // the current row unchanged when none.
    bool Locate(const QStringList& fields, const QVariantList& values, bool caseInsensitive = false);

    Field& FieldByName(const QString& name); // raises Exception for an unknown name
    const Field& FieldByName(const QString& name) const;
    Field* FindField(const QString& name);
    const std::vector<std::unique_ptr<Field>>& Fields() const { return m_fields; }

    // While Filtered, only rows for which Filter returns true are visited and counted.
    // Filter reads the fields of the row it is asked about. Switching the filter on or off
    // moves to the first visible row.
    std::function<bool(const MemTable&)> Filter;
    void SetFiltered(bool filtered);
    bool Filtered() const { return m_filtered; }

    std::function<void(MemTable&)> AfterOpen;
    std::function<void(MemTable&)> OnNewRecord;
    std::function<void(MemTable&)> BeforePost;
    std::function<void(MemTable&)> AfterPost;
    std::function<void(MemTable&)> BeforeDelete;

private:
    std::vector<std::unique_ptr<Field>> m_fields;
    std::vector<QVariantList> m_rows;
    int m_current = -1;
    bool m_active = false;
    bool m_filtered = false;
    bool m_editing = false;
    bool m_inserting = false;
    bool m_eof = true;
    QVariantList m_saved;   // the current row before Append or Edit
    QVariantList m_initial; // the values right after Append (OnNewRecord) or Edit
    void Load(int row);
    bool Passes(int row) const;
    int NextVisible(int from) const; // first visible row at or after `from`, else -1
    int PriorVisible(int from) const;
    void CheckActive() const;
    void CheckBrowseMode();
    void ClearRecord();
};

} // namespace velmora::data
