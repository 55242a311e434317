#include "applib/Prefs.h"

#include "applib/DfxFormat.h"
#include "applib/Exceptions.h"
#include "applib/LastError.h"

namespace velmora {

namespace {

// "Software\Velmora" names the organisation folder "Velmora"; deeper registry paths become
// nested folders.
QString OrganizationFor(const QString& registryPath)
{
    QString organization = registryPath;
    const QString software = QStringLiteral("Software\\");
    if (organization.startsWith(software, Qt::CaseInsensitive))
        organization.remove(0, software.size());
    organization.replace(u'\\', u'/');
    while (organization.endsWith(u'/'))
        organization.chop(1);
    return organization;
}

// Section and ident as one key: the readers need not move the settings' current group.
QString KeyOf(const QString& section, const QString& ident)
{
    return section + u'/' + ident;
}

} // namespace

TDfxRegIniFile::TDfxRegIniFile(QSettings::Scope scope, const QString& registryPath,
                               const QString& title)
    : m_settings(std::make_unique<QSettings>(QSettings::IniFormat, scope,
                                             OrganizationFor(registryPath), title))
{
    // The machine-wide scope must not fall back to the user's file: each object is one
    // store, as each registry key was.
    m_settings->setFallbacksEnabled(false);
}

QString TDfxRegIniFile::ReadString(const QString& section, const QString& ident,
                                   const QString& def) const
{
    const QVariant value = m_settings->value(KeyOf(section, ident));
    if (!value.isValid())
        return def;
    // An unquoted text with commas in a hand-edited file reads as a list.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(u',');
    return value.toString();
}

int TDfxRegIniFile::ReadInteger(const QString& section, const QString& ident, int def) const
{
    const QVariant value = m_settings->value(KeyOf(section, ident));
    if (!value.isValid())
        return def;
    bool ok = false;
    const int number = value.toString().trimmed().toInt(&ok);
    return ok ? number : def;
}

bool TDfxRegIniFile::ReadBool(const QString& section, const QString& ident, bool def) const
{
    const QVariant value = m_settings->value(KeyOf(section, ident));
    if (!value.isValid())
        return def;
    // Written as 0 or 1; a hand-edited file may say true or false.
    const QString text = value.toString().trimmed();
    if (text.compare(u"true", Qt::CaseInsensitive) == 0)
        return true;
    if (text.compare(u"false", Qt::CaseInsensitive) == 0)
        return false;
    bool ok = false;
    const int number = text.toInt(&ok);
    return ok ? number != 0 : def;
}

void TDfxRegIniFile::WriteString(const QString& section, const QString& ident, const QString& value)
{
    m_settings->setValue(KeyOf(section, ident), value);
}

void TDfxRegIniFile::WriteInteger(const QString& section, const QString& ident, int value)
{
    m_settings->setValue(KeyOf(section, ident), value);
}

void TDfxRegIniFile::WriteBool(const QString& section, const QString& ident, bool value)
{
    m_settings->setValue(KeyOf(section, ident), value ? 1 : 0);
}

bool TDfxRegIniFile::SectionExists(const QString& section) const
{
    m_settings->beginGroup(section);
    const bool exists = !m_settings->allKeys().isEmpty();
    m_settings->endGroup();
    return exists;
}

bool TDfxRegIniFile::ValueExists(const QString& section, const QString& ident) const
{
    return m_settings->contains(KeyOf(section, ident));
}

QStringList TDfxRegIniFile::ReadSection(const QString& section) const
{
    m_settings->beginGroup(section);
    const QStringList keys = m_settings->childKeys();
    m_settings->endGroup();
    return keys;
}

void TDfxRegIniFile::DeleteKey(const QString& section, const QString& ident)
{
    m_settings->remove(KeyOf(section, ident));
}

void TDfxRegIniFile::EraseSection(const QString& section)
{
    m_settings->remove(section);
}

bool TDfxRegIniFile::UpdateFile()
{
    m_settings->sync();
    switch (m_settings->status()) {
    case QSettings::NoError:
        return true;
    case QSettings::AccessError:
        SetLastErrorFmt(QStringLiteral("The preferences file \"%s\" cannot be written"),
                        {m_settings->fileName()}, false, kDfxErrorText);
        return false;
    case QSettings::FormatError:
        SetLastErrorFmt(QStringLiteral("The preferences file \"%s\" is not in a readable format"),
                        {m_settings->fileName()}, false, kDfxErrorText);
        return false;
    }
    return false;
}

QString TDfxRegIniFile::FileName() const
{
    return m_settings->fileName();
}

TUserPrefs::TUserPrefs(const QString& registryPath, const QString& title)
    : TDfxRegIniFile(QSettings::UserScope, registryPath, title)
{
}

TSystemPrefs::TSystemPrefs(const QString& registryPath, const QString& title)
    : TDfxRegIniFile(QSettings::SystemScope, registryPath, title)
{
}

Preferences CreatePreferences(const QString& registryPath, const QString& title)
{
    if (registryPath.isEmpty())
        throw Exception(
            QStringLiteral("You need to Assign the value of RegIni_Path in the project file"));
    Preferences preferences;
    preferences.user = std::make_shared<TUserPrefs>(registryPath, title);
    preferences.system = std::make_shared<TSystemPrefs>(registryPath, title);
    return preferences;
}

} // namespace velmora
