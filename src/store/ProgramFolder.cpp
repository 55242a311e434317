#include "store/ProgramFolder.h"

#include <QDir>
#include <QFileInfo>

namespace velmora::store {

QString ProgramFolder::Default(const QString& executablePath)
{
    const QString home = qEnvironmentVariable("VELMORA_HOME");
    if (!home.isEmpty())
        return QDir(home).absolutePath();
    return QFileInfo(executablePath).absolutePath();
}

QString ProgramFolder::File(const QString& relative) const
{
    return QDir::cleanPath(QDir(m_path).absoluteFilePath(relative));
}

} // namespace velmora::store
