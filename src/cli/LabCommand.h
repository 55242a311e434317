#pragma once
// velmora-cli lab ...: tools for lab network files.
//
//   lab generate --seed N [--domains N] [--servers N] [--users N] [--groups N] [--shares N]
//                [--depth N] [--fanout N] [--entries N] [--output FILE]
//
// writes a generated lab network (platform/lab/LabGenerator.h) to FILE, replaced as a whole
// only once it is complete, or to standard output. The same options give the same bytes.

#include <QStringList>

class QTextStream;

namespace velmora::cli {

// `args` are the words after "lab". Returns the exit code: 0 success, 1 failure (one message
// on `err`), 2 bad usage (the reason and the usage on `err`).
int RunLabCommand(const QStringList& args, QTextStream& out, QTextStream& err);

} // namespace velmora::cli
