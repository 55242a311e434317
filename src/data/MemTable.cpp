#include "data/MemTable.h"

#include "applib/Exceptions.h"

namespace velmora::data {

namespace {

QString RightTrimmed(const QString& text)
{
    qsizetype end = text.size();
    while (end > 0 && text[end - 1] == QLatin1Char(' '))
        --end;
    return text.left(end);
}

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

bool Matches(const FieldDef& def, const QVariant& stored, const QVariant& wanted,
             bool caseInsensitive)
{
    if (wanted.isNull() || stored.isNull())
        return wanted.isNull() && stored.isNull();
    if (!IsTextType(def.type))
        return stored == wanted;
    QString a = stored.toString();
    QString b = wanted.toString();
    if (def.type == FieldType::FixedText) {
        a = RightTrimmed(a);
        b = RightTrimmed(b);
    }
    return a.compare(b, caseInsensitive ? Qt::CaseInsensitive : Qt::CaseSensitive) == 0;
}

} // namespace

MemTable::MemTable(QList<FieldDef> fields)
{
    m_fields.reserve(static_cast<size_t>(fields.size()));
    for (FieldDef& def : fields)
        m_fields.push_back(std::make_unique<Field>(std::move(def)));
}

void MemTable::CheckActive() const
{
    if (!m_active)
        throw Exception(QStringLiteral("Cannot perform this operation on a closed dataset"));
}

void MemTable::ClearRecord()
{
    for (const auto& field : m_fields)
        field->Clear();
}

void MemTable::Load(int row)
{
    if (row < 0 || row >= static_cast<int>(m_rows.size()))
        ClearRecord();
    else
        SetValues(m_fields, m_rows[static_cast<size_t>(row)]);
}

bool MemTable::Passes(int row) const
{
    if (!m_filtered || !Filter)
        return true;
    // The filter reads the fields: show it the row, then put the record buffer back.
    const QVariantList buffer = ValuesOf(m_fields);
    SetValues(m_fields, m_rows[static_cast<size_t>(row)]);
    bool passes = false;
    try {
        passes = Filter(*this);
    } catch (...) {
        SetValues(m_fields, buffer);
        throw;
    }
    SetValues(m_fields, buffer);
    return passes;
}

int MemTable::NextVisible(int from) const
{
    for (int row = qMax(0, from); row < static_cast<int>(m_rows.size()); ++row)
        if (Passes(row))
            return row;
    return -1;
}

int MemTable::PriorVisible(int from) const
{
    for (int row = qMin(from, static_cast<int>(m_rows.size()) - 1); row >= 0; --row)
        if (Passes(row))
            return row;
    return -1;
}

void MemTable::Open()
{
    m_rows.clear();
    m_current = -1;
    m_eof = true;
    m_editing = false;
    m_inserting = false;
    ClearRecord();
    m_active = true;
    if (AfterOpen)
        AfterOpen(*this);
}

void MemTable::Close()
{
    m_active = false;
    m_editing = false;
    m_inserting = false;
    m_rows.clear();
    m_current = -1;
    m_eof = true;
    ClearRecord();
}

void MemTable::EmptyTable()
{
    m_editing = false;
    m_inserting = false;
    m_rows.clear();
    m_current = -1;
    m_eof = true;
    ClearRecord();
}

bool MemTable::Modified() const
{
    if (!m_editing && !m_inserting)
        return false;
    for (size_t i = 0; i < m_fields.size(); ++i)
        if (m_fields[i]->Value() != m_initial.value(static_cast<qsizetype>(i)))
            return true;
    return false;
}

void MemTable::CheckBrowseMode()
{
    if (!m_editing && !m_inserting)
        return;
    if (Modified())
        Post();
    else
        Cancel();
}

void MemTable::Append()
{
    CheckActive();
    CheckBrowseMode();
    m_saved = ValuesOf(m_fields);
    ClearRecord();
    m_inserting = true;
    if (OnNewRecord) {
        try {
            OnNewRecord(*this);
        } catch (...) {
            Cancel();
            throw;
        }
    }
    m_initial = ValuesOf(m_fields);
}

void MemTable::Edit()
{
    CheckActive();
    if (m_editing || m_inserting)
        return;
    if (m_current < 0) {
        Append();
        return;
    }
    m_saved = ValuesOf(m_fields);
    m_initial = m_saved;
    m_editing = true;
}

void MemTable::Post()
{
    CheckActive();
    if (!m_editing && !m_inserting)
        return;
    if (BeforePost)
        BeforePost(*this);
    CheckRequiredFields(m_fields);
    if (m_inserting) {
        m_rows.push_back(ValuesOf(m_fields));
        m_current = static_cast<int>(m_rows.size()) - 1;
    } else {
        m_rows[static_cast<size_t>(m_current)] = ValuesOf(m_fields);
    }
    m_editing = false;
    m_inserting = false;
    m_eof = false;
    if (AfterPost)
        AfterPost(*this);
}

void MemTable::Cancel()
{
    if (!m_editing && !m_inserting)
        return;
    m_editing = false;
    m_inserting = false;
    SetValues(m_fields, m_saved);
}

void MemTable::Delete()
{
    CheckActive();
    if (m_inserting) {
        Cancel();
        return;
    }
    Cancel();
    if (m_current < 0)
        throw Exception(QStringLiteral("Cannot perform this operation on an empty dataset"));
    if (BeforeDelete)
        BeforeDelete(*this);
    m_rows.erase(m_rows.begin() + m_current);
    const int next = NextVisible(m_current);
    if (next >= 0) {
        m_current = next;
        m_eof = false;
    } else {
        m_current = PriorVisible(m_current - 1);
        m_eof = true;
    }
    Load(m_current);
}

bool MemTable::First()
{
    CheckActive();
    CheckBrowseMode();
    m_current = NextVisible(0);
    m_eof = m_current < 0;
    Load(m_current);
    return !m_eof;
}

bool MemTable::Next()
{
    CheckActive();
    CheckBrowseMode();
    if (m_eof || m_current < 0)
        return false;
    const int next = NextVisible(m_current + 1);
    if (next < 0) {
        m_eof = true;
        return false;
    }
    m_current = next;
    Load(m_current);
    return true;
}

bool MemTable::Eof() const
{
    return m_eof;
}

int MemTable::RecordCount() const
{
    if (!m_filtered || !Filter)
        return static_cast<int>(m_rows.size());
    int count = 0;
    for (int row = 0; row < static_cast<int>(m_rows.size()); ++row)
        if (Passes(row))
            ++count;
    return count;
}

bool MemTable::Locate(const QStringList& fields, const QVariantList& values, bool caseInsensitive)
{
    CheckActive();
    if (fields.size() != values.size() || fields.isEmpty())
        throw Exception(QStringLiteral("Locate needs one value for each field"));
    CheckBrowseMode();
    QList<int> columns;
    QVariantList wanted;
    for (qsizetype i = 0; i < fields.size(); ++i) {
        const Field& field = FieldByName(fields[i]);
        int column = 0;
        while (m_fields[static_cast<size_t>(column)].get() != &field)
            ++column;
        columns.append(column);
        wanted.append(ConvertFieldValue(field.Def(), values[i]));
    }
    for (int row = 0; row < static_cast<int>(m_rows.size()); ++row) {
        const QVariantList& stored = m_rows[static_cast<size_t>(row)];
        bool match = true;
        for (qsizetype i = 0; match && i < columns.size(); ++i)
            match = Matches(m_fields[static_cast<size_t>(columns[i])]->Def(),
                            stored.value(columns[i]), wanted[i], caseInsensitive);
        if (match && Passes(row)) {
            m_current = row;
            m_eof = false;
            Load(row);
            return true;
        }
    }
    return false;
}

Field* MemTable::FindField(const QString& name)
{
    return FindFieldIn(m_fields, name);
}

Field& MemTable::FieldByName(const QString& name)
{
    if (Field* field = FindField(name))
        return *field;
    throw Exception(QStringLiteral("Field '%1' not found").arg(name));
}

const Field& MemTable::FieldByName(const QString& name) const
{
    return const_cast<MemTable*>(this)->FieldByName(name);
}

void MemTable::SetFiltered(bool filtered)
{
    m_filtered = filtered;
    if (m_active)
        First();
}

} // namespace velmora::data
