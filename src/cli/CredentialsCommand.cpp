// velmora-cli credentials: the alternate credentials, the managed domains and the links
// between them. Every change goes through the engine's datasets, so the table rules apply
// (stamps, upper-cased domain names, scrambled passwords, the delete guards).

#include "applib/CryptDfx.h"
#include "applib/DfxFormat.h"
#include "applib/Exceptions.h"
#include "cli/CliSupport.h"
#include "cli/TerminalProgress.h"
#include "engine/Credentials.h"
#include "engine/DataDM.h"
#include "netsec/NetworkDfx.h"
#include "store/ConnectionDM.h"

#include <QFile>
#include <QScopeGuard>
#include <QStringDecoder>
#include <algorithm>
#include <csignal>
#include <termios.h>
#include <unistd.h>

namespace velmora::cli {

namespace {

int RunCredentials(CommandContext& context, Args& args);

const CommandRegistration registration(
    "credentials",
    "  credentials list [--format table|csv|json] [--output FILE]\n"
    "                               list the alternate credentials (never a password)\n"
    "  credentials add --description TEXT --user NAME\n"
    "                  [--password-file FILE | --associated-password | --blank-password]\n"
    "                               add an active credential; without a password option the\n"
    "                               password is asked for on the terminal (not shown), or\n"
    "                               read as the first line of standard input\n"
    "  credentials activate|deactivate ID...\n"
    "  credentials delete ID...     delete credentials no managed domain links to\n"
    "  credentials domains [--format table|csv|json] [--output FILE]\n"
    "                               list the managed domains\n"
    "  credentials domain-add NAME...\n"
    "  credentials domain-delete NAME...\n"
    "                               add or delete managed domains (names upper-cased;\n"
    "                               a domain with linked credentials is not deleted)\n"
    "  credentials link DOMAIN ID [--priority N]\n"
    "                               link a credential to a managed domain; the lowest\n"
    "                               priority is tried first (default: after the last)\n"
    "  credentials priority DOMAIN ID N\n"
    "                               change the priority of a link\n"
    "  credentials unlink DOMAIN ID...\n"
    "  credentials show DOMAIN [--format table|csv|json] [--output FILE]\n"
    "                               a domain's credentials in the order they are tried\n",
    &RunCredentials);

const QString kID = QStringLiteral("ID");
const QString kDescription = QStringLiteral("Description");
const QString kIsActive = QStringLiteral("isActive");
const QString kUserName = QStringLiteral("UserName");
const QString kUserPassword = QStringLiteral("UserPassword");
const QString kDomainName = QStringLiteral("DomainName");

// The audit database opened as the other commands open it; no network is needed.
struct Session
{
    explicit Session(CommandContext& context)
        : network(MakeNoNetwork()), progress(context.err, true), connection(context.folder),
          dm(connection, *network, progress)
    {
        connection.Connect();
    }
    std::unique_ptr<platform::Network> network;
    TerminalProgress progress;
    store::TConnectionDM connection;
    engine::TDataDM dm;
};

int ToNumber(const QString& text, const char* what)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok || value < 0)
        throw UsageError(Fmt("%s must be a whole number, not \"%s\"", what, text));
    return value;
}

QList<int> CredentialIds(Args& args)
{
    QList<int> ids;
    for (const QString& word : args.Rest())
        ids << ToNumber(word, "a credential ID");
    if (ids.isEmpty())
        throw UsageError(QStringLiteral("give at least one credential ID"));
    return ids;
}

// The marker switches of `add`; `add` takes no words of its own, so anything left after
// them is an error that names the word (or the unknown option).
QStringList TakeFlags(Args& args, const QStringList& flags)
{
    QStringList found;
    for (const QString& flag : flags)
        if (args.TakeFlag(flag))
            found << flag;
    const QStringList rest = args.Rest();
    if (!rest.isEmpty())
        throw UsageError(Fmt("unexpected argument \"%s\"", rest.first()));
    return found;
}

