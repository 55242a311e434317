// velmora-cli: the audit engine without windows, for scripts and scheduled audits.

#include "cli/Cli.h"

#include <QCoreApplication>
#include <QTextStream>
#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velmora-cli"));
    QTextStream out(stdout);
    QTextStream err(stderr);
    velmora::cli::Cli cli(out, err);
    const int rc = cli.Run(QCoreApplication::arguments());
    out.flush();
    err.flush();
    return rc;
}
