#include "applib/RegistryDfx.h"

#include "applib/DfxFormat.h"
#include "applib/LastError.h"

namespace velmora {

using namespace platform;

namespace {
bool IsPredefined(RegKey key)
{
    return key == kHKeyLocalMachine || key == kHKeyUsers;
}

QString WithoutLeadingBackslashes(const QString& name)
{
    qsizetype start = 0;
    while (start < name.size() && name.at(start) == QLatin1Char('\\'))
        ++start;
    return name.mid(start);
}

// Registry strings are stored as UTF-16 (little-endian) with their NUL.
QString DecodeRegistryString(const QByteArray& data)
{
    QString text =
        QString::fromUtf16(reinterpret_cast<const char16_t*>(data.constData()), data.size() / 2);
    const qsizetype nul = text.indexOf(QChar(0));
    if (nul >= 0)
        text.truncate(nul);
    return text;
}
} // namespace

bool IsLocalMachineName(Network& network, const QString& machine)
{
    const QString bare = WithoutLeadingBackslashes(machine);
    if (bare.isEmpty())
        return true;
    QString unc = machine;
    while (!unc.startsWith(QLatin1String("\\\\")))
        unc.prepend(QLatin1Char('\\'));
    return unc.compare(QStringLiteral("\\\\") + network.LocalComputerName(), Qt::CaseInsensitive) ==
           0;
}

TDfxRegistry::TDfxRegistry(Network& network, uint32_t access) : m_network(network), m_access(access)
{
}

TDfxRegistry::~TDfxRegistry()
{
    CloseRootKey();
}

void TDfxRegistry::SetRootKey(RegKey root)
{
    CloseRootKey();
    m_predefinedRoot = root;
    m_rootKey = root;
}

bool TDfxRegistry::ConnectRemote(const QString& machine)
{
    if (IsLocalMachineName(m_network, machine))
        return true;
    RegKey key = 0;
    const uint32_t status = m_network.RegConnectRegistry(machine, m_predefinedRoot, key);
    if (status != kNoError) {
        SetLastErrorCode(status, false);
        return false;
    }
    CloseRootKey();
    m_rootKey = key;
    m_ownsRoot = true;
    return true;
}

void TDfxRegistry::CloseRootKey()
{
    CloseKey();
    if (m_ownsRoot)
        m_network.RegCloseKey(m_rootKey);
    m_ownsRoot = false;
    m_rootKey = m_predefinedRoot;
}

RegKey TDfxRegistry::BaseFor(const QString& key, QString& path) const
{
    if (key.startsWith(QLatin1Char('\\')) || m_currentKey == 0) {
        path = WithoutLeadingBackslashes(key);
        return m_rootKey;
    }
    path = m_currentPath.isEmpty() ? key : m_currentPath + QLatin1Char('\\') + key;
    return m_currentKey;
}

bool TDfxRegistry::OpenKey(const QString& key)
{
    QString path;
    const RegKey base = BaseFor(key, path);
    RegKey opened = 0;
    const QString relative =
        key.startsWith(QLatin1Char('\\')) ? WithoutLeadingBackslashes(key) : key;
    if (m_network.RegOpenKeyEx(base, relative, m_access, opened) != kNoError)
        return false;
    CloseKey();
    m_currentKey = opened;
    m_currentPath = path;
    return true;
}

bool TDfxRegistry::OpenKeyReadOnly(const QString& key)
{
    const uint32_t saved = m_access;
    m_access = (m_access & kKeyWow6464Key) | kKeyRead;
    const bool opened = OpenKey(key);
    m_access = saved;
    return opened;
}

bool TDfxRegistry::KeyExists(const QString& key)
{
    QString path;
    const RegKey base = BaseFor(key, path);
    const QString relative =
        key.startsWith(QLatin1Char('\\')) ? WithoutLeadingBackslashes(key) : key;
    RegKey opened = 0;
    if (m_network.RegOpenKeyEx(base, relative, (m_access & kKeyWow6464Key) | kKeyRead, opened) !=
        kNoError)
        return false;
    m_network.RegCloseKey(opened);
    return true;
}

void TDfxRegistry::CloseKey()
{
    if (m_currentKey != 0 && !IsPredefined(m_currentKey))
        m_network.RegCloseKey(m_currentKey);
    m_currentKey = 0;
    m_currentPath.clear();
}

bool TDfxRegistry::ValueExists(const QString& name)
{
    if (m_currentKey == 0)
        return false;
    uint32_t type = 0;
    uint32_t size = 0;
    return m_network.RegQueryValueEx(m_currentKey, name, type, nullptr, size) == kNoError;
}

bool TDfxRegistry::ReadStringEX(const QString& name, QString& text)
{
    text.clear();
    if (m_currentKey == 0)
        return false;
    uint32_t type = 0;
    uint32_t size = 0;
    if (m_network.RegQueryValueEx(m_currentKey, name, type, nullptr, size) != kNoError)
        return false; // a missing value: no text
    if (size == 0)
        return true;
    QByteArray data(qsizetype(size), '\0');
    if (m_network.RegQueryValueEx(m_currentKey, name, type, &data, size) != kNoError)
        return false;
    data.truncate(qsizetype(size));
    if (type != kRegSz && type != kRegExpandSz) {
        SetLastErrorText(
            DfxFormat(QString::fromLatin1(kReadStringExTypeFmt), {m_currentPath, name}), false,
            kDfxErrorText);
        return false;
    }
    text = DecodeRegistryString(data);
    return true;
}

QStringList TDfxRegistry::ValueNames()
{
    QStringList names;
    if (m_currentKey == 0)
        return names;
    QString name;
    for (uint32_t i = 0; m_network.RegEnumValue(m_currentKey, i, name) == kNoError; ++i)
        names << name;
    return names;
}

QStringList TDfxRegistry::KeyNames()
{
    QStringList names;
    if (m_currentKey == 0)
        return names;
    QString name;
    for (uint32_t i = 0; m_network.RegEnumKeyEx(m_currentKey, i, name) == kNoError; ++i)
        names << name;
    return names;
}

} // namespace velmora
