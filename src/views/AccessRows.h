#pragma once
// What the access views read from the statements on the access-rights functions: the
// fields with their types, and the rows with the rights as booleans.

#include "data/Dataset.h"
#include "data/Fields.h"

#include <QList>
#include <QStringList>
#include <QVariantList>
#include <memory>

namespace velmora::views {

// A field of a list or result: a name, a type and, for text, a width.
inline data::FieldDef MakeField(const QString& name, data::FieldType type, int size = 0)
{
    return data::FieldDef{name, type, size, false, {}};
}

// A statement of a view module with its SQL text set.
std::unique_ptr<data::Statement> MakeStatement(data::Connection& connection, const char* sql);

// Share rights: "Full Control" (with a blank), "Change", "Read".
QList<data::FieldDef> ShareRightsFields();
// Folder rights: "ListDirectory" ... "FullControl".
QList<data::FieldDef> FolderRightsFields();

// Text fields of the given widths followed by rights fields.
QList<data::FieldDef> AccessFields(const QList<QPair<const char*, int>>& texts,
                                   const QList<data::FieldDef>& rights);

// The rows of an open statement from its current row to the end, every column in the
// statement's order; a column that is one of `fields` is named and read as that field
// (rights as booleans), whatever case the database gave its name; any other column comes
// as it came. Texts are never cut.
struct AccessRows
{
    QStringList columns;
    QList<QVariantList> rows;
};
AccessRows ReadAccessRows(data::Statement& statement, const QList<data::FieldDef>& fields);

} // namespace velmora::views
