#include "support/LoggedTest.h"

#include "applib/LastError.h"

#include <QFile>

namespace velmora::test {

void LoggedTest::SetUp()
{
    ASSERT_TRUE(dir.isValid());
    log.SetFileName(dir.path() + QStringLiteral("/test.Log"));
    SetProgramLog(&log);
    ClearLastErrorForTesting();
}

void LoggedTest::TearDown()
{
    SetProgramLog(nullptr);
    log.Close();
    QFile::remove(TDfxLog::LockFilePath(log.FileName()));
}

QStringList LoggedTest::LogLines() const
{
    QFile file(log.FileName());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QStringLiteral("\r\n"));
    lines.removeAll(QString());
    return lines;
}

void LoggedTest::ClearLog()
{
    log.Close();
    QFile::remove(log.FileName());
}

std::unique_ptr<platform::lab::LabNetwork> LoggedTest::OpenLab(const char* fileName)
{
    QString error;
    auto lab = platform::lab::LabNetwork::Open(
        QStringLiteral(VELMORA_TEST_DATA_DIR "/") + QString::fromLatin1(fileName), error);
    if (!lab)
        ADD_FAILURE() << error.toStdString();
    return lab;
}

} // namespace velmora::test
