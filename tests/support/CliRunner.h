#pragma once
// velmora-cli run as a user runs it, for the tests that go through the executable.

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace velmora::test {

struct CliResult
{
    int code = -1;
    QString out;
    QString err;
};

// Runs the program named by $VELMORA_CLI with `arguments`, its preferences kept under
// `configHome` (so no test reads or writes the user's own), `input` on standard input
// (then closed). Waits for it to end.
CliResult RunCli(const QStringList& arguments, const QString& configHome, const QByteArray& input = {});

} // namespace velmora::test
