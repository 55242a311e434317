#pragma once
// Preference sections in the "ini file" style (section = group, ident = key) over
// QSettings: per-user under the XDG config folder, machine-wide under the XDG system
// folder. The program's registry path "Software\Velmora" and its title "Velmora" name the
// store: <config>/Velmora/Velmora.ini.

#include <QSettings>
#include <QString>
#include <QStringList>
#include <memory>

namespace velmora {

// Section and value names used by the program, named once.
namespace prefkeys {
inline constexpr char kRegistryPath[] = "Software\\Velmora";
inline constexpr char kApplicationTitle[] = "Velmora";
inline constexpr char kAutoRefreshSection[] = "Auto-Refresh";
inline constexpr char kAutoRefreshActive[] = "Active";
inline constexpr char kAutoRefreshInterval[] = "Interval";
inline constexpr char kAutoRefreshFrequency[] = "Frequency";
inline constexpr char kAutoRefreshDomains[] = "Domains";
inline constexpr char kEnumerationSection[] = "Enumeration";
inline constexpr char kMaxFolderDepth[] = "MaxFolderDepth";
inline constexpr char kPingTimeoutMS[] = "PingTimeoutMS";
inline constexpr char kNetworkSection[] = "Network";
inline constexpr char kNetworkBackend[] = "Backend"; // "lab:FILE" or "smb"
} // namespace prefkeys

inline constexpr int kDefaultMaxFolderDepth = 3;
inline constexpr int kDefaultPingTimeoutMS = 1500;

class TDfxRegIniFile
{
public:
    virtual ~TDfxRegIniFile() = default;

    QString ReadString(const QString& section, const QString& ident, const QString& def) const;
    int ReadInteger(const QString& section, const QString& ident, int def) const;
    bool ReadBool(const QString& section, const QString& ident, bool def) const;
    void WriteString(const QString& section, const QString& ident, const QString& value);
    void WriteInteger(const QString& section, const QString& ident, int value);
    void WriteBool(const QString& section, const QString& ident, bool value);
    bool SectionExists(const QString& section) const;
    bool ValueExists(const QString& section, const QString& ident) const;
    QStringList ReadSection(const QString& section) const;
    void DeleteKey(const QString& section, const QString& ident);
    void EraseSection(const QString& section);
    // Writes pending changes; false when the store cannot be written (the reason is in
    // the last-error store).
    bool UpdateFile();
    QString FileName() const;

protected:
    TDfxRegIniFile(QSettings::Scope scope, const QString& registryPath, const QString& title);

private:
    std::unique_ptr<QSettings> m_settings;
};

class TUserPrefs : public TDfxRegIniFile
{
public:
    TUserPrefs(const QString& registryPath, const QString& title);
};

// Opened with write access; when the machine-wide store cannot be written its reads still
// return their defaults.
class TSystemPrefs : public TDfxRegIniFile
{
public:
    TSystemPrefs(const QString& registryPath, const QString& title);
};

struct Preferences
{
    std::shared_ptr<TUserPrefs> user;
    std::shared_ptr<TSystemPrefs> system;
};

// Creates both sections; raises Exception "You need to Assign the value of RegIni_Path in
// the project file" when the registry path is empty.
Preferences CreatePreferences(const QString& registryPath, const QString& title);

} // namespace velmora
