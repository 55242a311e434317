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

    void Open();  // empty table, no record
    void Close();
    bool Active() const { return m_active; }
    void EmptyTable();

    void Append();  // new record (OnNewRecord), posted by Post
    void Edit();
    void Post();
    void Cancel();
    void Delete();

    bool First();
    bool Next();
    bool Eof() const;
    int RecordCount() const; // rows that pass the filter

    bool Locate(const QStringList& fields, const QVariantList& values, bool caseInsensitive = false);

    Field& FieldByName(const QString& name);
    const std::vector<std::unique_ptr<Field>>& Fields() const { return m_fields; }

    // While Filtered, only rows for which Filter returns true are visited and counted.
    std::function<bool(const MemTable&)> Filter;
    void SetFiltered(bool filtered);
    bool Filtered() const { return m_filtered; }

    std::function<void(MemTable&)> OnNewRecord;
    std::function<void(MemTable&)> BeforePost;

private:
    struct Impl;
    std::vector<std::unique_ptr<Field>> m_fields;
    std::vector<QVariantList> m_rows;
    int m_current = -1;
    bool m_active = false;
    bool m_filtered = false;
    bool m_editing = false;
    bool m_inserting = false;
    void Load(int row);
    bool Passes(int row);
};

} // namespace velmora::data