// Restores the terminal when a signal ends the program while echo is off.
termios g_savedTerminal;
void RestoreTerminalAndDie(int signal)
{
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_savedTerminal);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// One line of standard input without its line end; false at the end of input.
bool ReadLine(QByteArray& line)
{
    line.clear();
    bool any = false;
    char c = 0;
    while (::read(STDIN_FILENO, &c, 1) == 1) {
        any = true;
        if (c == '\n')
            break;
        line.append(c);
    }
    if (line.endsWith('\r'))
        line.chop(1);
    return any;
}

QString DecodePassword(const QByteArray& bytes, const QString& source)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder(bytes);
    if (decoder.hasError())
        throw Exception(Fmt("The password from %s is not UTF-8 text", source));
    return text;
}

QString PromptHidden(QTextStream& err, const char* prompt)
{
    err << prompt;
    err.flush();
    termios quiet{};
    const bool echoOff = tcgetattr(STDIN_FILENO, &g_savedTerminal) == 0;
    struct sigaction previousInt{}, previousTerm{}, restore{};
    if (echoOff) {
        restore.sa_handler = &RestoreTerminalAndDie;
        sigemptyset(&restore.sa_mask);
        sigaction(SIGINT, &restore, &previousInt);
        sigaction(SIGTERM, &restore, &previousTerm);
        quiet = g_savedTerminal;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    auto back = qScopeGuard([&] {
        if (echoOff) {
            tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_savedTerminal);
            sigaction(SIGINT, &previousInt, nullptr);
            sigaction(SIGTERM, &previousTerm, nullptr);
        }
        err << '\n';
        err.flush();
    });
    QByteArray line;
    if (!ReadLine(line))
        throw Cancelled();
    return DecodePassword(line, QStringLiteral("the terminal"));
}

// The password that `add` was told to use: a marker, stored as it is, or a typed password,
// which the field's set-text step scrambles. Never from the command line.
struct NewPassword
{
    bool marker = false;
    QString text;
};

NewPassword ReadNewPassword(CommandContext& context, const std::optional<QString>& passwordFile,
                            const QStringList& markers)
{
    if (markers.size() + (passwordFile ? 1 : 0) > 1)
        throw UsageError(QStringLiteral("give only one of --password-file, --associated-password "
                                        "and --blank-password"));
    if (markers.contains(QStringLiteral("--associated-password")))
        return {true, QString(netsec::kAssociatedPasswordMarker)};
    if (markers.contains(QStringLiteral("--blank-password")))
        return {true, QString(netsec::kBlankPasswordMarker)};

    QString typed;
    if (passwordFile) {
        QFile file(*passwordFile);
        if (!file.open(QIODevice::ReadOnly))
            throw Exception(Fmt("Cannot read the password file \"%s\": %s", *passwordFile, file.errorString()));
        QByteArray line = file.readLine();
        if (line.endsWith('\n'))
            line.chop(1);
        if (line.endsWith('\r'))
            line.chop(1);
        typed = DecodePassword(line, Fmt("\"%s\"", *passwordFile));
    } else if (isatty(STDIN_FILENO)) {
        typed = PromptHidden(context.err, "Password: ");
        if (PromptHidden(context.err, "Password again: ") != typed)
            throw Exception(QStringLiteral("The two passwords differ; nothing was added"));
    } else {
        QByteArray line;
        if (!ReadLine(line))
            throw Exception(QStringLiteral("No password: standard input is empty (give --password-file, "
                                           "--associated-password or --blank-password)"));
        typed = DecodePassword(line, QStringLiteral("standard input"));
    }
    if (typed.toUtf8().size() > kMaxPasswordBytes)
        context.err << Fmt("velmora-cli: the password is longer than %d bytes and is stored cut to them",
                           kMaxPasswordBytes)
                    << '\n';
    return {false, typed};
}

data::TableDataset& LocateCredential(engine::TDataDM& dm, int id)
{
    data::TableDataset& t = dm.tbAlternateCredentials();
    if (!t.Locate(kID, id))
        throw Exception(Fmt("There is no alternate credential with ID %d", id));
    return t;
}

