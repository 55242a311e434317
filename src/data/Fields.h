#pragma once
// Persistent field definitions: the column names, types and widths through which the
// program reads and writes its tables.

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <functional>
#include <memory>
#include <vector>

namespace velmora::data {

enum class FieldType {
    Text,      // varchar(size)
    FixedText, // char(size): padded with blanks to the width; comparisons ignore them
    Guid,      // 38-character text in braces, upper-case hexadecimal
    Bool,
    TinyInt,   // 8-bit unsigned
    SmallInt,  // 16-bit signed
    Integer,
    AutoInc,   // identity, made by the database
    DateTime,
};

struct FieldDef
{
    QString name;
    FieldType type = FieldType::Text;
    int size = 0; // characters, for text types
    bool required = false;
    QString displayLabel; // empty: the name
};

struct TableDef
{
    QString name;
    QList<FieldDef> fields;
    QString indexName;       // the read order
    QStringList indexFields; // columns of that index
    const FieldDef* field(const QString& name) const; // case-insensitive; nullptr if none
};

// Cuts a text to at most `width` characters (code points), never splitting a surrogate
// pair. Used when a value is assigned to a text field. A negative width leaves it whole.
QString CutToWidth(const QString& text, int width);
// Cuts like CutToWidth and then fills with blanks up to `width` characters.
QString PadToWidth(const QString& text, int width);
// Number of characters (code points) of a text.
int CharacterCount(const QString& text);

// The value of `value` in the field's own representation: QString for the text types
// (cut to the width, FixedText padded, Guid as "{XXXXXXXX-...}" upper case), bool, int,
// QDateTime; an empty text is null for the non-text types. Raises Exception for a value
// that the type cannot hold (not a number, out of range, not a GUID, not a date).
QVariant ConvertFieldValue(const FieldDef& field, const QVariant& value);
// Like ConvertFieldValue for a value read from the database: never raises and never cuts
// (a value that does not convert is kept as it came).
QVariant ConvertStoredValue(const FieldDef& field, const QVariant& value);
bool IsTextType(FieldType type);

class Field;
using GetTextHandler = std::function<QString(const Field& field, bool displayText)>;
using SetTextHandler = std::function<void(Field& field, const QString& text)>;

// One field of the current record.
class Field
{
public:
    explicit Field(FieldDef def) : m_def(std::move(def)) {}

    const FieldDef& Def() const { return m_def; }
    const QString& FieldName() const { return m_def.name; }
    QString DisplayLabel() const { return m_def.displayLabel.isEmpty() ? m_def.name : m_def.displayLabel; }

    QVariant Value() const { return m_value; }
    // Text is cut to the width (FixedText also padded); Bool/integers converted.
    // Raises Exception for a value the type cannot hold; the field keeps its value then.
    void SetValue(const QVariant& value);
    // Sets a value read from the database (see ConvertStoredValue).
    void SetStoredValue(const QVariant& value) { m_value = ConvertStoredValue(m_def, value); }
    bool IsNull() const { return m_value.isNull(); }
    void Clear() { m_value = QVariant(); }

    QString AsString() const;
    void SetAsString(const QString& text) { SetValue(text); }
    int AsInteger() const;
    void SetAsInteger(int v) { SetValue(v); }
    bool AsBoolean() const;
    void SetAsBoolean(bool v) { SetValue(v); }
    QDateTime AsDateTime() const;
    void SetAsDateTime(const QDateTime& v) { SetValue(v); }

    // Get-text / set-text events: DisplayText and Text go through them when set.
    GetTextHandler OnGetText;
    SetTextHandler OnSetText;
    QString DisplayText() const;
    QString Text() const;
    void SetText(const QString& text);

private:
    FieldDef m_def;
    QVariant m_value;
};

// Raises Exception "Field 'X' must have a value" (X the display label) for the first
// required field (other than AutoInc) that is null or holds empty text.
void CheckRequiredFields(const std::vector<std::unique_ptr<Field>>& fields);

// The field of that name (without regard to case) in a record's fields; nullptr if none.
Field* FindFieldIn(const std::vector<std::unique_ptr<Field>>& fields, const QString& name);

} // namespace velmora::data
