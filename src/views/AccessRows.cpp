#include "views/AccessRows.h"

namespace velmora::views {

using data::FieldDef;
using data::FieldType;

std::unique_ptr<data::Statement> MakeStatement(data::Connection& connection, const char* sql)
{
    auto statement = std::make_unique<data::Statement>(connection);
    statement->SetSQL(QString::fromLatin1(sql));
    return statement;
}

QList<FieldDef> ShareRightsFields()
{
    return {MakeField(QStringLiteral("Full Control"), FieldType::Bool),
            MakeField(QStringLiteral("Change"), FieldType::Bool),
            MakeField(QStringLiteral("Read"), FieldType::Bool)};
}

QList<FieldDef> FolderRightsFields()
{
    QList<FieldDef> fields;
    for (const char* name : {"ListDirectory", "AddFile", "AddSubdirectory", "Traverse",
                             "DeleteChild", "Delete", "FullControl"})
        fields << MakeField(QString::fromLatin1(name), FieldType::Bool);
    return fields;
}

QList<FieldDef> AccessFields(const QList<QPair<const char*, int>>& texts,
                             const QList<FieldDef>& rights)
{
    QList<FieldDef> fields;
    for (const auto& [name, width] : texts)
        fields << MakeField(QString::fromLatin1(name), FieldType::Text, width);
    fields << rights;
    return fields;
}

AccessRows ReadAccessRows(data::Statement& statement, const QList<FieldDef>& fields)
{
    AccessRows result;
    QList<const FieldDef*> defs;
    for (const QString& column : statement.FieldNames()) {
        const FieldDef* def = nullptr;
        for (const FieldDef& f : fields)
            if (f.name.compare(column, Qt::CaseInsensitive) == 0)
                def = &f;
        defs << def;
        // A server may fold the names of a function's columns to lower case.
        result.columns << (def ? def->name : column);
    }
    for (; statement.Active() && !statement.Eof(); statement.Next()) {
        QVariantList row;
        for (int i = 0; i < defs.size(); ++i) {
            const QVariant value = statement.FieldAt(i);
            row << (defs[i] ? data::ConvertStoredValue(*defs[i], value) : value);
        }
        result.rows << row;
    }
    return result;
}

} // namespace velmora::views
