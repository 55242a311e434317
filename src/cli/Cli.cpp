#include "cli/Cli.h"

#include "applib/DfxFormat.h"
#include "applib/Exceptions.h"
#include "applib/LastError.h"
#include "applib/Log.h"
#include "applib/Prefs.h"
#include "cli/CliSupport.h"
#include "cli/LabCommand.h"
#include "cli/TerminalProgress.h"
#include "engine/DataDM.h"
#include "platform/Network.h"
#include "store/AuditDatabase.h"
#include "store/ConnectionDM.h"
#include "store/ProgramFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QScopeGuard>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace velmora::cli {

namespace {

const char kUsageHead[] =
    "usage: velmora-cli [--home DIR] [--network lab:FILE] [FORCELOG] COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  db init                      write the connection file for the embedded database and\n"
    "                               create the database from the shipped template\n"
    "  db init --provider postgresql --server HOST[:PORT] --database NAME --user USER\n"
    "          [--password-file FILE]\n"
    "                               create the audit tables in an existing, empty PostgreSQL\n"
    "                               database and write the connection file for it (the\n"
    "                               password: the file's first line, else asked for)\n"
    "  db template                  write the empty database template (done by the install)\n"
    "  refresh                      delete all scan data and scan the whole network\n"
    "  refresh --domain D=PROVIDER  delete and rescan the named domains (repeatable)\n"
    "  add-server --provider P --domain D NAME...\n"
    "                               add servers by hand (the domain controller first)\n"
    "  delete provider|domain NAME...\n"
    "  delete server [--domain D] NAME...\n"
    "                               delete scan data\n"
    "  clear                        delete all scan data\n"
    "  servers [--format table|csv|json] [--output FILE]\n"
    "                               list the Servers table\n"
    "  lab generate --seed N [--domains N] [--servers N] [--users N] [--groups N]\n"
    "               [--shares N] [--depth N] [--fanout N] [--entries N] [--output FILE]\n"
    "                               write a generated lab network\n"
    ;

const char kUsageTail[] =
    "\n"
    "The program folder is --home, else $VELMORA_HOME, else the executable's folder.\n"
    "The network is --network, else the preference Network/Backend.\n";

// The built-in commands, then those that command files register.
QString Usage()
{
    return QString::fromLatin1(kUsageHead) + RegisteredUsage() + QString::fromLatin1(kUsageTail);
}

// The first line of a password file, or what the user types (without echo) when no file is
// given; from a pipe, its first line. Never from the command line, where other users of
// the machine could read it.
QString ReadPassword(const std::optional<QString>& file, const QString& user)
{
    if (file) {
        QFile f(*file);
        if (!f.open(QIODevice::ReadOnly))
            throw Exception(Fmt("The password file \"%s\" cannot be read: %s", *file, f.errorString()));
        QByteArray line = f.readLine();
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        return QString::fromUtf8(line);
    }
    const bool terminal = isatty(STDIN_FILENO) == 1;
    termios saved{};
    if (terminal) {
        fprintf(stderr, "Password for %s: ", user.toLocal8Bit().constData());
        fflush(stderr);
        tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    std::getline(std::cin, line);
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        fprintf(stderr, "\n");
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return QString::fromStdString(line);
}

// --server, --database, --user and the password of "db init --provider postgresql".
data::ConnectionParams TakeServerParams(Args& args)
{
    data::ConnectionParams params;
    params.provider = QStringLiteral("PostgreSQL");
    const std::optional<QString> server = args.TakeOption(QStringLiteral("--server"));
    const std::optional<QString> database = args.TakeOption(QStringLiteral("--database"));
    const std::optional<QString> user = args.TakeOption(QStringLiteral("--user"));
    const std::optional<QString> passwordFile = args.TakeOption(QStringLiteral("--password-file"));
    if (args.TakeFlag(QStringLiteral("--password")))
        throw UsageError(QStringLiteral("the password is never taken from the command line: "
                                        "give --password-file FILE or type it when asked"));
    args.Done();
    if (!server || server->isEmpty() || !database || database->isEmpty() || !user || user->isEmpty())
        throw UsageError(QStringLiteral("db init --provider postgresql needs --server, --database and --user"));
    params.dataSource = *server;
    params.catalog = *database;
    params.userId = *user;
    params.password = ReadPassword(passwordFile, *user);
    return params;
}

QString ExecutableBaseName(const QString& path)
{
    return QFileInfo(path).completeBaseName().isEmpty() ? QStringLiteral("velmora-cli")
                                                        : QFileInfo(path).fileName();
}

} // namespace

int Cli::Run(const QStringList& arguments)
{
    QStringList words = arguments.mid(1);
    std::optional<QString> home;
    std::optional<QString> networkSpec;
    bool quiet = false;
    try {
        // Global options come before the command.
        while (!words.isEmpty()) {
            const QString w = words.first();
            if (w == QLatin1String("--home") || w == QLatin1String("--network")) {
                if (words.size() < 2)
                    throw UsageError(Fmt("option %s needs a value", w));
                (w == QLatin1String("--home") ? home : networkSpec) = words.at(1);
                words.remove(0, 2);
            } else if (w.startsWith(QLatin1String("--home="))) {
                home = w.mid(7);
                words.removeFirst();
            } else if (w.startsWith(QLatin1String("--network="))) {
                networkSpec = w.mid(10);
                words.removeFirst();
            } else if (w.compare(QLatin1String("-FORCELOG"), Qt::CaseInsensitive) == 0 ||
                       w.compare(QLatin1String("/FORCELOG"), Qt::CaseInsensitive) == 0) {
                words.removeFirst();
            } else if (w == QLatin1String("--quiet") || w == QLatin1String("-q")) {
                quiet = true;
                words.removeFirst();
            } else if (w == QLatin1String("--help") || w == QLatin1String("-h")) {
                m_out << Usage();
                return kExitOk;
            } else {
                break;
            }
        }
        if (words.isEmpty())
            throw UsageError(QStringLiteral("no command given"));
    } catch (const UsageError& e) {
        m_err << "velmora-cli: " << e.Message() << "\n\n" << Usage();
        return kExitUsage;
    }

    SetForceLogCommandLine(arguments);
    const store::ProgramFolder folder(home ? QDir(*home).absolutePath()
                                           : store::ProgramFolder::Default(arguments.value(0)));
    TDfxLog programLog;
    programLog.SetFileName(folder.File(ExecutableBaseName(arguments.value(0)) + QStringLiteral(".Log")));
    SetProgramLog(&programLog);
    auto uninstallLog = qScopeGuard([] { SetProgramLog(nullptr); });

    const QString command = words.takeFirst();
    // Lab tools work on files only: no program folder, log or database.
    if (command == QLatin1String("lab"))
        return RunLabCommand(words, m_out, m_err);
    Args args(words);
    try {
        if (const CommandHandler handler = FindCommand(command)) {
            QString error;
            if (!CheckLogWritable(programLog.FileName(), error))
                throw Exception(error);
            CommandContext context{folder, networkSpec, quiet, programLog, m_out, m_err};
            return handler(context, args);
        }
        if (command == QLatin1String("db")) {
            const QString sub = args.TakeWord("db command (init or template)");
            QString error;
            if (sub == QLatin1String("init")) {
                const std::optional<QString> provider = args.TakeOption(QStringLiteral("--provider"));
                QString report;
                if (provider && provider->compare(QLatin1String("sqlite"), Qt::CaseInsensitive) != 0) {
                    if (provider->compare(QLatin1String("postgresql"), Qt::CaseInsensitive) != 0)
                        throw UsageError(Fmt("unknown provider \"%s\" (sqlite or postgresql)", *provider));
                    data::ConnectionParams params = TakeServerParams(args);
                    if (!store::InitServerDatabase(folder, params, report, error))
                        throw Exception(error);
                } else {
                    args.Done();
                    if (!store::InitEmbeddedDatabase(folder, report, error))
                        throw Exception(error);
                }
                m_out << report << '\n';
                return kExitOk;
            }
            args.Done();
            if (sub == QLatin1String("template")) {
                const QString path = folder.DatabaseTemplate();
                QFile::remove(path);
                if (!store::CreateDatabaseFile(path, error))
                    throw Exception(error);
                m_out << Fmt("wrote the database template \"%s\"", path) << '\n';
                return kExitOk;
            }
            throw UsageError(Fmt("unknown db command \"%s\"", sub));
        }

        static const QStringList kDataCommands = {
            QStringLiteral("refresh"), QStringLiteral("add-server"), QStringLiteral("delete"),
            QStringLiteral("clear"), QStringLiteral("servers")};
        if (!kDataCommands.contains(command))
            throw UsageError(Fmt("unknown command \"%s\"", command));

        // Arguments first, so that a usage error touches nothing.
        QStringList domainEntries;
        std::optional<QString> provider, domain, format, output;
        QStringList names;
        QString deleteKind;
        if (command == QLatin1String("refresh")) {
            domainEntries = args.TakeAll(QStringLiteral("--domain"));
            for (const QString& entry : domainEntries)
                if (!entry.contains(QLatin1Char('=')) || entry.startsWith(QLatin1Char('=')) ||
                    entry.endsWith(QLatin1Char('=')))
                    throw UsageError(Fmt("--domain needs DOMAIN=PROVIDER, not \"%s\"", entry));
            args.Done();
        } else if (command == QLatin1String("add-server")) {
            provider = args.TakeOption(QStringLiteral("--provider"));
            domain = args.TakeOption(QStringLiteral("--domain"));
            names = args.Rest();
            if (!provider || !domain || names.isEmpty())
                throw UsageError(QStringLiteral("add-server needs --provider, --domain and at least one server name"));
        } else if (command == QLatin1String("delete")) {
            deleteKind = args.TakeWord("what to delete (provider, domain or server)");
            if (deleteKind == QLatin1String("server"))
                domain = args.TakeOption(QStringLiteral("--domain"));
            names = args.Rest();
            if (deleteKind != QLatin1String("provider") && deleteKind != QLatin1String("domain") &&
                deleteKind != QLatin1String("server"))
                throw UsageError(Fmt("cannot delete \"%s\" (provider, domain or server)", deleteKind));
            if (names.isEmpty())
                throw UsageError(Fmt("delete %s needs at least one name", deleteKind));
        } else if (command == QLatin1String("servers")) {
            format = args.TakeOption(QStringLiteral("--format"));
            output = args.TakeOption(QStringLiteral("--output"));
            CheckFormat(format);
            args.Done();
        } else {
            args.Done();
        }

        QString error;
        if (!CheckLogWritable(programLog.FileName(), error))
            throw Exception(error);

        const bool needsNetwork = command == QLatin1String("refresh") || command == QLatin1String("add-server");
        const Preferences prefs = CreatePreferences(QString::fromLatin1(prefkeys::kRegistryPath),
                                                    QString::fromLatin1(prefkeys::kApplicationTitle));
        std::unique_ptr<platform::Network> network;
        if (needsNetwork) {
            const QString spec = networkSpec.value_or(prefs.user->ReadString(
                QString::fromLatin1(prefkeys::kNetworkSection),
                QString::fromLatin1(prefkeys::kNetworkBackend), QString()));
            if (spec.isEmpty())
                throw Exception(QStringLiteral("No network to scan: give --network lab:FILE (or set "
                                               "the preference Network/Backend)"));
            network = platform::CreateNetwork(spec, error);
            if (!network)
                throw Exception(error);
        } else {
            network = MakeNoNetwork();
        }

        TerminalProgress progress(m_err, quiet);
        store::TConnectionDM connection(folder);
        engine::TDataDM dataDM(connection, *network, progress);
        dataDM.MaxFolderDepth = prefs.user->ReadInteger(QString::fromLatin1(prefkeys::kEnumerationSection),
                                                        QString::fromLatin1(prefkeys::kMaxFolderDepth),
                                                        kDefaultMaxFolderDepth);
        dataDM.PingTimeoutMS = prefs.user->ReadInteger(QString::fromLatin1(prefkeys::kEnumerationSection),
                                                       QString::fromLatin1(prefkeys::kPingTimeoutMS),
                                                       kDefaultPingTimeoutMS);
        {
            // The start-up connect of the program: on its worker thread, the connection
            // handed back to this thread afterwards.
            store::TSQLConnectionThread connect(connection);
            connect.start();
            connect.wait();
            if (store::ConnectFailed)
                throw Exception(connect.ErrorText());
        }

        auto closeWait = qScopeGuard([&] { progress.CloseWait(); });
        engine::WaitOptions wait;
        wait.caption = QStringLiteral("Please be patient...");

        if (command == QLatin1String("servers")) {
            data::Statement query(connection.Connection());
            // Aliases keep the column names' letter case on every backend.
            query.SetSQL(QStringLiteral("SELECT ProviderName AS [ProviderName], DomainName AS "
                                        "[DomainName], Server AS [Server], isDC AS [isDC], "
                                        "isOnline AS [isOnline] FROM Servers "
                                        "ORDER BY ProviderName, DomainName, Server"));
            ResultSet result;
            query.Open();
            result.columns = query.FieldNames();
            for (; !query.Eof(); query.Next()) {
                result.rows.append({query.FieldAt(0), query.FieldAt(1), query.FieldAt(2),
                                    query.FieldAt(3).toBool(), query.FieldAt(4).toBool()});
            }
            query.Close();
            WriteResult(result, CheckFormat(format), output, m_out);
            return kExitOk;
        }

        // The first line of a run empties an older log, so an opened log holds this run's lines.
        auto reportLog = [&] {
            if (!programLog.Opened())
                return;
            const int lines = CountLines(programLog.FileName());
            m_out << Fmt("%d problem(s) logged to \"%s\"", lines, programLog.FileName()) << '\n';
        };

        if (command == QLatin1String("refresh")) {
            if (domainEntries.isEmpty()) {
                progress.ShowWait(wait);
                dataDM.RefreshAll();
                if (progress.WaitCancelled())
                    throw Cancelled();
            } else {
                wait.cancelAllowed = true;
                progress.ShowWait(wait);
                progress.SetWaitCaption(QStringLiteral("Auto-Refresh in progress, please be patient..."));
                if (!dataDM.RefreshDomains(domainEntries))
                    throw Cancelled();
            }
        } else if (command == QLatin1String("add-server")) {
            wait.cancelAllowed = false;
            progress.ShowWait(wait);
            int refused = 0;
            for (const QString& name : names) {
                const QString server = name.trimmed();
                if (server.isEmpty())
                    continue;
                if (dataDM.tbServers().Locate(QStringList{QStringLiteral("ProviderName"), QStringLiteral("DomainName"),
                                                          QStringLiteral("Server")},
                                              QVariantList{*provider, *domain, server})) {
                    m_err << Fmt("Duplicate Server Name: \"%s\" is already listed", server) << '\n';
                    ++refused;
                    continue;
                }
                try {
                    progress.SetWaitHeading(Fmt("Building Server: \"%s\" data...", server));
                    dataDM.AddServerManually(*provider, *domain, server);
                    m_out << Fmt("added \"%s\"", server) << '\n';
                } catch (const EInvalidServerErr& e) {
                    LogError(e.Message());
                    m_err << e.Message() << '\n';
                    ++refused;
                }
            }
            if (refused > 0) {
                reportLog();
                return kExitFailure;
            }
        } else if (command == QLatin1String("delete")) {
            int missing = 0;
            for (const QString& name : names) {
                if (deleteKind == QLatin1String("provider"))
                    dataDM.DeleteProvider(name, true);
                else if (deleteKind == QLatin1String("domain"))
                    dataDM.DeleteDomain(name, true);
                else {
                    bool found = false;
                    data::Statement rows(connection.Connection());
                    rows.SetSQL(QStringLiteral("SELECT ProviderName, DomainName FROM Servers WHERE Server = :Server"));
                    rows.SetParam(QStringLiteral("Server"), name);
                    QList<QPair<QString, QString>> matches;
                    for (rows.Open(); !rows.Eof(); rows.Next())
                        if (!domain || rows.FieldAt(1).toString().compare(*domain, Qt::CaseInsensitive) == 0)
                            matches.append({rows.FieldAt(0).toString(), rows.FieldAt(1).toString()});
                    rows.Close();
                    for (const auto& m : matches)
                        found = dataDM.DeleteServer(m.first, m.second, name) || found;
                    if (!found) {
                        m_err << Fmt("Server \"%s\" is not in the audit database", name) << '\n';
                        ++missing;
                    }
                }
            }
            if (missing > 0)
                return kExitFailure;
        } else if (command == QLatin1String("clear")) {
            progress.ShowWait(wait);
            progress.SetWaitHeading(QStringLiteral("Deleting existing data..."));
            dataDM.DeleteAllData();
        }

        // A summary of what the audit database now holds.
        data::Statement summary(connection.Connection());
        summary.SetSQL(QStringLiteral("SELECT COUNT(*) AS Servers, COALESCE(SUM(isOnline), 0) AS Online, "
                                      "COUNT(DISTINCT DomainName) AS Domains FROM Servers"));
        summary.Open();
        m_out << Fmt("%d server(s), %d online, in %d domain(s)", summary.FieldAt(0).toInt(),
                     summary.FieldAt(1).toInt(), summary.FieldAt(2).toInt())
              << '\n';
        summary.Close();
        reportLog();
        return kExitOk;
    } catch (const UsageError& e) {
        m_err << "velmora-cli: " << e.Message() << "\n\n" << Usage();
        return kExitUsage;
    } catch (const Cancelled&) {
        m_err << "Cancelled.\n";
        return kExitCancelled;
    } catch (const Exception& e) {
        // Messages break lines with a lone CR, which a terminal would overwrite.
        QString message = e.Message();
        message.replace(QLatin1String("\r\n"), QLatin1String("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
        m_err << "velmora-cli: " << message << '\n';
        return kExitFailure;
    } catch (const std::exception& e) {
        m_err << "velmora-cli: " << QString::fromLocal8Bit(e.what()) << '\n';
        return kExitFailure;
    }
}

} // namespace velmora::cli