data::TableDataset& LocateDomain(engine::TDataDM& dm, const QString& name)
{
    data::TableDataset& t = dm.tbMngdDomains();
    if (name.trimmed().isEmpty() ||
        !t.Locate(kDomainName, engine::ManagedDomainName(name.trimmed()), data::LocateOptions{true, false}))
        throw Exception(Fmt("\"%s\" is not a managed domain", name));
    return t;
}

// The link's priority, or nothing when the credential is not linked to the domain.
std::optional<int> LinkPriority(engine::TDataDM& dm, int domainId, int credentialId)
{
    for (const engine::LinkedCredential& c : engine::DomainCredentials(dm, domainId))
        if (c.id == credentialId)
            return c.priority;
    return std::nullopt;
}

// Two links of one domain with the same priority would be tried in no defined order.
void CheckPriorityFree(engine::TDataDM& dm, int domainId, const QString& domain, int credentialId, int priority)
{
    for (const engine::LinkedCredential& c : engine::DomainCredentials(dm, domainId))
        if (c.priority == priority && c.id != credentialId)
            throw Exception(Fmt("Priority %d of managed domain \"%s\" is taken by credential %d (\"%s\")",
                                priority, domain, c.id, c.description));
}

int List(Session& s, CommandContext& context, const QString& format, const std::optional<QString>& output)
{
    ResultSet result;
    result.columns = QStringList{QStringLiteral("ID"), QStringLiteral("Description"), QStringLiteral("Active"),
                                 QStringLiteral("UserName"), QStringLiteral("Password")};
    data::TableDataset& t = s.dm.tbAlternateCredentials();
    for (t.First(); !t.Eof(); t.Next())
        result.rows.append({t.FieldByName(kID).AsInteger(), t.FieldByName(kDescription).AsString(),
                            t.FieldByName(kIsActive).AsBoolean(), t.FieldByName(kUserName).AsString(),
                            t.FieldByName(kUserPassword).DisplayText()});
    WriteResult(result, format, output, context.out);
    return 0;
}

