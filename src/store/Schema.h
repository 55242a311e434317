#pragma once
// The audit database's tables: the field definitions every dataset uses, and the schema
// script of each backend.

#include "data/Fields.h"

#include <QList>
#include <QString>

namespace velmora::store {

namespace tables {
const data::TableDef& Servers();
const data::TableDef& ServerShares();
const data::TableDef& ShareAccessList();
const data::TableDef& ShareFolders();
const data::TableDef& FolderAccessList();
const data::TableDef& UserGroupList();
const data::TableDef& User2Group();
const data::TableDef& MngdDomains();
const data::TableDef& AlternateCredentials();
const data::TableDef& MngdDomain2Credentials();
QList<const data::TableDef*> All();
} // namespace tables

// The schema script for a provider ("SQLite", "PostgreSQL"); empty for an unknown one.
QString SchemaScript(const QString& provider);

// Splits a script into statements at ";" that ends a line outside trigger bodies
// ("BEGIN ... END;" stays whole).
QStringList SplitScript(const QString& script);

// A new GUID as the tables store it: 38 characters in braces, upper-case hexadecimal.
QString NewGuidText();
inline constexpr char kNullGuidText[] = "{00000000-0000-0000-0000-000000000000}";

} // namespace velmora::store
