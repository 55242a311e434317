#include "platform/lab/LabFile.h"

#include <QBuffer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <limits>

namespace velmora::platform::lab {

namespace {

QString Key(const QString& name)
{
    return name.toCaseFolded();
}

// A refusal while reading: where (a JSON path) and why. It never leaves this file: the
// reader turns it into the one message of the file.
struct FormatError
{
    QString path;
    QString reason;
};

[[noreturn]] void Fail(const QString& path, const QString& reason)
{
    throw FormatError{path, reason};
}

// [A-Za-z_][A-Za-z0-9_]*, checked by hand: every field of a large file asks it.
bool IsPlainKey(const QString& key)
{
    if (key.isEmpty())
        return false;
    for (qsizetype i = 0; i < key.size(); ++i) {
        const char16_t c = key[i].unicode();
        const bool letter = (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'_';
        if (!letter && (i == 0 || c < u'0' || c > u'9'))
            return false;
    }
    return true;
}

// Equal SIDs and descriptors share one stored copy within a model: a generated tree repeats
// the same few descriptors over hundreds of thousands of folders. Active while a file is
// read (InterningScope); a SID found here was already checked.
struct Interner
{
    QSet<QString> sids;
    QHash<QByteArray, SecurityDescriptor> descriptors;
};

thread_local Interner* t_interner = nullptr;

class InterningScope
{
  public:
    InterningScope() : m_previous(t_interner) { t_interner = &m_interner; }
    ~InterningScope() { t_interner = m_previous; }
    InterningScope(const InterningScope&) = delete;
    InterningScope& operator=(const InterningScope&) = delete;

  private:
    Interner m_interner;
    Interner* m_previous;
};

QByteArray DescriptorKey(const SecurityDescriptor& sd)
{
    QByteArray key = sd.owner.toUtf8();
    key += '|';
    key += sd.group.toUtf8();
    key += '|';
    key += char('0' + int(sd.daclForm));
    for (const Ace& ace : sd.dacl) {
        key += '|';
        key += QByteArray::number(ace.type) + ',' + QByteArray::number(ace.flags) + ',' +
               QByteArray::number(ace.mask) + ',';
        key += ace.rawSid ? QByteArray("#") + ace.rawSid->toHex() : ace.sid.toUtf8();
    }
    return key;
}

SecurityDescriptor Shared(SecurityDescriptor sd)
{
    if (t_interner == nullptr)
        return sd;
    const QByteArray key = DescriptorKey(sd);
    const auto it = t_interner->descriptors.constFind(key);
    if (it != t_interner->descriptors.constEnd())
        return *it;
    t_interner->descriptors.insert(key, sd);
    return sd;
}

// "$.a.b" for plain keys, "$.a[\"SOFTWARE\\\\X\"]" for others (quoted as JSON text).
QString Member(const QString& path, const QString& key)
{
    if (IsPlainKey(key))
        return path + QLatin1Char('.') + key;
    QString quoted = key;
    quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    quoted.replace(QLatin1Char('"'), QStringLiteral("\\\""));
    return path + QStringLiteral("[\"") + quoted + QStringLiteral("\"]");
}

QString Member(const QString& path, const char16_t* key)
{
    return Member(path, QString::fromUtf16(key));
}

QString Element(const QString& path, qsizetype index)
{
    return path + QLatin1Char('[') + QString::number(index) + QLatin1Char(']');
}

QString Quoted(const QString& text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

// A JSON object with its path, read field by field. The constructor refuses a value that
// is not an object and any field outside `allowed`.
class Object
{
  public:
    Object(const QJsonValue& value, const QString& path,
           std::initializer_list<const char16_t*> allowed)
        : m_path(path)
    {
        if (!value.isObject())
            Fail(path, QStringLiteral("expected an object"));
        m_object = value.toObject();
        for (auto it = m_object.constBegin(); it != m_object.constEnd(); ++it) {
            bool known = false;
            for (const char16_t* name : allowed) {
                if (it.key() == QStringView(name)) {
                    known = true;
                    break;
                }
            }
            if (!known)
                Fail(Member(path, it.key()), QStringLiteral("unknown field"));
        }
    }

    const QString& Path() const { return m_path; }
    QString PathOf(const char16_t* name) const { return Member(m_path, name); }
    bool Has(const char16_t* name) const { return m_object.contains(QStringView(name)); }
    QJsonValue Value(const char16_t* name) const { return m_object.value(QStringView(name)); }
    QJsonValue Required(const char16_t* name) const
    {
        if (!Has(name))
            Fail(PathOf(name), QStringLiteral("required field missing"));
        return Value(name);
    }

  private:
    QString m_path;
    QJsonObject m_object;
};

QString ToText(const QJsonValue& value, const QString& path)
{
    if (!value.isString())
        Fail(path, QStringLiteral("expected text"));
    return value.toString();
}

// A name of something (a machine, a share, a domain): non-empty text without backslashes.
QString ToName(const QJsonValue& value, const QString& path)
{
    QString name = ToText(value, path);
    if (name.isEmpty())
        Fail(path, QStringLiteral("expected a name, not empty text"));
    if (name.contains(QLatin1Char('\\')))
        Fail(path, QStringLiteral("a name has no backslashes"));
    return name;
}

bool ToBool(const QJsonValue& value, const QString& path)
{
    if (!value.isBool())
        Fail(path, QStringLiteral("expected true or false"));
    return value.toBool();
}

// A 32-bit unsigned number: a JSON number, or "0x..." text.
uint32_t ToNumber(const QJsonValue& value, const QString& path)
{
    const QString expected =
        QStringLiteral("expected a number from 0 to 4294967295 or \"0x...\" text");
    if (value.isDouble()) {
        const double d = value.toDouble();
        if (d < 0 || d > double(std::numeric_limits<uint32_t>::max()) || std::floor(d) != d)
            Fail(path, expected);
        return uint32_t(d);
    }
    if (value.isString()) {
        // 0x and one to eight hex digits (masks of every entry are written so).
        const QString text = value.toString();
        if (text.size() < 3 || text.size() > 10 || text[0] != QLatin1Char('0') ||
            (text[1] != QLatin1Char('x') && text[1] != QLatin1Char('X')))
            Fail(path, expected);
        uint32_t number = 0;
        for (qsizetype i = 2; i < text.size(); ++i) {
            const char16_t c = text[i].unicode();
            uint32_t d = 0;
            if (c >= u'0' && c <= u'9')
                d = c - u'0';
            else if (c >= u'a' && c <= u'f')
                d = c - u'a' + 10;
            else if (c >= u'A' && c <= u'F')
                d = c - u'A' + 10;
            else
                Fail(path, expected);
            number = number << 4 | d;
        }
        return number;
    }
    Fail(path, expected);
}

QJsonArray ToList(const QJsonValue& value, const QString& path)
{
    if (!value.isArray())
        Fail(path, QStringLiteral("expected a list"));
    return value.toArray();
}

bool IsSid(const QString& text)
{
    static const QRegularExpression sid(QStringLiteral("^S-1-(\\d{1,15})((-\\d{1,10}){0,15})$"));
    const auto match = sid.match(text);
    if (!match.hasMatch())
        return false;
    bool ok = false;
    if (match.captured(1).toULongLong(&ok) >= (1ull << 48) || !ok)
        return false;
    const QStringList subs = match.captured(2).split(QLatin1Char('-'), Qt::SkipEmptyParts);
    for (const QString& sub : subs) {
        if (sub.toULongLong(&ok) > std::numeric_limits<uint32_t>::max() || !ok)
            return false;
    }
    return true;
}

QString ToSid(const QJsonValue& value, const QString& path)
{
    const QString text = ToText(value, path);
    if (t_interner != nullptr) {
        const auto it = t_interner->sids.constFind(text);
        if (it != t_interner->sids.constEnd())
            return *it;
    }
    if (!IsSid(text))
        Fail(path, QStringLiteral("expected a SID (\"S-1-...\")"));
    if (t_interner != nullptr)
        t_interner->sids.insert(text);
    return text;
}

// "DOMAIN\name".
QString ToIdentity(const QJsonValue& value, const QString& path)
{
    const QString text = ToText(value, path);
    const QStringList parts = text.split(QLatin1Char('\\'));
    if (parts.size() != 2 || parts[0].isEmpty() || parts[1].isEmpty())
        Fail(path, QStringLiteral("expected \"DOMAIN\\\\name\""));
    return text;
}

QByteArray ToHex(const QJsonValue& value, const QString& path)
{
    const QString text = ToText(value, path);
    static const QRegularExpression hex(QStringLiteral("^([0-9A-Fa-f]{2})*$"));
    if (!hex.match(text).hasMatch())
        Fail(path, QStringLiteral("expected hex bytes (an even number of hex digits)"));
    return QByteArray::fromHex(text.toLatin1());
}

std::optional<uint32_t> OptionalNumber(const Object& object, const char16_t* name)
{
    if (!object.Has(name))
        return std::nullopt;
    return ToNumber(object.Value(name), object.PathOf(name));
}

ErrorAfter ToErrorAfter(const QJsonValue& value, const QString& path, const char16_t* codeName)
{
    const Object object(value, path, {u"count", codeName});
    return ErrorAfter{ToNumber(object.Required(u"count"), object.PathOf(u"count")),
                      ToNumber(object.Required(codeName), object.PathOf(codeName))};
}

ExtendedError ToExtendedError(const QJsonValue& value, const QString& path)
{
    const Object object(value, path, {u"code", u"text", u"provider"});
    ExtendedError error;
    error.code = ToNumber(object.Required(u"code"), object.PathOf(u"code"));
    if (object.Has(u"text"))
        error.text = ToText(object.Value(u"text"), object.PathOf(u"text"));
    if (object.Has(u"provider"))
        error.provider = ToText(object.Value(u"provider"), object.PathOf(u"provider"));
    return error;
}

// open_error with its optional extended_error, which only a 1208 can carry.
void ReadOpenError(const Object& object, std::optional<uint32_t>& openError,
                   std::optional<ExtendedError>& extendedError)
{
    openError = OptionalNumber(object, u"open_error");
    if (object.Has(u"extended_error")) {
        if (openError != 1208u)
            Fail(object.PathOf(u"extended_error"),
                 QStringLiteral("an extended error goes only with open_error 1208"));
        extendedError =
            ToExtendedError(object.Value(u"extended_error"), object.PathOf(u"extended_error"));
    }
}

// --- security descriptors -----------------------------------------------------------

uint8_t ToAceType(const QJsonValue& value, const QString& path)
{
    if (value.isString()) {
        const QString text = value.toString();
        if (text == QStringLiteral("allow"))
            return kAceAllow;
        if (text == QStringLiteral("deny"))
            return kAceDeny;
        if (text == QStringLiteral("audit"))
            return kAceAudit;
        if (!text.startsWith(QStringLiteral("0x"), Qt::CaseInsensitive))
            Fail(path, QStringLiteral("expected \"allow\", \"deny\", \"audit\" or a number"));
    }
    const uint32_t type = ToNumber(value, path);
    if (type > 0xFF)
        Fail(path, QStringLiteral("an ACE type is one byte (0 to 255)"));
    return uint8_t(type);
}

uint8_t ToAceFlags(const QJsonValue& value, const QString& path)
{
    const QJsonArray list = ToList(value, path);
    uint8_t flags = 0;
    for (qsizetype i = 0; i < list.size(); ++i) {
        const QString itemPath = Element(path, i);
        const QString name = ToText(list[i], itemPath);
        if (name == QStringLiteral("object_inherit"))
            flags |= kAceObjectInherit;
        else if (name == QStringLiteral("container_inherit"))
            flags |= kAceContainerInherit;
        else if (name == QStringLiteral("no_propagate"))
            flags |= kAceNoPropagate;
        else if (name == QStringLiteral("inherit_only"))
            flags |= kAceInheritOnly;
        else if (name == QStringLiteral("inherited"))
            flags |= kAceInherited;
        else
            Fail(itemPath, QStringLiteral("expected one of \"object_inherit\", "
                                          "\"container_inherit\", \"no_propagate\", "
                                          "\"inherit_only\", \"inherited\""));
    }
    return flags;
}

Ace ToAce(const QJsonValue& value, const QString& path)
{
    const Object object(value, path, {u"type", u"sid", u"raw_sid", u"mask", u"flags"});
    Ace ace;
    ace.type = ToAceType(object.Required(u"type"), object.PathOf(u"type"));
    if (object.Has(u"sid") == object.Has(u"raw_sid"))
        Fail(path, QStringLiteral("an entry gives either sid or raw_sid"));
    if (object.Has(u"sid"))
        ace.sid = ToSid(object.Value(u"sid"), object.PathOf(u"sid"));
    else
        ace.rawSid = ToHex(object.Value(u"raw_sid"), object.PathOf(u"raw_sid"));
    ace.mask = ToNumber(object.Required(u"mask"), object.PathOf(u"mask"));
    if (object.Has(u"flags"))
        ace.flags = ToAceFlags(object.Value(u"flags"), object.PathOf(u"flags"));
    return ace;
}

QString ToOptionalSid(const Object& object, const char16_t* name)
{
    if (!object.Has(name) || object.Value(name).isNull())
        return QString();
    return ToSid(object.Value(name), object.PathOf(name));
}

SecurityDescriptor ToSecurityDescriptor(const QJsonValue& value, const QString& path)
{
    const Object object(value, path, {u"owner", u"group", u"dacl"});
    SecurityDescriptor sd;
    sd.owner = ToOptionalSid(object, u"owner");
    sd.group = ToOptionalSid(object, u"group");
    const QJsonValue dacl = object.Required(u"dacl");
    const QString daclPath = object.PathOf(u"dacl");
    if (dacl.isNull()) {
        sd.daclForm = DaclForm::Null;
    } else if (dacl.isString()) {
        if (dacl.toString() != QStringLiteral("absent"))
            Fail(daclPath, QStringLiteral("expected a list, null or \"absent\""));
        sd.daclForm = DaclForm::Absent;
    } else if (dacl.isArray()) {
        const QJsonArray entries = dacl.toArray();
        sd.dacl.reserve(entries.size());
        for (qsizetype i = 0; i < entries.size(); ++i)
            sd.dacl.push_back(ToAce(entries[i], Element(daclPath, i)));
    } else {
        Fail(daclPath, QStringLiteral("expected a list, null or \"absent\""));
    }
    return Shared(std::move(sd));
}

SecurityDescriptor DefaultFolderDescriptor()
{
    SecurityDescriptor sd;
    sd.owner = QString::fromLatin1(kAdministratorsSid);
    return Shared(std::move(sd));
}

// --- folders --------------------------------------------------------------------------

uint32_t ToAttributes(const QJsonValue& value, const QString& path)
{
    const QJsonArray list = ToList(value, path);
    uint32_t attributes = kAttributeDirectory;
    for (qsizetype i = 0; i < list.size(); ++i) {
        const QString itemPath = Element(path, i);
        const QString name = ToText(list[i], itemPath);
        if (name == QStringLiteral("hidden"))
            attributes |= kAttributeHidden;
        else if (name == QStringLiteral("system"))
            attributes |= kAttributeSystem;
        else if (name == QStringLiteral("readonly"))
            attributes |= kAttributeReadOnly;
        else if (name == QStringLiteral("archive"))
            attributes |= kAttributeArchive;
        else if (name == QStringLiteral("reparse"))
            attributes |= kAttributeReparsePoint;
        else
            Fail(itemPath, QStringLiteral("expected one of \"hidden\", \"system\", "
                                          "\"readonly\", \"archive\", \"reparse\""));
    }
    return attributes;
}

Folder ToFolder(const QJsonValue& value, const QString& path, bool isRoot)
{
    const Object object(
        value, path, {u"name", u"attributes", u"sd", u"list_error", u"folders", u"files", u"link"});
    Folder folder;
    if (isRoot) {
        if (object.Has(u"name"))
            Fail(object.PathOf(u"name"), QStringLiteral("a root folder has no name"));
    } else {
        folder.name = ToName(object.Required(u"name"), object.PathOf(u"name"));
    }
    if (object.Has(u"attributes"))
        folder.attributes = ToAttributes(object.Value(u"attributes"), object.PathOf(u"attributes"));

    folder.sd = DefaultFolderDescriptor();
    if (object.Has(u"sd")) {
        const QJsonValue sd = object.Value(u"sd");
        const QString sdPath = object.PathOf(u"sd");
        if (sd.isObject() && sd.toObject().contains(QStringLiteral("error"))) {
            const Object error(sd, sdPath, {u"error"});
            folder.sdError = ToNumber(error.Value(u"error"), error.PathOf(u"error"));
        } else {
            folder.sd = ToSecurityDescriptor(sd, sdPath);
        }
    }
    folder.listError = OptionalNumber(object, u"list_error");

    if (object.Has(u"folders")) {
        const QString foldersPath = object.PathOf(u"folders");
        const QJsonArray list = ToList(object.Value(u"folders"), foldersPath);
        QSet<QString> names;
        for (qsizetype i = 0; i < list.size(); ++i) {
            const QString itemPath = Element(foldersPath, i);
            folder.folders.push_back(ToFolder(list[i], itemPath, false));
            const QString& name = folder.folders.back().name;
            if (names.contains(Key(name)))
                Fail(Member(itemPath, u"name"), Quoted(name) + QStringLiteral(" is listed twice"));
            names.insert(Key(name));
        }
    }
    if (object.Has(u"files")) {
        const QString filesPath = object.PathOf(u"files");
        const QJsonArray list = ToList(object.Value(u"files"), filesPath);
        for (qsizetype i = 0; i < list.size(); ++i)
            folder.files.append(ToName(list[i], Element(filesPath, i)));
    }
    if (object.Has(u"link")) {
        const QString linkPath = object.PathOf(u"link");
        if (isRoot)
            Fail(linkPath, QStringLiteral("a root folder cannot be a junction"));
        folder.link = ToText(object.Value(u"link"), linkPath);
        if (!folder.link.startsWith(QLatin1Char('\\')) ||
            folder.link.contains(QStringLiteral("\\\\")))
            Fail(linkPath, QStringLiteral("expected a path in the same tree, \"\\\\A\\\\B\""));
        if (!folder.folders.empty() || !folder.files.isEmpty())
            Fail(linkPath, QStringLiteral("a junction lists its target; it has no folders or "
                                          "files of its own"));
    }
    return folder;
}

// The folder at `path` ("\A\B") below `root`, following junctions on the way; nullptr when
// there is none.
const Folder* FindFolder(const Folder& root, const QString& path, int hops = 0)
{
    if (hops > 32)
        return nullptr;
    const Folder* current = &root;
    const QStringList parts = path.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        if (!current->link.isEmpty()) {
            current = FindFolder(root, current->link, hops + 1);
            if (current == nullptr)
                return nullptr;
        }
        const Folder* next = nullptr;
        for (const Folder& child : current->folders) {
            if (Key(child.name) == Key(part)) {
                next = &child;
                break;
            }
        }
        if (next == nullptr)
            return nullptr;
        current = next;
    }
    return current;
}

// Every junction of a tree must lead to a folder of the same tree.
void CheckLinks(const Folder& root, const Folder& folder, const QString& path)
{
    if (!folder.link.isEmpty() && FindFolder(root, folder.link) == nullptr)
        Fail(Member(path, u"link"),
             QStringLiteral("no folder ") + Quoted(folder.link) + QStringLiteral(" in this tree"));
    for (size_t i = 0; i < folder.folders.size(); ++i)
        CheckLinks(root, folder.folders[i], Element(Member(path, u"folders"), qsizetype(i)));
}

Folder ToRootFolder(const QJsonValue& value, const QString& path)
{
    Folder root = ToFolder(value, path, true);
    CheckLinks(root, root, path);
    return root;
}

QMap<QString, Folder> ToDrives(const QJsonValue& value, const QString& path)
{
    if (!value.isObject())
        Fail(path, QStringLiteral("expected an object of drive letters"));
    const QJsonObject object = value.toObject();
    QMap<QString, Folder> drives;
    static const QRegularExpression letter(QStringLiteral("^[A-Za-z]$"));
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        const QString drivePath = Member(path, it.key());
        if (!letter.match(it.key()).hasMatch())
            Fail(drivePath, QStringLiteral("expected a drive letter"));
        const QString upper = it.key().toUpper();
        if (drives.contains(upper))
            Fail(drivePath, QStringLiteral("drive ") + upper + QStringLiteral(" is listed twice"));
        drives.insert(upper, ToRootFolder(it.value(), drivePath));
    }
    return drives;
}

// --- registry -------------------------------------------------------------------------

RegValue ToRegValue(const QJsonValue& value, const QString& path)
{
    RegValue result;
    if (value.isString()) {
        result.kind = RegValueKind::Sz;
        result.text = value.toString();
        return result;
    }
    const QString expected =
        QStringLiteral("expected text, {\"expand\": text}, {\"dword\": n} or {\"binary\": hex}");
    if (!value.isObject() || value.toObject().size() != 1)
        Fail(path, expected);
    const Object object(value, path, {u"expand", u"dword", u"binary"});
    if (object.Has(u"expand")) {
        result.kind = RegValueKind::ExpandSz;
        result.text = ToText(object.Value(u"expand"), object.PathOf(u"expand"));
    } else if (object.Has(u"dword")) {
        result.kind = RegValueKind::Dword;
        result.dword = ToNumber(object.Value(u"dword"), object.PathOf(u"dword"));
    } else {
        result.kind = RegValueKind::Binary;
        result.binary = ToHex(object.Value(u"binary"), object.PathOf(u"binary"));
    }
    return result;
}

Registry ToRegistry(const QJsonValue& value, const QString& path)
{
    Registry registry;
    if (value.isString()) {
        if (value.toString() == QStringLiteral("refused"))
            registry.access = RegistryAccess::Refused;
        else if (value.toString() == QStringLiteral("unreachable"))
            registry.access = RegistryAccess::Unreachable;
        else
            Fail(path, QStringLiteral("expected an object, \"refused\" or \"unreachable\""));
        return registry;
    }
    if (!value.isObject())
        Fail(path, QStringLiteral("expected an object, \"refused\" or \"unreachable\""));
    const Object hives(value, path, {u"HKLM", u"HKU"});
    for (const char16_t* hive : {u"HKLM", u"HKU"}) {
        if (!hives.Has(hive))
            continue;
        const QString hivePath = hives.PathOf(hive);
        const QJsonValue keysValue = hives.Value(hive);
        if (!keysValue.isObject())
            Fail(hivePath, QStringLiteral("expected an object of keys"));
        const QJsonObject keys = keysValue.toObject();
        auto& hiveKeys = registry.hives[QString::fromUtf16(hive)];
        for (auto key = keys.constBegin(); key != keys.constEnd(); ++key) {
            const QString keyPath = Member(hivePath, key.key());
            if (key.key().isEmpty())
                Fail(keyPath, QStringLiteral("a key has a name"));
            if (!key.value().isObject())
                Fail(keyPath, QStringLiteral("expected an object of values ({} for none)"));
            const QJsonObject values = key.value().toObject();
            auto& keyValues = hiveKeys[key.key()];
            for (auto it = values.constBegin(); it != values.constEnd(); ++it)
                keyValues.insert(it.key(), ToRegValue(it.value(), Member(keyPath, it.key())));
        }
    }
    return registry;
}

PrimaryDomain ToPrimaryDomain(const QJsonValue& value, const QString& path)
{
    const Object object(value, path, {u"name", u"sid"});
    PrimaryDomain domain;
    domain.name = ToName(object.Required(u"name"), object.PathOf(u"name"));
    domain.sid = ToOptionalSid(object, u"sid");
    return domain;
}

// --- top-level sections ---------------------------------------------------------------

Local ToLocal(const QJsonValue& value, const QString& path)
{
    const Object object(value, path,
                        {u"computer", u"user", u"primary_domain", u"registry", u"files"});
    Local local;
    if (object.Has(u"computer"))
        local.computer = ToName(object.Value(u"computer"), object.PathOf(u"computer"));
    if (object.Has(u"user"))
        local.user = ToIdentity(object.Value(u"user"), object.PathOf(u"user"));
    if (object.Has(u"primary_domain"))
        local.primaryDomain =
            ToPrimaryDomain(object.Value(u"primary_domain"), object.PathOf(u"primary_domain"));
    if (object.Has(u"registry"))
        local.registry = ToRegistry(object.Value(u"registry"), object.PathOf(u"registry"));
    if (object.Has(u"files"))
        local.files = ToDrives(object.Value(u"files"), object.PathOf(u"files"));
    return local;
}

QStringList ToNameList(const QJsonValue& value, const QString& path, bool allowBackslashes)
{
    const QJsonArray list = ToList(value, path);
    QStringList names;
    QSet<QString> seen;
    for (qsizetype i = 0; i < list.size(); ++i) {
        const QString itemPath = Element(path, i);
        QString name;
        if (allowBackslashes) {
            name = ToText(list[i], itemPath);
            if (StripServerPrefix(name).isEmpty() ||
                StripServerPrefix(name).contains(QLatin1Char('\\')))
                Fail(itemPath, QStringLiteral("expected a machine name, optionally with a "
                                              "leading \"\\\\\\\\\""));
        } else {
            name = ToName(list[i], itemPath);
        }
        const QString key = Key(StripServerPrefix(name));
        if (seen.contains(key))
            Fail(itemPath, Quoted(name) + QStringLiteral(" is listed twice"));
        seen.insert(key);
        names.append(name);
    }
    return names;
}

Provider ToProvider(const QJsonValue& value, const QString& path)
{
    const Object object(value, path,
                        {u"name", u"type", u"domains", u"open_error", u"extended_error"});
    Provider provider;
    provider.name = ToName(object.Required(u"name"), object.PathOf(u"name"));
    provider.type = ToNumber(object.Required(u"type"), object.PathOf(u"type"));
    if (object.Has(u"domains"))
        provider.domains = ToNameList(object.Value(u"domains"), object.PathOf(u"domains"), false);
    ReadOpenError(object, provider.openError, provider.extendedError);
    return provider;
}

AccountKind ToAccountKind(const QJsonValue& value, const QString& path, bool allowFails,
                          bool& fails)
{
    const QString text = value.isString() ? value.toString() : QString();
    fails = false;
    if (text == QStringLiteral("user"))
        return AccountKind::User;
    if (text == QStringLiteral("group"))
        return AccountKind::Group;
    if (text == QStringLiteral("alias"))
        return AccountKind::Alias;
    if (text == QStringLiteral("wellknown"))
        return AccountKind::WellKnown;
    if (text == QStringLiteral("trust"))
        return AccountKind::Trust;
    if (allowFails && text == QStringLiteral("fails")) {
        fails = true;
        return AccountKind::User;
    }
    Fail(path, QStringLiteral("expected ") +
                   (allowFails ? QStringLiteral("\"fails\", ") : QString()) +
                   QStringLiteral("\"user\", \"group\", \"alias\", \"wellknown\" or \"trust\""));
}

Account ToAccount(const QJsonValue& value, const QString& path, const QString& domainSid)
{
    const Object object(value, path, {u"name", u"rid", u"sid", u"kind", u"groups", u"lookup"});
    Account account;
    account.name = ToName(object.Required(u"name"), object.PathOf(u"name"));
    if (object.Has(u"rid") == object.Has(u"sid"))
        Fail(path, QStringLiteral("an account gives either rid or sid"));
    if (object.Has(u"rid")) {
        account.rid = ToNumber(object.Value(u"rid"), object.PathOf(u"rid"));
        if (domainSid.isEmpty())
            Fail(object.PathOf(u"rid"),
                 QStringLiteral("a rid needs a domain sid; give the whole sid instead"));
        account.sid = domainSid + QLatin1Char('-') + QString::number(*account.rid);
    } else {
        account.sid = ToSid(object.Value(u"sid"), object.PathOf(u"sid"));
    }
    bool fails = false;
    account.kind = ToAccountKind(object.Required(u"kind"), object.PathOf(u"kind"), false, fails);
    if (object.Has(u"groups")) {
        if (account.kind != AccountKind::User && account.kind != AccountKind::Group)
            Fail(object.PathOf(u"groups"), QStringLiteral("only users and groups have groups"));
        account.groups = ToNameList(object.Value(u"groups"), object.PathOf(u"groups"), false);
    }
    if (object.Has(u"lookup")) {
        const AccountKind kind =
            ToAccountKind(object.Value(u"lookup"), object.PathOf(u"lookup"), true, fails);
        account.lookupFails = fails;
        if (!fails)
            account.lookupKind = kind;
    }
    return account;
}

Domain ToDomain(const QJsonValue& value, const QString& path)
{
    const Object object(value, path,
                        {u"name", u"sid", u"servers", u"open_error", u"extended_error",
                         u"enum_error_after", u"accounts"});
    Domain domain;
    domain.name = ToName(object.Required(u"name"), object.PathOf(u"name"));
    domain.sid = ToOptionalSid(object, u"sid");
    if (object.Has(u"servers"))
        domain.servers = ToNameList(object.Value(u"servers"), object.PathOf(u"servers"), true);
    ReadOpenError(object, domain.openError, domain.extendedError);
    if (object.Has(u"enum_error_after"))
        domain.enumErrorAfter = ToErrorAfter(object.Value(u"enum_error_after"),
                                             object.PathOf(u"enum_error_after"), u"code");
    if (object.Has(u"accounts")) {
        const QString accountsPath = object.PathOf(u"accounts");
        const QJsonArray list = ToList(object.Value(u"accounts"), accountsPath);
        QHash<QString, qsizetype> byName;
        for (qsizetype i = 0; i < list.size(); ++i) {
            const QString itemPath = Element(accountsPath, i);
            domain.accounts.push_back(ToAccount(list[i], itemPath, domain.sid));
            const QString key = Key(domain.accounts.back().name);
            if (byName.contains(key))
                Fail(Member(itemPath, u"name"),
                     Quoted(domain.accounts.back().name) + QStringLiteral(" is listed twice"));
            byName.insert(key, i);
        }
        // A member's groups are global groups of the same domain.
        for (size_t i = 0; i < domain.accounts.size(); ++i) {
            const Account& account = domain.accounts[i];
            for (qsizetype g = 0; g < account.groups.size(); ++g) {
                const QString groupPath =
                    Element(Member(Element(accountsPath, qsizetype(i)), u"groups"), g);
                const auto it = byName.constFind(Key(account.groups[g]));
                if (it == byName.constEnd())
                    Fail(groupPath, QStringLiteral("no account ") + Quoted(account.groups[g]) +
                                        QStringLiteral(" in domain ") + Quoted(domain.name));
                if (domain.accounts[size_t(*it)].kind != AccountKind::Group)
                    Fail(groupPath, Quoted(account.groups[g]) +
                                        QStringLiteral(" is not a group (kind \"group\")"));
            }
        }
    }
    return domain;
}

Ping ToPing(const QJsonValue& value, const QString& path)
{
    const Object object(value, path, {u"reply", u"rtt_ms", u"status"});
    Ping ping;
    ping.reply = ToBool(object.Required(u"reply"), object.PathOf(u"reply"));
    if (ping.reply) {
        if (object.Has(u"status"))
            Fail(object.PathOf(u"status"), QStringLiteral("a reply has no status; "
                                                          "use \"reply\": false"));
        if (object.Has(u"rtt_ms"))
            ping.rttMs = ToNumber(object.Value(u"rtt_ms"), object.PathOf(u"rtt_ms"));
    } else {
        if (object.Has(u"rtt_ms"))
            Fail(object.PathOf(u"rtt_ms"), QStringLiteral("no reply has no round trip"));
        ping.rttMs = 0;
        ping.status = 11010;
        if (object.Has(u"status"))
            ping.status = ToNumber(object.Value(u"status"), object.PathOf(u"status"));
        if (ping.status == 0)
            Fail(object.PathOf(u"status"), QStringLiteral("no reply needs a non-zero status"));
    }
    return ping;
}

Credential ToCredential(const QJsonValue& value, const QString& path)
{
    const Object object(value, path, {u"user", u"password"});
    Credential credential;
    credential.user = ToIdentity(object.Required(u"user"), object.PathOf(u"user"));
    const QJsonValue password = object.Required(u"password");
    if (password.isNull())
        credential.password = QString();
    else if (password.isString())
        credential.password =
            password.toString().isNull() ? QStringLiteral("") : password.toString();
    else
        Fail(object.PathOf(u"password"), QStringLiteral("expected text or null"));
    return credential;
}

Machine ToMachine(const QJsonValue& value, const QString& path)
{
    const Object object(value, path,
                        {u"name", u"domain", u"comment", u"type", u"type_error", u"address",
                         u"ping", u"admits", u"credentials", u"connect_error", u"share_enum_error",
                         u"user_enum_error_after", u"shares", u"registry", u"services", u"drives",
                         u"primary_domain"});
    Machine machine;
    machine.name = ToName(object.Required(u"name"), object.PathOf(u"name"));
    machine.domain = ToName(object.Required(u"domain"), object.PathOf(u"domain"));
    if (object.Has(u"comment"))
        machine.comment = ToText(object.Value(u"comment"), object.PathOf(u"comment"));
    if (object.Has(u"type") && object.Has(u"type_error"))
        Fail(object.PathOf(u"type_error"),
             QStringLiteral("a machine gives either type or type_error"));
    if (object.Has(u"type"))
        machine.type = ToNumber(object.Value(u"type"), object.PathOf(u"type"));
    machine.typeError = OptionalNumber(object, u"type_error");
    if (machine.typeError == 0u)
        Fail(object.PathOf(u"type_error"), QStringLiteral("a failure needs a non-zero status"));

    if (object.Has(u"address") && !object.Value(u"address").isNull()) {
        const QString addressPath = object.PathOf(u"address");
        const QString text = ToText(object.Value(u"address"), addressPath);
        uint32_t address = 0;
        if (!ParseIpv4Text(text, address))
            Fail(addressPath, QStringLiteral("expected IPv4 text (\"10.1.2.3\") or null"));
        machine.address = address;
    }
    if (object.Has(u"ping"))
        machine.ping = ToPing(object.Value(u"ping"), object.PathOf(u"ping"));

    if (object.Has(u"admits")) {
        const QJsonValue admits = object.Value(u"admits");
        const QString admitsPath = object.PathOf(u"admits");
        if (admits.isString() && admits.toString() == QStringLiteral("*")) {
            machine.admitsAnyone = true;
        } else if (admits.isArray()) {
            machine.admitsAnyone = false;
            const QJsonArray list = admits.toArray();
            for (qsizetype i = 0; i < list.size(); ++i)
                machine.admits.append(ToIdentity(list[i], Element(admitsPath, i)));
        } else {
            Fail(admitsPath, QStringLiteral("expected \"*\" or a list of \"DOMAIN\\\\name\""));
        }
    }
    if (object.Has(u"credentials")) {
        // One credential may be written as the object itself.
        const QJsonValue credentials = object.Value(u"credentials");
        const QString credentialsPath = object.PathOf(u"credentials");
        if (credentials.isObject()) {
            machine.credentials.push_back(ToCredential(credentials, credentialsPath));
        } else {
            const QJsonArray list = ToList(credentials, credentialsPath);
            for (qsizetype i = 0; i < list.size(); ++i)
                machine.credentials.push_back(ToCredential(list[i], Element(credentialsPath, i)));
        }
    }
    machine.connectError = OptionalNumber(object, u"connect_error");
    machine.shareEnumError = OptionalNumber(object, u"share_enum_error");
    if (object.Has(u"user_enum_error_after"))
        machine.userEnumErrorAfter =
            ToErrorAfter(object.Value(u"user_enum_error_after"),
                         object.PathOf(u"user_enum_error_after"), u"status");
    if (object.Has(u"shares")) {
        const QString sharesPath = object.PathOf(u"shares");
        const QJsonArray list = ToList(object.Value(u"shares"), sharesPath);
        QSet<QString> names;
        for (qsizetype i = 0; i < list.size(); ++i) {
            const QString sharePath = Element(sharesPath, i);
            const Object share(list[i], sharePath, {u"name", u"type", u"sd", u"root"});
            Share result;
            result.name = ToName(share.Required(u"name"), share.PathOf(u"name"));
            if (names.contains(Key(result.name)))
                Fail(share.PathOf(u"name"),
                     Quoted(result.name) + QStringLiteral(" is listed twice"));
            names.insert(Key(result.name));
            if (share.Has(u"type"))
                result.type = ToNumber(share.Value(u"type"), share.PathOf(u"type"));
            if (share.Has(u"sd")) {
                const QJsonValue sd = share.Value(u"sd");
                if (sd.isString() && sd.toString() == QStringLiteral("none"))
                    result.sd.reset();
                else if (sd.isObject())
                    result.sd = ToSecurityDescriptor(sd, share.PathOf(u"sd"));
                else
                    Fail(share.PathOf(u"sd"),
                         QStringLiteral("expected a security descriptor or \"none\""));
            }
            if (share.Has(u"root"))
                result.root = ToRootFolder(share.Value(u"root"), share.PathOf(u"root"));
            machine.shares.push_back(std::move(result));
        }
    }
    if (object.Has(u"registry"))
        machine.registry = ToRegistry(object.Value(u"registry"), object.PathOf(u"registry"));
    if (object.Has(u"services")) {
        const QString servicesPath = object.PathOf(u"services");
        const QJsonValue services = object.Value(u"services");
        if (!services.isObject())
            Fail(servicesPath, QStringLiteral("expected an object of service states"));
        const QJsonObject states = services.toObject();
        for (auto it = states.constBegin(); it != states.constEnd(); ++it) {
            const QString statePath = Member(servicesPath, it.key());
            const QString state = it.value().toString();
            if (it.key().isEmpty())
                Fail(statePath, QStringLiteral("a service has a name"));
            if (state != QStringLiteral("running") && state != QStringLiteral("stopped"))
                Fail(statePath, QStringLiteral("expected \"running\" or \"stopped\""));
            machine.services.insert(it.key(), state == QStringLiteral("running"));
        }
    }
    if (object.Has(u"drives"))
        machine.drives = ToDrives(object.Value(u"drives"), object.PathOf(u"drives"));
    if (object.Has(u"primary_domain"))
        machine.primaryDomain =
            ToPrimaryDomain(object.Value(u"primary_domain"), object.PathOf(u"primary_domain"));
    return machine;
}

// Machines without an address of their own get 10.0.0.n, n counting from 1 in file order,
// skipping addresses that other machines were given and octets 0 and 255.
void AssignDefaultAddresses(std::vector<Machine>& machines,
                            const std::vector<bool>& explicitAddress)
{
    QSet<uint32_t> used;
    for (size_t i = 0; i < machines.size(); ++i) {
        if (explicitAddress[i] && machines[i].address)
            used.insert(*machines[i].address);
    }
    uint32_t next = 0x0A000000u;
    for (size_t i = 0; i < machines.size(); ++i) {
        if (explicitAddress[i])
            continue;
        do {
            ++next;
        } while ((next & 0xFF) == 0 || (next & 0xFF) == 0xFF || used.contains(next));
        machines[i].address = next;
    }
}

// The machines of a file, read one at a time as they come (the streaming reader hands
// them over without keeping the whole list). The first refusal is kept and reported when
// the model is finished, after the sections that the reader checks before machines, so
// that a file gets the same message whichever way it was read.
class MachineReader
{
  public:
    void Add(const QJsonValue& value)
    {
        const qsizetype index = m_count++;
        if (m_failure)
            return; // later machines are only checked for syntax
        const QString itemPath = Element(QStringLiteral("$.machines"), index);
        try {
            machines.push_back(ToMachine(value, itemPath));
            const QString name = Key(machines.back().name);
            if (m_names.contains(name))
                Fail(Member(itemPath, u"name"),
                     Quoted(machines.back().name) + QStringLiteral(" is listed twice"));
            m_names.insert(name);
            const QJsonObject written = value.toObject();
            hasPrimaryDomain.push_back(written.contains(QStringLiteral("primary_domain")));
            hasAddress.push_back(written.contains(QStringLiteral("address")));
        } catch (const FormatError& failure) {
            m_failure = failure;
        }
    }

