#include "cli/LabCommand.h"

#include "platform/lab/LabGenerator.h"

#include <QBuffer>
#include <QSaveFile>
#include <QTextStream>

namespace velmora::cli {

namespace {

constexpr char kUsage[] =
    "usage: lab generate --seed N [--domains N] [--servers N] [--users N] [--groups N]\n"
    "                    [--shares N] [--depth N] [--fanout N] [--entries N] [--output FILE]";

int Usage(QTextStream& err, const QString& reason)
{
    err << reason << '\n' << kUsage << '\n';
    err.flush();
    return 2;
}

bool ToNumber(const QString& text, uint64_t& value)
{
    bool ok = false;
    value = text.toULongLong(&ok, 10);
    return ok;
}

int Generate(const QStringList& args, QTextStream& out, QTextStream& err)
{
    platform::lab::LabGeneratorOptions options;
    QString output;
    bool seedGiven = false;
    struct Size
    {
        const char* option;
        int* value;
    };
    const Size sizes[] = {
        {"--domains", &options.domains}, {"--servers", &options.servers},
        {"--users", &options.users},     {"--groups", &options.groups},
        {"--shares", &options.shares},   {"--depth", &options.depth},
        {"--fanout", &options.fanout},   {"--entries", &options.entries},
    };
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& option = args[i];
        if (i + 1 >= args.size())
            return Usage(err, QStringLiteral("%1 needs a value").arg(option));
        const QString value = args[++i];
        if (option == QStringLiteral("--output")) {
            output = value;
            continue;
        }
        uint64_t number = 0;
        if (option == QStringLiteral("--seed")) {
            if (!ToNumber(value, number))
                return Usage(err,
                             QStringLiteral("--seed needs a whole number, not \"%1\"").arg(value));
            options.seed = number;
            seedGiven = true;
            continue;
        }
        const Size* size = nullptr;
        for (const Size& candidate : sizes) {
            if (option == QLatin1String(candidate.option))
                size = &candidate;
        }
        if (size == nullptr)
            return Usage(err, QStringLiteral("unknown option \"%1\"").arg(option));
        if (!ToNumber(value, number) || number > 1000000000u)
            return Usage(err,
                         QStringLiteral("%1 needs a whole number, not \"%2\"").arg(option, value));
        *size->value = int(number);
    }
    if (!seedGiven)
        return Usage(err, QStringLiteral("lab generate needs --seed"));
    QString error;
    if (!platform::lab::CheckLabGeneratorOptions(options, error))
        return Usage(err, error);

    if (!output.isEmpty()) {
        QSaveFile file(output);
        if (!file.open(QIODevice::WriteOnly)) {
            err << "cannot write \"" << output << "\": " << file.errorString() << '\n';
            return 1;
        }
        if (!platform::lab::GenerateLab(options, file, error) || !file.commit()) {
            err << "cannot write \"" << output
                << "\": " << (error.isEmpty() ? file.errorString() : error) << '\n';
            return 1;
        }
        return 0;
    }
    out.flush();
    if (QIODevice* device = out.device()) {
        if (!platform::lab::GenerateLab(options, *device, error)) {
            err << error << '\n';
            return 1;
        }
        return 0;
    }
    // A stream over a string: generate into memory and hand the text over.
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    if (!platform::lab::GenerateLab(options, buffer, error)) {
        err << error << '\n';
        return 1;
    }
    out << QString::fromUtf8(buffer.data());
    out.flush();
    return 0;
}

} // namespace

int RunLabCommand(const QStringList& args, QTextStream& out, QTextStream& err)
{
    if (args.isEmpty())
        return Usage(err, QStringLiteral("lab needs a command"));
    if (args.front() == QStringLiteral("generate"))
        return Generate(args.mid(1), out, err);
    return Usage(err, QStringLiteral("unknown lab command \"%1\"").arg(args.front()));
}

} // namespace velmora::cli
