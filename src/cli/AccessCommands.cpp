// velmora-cli: the two access questions (user-access, resource-access) and the lookup lists
// their arguments come from (lookups).

#include "applib/DfxFormat.h"
#include "cli/CliSupport.h"
#include "store/ConnectionDM.h"
#include "views/AccessRows.h"
#include "views/LookupDM.h"
#include "views/ResourceAccessDM.h"
#include "views/UserAccessDM.h"

#include <QScopeGuard>

namespace velmora::cli {

namespace {

using views::TLookupDM;

const QString kAll = QString::fromLatin1(views::kAllKeyword);

// The stored spelling of `wanted` among `names` (names compare without regard to case, as
// the network treats them); empty when it is not there.
QString FindName(const QStringList& names, const QString& wanted)
{
    for (const QString& name : names)
        if (name.compare(wanted, Qt::CaseInsensitive) == 0)
            return name;
    return {};
}

// The audit connection and the lookup lists, opened for one command.
struct Session
{
    explicit Session(const store::ProgramFolder& folder) : connection(folder)
    {
        connection.Connect();
        lookups = std::make_unique<TLookupDM>(connection.Connection());
        lookups->RefreshLookups();
    }

    // The domain as stored; UsageError naming it when no server of it is stored.
    QString Domain(const QString& domain)
    {
        const QString found = FindName(
            TLookupDM::Column(lookups->DomainList(), QStringLiteral("DomainName")), domain);
        if (found.isEmpty())
            throw UsageError(
                Fmt("unknown domain \"%s\": no server of it is in the audit database", domain));
        return found;
    }

    // The domain's servers as stored, without the "[ALL]" row.
    QStringList Servers(const QString& domain)
    {
        lookups->LoadDomainServers(domain);
        return Named(lookups->LookupShareUsersServers(), QStringLiteral("Server"));
    }

    QString Server(const QString& domain, const QString& server)
    {
        const QString found = FindName(Servers(domain), server);
        if (found.isEmpty())
            throw UsageError(
                Fmt("unknown server \"%s\": it is not a server of domain \"%s\"", server, domain));
        return found;
    }

    // The server's shares as stored, without the "[ALL]" row.
    QStringList Shares(const QString& server)
    {
        lookups->LoadServerShares(server);
        return Named(lookups->LookupServerShareUsersShare(), QStringLiteral("Share"));
    }

    static QStringList Named(data::MemTable& list, const QString& field)
    {
        QStringList names = TLookupDM::Column(list, field);
        names.removeAll(kAll);
        return names;
    }