    // Raises the kept refusal, if any.
    void Finish() const
    {
        if (m_failure)
            throw *m_failure;
    }

    bool streamed = false; // the machines came from the file one by one
    std::vector<Machine> machines;
    std::vector<bool> hasPrimaryDomain;
    std::vector<bool> hasAddress;

  private:
    qsizetype m_count = 0;
    QSet<QString> m_names;
    std::optional<FormatError> m_failure;
};

// The model from the top-level object. `streamed` holds the machines when the reader took
// them from the file one by one; otherwise they are read from `top`.
LabModel ToModel(const QJsonObject& top, const QString& fileName, MachineReader* streamed)
{
    const QString root = QStringLiteral("$");
    const Object object(top, root,
                        {u"format", u"realtime", u"local", u"providers", u"domains", u"machines"});
    const QString format = ToText(object.Required(u"format"), object.PathOf(u"format"));
    if (format != QLatin1String(kLabFormat))
        Fail(object.PathOf(u"format"), QStringLiteral("expected \"") + QLatin1String(kLabFormat) +
                                           QStringLiteral("\", found ") + Quoted(format));
    LabModel model;
    model.fileName = fileName;
    if (object.Has(u"realtime"))
        model.realtime = ToBool(object.Value(u"realtime"), object.PathOf(u"realtime"));
    if (object.Has(u"local"))
        model.local = ToLocal(object.Value(u"local"), object.PathOf(u"local"));

    auto readList = [&](const char16_t* name, auto read, auto& into, auto nameOf) {
        if (!object.Has(name))
            return;
        const QString listPath = object.PathOf(name);
        const QJsonArray list = ToList(object.Value(name), listPath);
        QSet<QString> names;
        for (qsizetype i = 0; i < list.size(); ++i) {
            const QString itemPath = Element(listPath, i);
            into.push_back(read(list[i], itemPath));
            const QString itemName = nameOf(into.back());
            if (names.contains(Key(itemName)))
                Fail(Member(itemPath, u"name"),
                     Quoted(itemName) + QStringLiteral(" is listed twice"));
            names.insert(Key(itemName));
        }
    };
    readList(u"providers", ToProvider, model.providers, [](const Provider& p) { return p.name; });
    readList(u"domains", ToDomain, model.domains, [](const Domain& d) { return d.name; });
    MachineReader fromTop;
    MachineReader* machines = streamed != nullptr && streamed->streamed ? streamed : nullptr;
    if (machines == nullptr) {
        machines = &fromTop;
        if (object.Has(u"machines")) {
            const QJsonArray list = ToList(object.Value(u"machines"), object.PathOf(u"machines"));
            for (qsizetype i = 0; i < list.size(); ++i)
                fromTop.Add(list[i]);
        }
    }
    machines->Finish();
    model.machines = std::move(machines->machines);
    model.Reindex();

    // References between the sections. A provider may list a name that is not in `domains`:
    // that is a bare container with no servers.
    for (size_t d = 0; d < model.domains.size(); ++d) {
        const Domain& domain = model.domains[d];
        for (qsizetype s = 0; s < domain.servers.size(); ++s) {
            if (model.FindMachine(domain.servers[s]) == nullptr)
                Fail(Element(Member(Element(QStringLiteral("$.domains"), qsizetype(d)), u"servers"),
                             s),
                     QStringLiteral("no machine ") + Quoted(StripServerPrefix(domain.servers[s])) +
                         QStringLiteral(" in machines"));
        }
    }
    std::vector<bool> explicitAddress(model.machines.size());
    QHash<uint32_t, QString> addresses;
    for (size_t m = 0; m < model.machines.size(); ++m) {
        Machine& machine = model.machines[m];
        const QString machinePath = Element(QStringLiteral("$.machines"), qsizetype(m));
        const Domain* domain = model.FindDomain(machine.domain);
        if (domain == nullptr)
            Fail(Member(machinePath, u"domain"), QStringLiteral("no domain ") +
                                                     Quoted(machine.domain) +
                                                     QStringLiteral(" in domains"));
        if (!machines->hasPrimaryDomain[m])
            machine.primaryDomain = PrimaryDomain{domain->name, domain->sid};
        explicitAddress[m] = machines->hasAddress[m];
        if (machine.address) {
            const auto it = addresses.constFind(*machine.address);
            if (it != addresses.constEnd())
                Fail(Member(machinePath, u"address"),
                     QStringLiteral("address already given to ") + Quoted(*it));
            addresses.insert(*machine.address, machine.name);
        }
    }
    AssignDefaultAddresses(model.machines, explicitAddress);
    model.Reindex();
    return model;
}

// Reads the top-level object of a lab file from a device a piece at a time: every member but
// "machines" is small and kept as a JSON value; the machines are parsed and checked one by
// one, so memory holds the model and one machine's text, never the whole document. The
// scanner only finds where values end; each value is parsed by QJsonDocument. Anything it
// does not expect (a syntax error, a duplicate top-level field, a top level that is no
// object) makes it give up, and the caller reads the whole text the ordinary way, which
// gives the exact message.
class StreamingReader
{
  public:
    explicit StreamingReader(QIODevice& device) : m_device(device) {}

