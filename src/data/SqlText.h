#pragma once
// Reading the program's SQL text: :Name parameters, bracket-quoted names. Literals,
// quoted names and comments are skipped, so a ':' or '[' inside them is left alone.

#include <QList>
#include <QString>
#include <QStringList>

namespace velmora::data {

struct PositionalSql
{
    QString text;      // the SQL with every :Name replaced by '?'
    QStringList names; // distinct parameter names, in order of first appearance
    QList<int> order;  // for each '?' in order, the index of its name in `names`
};

// Parameter names are matched case-insensitively; the first spelling is kept. "::" (a
// PostgreSQL cast) is not a parameter.
PositionalSql ToPositional(const QString& sql);

// [Full Control] -> "Full Control" (and ]] inside brackets -> ], " doubled). For backends
// that quote names only with double quotes.
QString BracketsToDoubleQuotes(const QString& sql);

// A table or column name as it can stand in SQL: unchanged when it is a plain name that
// is no SQL keyword, else in brackets (for the backend's dialect step to rewrite).
QString QuoteName(const QString& name);

} // namespace velmora::data
