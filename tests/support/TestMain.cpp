// GoogleTest main with a QCoreApplication, so Qt's event loop, settings and SQL drivers
// work in every test program. A test program can be started as a child process with
// "--velmora-child NAME ARGS..." to run a registered child task (multi-process tests).

#include "support/ChildTasks.h"

#include <QCoreApplication>
#include <QStandardPaths>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc >= 3 && QByteArray(argv[1]) == "--velmora-child")
        return velmora::test::RunChildTask(QString::fromLocal8Bit(argv[2]),
                                           QCoreApplication::arguments().mid(3));
    // Preferences and other per-user files of the tests go to a private folder.
    QStandardPaths::setTestModeEnabled(true);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
