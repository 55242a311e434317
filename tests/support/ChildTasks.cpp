#include "support/ChildTasks.h"

#include <QCoreApplication>
#include <QHash>
#include <cstdio>

namespace velmora::test {

namespace {
QHash<QString, ChildTask>& Tasks()
{
    static QHash<QString, ChildTask> tasks;
    return tasks;
}
} // namespace

bool RegisterChildTask(const QString& name, ChildTask task)
{
    Tasks().insert(name, std::move(task));
    return true;
}

int RunChildTask(const QString& name, const QStringList& args)
{
    auto it = Tasks().constFind(name);
    if (it == Tasks().constEnd()) {
        std::fprintf(stderr, "unknown child task %s\n", qPrintable(name));
        return 127;
    }
    return (*it)(args);
}

QProcess* StartChild(const QString& name, const QStringList& args, QObject* parent)
{
    auto* process = new QProcess(parent);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(QCoreApplication::applicationFilePath(),
                   QStringList{QStringLiteral("--velmora-child"), name} + args);
    return process;
}

} // namespace velmora::test