int RunCredentials(CommandContext& context, Args& args)
{
    const QString sub = args.TakeWord("credentials command");
    // Arguments first, so that a usage error touches nothing.
    std::optional<QString> format, output, description, user, passwordFile, priority;
    QStringList markers, words;
    const bool listing = sub == QLatin1String("list") || sub == QLatin1String("domains") ||
                         sub == QLatin1String("show");
    if (listing) {
        format = args.TakeOption(QStringLiteral("--format"));
        output = args.TakeOption(QStringLiteral("--output"));
        CheckFormat(format);
    }
    if (sub == QLatin1String("add")) {
        description = args.TakeOption(QStringLiteral("--description"));
        user = args.TakeOption(QStringLiteral("--user"));
        passwordFile = args.TakeOption(QStringLiteral("--password-file"));
        markers = TakeFlags(args, {QStringLiteral("--associated-password"), QStringLiteral("--blank-password")});
        if (!description || description->trimmed().isEmpty() || !user || user->trimmed().isEmpty())
            throw UsageError(QStringLiteral("credentials add needs --description and --user"));
    } else if (sub == QLatin1String("link")) {
        priority = args.TakeOption(QStringLiteral("--priority"));
        words = args.Rest();
        if (words.size() != 2)
            throw UsageError(QStringLiteral("credentials link needs a managed domain and a credential ID"));
    } else if (sub == QLatin1String("priority")) {
        words = args.Rest();
        if (words.size() != 3)
            throw UsageError(QStringLiteral("credentials priority needs a managed domain, a credential ID and "
                                            "the priority"));
    } else if (sub == QLatin1String("show")) {
        words = args.Rest();
        if (words.size() != 1)
            throw UsageError(QStringLiteral("credentials show needs one managed domain"));
    } else if (sub == QLatin1String("unlink")) {
        words = args.Rest();
        if (words.size() < 2)
            throw UsageError(QStringLiteral("credentials unlink needs a managed domain and credential IDs"));
    } else if (sub == QLatin1String("domain-add") || sub == QLatin1String("domain-delete")) {
        words = args.Rest();
        if (words.isEmpty())
            throw UsageError(Fmt("credentials %s needs at least one domain name", sub));
        for (const QString& w : words)
            if (w.trimmed().isEmpty())
                throw UsageError(QStringLiteral("a managed domain needs a name"));
    } else if (sub == QLatin1String("activate") || sub == QLatin1String("deactivate") ||
               sub == QLatin1String("delete")) {
        // IDs are read below, after the same check.
    } else if (listing) {
        args.Done();
    } else {
        throw UsageError(Fmt("unknown credentials command \"%s\"", sub));
    }
    QList<int> ids;
    if (sub == QLatin1String("activate") || sub == QLatin1String("deactivate") || sub == QLatin1String("delete"))
        ids = CredentialIds(args);
    else if (sub == QLatin1String("link") || sub == QLatin1String("priority"))
        ids << ToNumber(words[1], "a credential ID");
    else if (sub == QLatin1String("unlink"))
        for (const QString& w : words.mid(1))
            ids << ToNumber(w, "a credential ID");
    std::optional<int> priorityValue;
    if (priority)
        priorityValue = ToNumber(*priority, "a priority");
    if (sub == QLatin1String("priority"))
        priorityValue = ToNumber(words[2], "a priority");

    // The password is asked for before the database is opened: nothing waits on a prompt.
    const NewPassword password =
        sub == QLatin1String("add") ? ReadNewPassword(context, passwordFile, markers) : NewPassword{};

    Session s(context);
    engine::TDataDM& dm = s.dm;
    QTextStream& out = context.out;

    if (sub == QLatin1String("list"))
        return List(s, context, CheckFormat(format), output);

    if (sub == QLatin1String("add")) {
        data::TableDataset& t = dm.tbAlternateCredentials();
        t.Append();
        t.FieldByName(kDescription).SetAsString(description->trimmed());
        t.FieldByName(kUserName).SetAsString(user->trimmed());
        // A marker is stored as it is; a typed password goes through the set-text step.
        if (password.marker)
            t.FieldByName(kUserPassword).SetAsString(password.text);
        else
            t.FieldByName(kUserPassword).SetText(password.text);
        t.Post();
        out << Fmt("added credential %d \"%s\" (password: %s)", t.FieldByName(kID).AsInteger(),
                   t.FieldByName(kDescription).AsString(), t.FieldByName(kUserPassword).DisplayText())
            << '\n';
        return 0;
    }

    if (sub == QLatin1String("activate") || sub == QLatin1String("deactivate")) {
        const bool active = sub == QLatin1String("activate");
        for (int id : std::as_const(ids)) {
            data::TableDataset& t = LocateCredential(dm, id);
            t.Edit();
            t.FieldByName(kIsActive).SetAsBoolean(active);
            t.Post();
            out << Fmt("credential %d \"%s\" is %s", id, t.FieldByName(kDescription).AsString(),
                       active ? "active" : "inactive")
                << '\n';
        }
        return 0;
    }

    if (sub == QLatin1String("delete")) {
        for (int id : std::as_const(ids)) {
            data::TableDataset& t = LocateCredential(dm, id);
            const QString name = t.FieldByName(kDescription).AsString();
            t.Delete(); // the link guard raises while a managed domain links to it
            out << Fmt("deleted credential %d \"%s\"", id, name) << '\n';
        }
        return 0;
    }

    if (sub == QLatin1String("domains")) {
        ResultSet result;
        result.columns = QStringList{QStringLiteral("ID"), QStringLiteral("DomainName"),
                                     QStringLiteral("Credentials")};
        for (const engine::ManagedDomainEntry& d : engine::ListManagedDomains(dm))
            result.rows.append({d.id, d.domainName, int(engine::DomainCredentials(dm, d.id).size())});
        WriteResult(result, CheckFormat(format), output, out);
        return 0;
    }

    if (sub == QLatin1String("domain-add")) {
        data::TableDataset& t = dm.tbMngdDomains();
        // All names are checked before the first is added.
        QStringList names;
        for (const QString& word : std::as_const(words)) {
            const QString name = engine::ManagedDomainName(word.trimmed());
            if (names.contains(name) || t.Locate(kDomainName, name, data::LocateOptions{true, false}))
                throw Exception(Fmt("\"%s\" is already a managed domain", name));
            names << name;
        }
        for (const QString& word : std::as_const(words)) {
            t.Append();
            t.FieldByName(kDomainName).SetText(word.trimmed());
            t.Post();
            out << Fmt("added managed domain %d \"%s\"", t.FieldByName(kID).AsInteger(),
                       t.FieldByName(kDomainName).AsString())
                << '\n';
        }
        return 0;
    }

    if (sub == QLatin1String("domain-delete")) {
        for (const QString& word : std::as_const(words)) {
            data::TableDataset& t = LocateDomain(dm, word);
            const QString name = t.FieldByName(kDomainName).AsString();
            t.Delete(); // the link guard raises while credentials are linked
            out << Fmt("deleted managed domain \"%s\"", name) << '\n';
        }
        return 0;
    }

    // The rest work on one managed domain.
    data::TableDataset& domainRow = LocateDomain(dm, words[0]);
    const int domainId = domainRow.FieldByName(kID).AsInteger();
    const QString domain = domainRow.FieldByName(kDomainName).AsString();

    if (sub == QLatin1String("show")) {
        ResultSet result;
        result.columns = QStringList{QStringLiteral("Place"), QStringLiteral("ID"), QStringLiteral("PriorityOrder"),
                                     QStringLiteral("Description"), QStringLiteral("Active")};
        int place = 0;
        for (const engine::LinkedCredential& c : engine::DomainCredentials(dm, domainId))
            result.rows.append({++place, c.id, c.priority, c.description, c.active});
        WriteResult(result, CheckFormat(format), output, out);
        return 0;
    }

    const int credentialId = ids.first();
    if (sub == QLatin1String("link")) {
        const QString description = LocateCredential(dm, credentialId).FieldByName(kDescription).AsString();
        if (LinkPriority(dm, domainId, credentialId))
            throw Exception(Fmt("Credential %d is already linked to managed domain \"%s\"", credentialId, domain));
        int place = 0;
        for (const engine::LinkedCredential& c : engine::DomainCredentials(dm, domainId))
            place = std::max(place, c.priority + 1);
        const int value = priorityValue.value_or(place);
        CheckPriorityFree(dm, domainId, domain, credentialId, value);
        engine::InsertCredentialLink(dm, domainId, credentialId, value);
        out << Fmt("linked credential %d \"%s\" to \"%s\" with priority %d", credentialId, description, domain,
                   value)
            << '\n';
        return 0;
    }

    if (sub == QLatin1String("priority")) {
        if (!LinkPriority(dm, domainId, credentialId))
            throw Exception(Fmt("Credential %d is not linked to managed domain \"%s\"", credentialId, domain));
        CheckPriorityFree(dm, domainId, domain, credentialId, *priorityValue);
        engine::UpdateCredentialLink(dm, domainId, credentialId, *priorityValue, domainId);
        out << Fmt("credential %d of \"%s\" has priority %d", credentialId, domain, *priorityValue) << '\n';
        return 0;
    }

    // unlink
    int missing = 0;
    for (int id : std::as_const(ids)) {
        if (engine::DeleteCredentialLink(dm, domainId, id) == 0) {
            context.err << Fmt("Credential %d is not linked to managed domain \"%s\"", id, domain) << '\n';
            ++missing;
        } else {
            out << Fmt("unlinked credential %d from \"%s\"", id, domain) << '\n';
        }
    }
    return missing > 0 ? 1 : 0;
}

} // namespace

} // namespace velmora::cli
