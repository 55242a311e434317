#pragma once
// The program folder and the files the program keeps in it.

#include <QString>

namespace velmora::store {

class ProgramFolder
{
public:
    explicit ProgramFolder(QString path) : m_path(std::move(path)) {}

    // $VELMORA_HOME when set, else the folder of the executable.
    static QString Default(const QString& executablePath);

    const QString& Path() const { return m_path; }
    QString File(const QString& relative) const;
    QString ConnectionFile() const { return File(QStringLiteral("Data/Velmora.udl")); }
    QString DataFileFolder() const { return File(QStringLiteral("Data File")); }
    // The embedded database and the empty database shipped beside it.
    static QString DatabaseRelativePath() { return QStringLiteral("Data File/Velmora.db"); }
    QString Database() const { return File(DatabaseRelativePath()); }
    QString DatabaseTemplate() const { return File(QStringLiteral("Data File/Velmora-template.db")); }
    QString AltCredentialsFile() const { return File(QStringLiteral("AltCredentials.dat")); }
    QString SettingsFile() const { return File(QStringLiteral("Settings.ini")); }

private:
    QString m_path;
};

} // namespace velmora::store