    // False when the reader gave up.
    bool Read(QJsonObject& top, MachineReader& machines)
    {
        SkipSpace();
        if (!Take('{'))
            return false;
        SkipSpace();
        if (Take('}'))
            return AtEnd();
        for (;;) {
            QJsonValue keyValue;
            if (Peek() != '"' || !ParseNext(keyValue) || !keyValue.isString())
                return false;
            const QString key = keyValue.toString();
            if (top.contains(key))
                return false;
            SkipSpace();
            if (!Take(':'))
                return false;
            SkipSpace();
            if (key == QLatin1String("machines") && Peek() == '[') {
                if (!ReadMachines(machines))
                    return false;
                machines.streamed = true;
                top.insert(key, QJsonArray());
            } else {
                QJsonValue value;
                if (!ParseNext(value))
                    return false;
                top.insert(key, value);
            }
            SkipSpace();
            if (Take(','))
            {
                SkipSpace();
                continue;
            }
            if (!Take('}'))
                return false;
            return AtEnd();
        }
    }

  private:
    bool ReadMachines(MachineReader& machines)
    {
        Take('[');
        SkipSpace();
        if (Take(']'))
            return true;
        for (;;) {
            QJsonValue value;
            if (!ParseNext(value))
                return false;
            machines.Add(value);
            SkipSpace();
            if (Take(']'))
                return true;
            if (!Take(','))
                return false;
            SkipSpace();
        }
    }

