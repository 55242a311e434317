#pragma once
// What the commands of velmora-cli share: argument handling, result output, and the
// registry through which a command file adds its command without touching Cli.cpp.

#include "applib/DfxFormat.h"
#include "applib/Log.h"
#include "platform/Network.h"
#include "store/ProgramFolder.h"

#include <QList>
#include <QStringList>
#include <QTextStream>
#include <QVariant>
#include <exception>
#include <optional>

namespace velmora::cli {

// Bad usage: the message and the usage text are printed, exit code 2.
class UsageError : public std::exception
{
public:
    explicit UsageError(QString message) : m_message(std::move(message)) {}
    const QString& Message() const { return m_message; }

private:
    QString m_message;
};

class Cancelled : public std::exception
{
};

// Arguments after the global options: a command and its words, with option lookups.
class Args
{
public:
    explicit Args(QStringList words) : m_words(std::move(words)) {}

    bool Empty() const { return m_words.isEmpty(); }
    QString TakeWord(const char* what)
    {
        for (int i = 0; i < m_words.size(); ++i) {
            if (!m_words[i].startsWith(QLatin1String("--")))
                return m_words.takeAt(i);
            ++i; // skip the option's value
        }
        throw UsageError(Fmt("missing %s", QString::fromLatin1(what)));
    }
    QStringList TakeAll(const QString& option)
    {
        QStringList values;
        for (int i = 0; i < m_words.size();) {
            if (m_words[i] == option || m_words[i].startsWith(option + QLatin1Char('='))) {
                if (m_words[i].contains(QLatin1Char('=')) && m_words[i].startsWith(option + QLatin1Char('='))) {
                    values << m_words[i].mid(option.size() + 1);
                    m_words.removeAt(i);
                    continue;
                }
                if (i + 1 >= m_words.size())
                    throw UsageError(Fmt("option %s needs a value", option));
                values << m_words[i + 1];
                m_words.remove(i, 2);
                continue;
            }
            ++i;
        }
        return values;
    }
    std::optional<QString> TakeOption(const QString& option)
    {
        const QStringList values = TakeAll(option);
        if (values.size() > 1)
            throw UsageError(Fmt("option %s given more than once", option));
        if (values.isEmpty())
            return std::nullopt;
        return values.first();
    }
    // A switch without a value: true when given, and taken out. Take the options with
    // values first, so that a value spelled like the switch is not taken for it.
    bool TakeFlag(const QString& option) { return m_words.removeAll(option) > 0; }
    QStringList Rest()
    {
        for (const QString& w : m_words)
            if (w.startsWith(QLatin1String("--")))
                throw UsageError(Fmt("unknown option %s", w));
        QStringList rest = m_words;
        m_words.clear();
        return rest;
    }
    void Done()
    {
        if (!m_words.isEmpty())
            throw UsageError(Fmt("unexpected argument \"%s\"", m_words.first()));
    }

private:
    QStringList m_words;
};


// Quotes a CSV field when it holds a comma, a quote or a line break.
QString CsvField(const QString& text);

// A result set: column names and rows of values, written as a table, CSV (header row,
// booleans True/False, CRLF lines) or JSON (an array of objects).
struct ResultSet
{
    QStringList columns;
    QList<QVariantList> rows;

    static QString Text(const QVariant& v);
    void Write(QTextStream& out, const QString& format) const;
};

// Writes `result` to `out`, or to the file `output` (replaced as a whole once complete).
void WriteResult(const ResultSet& result, const QString& format, const std::optional<QString>& output,
                 QTextStream& out);
// "table" when not given; UsageError for anything but table, csv and json.
QString CheckFormat(const std::optional<QString>& format);

// The log is opened (and an older one emptied) only at its first line; a folder where it
// cannot be written must show before work starts, not in its middle.
bool CheckLogWritable(const QString& logPath, QString& error);
int CountLines(const QString& path);

// Stands in for the network when a command only reads or changes stored data.
std::unique_ptr<platform::Network> MakeNoNetwork();

// What a registered command gets: the global options and the output streams.
struct CommandContext
{
    store::ProgramFolder folder;
    std::optional<QString> networkSpec;
    bool quiet = false;
    TDfxLog& programLog;
    QTextStream& out;
    QTextStream& err;
};

// A command handler: `args` are the words after the command name. Returns the exit code;
// throws UsageError (exit 2), Cancelled (exit 3) or an Exception (exit 1, its message shown).
using CommandHandler = int (*)(CommandContext& context, Args& args);

// Declared at namespace scope in a command's own file:
//   static const CommandRegistration reg("credentials", "  credentials ...\n", &RunCredentials);
// `usage` is the command's lines of the usage text, each ending in a newline.
class CommandRegistration
{
public:
    CommandRegistration(const char* name, const char* usage, CommandHandler handler);
};

CommandHandler FindCommand(const QString& name);
// The usage lines of every registered command, in the order of their names.
QString RegisteredUsage();

} // namespace velmora::cli
