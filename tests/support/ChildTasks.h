#pragma once
// Child tasks: code that a test runs in another process of the same test program
// (several writers of one log file, say). Register with VELMORA_CHILD_TASK in the test
// file; start with StartChild.

#include <QProcess>
#include <QString>
#include <QStringList>
#include <functional>

namespace velmora::test {

using ChildTask = std::function<int(const QStringList& args)>;
bool RegisterChildTask(const QString& name, ChildTask task);
int RunChildTask(const QString& name, const QStringList& args);
// Starts this test program as a child running the named task.
QProcess* StartChild(const QString& name, const QStringList& args, QObject* parent = nullptr);

} // namespace velmora::test

#define VELMORA_CHILD_TASK(name, fn) \
    static const bool velmora_child_##name = ::velmora::test::RegisterChildTask(QStringLiteral(#name), fn)
