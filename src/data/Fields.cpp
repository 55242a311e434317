#include "data/Fields.h"

#include "applib/Exceptions.h"

#include <QDate>
#include <QTime>
#include <limits>
#include <optional>

namespace velmora::data {

namespace {

QString Quoted(const QString& text)
{
    return QLatin1Char('\'') + text + QLatin1Char('\'');
}

[[noreturn]] void RaiseInvalid(const QString& text, const char* kind, const FieldDef& field)
{
    throw Exception(QStringLiteral("%1 is not a valid %2 value for field %3")
                        .arg(Quoted(text), QLatin1String(kind), Quoted(field.name)));
}

bool IsHex(QChar c)
{
    return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
           (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
           (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" upper case, from the same with or without the
// braces in any case; an empty result for anything else.
QString NormalisedGuid(const QString& text)
{
    QStringView body(text);
    body = body.trimmed();
    if (body.startsWith(QLatin1Char('{')) != body.endsWith(QLatin1Char('}')))
        return {};
    if (body.startsWith(QLatin1Char('{')))
        body = body.mid(1, body.size() - 2);
    if (body.size() != 36)
        return {};
    for (qsizetype i = 0; i < body.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? body[i] != QLatin1Char('-') : !IsHex(body[i]))
            return {};
    }
    return QLatin1Char('{') + body.toString().toUpper() + QLatin1Char('}');
}

// Accepts the forms the program and the databases write: ISO 8601 with 'T' or a blank
// between date and time, with or without seconds and milliseconds, or a date alone.
QDateTime ParseDateTime(const QString& text)
{
    QString t = text.trimmed();
    if (t.size() > 10 && t[10] == QLatin1Char(' '))
        t[10] = QLatin1Char('T');
    QDateTime dt = QDateTime::fromString(t, Qt::ISODateWithMs);
    if (!dt.isValid()) {
        const QDate d = QDate::fromString(t, Qt::ISODate);
        if (d.isValid())
            dt = d.startOfDay();
    }
    return dt;
}

struct IntRange
{
    qint64 min;
    qint64 max;
};

IntRange RangeOf(FieldType type)
{
    switch (type) {
    case FieldType::TinyInt:
        return {0, 255};
    case FieldType::SmallInt:
        return {std::numeric_limits<qint16>::min(), std::numeric_limits<qint16>::max()};
    default:
        return {std::numeric_limits<qint32>::min(), std::numeric_limits<qint32>::max()};
    }
}

bool IsNumber(const QVariant& value)
{
    switch (value.metaType().id()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::Double:
    case QMetaType::Float:
        return true;
    default:
        return false;
    }
}

bool IsFloat(const QVariant& value)
{
    return value.metaType().id() == QMetaType::Double || value.metaType().id() == QMetaType::Float;
}

// Text of a boolean as the program shows and parses it.
std::optional<bool> ParseBool(const QString& text)
{
    const QString t = text.trimmed();
    static const char* const kTrue[] = {"true", "t", "yes", "y", "1"};
    static const char* const kFalse[] = {"false", "f", "no", "n", "0"};
    for (const char* word : kTrue)
        if (t.compare(QLatin1String(word), Qt::CaseInsensitive) == 0)
            return true;
    for (const char* word : kFalse)
        if (t.compare(QLatin1String(word), Qt::CaseInsensitive) == 0)
            return false;
    return std::nullopt;
}

QVariant ToInteger(const FieldDef& field, const QVariant& value, bool strict)
{
    qint64 n = 0;
    if (value.metaType().id() == QMetaType::Bool) {
        n = value.toBool() ? 1 : 0;
    } else if (IsFloat(value)) {
        n = qRound64(value.toDouble());
    } else if (IsNumber(value)) {
        n = value.toLongLong();
    } else {
        const QString text = value.toString().trimmed();
        if (text.isEmpty())
            return {};
        bool ok = false;
        n = text.toLongLong(&ok);
        if (!ok) {
            if (strict)
                RaiseInvalid(text, "integer", field);
            return value;
        }
    }
    const IntRange range = RangeOf(field.type);
    if (n < range.min || n > range.max) {
        if (strict)
            throw Exception(QStringLiteral("%1 is not a valid value for field %2. "
                                           "The allowed range is %3 to %4")
                                .arg(n)
                                .arg(Quoted(field.name))
                                .arg(range.min)
                                .arg(range.max));
        return value;
    }
    return QVariant(static_cast<int>(n));
}

QVariant ToBool(const FieldDef& field, const QVariant& value, bool strict)
{
    if (value.metaType().id() == QMetaType::Bool)
        return value;
    if (IsNumber(value))
        return QVariant(value.toDouble() != 0.0);
    const QString text = value.toString();
    if (text.trimmed().isEmpty())
        return {};
    if (const auto b = ParseBool(text))
        return QVariant(*b);
    if (strict)
        RaiseInvalid(text, "boolean", field);
    return value;
}

QVariant ToDateTime(const FieldDef& field, const QVariant& value, bool strict)
{
    switch (value.metaType().id()) {
    case QMetaType::QDateTime:
        return value.toDateTime().isValid() ? value : QVariant();
    case QMetaType::QDate:
        return QVariant(value.toDate().startOfDay());
    default:
        break;
    }
    const QString text = value.toString();
    if (text.trimmed().isEmpty())
        return {};
    const QDateTime dt = ParseDateTime(text);
    if (dt.isValid())
        return QVariant(dt);
    if (strict)
        RaiseInvalid(text, "date and time", field);
    return value;
}

QVariant Convert(const FieldDef& field, const QVariant& value, bool strict)
{
    if (value.isNull())
        return {};
    switch (field.type) {
    case FieldType::Text:
        return QVariant(strict && field.size > 0 ? CutToWidth(value.toString(), field.size)
                                                 : value.toString());
    case FieldType::FixedText: {
        QString text = value.toString();
        if (field.size > 0 && (strict || CharacterCount(text) < field.size))
            text = PadToWidth(text, field.size);
        return QVariant(text);
    }
    case FieldType::Guid: {
        const QString text = value.toString();
        if (text.trimmed().isEmpty())
            return {};
        const QString guid = NormalisedGuid(text);
        if (!guid.isEmpty())
            return QVariant(guid);
        if (strict)
            RaiseInvalid(text, "GUID", field);
        return QVariant(text);
    }
    case FieldType::Bool:
        return ToBool(field, value, strict);
    case FieldType::TinyInt:
    case FieldType::SmallInt:
    case FieldType::Integer:
    case FieldType::AutoInc:
        return ToInteger(field, value, strict);
    case FieldType::DateTime:
        return ToDateTime(field, value, strict);
    }
    return value;
}

} // namespace

const FieldDef* TableDef::field(const QString& name) const
{
    for (const FieldDef& def : fields)
        if (def.name.compare(name, Qt::CaseInsensitive) == 0)
            return &def;
    return nullptr;
}

int CharacterCount(const QString& text)
{
    int count = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
        ++count;
    }
    return count;
}

QString CutToWidth(const QString& text, int width)
{
    // A text of no more UTF-16 units than the width has no more characters either.
    if (width < 0 || text.size() <= width)
        return text;
    int count = 0;
    qsizetype i = 0;
    while (i < text.size() && count < width) {
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
        ++i;
        ++count;
    }
    return text.left(i);
}

QString PadToWidth(const QString& text, int width)
{
    QString result = CutToWidth(text, width);
    const int missing = width - CharacterCount(result);
    if (missing > 0)
        result.append(QString(missing, QLatin1Char(' ')));
    return result;
}

bool IsTextType(FieldType type)
{
    return type == FieldType::Text || type == FieldType::FixedText || type == FieldType::Guid;
}

QVariant ConvertFieldValue(const FieldDef& field, const QVariant& value)
{
    return Convert(field, value, true);
}

QVariant ConvertStoredValue(const FieldDef& field, const QVariant& value)
{
    return Convert(field, value, false);
}

void Field::SetValue(const QVariant& value)
{
    m_value = ConvertFieldValue(m_def, value);
}

QString Field::AsString() const
{
    if (m_value.isNull())
        return {};
    switch (m_value.metaType().id()) {
    case QMetaType::Bool:
        return m_value.toBool() ? QStringLiteral("True") : QStringLiteral("False");
    case QMetaType::QDateTime: {
        const QDateTime dt = m_value.toDateTime();
        return dt.toString(dt.time().msec() != 0 ? QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")
                                                 : QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    }
    default:
        return m_value.toString();
    }
}

int Field::AsInteger() const
{
    if (m_value.isNull())
        return 0;
    FieldDef asInteger = m_def;
    asInteger.type = FieldType::Integer;
    const QVariant v = ToInteger(asInteger, m_value, true);
    return v.isNull() ? 0 : v.toInt();
}

bool Field::AsBoolean() const
{
    if (m_value.isNull())
        return false;
    const QVariant v = ToBool(m_def, m_value, true);
    return !v.isNull() && v.toBool();
}

QDateTime Field::AsDateTime() const
{
    if (m_value.isNull())
        return {};
    return ToDateTime(m_def, m_value, true).toDateTime();
}

QString Field::DisplayText() const
{
    return OnGetText ? OnGetText(*this, true) : AsString();
}

QString Field::Text() const
{
    return OnGetText ? OnGetText(*this, false) : AsString();
}

void CheckRequiredFields(const std::vector<std::unique_ptr<Field>>& fields)
{
    for (const auto& field : fields) {
        const FieldDef& def = field->Def();
        if (!def.required || def.type == FieldType::AutoInc)
            continue;
        const QVariant& value = field->Value();
        bool missing = value.isNull();
        if (!missing && IsTextType(def.type)) {
            const QString text = value.toString();
            // A fixed-width text that was given no characters holds blanks only.
            missing = def.type == FieldType::FixedText ? text.trimmed().isEmpty() : text.isEmpty();
        }
        if (missing)
            throw Exception(
                QStringLiteral("Field '%1' must have a value").arg(field->DisplayLabel()));
    }
}

void Field::SetText(const QString& text)
{
    if (OnSetText)
        OnSetText(*this, text);
    else
        SetAsString(text);
}

Field* FindFieldIn(const std::vector<std::unique_ptr<Field>>& fields, const QString& name)
{
    for (const auto& field : fields)
        if (field->FieldName().compare(name, Qt::CaseInsensitive) == 0)
            return field.get();
    return nullptr;
}

} // namespace velmora::data