    // -1 at the end of the device.
    int Peek()
    {
        if (m_pos >= m_buffer.size() && !Fill())
            return -1;
        return static_cast<unsigned char>(m_buffer[m_pos]);
    }

    bool Take(char c)
    {
        if (Peek() != static_cast<unsigned char>(c))
            return false;
        ++m_pos;
        return true;
    }

    void SkipSpace()
    {
        for (int c = Peek(); c == ' ' || c == '\t' || c == '\n' || c == '\r'; c = Peek())
            ++m_pos;
    }

    bool AtEnd()
    {
        SkipSpace();
        return Peek() == -1;
    }

    // Reads more of the device, dropping what lies before the value being taken (or before
    // the current position).
    bool Fill()
    {
        const qsizetype keep = m_mark >= 0 ? m_mark : m_pos;
        if (keep > 0) {
            m_buffer.remove(0, keep);
            m_pos -= keep;
            if (m_mark >= 0)
                m_mark -= keep;
        }
        const QByteArray more = m_device.read(kChunk);
        if (more.isEmpty())
            return false;
        m_buffer += more;
        return true;
    }

    // Moves past one value (structure only: brackets and strings), false at the end.
    bool SkipValue()
    {
        const int first = Peek();
        if (first == '"')
            return SkipString();
        if (first == '{' || first == '[') {
            int depth = 0;
            for (;;) {
                const int c = Peek();
                if (c == -1)
                    return false;
                if (c == '"') {
                    if (!SkipString())
                        return false;
                    continue;
                }
                ++m_pos;
                if (c == '{' || c == '[') {
                    ++depth;
                } else if (c == '}' || c == ']') {
                    if (--depth == 0)
                        return true;
                }
            }
        }
        // A number or a literal: up to the next delimiter.
        qsizetype length = 0;
        for (int c = Peek(); c != -1 && c != ',' && c != ']' && c != '}' && c != ' ' &&
                             c != '\t' && c != '\n' && c != '\r';
             c = Peek()) {
            ++m_pos;
            ++length;
        }
        return length > 0;
    }

