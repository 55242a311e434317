#include "data/SqlText.h"

#include <QSet>

namespace velmora::data {

namespace {

bool IsNameStart(QChar c)
{
    return c.isLetter() || c == QLatin1Char('_');
}

bool IsNameChar(QChar c)
{
    return c.isLetterOrNumber() || c == QLatin1Char('_');
}

// Index just past a quoted piece (a literal, a quoted name or a comment) that starts at
// `i`, or `i` when none starts there. An unterminated piece runs to the end.
qsizetype SkipQuoted(const QString& sql, qsizetype i, bool* terminated = nullptr)
{
    if (terminated)
        *terminated = true;
    const qsizetype n = sql.size();
    const QChar c = sql[i];
    const QChar next = i + 1 < n ? sql[i + 1] : QChar();
    if (c == QLatin1Char('-') && next == QLatin1Char('-')) {
        const qsizetype end = sql.indexOf(QLatin1Char('\n'), i + 2);
        return end < 0 ? n : end;
    }
    if (c == QLatin1Char('/') && next == QLatin1Char('*')) {
        const qsizetype end = sql.indexOf(QLatin1String("*/"), i + 2);
        return end < 0 ? n : end + 2;
    }
    QChar close;
    if (c == QLatin1Char('\''))
        close = QLatin1Char('\'');
    else if (c == QLatin1Char('"'))
        close = QLatin1Char('"');
    else if (c == QLatin1Char('['))
        close = QLatin1Char(']');
    else
        return i;
    // A doubled closing character stands for itself.
    qsizetype j = i + 1;
    while (j < n) {
        if (sql[j] == close) {
            if (j + 1 < n && sql[j + 1] == close) {
                j += 2;
                continue;
            }
            return j + 1;
        }
        ++j;
    }
    if (terminated)
        *terminated = false;
    return n;
}

} // namespace

PositionalSql ToPositional(const QString& sql)
{
    PositionalSql result;
    result.text.reserve(sql.size());
    const qsizetype n = sql.size();
    qsizetype i = 0;
    while (i < n) {
        const qsizetype skipped = SkipQuoted(sql, i);
        if (skipped != i) {
            result.text += QStringView(sql).mid(i, skipped - i);
            i = skipped;
            continue;
        }
        const QChar c = sql[i];
        if (c == QLatin1Char(':') && i + 1 < n && sql[i + 1] == QLatin1Char(':')) {
            result.text += QLatin1String("::");
            i += 2;
            continue;
        }
        if (c == QLatin1Char(':') && i + 1 < n && IsNameStart(sql[i + 1])) {
            qsizetype end = i + 1;
            while (end < n && IsNameChar(sql[end]))
                ++end;
            const QString name = sql.mid(i + 1, end - i - 1);
            qsizetype index = -1;
            for (qsizetype k = 0; k < result.names.size(); ++k)
                if (result.names[k].compare(name, Qt::CaseInsensitive) == 0) {
                    index = k;
                    break;
                }
            if (index < 0) {
                index = result.names.size();
                result.names.append(name);
            }
            result.order.append(static_cast<int>(index));
            result.text += QLatin1Char('?');
            i = end;
            continue;
        }
        result.text += c;
        ++i;
    }
    return result;
}

QString BracketsToDoubleQuotes(const QString& sql)
{
    QString out;
    out.reserve(sql.size());
    const qsizetype n = sql.size();
    qsizetype i = 0;
    while (i < n) {
        bool closed = true;
        const qsizetype skipped = SkipQuoted(sql, i, &closed);
        if (skipped == i) {
            out += sql[i++];
            continue;
        }
        if (sql[i] != QLatin1Char('[')) {
            out += QStringView(sql).mid(i, skipped - i);
            i = skipped;
            continue;
        }
        // The name between the brackets, without the closing one when it is there.
        QString name = sql.mid(i + 1, (closed ? skipped - 1 : skipped) - i - 1);
        name.replace(QLatin1String("]]"), QLatin1String("]"));
        name.replace(QLatin1String("\""), QLatin1String("\"\""));
        out += QLatin1Char('"') + name + QLatin1Char('"');
        i = skipped;
    }
    return out;
}

QString QuoteName(const QString& name)
{
    static const QSet<QString> kKeywords = {
        QStringLiteral("add"),      QStringLiteral("all"),         QStringLiteral("alter"),
        QStringLiteral("and"),      QStringLiteral("as"),          QStringLiteral("asc"),
        QStringLiteral("begin"),    QStringLiteral("between"),     QStringLiteral("by"),
        QStringLiteral("case"),     QStringLiteral("check"),       QStringLiteral("column"),
        QStringLiteral("commit"),   QStringLiteral("constraint"),  QStringLiteral("create"),
        QStringLiteral("cross"),    QStringLiteral("default"),     QStringLiteral("delete"),
        QStringLiteral("desc"),     QStringLiteral("distinct"),    QStringLiteral("drop"),
        QStringLiteral("else"),     QStringLiteral("end"),         QStringLiteral("exists"),
        QStringLiteral("foreign"),  QStringLiteral("from"),        QStringLiteral("full"),
        QStringLiteral("group"),    QStringLiteral("having"),      QStringLiteral("in"),
        QStringLiteral("index"),    QStringLiteral("inner"),       QStringLiteral("insert"),
        QStringLiteral("into"),     QStringLiteral("is"),          QStringLiteral("join"),
        QStringLiteral("key"),      QStringLiteral("left"),        QStringLiteral("like"),
        QStringLiteral("limit"),    QStringLiteral("natural"),     QStringLiteral("not"),
        QStringLiteral("null"),     QStringLiteral("offset"),      QStringLiteral("on"),
        QStringLiteral("or"),       QStringLiteral("order"),       QStringLiteral("outer"),
        QStringLiteral("primary"),  QStringLiteral("references"),  QStringLiteral("right"),
        QStringLiteral("rollback"), QStringLiteral("rowid"),       QStringLiteral("select"),
        QStringLiteral("set"),      QStringLiteral("table"),       QStringLiteral("then"),
        QStringLiteral("to"),       QStringLiteral("transaction"), QStringLiteral("union"),
        QStringLiteral("unique"),   QStringLiteral("update"),      QStringLiteral("user"),
        QStringLiteral("using"),    QStringLiteral("values"),      QStringLiteral("when"),
        QStringLiteral("where"),    QStringLiteral("with"),
    };
    bool plain = !name.isEmpty() && IsNameStart(name[0]) && name[0].unicode() < 128;
    for (QChar c : name)
        plain = plain && IsNameChar(c) && c.unicode() < 128;
    if (plain && !kKeywords.contains(name.toLower()))
        return name;
    QString inner = name;
    inner.replace(QLatin1String("]"), QLatin1String("]]"));
    return QLatin1Char('[') + inner + QLatin1Char(']');
}

} // namespace velmora::data
