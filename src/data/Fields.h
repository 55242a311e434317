#pragma once
// Persistent field definitions: the column names, types and widths through which the
// program reads and writes its tables.

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <functional>

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
// pair. Used when a value is assigned to a text field.
QString CutToWidth(const QString& text, int width);

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
    void SetValue(const QVariant& value);
    bool IsNull() const { return m_value.isNull(); }
    void Clear() { m_value = QVariant(); }

    QString AsString() const;
    void SetAsString(const QString& text) { SetValue(text); }
    int AsInteger() const;
    void SetAsInteger(int v) { SetValue(v); }
    bool AsBoolean() const;
    void SetAsBoolean(bool v) { SetValue(v); }

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

} // namespace velmora::data