    bool SkipString()
    {
        ++m_pos; // the opening quote
        for (;;) {
            // Scan the buffered bytes for the closing quote without a call per byte.
            const char* data = m_buffer.constData();
            const qsizetype size = m_buffer.size();
            while (m_pos < size) {
                const char c = data[m_pos++];
                if (c == '"')
                    return true;
                if (c == '\\') {
                    if (m_pos >= size) {
                        --m_pos;
                        break;
                    }
                    ++m_pos;
                }
            }
            if (!Fill())
                return false;
        }
    }

    // The next value, parsed on its own.
    bool ParseNext(QJsonValue& value)
    {
        m_mark = m_pos;
        const bool complete = SkipValue();
        QByteArray text;
        if (complete) {
            text.reserve(m_pos - m_mark + 2);
            text += '[';
            text.append(m_buffer.constData() + m_mark, m_pos - m_mark);
            text += ']';
        }
        m_mark = -1;
        if (!complete)
            return false;
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(text, &error);
        if (error.error != QJsonParseError::NoError || !document.isArray() ||
            document.array().size() != 1)
            return false;
        value = document.array().at(0);
        return true;
    }

    static constexpr qint64 kChunk = 1 << 20;
    QIODevice& m_device;
    QByteArray m_buffer;
    qsizetype m_pos = 0;
    qsizetype m_mark = -1; // start of the value being taken
};

// 1-based line and column (in characters) of the place where the JSON parser stopped: a
// byte offset into UTF-8 text, at or just past the token it could not take.
void LineAndColumn(const QByteArray& data, qsizetype offset, int& line, int& column)
{
    offset = std::clamp<qsizetype>(offset, 0, data.size());
    const qsizetype lineStart = data.lastIndexOf('\n', offset - 1) + 1;
    line = int(data.left(lineStart).count('\n')) + 1;
    column = int(QString::fromUtf8(data.constData() + lineStart, offset - lineStart).size()) + 1;
}

QString Message(const QString& fileName, const QString& place, const QString& reason)
{
    return QStringLiteral("lab file \"%1\": %2: %3").arg(fileName, place, reason);
}

} // namespace

QString StripServerPrefix(const QString& name)
{
    return name.startsWith(QStringLiteral("\\\\")) ? name.mid(2) : name;
}

bool ParseIpv4Text(const QString& text, uint32_t& address)
{
    static const QRegularExpression dotted(
        QStringLiteral("^(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})$"));
    const auto match = dotted.match(text);
    if (!match.hasMatch())
        return false;
    uint32_t value = 0;
    for (int i = 1; i <= 4; ++i) {
        const uint32_t octet = match.captured(i).toUInt();
        if (octet > 255)
            return false;
        value = (value << 8) | octet;
    }
    address = value;
    return true;
}

QString Ipv4Text(uint32_t address)
{
    return QStringLiteral("%1.%2.%3.%4")
        .arg(address >> 24)
        .arg((address >> 16) & 0xFF)
        .arg((address >> 8) & 0xFF)
        .arg(address & 0xFF);
}

const Provider* LabModel::FindProvider(const QString& name) const
{
    const auto it = m_providerIndex.constFind(Key(name));
    return it == m_providerIndex.constEnd() ? nullptr : &providers[size_t(*it)];
}

const Domain* LabModel::FindDomain(const QString& name) const
{
    const auto it = m_domainIndex.constFind(Key(name));
    return it == m_domainIndex.constEnd() ? nullptr : &domains[size_t(*it)];
}

const Machine* LabModel::FindMachine(const QString& name) const
{
    const auto it = m_machineIndex.constFind(Key(StripServerPrefix(name)));
    return it == m_machineIndex.constEnd() ? nullptr : &machines[size_t(*it)];
}

const Machine* LabModel::FindMachineByAddress(uint32_t address) const
{
    const auto it = m_addressIndex.constFind(address);
    return it == m_addressIndex.constEnd() ? nullptr : &machines[size_t(*it)];
}

void LabModel::Reindex()
{
    m_providerIndex.clear();
    m_domainIndex.clear();
    m_machineIndex.clear();
    m_addressIndex.clear();
    for (size_t i = 0; i < providers.size(); ++i)
        m_providerIndex.insert(Key(providers[i].name), int(i));
    for (size_t i = 0; i < domains.size(); ++i)
        m_domainIndex.insert(Key(domains[i].name), int(i));
    for (size_t i = 0; i < machines.size(); ++i) {
        m_machineIndex.insert(Key(machines[i].name), int(i));
        if (machines[i].address)
            m_addressIndex.insert(*machines[i].address, int(i));
    }
}

std::optional<LabModel> LabFile::Read(const QString& path, QString& error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error =
            QStringLiteral("lab file \"%1\": cannot be opened: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    return Read(file, path, error);
}

namespace {

// The whole text parsed as one document: the way to the exact message of a file the
// streaming reader gave up on, and the reader of devices that cannot go back.
std::optional<LabModel> ParseDocument(const QByteArray& json, const QString& fileName,
                                      QString& error)
{
    InterningScope interning;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        int line = 0;
        int column = 0;
        LineAndColumn(json, parseError.offset, line, column);
        error = Message(fileName, QStringLiteral("line %1, column %2").arg(line).arg(column),
                        parseError.errorString());
        return std::nullopt;
    }
    try {
        if (!document.isObject())
            Fail(QStringLiteral("$"), QStringLiteral("expected an object"));
        return ToModel(document.object(), fileName, nullptr);
    } catch (const FormatError& failure) {
        error = Message(fileName, failure.path, failure.reason);
        return std::nullopt;
    }
}

// The streaming read of a device positioned at the start of the text; nothing when the
// reader gave up (the caller then parses the whole text).
std::optional<std::optional<LabModel>> ReadStreaming(QIODevice& device, const QString& fileName,
                                                     QString& error)
{
    InterningScope interning;
    QJsonObject top;
    MachineReader machines;
    if (!StreamingReader(device).Read(top, machines))
        return std::nullopt;
    try {
        return std::optional<LabModel>(ToModel(top, fileName, &machines));
    } catch (const FormatError& failure) {
        error = Message(fileName, failure.path, failure.reason);
        return std::optional<LabModel>();
    }
}

} // namespace

std::optional<LabModel> LabFile::Read(QIODevice& device, const QString& fileName, QString& error)
{
    // A device that cannot go back is read whole: when the streaming reader gives up, the
    // text is read again for the message.
    if (device.isSequential())
        return ParseDocument(device.readAll(), fileName, error);
    const qint64 start = device.pos();
    if (auto model = ReadStreaming(device, fileName, error))
        return std::move(*model);
    if (!device.seek(start)) {
        error = Message(fileName, QStringLiteral("cannot be read again"), device.errorString());
        return std::nullopt;
    }
    return ParseDocument(device.readAll(), fileName, error);
}

std::optional<LabModel> LabFile::Parse(const QByteArray& json, const QString& fileName,
                                       QString& error)
{
    QByteArray text = json; // shares the bytes
    QBuffer buffer(&text);
    buffer.open(QIODevice::ReadOnly);
    if (auto model = ReadStreaming(buffer, fileName, error))
        return std::move(*model);
    return ParseDocument(json, fileName, error);
}

} // namespace velmora::platform::lab