    store::TConnectionDM connection;
    std::unique_ptr<TLookupDM> lookups;
};

ResultSet ToResult(views::AccessRows rows)
{
    ResultSet result;
    result.columns = std::move(rows.columns);
    result.rows = std::move(rows.rows);
    return result;
}

// The rows of a memory table, the given fields in that order.
ResultSet TableResult(data::MemTable& table, const QStringList& fields)
{
    ResultSet result;
    result.columns = fields;
    if (!table.Active())
        return result;
    for (table.First(); !table.Eof(); table.Next()) {
        QVariantList row;
        for (const QString& field : fields)
            row << table.FieldByName(field).Value();
        result.rows << row;
    }
    return result;
}

bool ShowFolders(const std::optional<QString>& show)
{
    if (!show)
        throw UsageError(QStringLiteral("--show shares|folders is needed"));
    if (*show == QLatin1String("shares"))
        return false;
    if (*show == QLatin1String("folders"))
        return true;
    throw UsageError(Fmt("unknown --show \"%s\" (shares or folders)", *show));
}

// The index of `value` in `choices`; `fallback` when not given, UsageError when unknown.
int Choice(const std::optional<QString>& value, const char* option, const QStringList& choices,
           int fallback)
{
    if (!value)
        return fallback;
    const int index = static_cast<int>(choices.indexOf(*value));
    if (index < 0)
        throw UsageError(Fmt("unknown %s \"%s\" (%s)", QString::fromLatin1(option), *value,
                             choices.join(QLatin1String(", "))));
    return index;
}

QString Required(const std::optional<QString>& value, const char* option, const char* command)
{
    if (!value || value->trimmed().isEmpty())
        throw UsageError(
            Fmt("%s needs %s", QString::fromLatin1(command), QString::fromLatin1(option)));
    return value->trimmed();
}

int RunUserAccess(CommandContext& context, Args& args)
{
    const QString domainArg =
        Required(args.TakeOption(QStringLiteral("--domain")), "--domain", "user-access");
    QString account =
        Required(args.TakeOption(QStringLiteral("--account")), "--account", "user-access");
    const auto token = args.TakeOption(QStringLiteral("--token"));
    QStringList excludeNames;
    for (const QString& value : args.TakeAll(QStringLiteral("--exclude")))
        for (const QString& part : value.split(QLatin1Char(',')))
            if (!part.trimmed().isEmpty())
                excludeNames << part.trimmed();
    const auto show = args.TakeOption(QStringLiteral("--show"));
    const auto format = args.TakeOption(QStringLiteral("--format"));
    const auto output = args.TakeOption(QStringLiteral("--output"));
    const bool groups = args.TakeFlag(QStringLiteral("--groups"));
    args.Done();
    const QString outputFormat = CheckFormat(format);
    const bool folders = ShowFolders(show);
    const int tokenKind = Choice(token, "--token",
                                 {QStringLiteral("direct"), QStringLiteral("group"),
                                  QStringLiteral("everyone"), QStringLiteral("any")},
                                 views::kDirectAccessToken);
    if (!excludeNames.isEmpty() && !views::TokenKindAllowsExclusion(tokenKind))
        throw UsageError(
            QStringLiteral("--exclude needs --token group or any: groups can be left out only "
                           "when access through groups counts"));
    if (account.compare(kAll, Qt::CaseInsensitive) == 0)
        account = kAll;

    Session session(context.folder);
    const QString domain = session.Domain(domainArg);
    session.lookups->LoadDomainAccounts(domain);
    session.lookups->ApplyAccountFilter(groups);
    if (account != kAll && session.lookups->AccountSid(account).isEmpty())
        throw UsageError(Fmt("unknown account \"%s\": it is not a user or group of domain \"%s\"",
                             account, domain));
    const views::GroupExclusion exclusion = session.lookups->ExcludeGroups(excludeNames);
    if (!exclusion.unknown.isEmpty())
        throw UsageError(Fmt("unknown group \"%s\" for --exclude: groups of domain \"%s\" without "
                             "administrator rights can be left out",
                             exclusion.unknown.first(), domain));

    views::TUserAccessDM userAccess(session.connection.Connection(), *session.lookups);
    if (folders)
        userAccess.OpenUserFolders(domain, account, tokenKind, groups, exclusion.sids);
    else
        userAccess.OpenUserShares(domain, account, tokenKind, groups, exclusion.sids);
    data::Statement& statement = *userAccess.CurrentStatement();
    auto close = qScopeGuard([&] { statement.Close(); });
    WriteResult(ToResult(views::ReadAccessRows(statement, userAccess.CurrentFields())),
                outputFormat, output, context.out);
    return 0;
}

int RunResourceAccess(CommandContext& context, Args& args)
{
    const QString domainArg =
        Required(args.TakeOption(QStringLiteral("--domain")), "--domain", "resource-access");
    QString server =
        Required(args.TakeOption(QStringLiteral("--server")), "--server", "resource-access");
    const auto shareArg = args.TakeOption(QStringLiteral("--share"));
    const auto show = args.TakeOption(QStringLiteral("--show"));
    const auto everyoneArg = args.TakeOption(QStringLiteral("--everyone"));
    const auto format = args.TakeOption(QStringLiteral("--format"));
    const auto output = args.TakeOption(QStringLiteral("--output"));
    const bool expandGroups = args.TakeFlag(QStringLiteral("--expand-groups"));
    args.Done();
    const QString outputFormat = CheckFormat(format);
    const bool folders = ShowFolders(show);
    const int everyone =
        Choice(everyoneArg, "--everyone",
               {QStringLiteral("show"), QStringLiteral("hide"), QStringLiteral("expand")},
               views::kEveryoneShow);
    QString share = shareArg ? shareArg->trimmed() : QString();
    if (share.compare(kAll, Qt::CaseInsensitive) == 0)
        share.clear();
    if (server.compare(kAll, Qt::CaseInsensitive) == 0)
        server = kAll;

    Session session(context.folder);
    const QString domain = session.Domain(domainArg);
    if (server != kAll)
        server = session.Server(domain, server);
    if (!share.isEmpty()) {
        // A share of the named server, or of any server of the domain with "[ALL]".
        const QStringList servers = server == kAll ? session.Servers(domain) : QStringList{server};
        QString found;
        for (const QString& s : servers) {
            found = FindName(session.Shares(s), share);
            if (!found.isEmpty())
                break;
        }
        if (found.isEmpty())
            throw UsageError(
                server == kAll
                    ? Fmt("unknown share \"%s\": no server of domain \"%s\" has it", share, domain)
                    : Fmt("unknown share \"%s\": server \"%s\" has no share of that name", share,
                          server));
        share = found;
    }

    views::TResourceAccessDM resourceAccess(session.connection.Connection());
    data::Statement& statement =
        folders ? resourceAccess.quFolderUsers() : resourceAccess.quShareUsers();
    if (folders)
        resourceAccess.OpenFolderUsers(domain, server, everyone, expandGroups, share);
    else
        resourceAccess.OpenShareUsers(domain, server, everyone, expandGroups, share);
    auto close = qScopeGuard([&] { statement.Close(); });
    const QList<data::FieldDef> fields = folders ? views::TResourceAccessDM::FolderUsersFields()
                                                 : views::TResourceAccessDM::ShareUsersFields();
    WriteResult(ToResult(views::ReadAccessRows(statement, fields)), outputFormat, output,
                context.out);
    return 0;
}

int RunLookups(CommandContext& context, Args& args)
{
    const QString list = args.TakeWord("list (domains, accounts, excludable, servers or shares)");
    const auto domainArg = args.TakeOption(QStringLiteral("--domain"));
    const auto serverArg = list == QLatin1String("shares")
                               ? args.TakeOption(QStringLiteral("--server"))
                               : std::nullopt;
    const auto format = args.TakeOption(QStringLiteral("--format"));
    const auto output = args.TakeOption(QStringLiteral("--output"));
    const bool groups =
        list == QLatin1String("accounts") && args.TakeFlag(QStringLiteral("--groups"));
    args.Done();
    const QString outputFormat = CheckFormat(format);
    static const QStringList kLists = {QStringLiteral("domains"), QStringLiteral("accounts"),
                                       QStringLiteral("excludable"), QStringLiteral("servers"),
                                       QStringLiteral("shares")};
    if (!kLists.contains(list))
        throw UsageError(Fmt("unknown list \"%s\" (%s)", list, kLists.join(QLatin1String(", "))));
    if (list != QLatin1String("domains") && (!domainArg || domainArg->trimmed().isEmpty()))
        throw UsageError(Fmt("lookups %s needs --domain", list));
    if (list == QLatin1String("shares"))
        Required(serverArg, "--server", "lookups shares");

    Session session(context.folder);
    ResultSet result;
    if (list == QLatin1String("domains")) {
        if (domainArg)
            throw UsageError(QStringLiteral("lookups domains takes no --domain"));
        result = TableResult(session.lookups->DomainList(), {QStringLiteral("DomainName")});
    } else {
        const QString domain = session.Domain(domainArg->trimmed());
        if (list == QLatin1String("accounts") || list == QLatin1String("excludable")) {
            session.lookups->LoadDomainAccounts(domain);
            if (list == QLatin1String("accounts")) {
                session.lookups->ApplyAccountFilter(groups);
                result = TableResult(session.lookups->AccountList(),
                                     {QStringLiteral("UserGroupName"), QStringLiteral("SID"),
                                      QStringLiteral("isGroup")});
            } else {
                result = TableResult(session.lookups->LookupExcludableGroups(),
                                     {QStringLiteral("UserGroupName"), QStringLiteral("SID")});
            }
        } else if (list == QLatin1String("servers")) {
            session.lookups->LoadDomainServers(domain);
            result =
                TableResult(session.lookups->LookupShareUsersServers(), {QStringLiteral("Server")});
        } else {
            const QString wanted = serverArg->trimmed();
            if (wanted.compare(kAll, Qt::CaseInsensitive) == 0)
                throw UsageError(QStringLiteral(
                    "lookups shares needs a named server: \"[ALL]\" has no share list"));
            const QString server = session.Server(domain, wanted);
            session.lookups->LoadServerShares(server);
            result = TableResult(session.lookups->LookupServerShareUsersShare(),
                                 {QStringLiteral("Share")});
        }
    }
    WriteResult(result, outputFormat, output, context.out);
    return 0;
}

const CommandRegistration userAccessCommand(
    "user-access",
    "  user-access --domain D --account NAME|[ALL] [--groups] [--token direct|group|everyone|any]\n"
    "              [--exclude GROUP,...] --show shares|folders [--format table|csv|json]\n"
    "              [--output FILE]\n"
    "                               the shares or folders an account can reach; [ALL]: every\n"
    "                               user, with --groups every group; --token: which entries\n"
    "                               count (own only, + groups, + Everyone, any; default direct);\n"
    "                               --exclude leaves groups out (with group or any only)\n",
    &RunUserAccess);

const CommandRegistration resourceAccessCommand(
    "resource-access",
    "  resource-access --domain D --server NAME|[ALL] [--share NAME] --show shares|folders\n"
    "              [--everyone show|hide|expand] [--expand-groups] [--format table|csv|json]\n"
    "              [--output FILE]\n"
    "                               the accounts that can reach a server's shares or folders;\n"
    "                               --expand-groups lists member users instead of groups\n",
    &RunResourceAccess);

const CommandRegistration lookupsCommand(
    "lookups",
    "  lookups domains | accounts --domain D [--groups] | excludable --domain D |\n"
    "          servers --domain D | shares --domain D --server S  [--format F] [--output FILE]\n"
    "                               the lists the questions pick from, keyword rows included:\n"
    "                               DomainName; UserGroupName,SID,isGroup ([ALL] and users, with\n"
    "                               --groups groups); UserGroupName,SID ([NONE] first); Server\n"
    "                               ([ALL] first); Share ([ALL] first)\n",
    &RunLookups);

} // namespace

} // namespace velmora::cli
