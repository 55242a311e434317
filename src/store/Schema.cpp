#include "store/Schema.h"

#include <QFile>
#include <QRegularExpression>
#include <QUuid>

// The schema scripts are resources of a static library: they must be registered by hand.
static void InitStoreResources()
{
    static const bool done = [] {
        Q_INIT_RESOURCE(store);
        return true;
    }();
    Q_UNUSED(done);
}

namespace velmora::store {

using data::FieldDef;
using data::FieldType;
using data::TableDef;

namespace tables {

namespace {
FieldDef Text(const char* name, int size, bool required = false, const char* label = "")
{
    return FieldDef{QString::fromLatin1(name), FieldType::Text, size, required, QString::fromUtf8(label)};
}
FieldDef Of(const char* name, FieldType type, bool required = false, const char* label = "")
{
    return FieldDef{QString::fromLatin1(name), type, 0, required, QString::fromUtf8(label)};
}
FieldDef Fixed(const char* name, int size)
{
    return FieldDef{QString::fromLatin1(name), FieldType::FixedText, size, false, {}};
}
TableDef Table(const char* name, QList<FieldDef> fields, const char* index, QStringList indexFields)
{
    return TableDef{QString::fromLatin1(name), std::move(fields), QString::fromLatin1(index),
                    std::move(indexFields)};
}
QStringList L(std::initializer_list<const char*> names)
{
    QStringList out;
    for (const char* n : names)
        out << QString::fromLatin1(n);
    return out;
}
} // namespace

const TableDef& Servers()
{
    static const TableDef t = Table("Servers",
        {Text("ProviderName", 80, true), Text("DomainName", 80, true), Text("Server", 80, true),
         Of("isDC", FieldType::Bool), Of("isOnline", FieldType::Bool)},
        "PK_Servers", L({"ProviderName", "DomainName", "Server"}));
    return t;
}

const TableDef& ServerShares()
{
    static const TableDef t = Table("ServerShares",
        {Of("GUID", FieldType::Guid), Text("Server", 80, true), Text("Share", 80, true),
         Of("isIPC", FieldType::Bool)},
        "PK_ServerShares", L({"GUID"}));
    return t;
}

const TableDef& ShareAccessList()
{
    static const TableDef t = Table("ShareAccessList",
        {Of("ServerShareGUID", FieldType::Guid), Text("UserGroupSID", 47),
         Of("FullAccess", FieldType::SmallInt), Of("ChangeAccess", FieldType::SmallInt),
         Of("ReadAccess", FieldType::SmallInt)},
        "PK_AccessList", L({"ServerShareGUID", "UserGroupSID"}));
    return t;
}

const TableDef& ShareFolders()
{
    static const TableDef t = Table("sharefolders",
        {Of("GUID", FieldType::Guid), Of("ServerShareGUID", FieldType::Guid),
         Text("FolderName", 250, true)},
        "PK_ShareFolders", L({"GUID"}));
    return t;
}

const TableDef& FolderAccessList()
{
    static const TableDef t = Table("folderaccesslist",
        {Of("FolderGUID", FieldType::Guid), Text("UserGroupSID", 47, true),
         Of("ListDirectory", FieldType::TinyInt), Of("AddFile", FieldType::TinyInt),
         Of("AddSubdirectory", FieldType::TinyInt), Of("Traverse", FieldType::TinyInt),
         Of("DeleteChild", FieldType::TinyInt), Of("_Delete", FieldType::SmallInt),
         Of("FullControl", FieldType::TinyInt)},
        "PK_FolderAccessList", L({"FolderGUID", "UserGroupSID"}));
    return t;
}

const TableDef& UserGroupList()
{
    static const TableDef t = Table("UserGroupList",
        {Text("SID", 47, true), Text("UserGroupName", 80, true), Text("DomainName", 80, true),
         Of("isGroup", FieldType::Bool), Of("hasAdminRights", FieldType::Bool),
         Text("DomainController", 80)},
        "PK_UserGroupList", L({"SID"}));
    return t;
}

const TableDef& User2Group()
{
    static const TableDef t = Table("User2Group",
        {Fixed("UserGroupSID", 47), Fixed("GroupSID", 47)},
        "PK_User2Group", L({"UserGroupSID", "GroupSID"}));
    return t;
}

const TableDef& MngdDomains()
{
    static const TableDef t = Table("MngdDomains",
        {Of("ID", FieldType::AutoInc), Text("DomainName", 80, false, "Domain"),
         Of("LastUserModified", FieldType::DateTime)},
        "idxDomainName", L({"DomainName"}));
    return t;
}

const TableDef& AlternateCredentials()
{
    static const TableDef t = Table("AlternateCredentials",
        {Of("ID", FieldType::AutoInc), Text("Description", 144, true),
         Of("isActive", FieldType::Bool, true, "Active"), Text("UserName", 80, true, "User Name"),
         Text("UserPassword", 80, true, "Password"),
         Of("LastUserModified", FieldType::DateTime, true)},
        "idxDescription", L({"Description"}));
    return t;
}

const TableDef& MngdDomain2Credentials()
{
    static const TableDef t = Table("MngdDomain2Credentials",
        {Of("MngdDomainID", FieldType::Integer), Of("AlternateCredentialID", FieldType::Integer),
         Of("PriorityOrder", FieldType::Integer), Of("LastUserModified", FieldType::DateTime)},
        "PK_MngdDomain2Credentials", L({"MngdDomainID", "AlternateCredentialID"}));
    return t;
}

QList<const TableDef*> All()
{
    return {&Servers(), &ServerShares(), &ShareAccessList(), &ShareFolders(),
            &FolderAccessList(), &UserGroupList(), &User2Group(), &MngdDomains(),
            &AlternateCredentials(), &MngdDomain2Credentials()};
}

} // namespace tables

QString SchemaScript(const QString& provider)
{
    InitStoreResources();
    QString resource;
    if (provider.compare(QLatin1String("SQLite"), Qt::CaseInsensitive) == 0)
        resource = QStringLiteral(":/store/sqlite-schema.sql");
    else if (provider.compare(QLatin1String("PostgreSQL"), Qt::CaseInsensitive) == 0)
        resource = QStringLiteral(":/store/postgres-schema.sql");
    else
        return {};
    QFile file(resource);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}

QStringList SplitScript(const QString& script)
{
    QStringList statements;
    QString current;
    bool inBody = false;
    const QStringList lines = script.split(QLatin1Char('\n'));
    static const QRegularExpression beginRe(QStringLiteral("\\bBEGIN\\s*$"),
                                            QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression endRe(QStringLiteral("^\\s*END\\s*;\\s*$"),
                                          QRegularExpression::CaseInsensitiveOption);
    for (const QString& raw : lines) {
        const QString line = raw.trimmed();
        if (line.startsWith(QLatin1String("--")) || (line.isEmpty() && current.isEmpty()))
            continue;
        current += raw + QLatin1Char('\n');
        if (!inBody && beginRe.match(line).hasMatch()) {
            inBody = true;
            continue;
        }
        if ((inBody && endRe.match(line).hasMatch()) || (!inBody && line.endsWith(QLatin1Char(';')))) {
            inBody = false;
            statements << current.trimmed();
            current.clear();
        }
    }
    if (!current.trimmed().isEmpty())
        statements << current.trimmed();
    return statements;
}

QString NewGuidText()
{
    return QUuid::createUuid().toString(QUuid::WithBraces).toUpper();
}

} // namespace velmora::store
