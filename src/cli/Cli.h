#pragma once
// The command-line program. Output and errors go to the streams it is given, so tests can
// read them. Exit codes: 0 success, 1 failure, 2 bad usage, 3 cancelled.

#include <QStringList>
#include <QTextStream>

namespace velmora::cli {

enum ExitCode { kExitOk = 0, kExitFailure = 1, kExitUsage = 2, kExitCancelled = 3 };

class Cli
{
public:
    Cli(QTextStream& out, QTextStream& err) : m_out(out), m_err(err) {}
    // arguments[0] is the program path.
    int Run(const QStringList& arguments);

private:
    QTextStream& m_out;
    QTextStream& m_err;
};

} // namespace velmora::cli
