#include "CliRunner.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <gtest/gtest.h>

namespace velmora::test {

CliResult RunCli(const QStringList& arguments, const QString& configHome, const QByteArray& input)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome);
    p.setProcessEnvironment(env);
    p.start(qEnvironmentVariable("VELMORA_CLI"), arguments);
    p.write(input);
    p.closeWriteChannel();
    EXPECT_TRUE(p.waitForFinished(120000));
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
}

} // namespace velmora::test
