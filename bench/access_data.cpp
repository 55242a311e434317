#include "bench/access_data.h"

#include "engine/WellKnownAccounts.h"
#include "store/Schema.h"

#include <QFile>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <unordered_set>

namespace velmora::bench {

namespace {

// splitmix64: small, fast, and the same sequence everywhere.
class Random
{
  public:
    explicit Random(uint64_t seed) : m_state(seed) {}

    uint64_t Next()
    {
        uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // 0 .. n - 1 (0 for n 0).
    int Below(int n) { return n <= 0 ? 0 : int(((Next() >> 32) * uint64_t(n)) >> 32); }
    bool Percent(int percent) { return Below(100) < percent; }
    // 0 .. n - 1, low values much more likely: a few big groups, many small ones.
    int Skewed(int n)
    {
        const double u = double(Next() >> 11) / double(1ull << 53);
        return std::min(n - 1, int(double(n) * u * u * u));
    }
    double Unit() { return double(Next() >> 11) / double(1ull << 53); }

  private:
    uint64_t m_state;
};

QByteArray Number(uint64_t value)
{
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    return QByteArray(digits, result.ptr - digits);
}

QByteArray Padded(uint64_t value, int width)
{
    QByteArray text = Number(value);
    return QByteArray(std::max<qsizetype>(0, width - text.size()), '0') + text;
}

constexpr const char* kDomainNames[] = {"CORP", "SALES", "RESEARCH", "FINANCE"};
constexpr const char* kShareNames[] = {"Projects",  "Finance",     "Public", "Users",
                                       "Marketing", "Engineering", "Legal",  "HR",
                                       "Archive",   "Software",    "Scans",  "Templates"};
constexpr const char* kFolderNames[] = {
    "Reports",  "Budgets",  "Contracts", "Drafts",    "Archive",  "Clients",   "Design", "Minutes",
    "Policies", "Invoices", "Scans",     "Templates", "Quotes",   "Specs",     "Photos", "Tools",
    "Releases", "Training", "Audit",     "Shared",    "Planning", "Suppliers", "Orders", "Forms"};
constexpr const char* kGroupNames[] = {"Accounting", "Sales Team", "Engineering", "HR Staff",
                                       "IT Support", "Marketing",  "Management",  "Legal",
                                       "Purchasing", "Logistics",  "Helpdesk",    "Research",
                                       "Quality",    "Facilities", "Auditors",    "Contractors"};
constexpr const char* kFirstNames[] = {"anna",  "ben",   "carla", "david", "emma",  "felix",
                                       "grace", "henry", "irene", "jacob", "karen", "leo",
                                       "maria", "nina",  "oscar", "paula", "quinn", "ruth",
                                       "simon", "tina",  "uwe",   "vera",  "will",  "zoe"};
constexpr const char* kLastNames[] = {"smith",  "jones", "brown",  "miller", "davis", "garcia",
                                      "wilson", "moore", "taylor", "thomas", "white", "harris",
                                      "martin", "clark", "lewis",  "walker", "young", "king",
                                      "wright", "lopez", "hill",   "scott",  "green", "adams"};

// Folder permission masks as a refresh meets them.
constexpr uint32_t kFullMask = 0x001F01FF;
constexpr uint32_t kFullNoSyncMask = 0x000F01FF;
constexpr uint32_t kModifyMask = 0x001301BF;
constexpr uint32_t kReadMask = 0x001200A9;
constexpr uint32_t kWriteMask = 0x00000116;  // add file, add subfolder, write attributes
constexpr uint32_t kDeleteMask = 0x00010040; // delete, delete child
constexpr uint32_t kGenericAll = 0x10000000; // inherit-only entries: no column names it

// The folderaccesslist values of one entry, as the refresh stores them.
BenchFolderEntry FolderEntry(int folder, int account, uint32_t mask, bool deny)
{
    static constexpr uint32_t kBits[6] = {0x1, 0x2, 0x4, 0x20, 0x40, 0x10000};
    BenchFolderEntry entry;
    entry.folder = folder;
    entry.account = account;
    for (int i = 0; i < 6; ++i)
        entry.values[i] = (mask & kBits[i]) ? (deny ? 2 : 1) : 0;
    entry.values[6] = mask == kFullMask ? 1 : mask == kFullNoSyncMask ? 2 : 0;
    return entry;
}

// Per-domain account layout, for picking members.
struct DomainAccounts
{
    int domainAdmins = -1, domainUsers = -1, domainGuests = -1;
    std::vector<int> groups; // departmental groups, biggest first
    std::vector<int> users;  // ordinary users (not Administrator or Guest)
    int dc = -1;
};

class Generator
{
  public:
    Generator(const AccessDataSize& size) : m_random(size.seed) { m_data.size = size; }

    AccessData Run()
    {
        Accounts();
        Servers();
        Shares();
        Folders();
        Picks();
        return std::move(m_data);
    }

  private:
    int AddAccount(QByteArray sid, QByteArray name, int domain, bool isGroup, bool admin = false)
    {
        m_data.accounts.push_back({std::move(sid), std::move(name), domain, isGroup, admin});
        return int(m_data.accounts.size()) - 1;
    }

    // Adds the pair unless it is there already (the refresh looks each pair up first).
    void Member(int member, int group)
    {
        if (m_pairs.insert(uint64_t(uint32_t(member)) << 32 | uint32_t(group)).second)
            m_data.memberships.emplace_back(member, group);
    }

    static int Share(int total, int parts, int index)
    {
        return total / parts + (index < total % parts ? 1 : 0);
    }

    void Accounts()
    {
        const AccessDataSize& size = m_data.size;
        for (const engine::WellKnownAccount& row : engine::kWellKnownAccounts)
            AddAccount(row.sid, row.name, -1, true);
        m_domains.resize(size.domains);
        for (int d = 0; d < size.domains; ++d) {
            m_data.domainNames.push_back(kDomainNames[d]);
            const QByteArray domainSid = "S-1-5-21-" +
                                         Number(1000000000u + m_random.Below(2000000000)) + '-' +
                                         Number(1000000000u + m_random.Below(2000000000)) + '-' +
                                         Number(100000000u + m_random.Below(900000000));
            DomainAccounts& dom = m_domains[d];
            const int groups = Share(size.groups, size.domains, d);
            const int users = Share(size.users, size.domains, d);
            dom.domainAdmins = AddAccount(domainSid + "-512", "Domain Admins", d, true, true);
            dom.domainUsers = AddAccount(domainSid + "-513", "Domain Users", d, true);
            dom.domainGuests = AddAccount(domainSid + "-514", "Domain Guests", d, true);
            for (int g = 0; g < groups - 3; ++g) {
                QByteArray name = kGroupNames[g % std::size(kGroupNames)];
                if (g >= int(std::size(kGroupNames)))
                    name += ' ' + Number(g / std::size(kGroupNames) + 1);
                dom.groups.push_back(AddAccount(domainSid + '-' + Number(1100 + g), name, d, true));
            }
            // Administrator: an administrator by its RID, with its row to Administrators.
            const int administrator =
                AddAccount(domainSid + "-500", "Administrator", d, false, true);
            Member(administrator, dom.domainAdmins);
            Member(administrator, dom.domainUsers);
            Member(administrator, kAdministrators);
            const int guest = AddAccount(domainSid + "-501", "Guest", d, false);
            Member(guest, dom.domainGuests);
            const int ordinary = users - 2;
            const int names = int(std::size(kFirstNames) * std::size(kLastNames));
            for (int u = 0; u < ordinary; ++u) {
                QByteArray name = QByteArray(kFirstNames[u % std::size(kFirstNames)]) + '.' +
                                  kLastNames[(u / std::size(kFirstNames)) % std::size(kLastNames)];
                if (u >= names)
                    name += Number(u / names + 1);
                const bool admin = m_random.Below(1000) < 5;
                const int user =
                    AddAccount(domainSid + '-' + Number(100000 + u), name, d, false, admin);
                dom.users.push_back(user);
                Member(user, dom.domainUsers);
                if (admin)
                    Member(user, dom.domainAdmins);
                // One user per domain belongs to very many groups (the heavy single account).
                int count = 1 + m_random.Below(4) + (m_random.Percent(10) ? m_random.Below(8) : 0);
                if (u == std::min(10, ordinary - 1))
                    count = std::min<int>(80, int(dom.groups.size()));
                for (int i = 0; i < count && !dom.groups.empty(); ++i)
                    Member(user, dom.groups[m_random.Skewed(int(dom.groups.size()))]);
            }
            NestGroups(dom);
        }
    }

    // Departmental groups in three tiers: the first twentieth are top-level groups, the next
    // sixth middle ones; some lower groups are members of a higher one (depth up to three), and
    // two pairs of groups are members of each other (cycles a walk must end).
    void NestGroups(const DomainAccounts& dom)
    {
        const int n = int(dom.groups.size());
        const int top = std::max(1, n / 20);
        const int middle = std::max(1, n / 6);
        if (n < top + middle + 4)
            return;
        for (int g = top + middle; g < n; ++g)
            if (m_random.Percent(30))
                Member(dom.groups[g], dom.groups[top + m_random.Below(middle)]);
        for (int g = top; g < top + middle; ++g)
            if (m_random.Percent(50))
                Member(dom.groups[g], dom.groups[m_random.Below(top)]);
        // Cycles: a middle group and a lower one in each other, and two lower ones likewise.
        const int lowA = n - 1, lowB = n - 2, lowC = n - 3;
        Member(dom.groups[lowA], dom.groups[top]);
        Member(dom.groups[top], dom.groups[lowA]);
        Member(dom.groups[lowB], dom.groups[lowC]);
        Member(dom.groups[lowC], dom.groups[lowB]);
    }

    void Servers()
    {
        const AccessDataSize& size = m_data.size;
        for (int d = 0; d < size.domains; ++d) {
            const int servers = Share(size.servers, size.domains, d);
            const QByteArray domain = m_data.domainNames[d];
            m_domains[d].dc = int(m_data.servers.size());
            m_data.servers.push_back({domain + "-DC01", d, true});
            for (int s = 1; s < servers; ++s)
                m_data.servers.push_back({domain + "-FS" + Padded(s, 3), d, false});
        }
    }

    void AddShare(int server, QByteArray name, bool isIPC)
    {
        m_data.shares.push_back({server, std::move(name), isIPC});
        const int share = int(m_data.shares.size()) - 1;
        if (!isIPC)
            m_walked.push_back(share);
        const DomainAccounts& dom = m_domains[m_data.servers[server].domain];
        auto entry = [&](int account, uint8_t full, uint8_t change, uint8_t read) {
            m_data.shareEntries.push_back({share, account, full, change, read});
        };
        if (isIPC) {
            entry(kAdministrators, 1, 0, 0);
            return;
        }
        const QByteArray& shareName = m_data.shares.back().name;
        if (shareName == "NETLOGON" || shareName == "SYSVOL") {
            entry(kEveryone, 0, 0, 1);
            entry(kAdministrators, 1, 0, 0);
            return;
        }
        const int roll = m_random.Below(100);
        const int group = dom.groups.empty() ? dom.domainUsers
                                             : dom.groups[m_random.Skewed(int(dom.groups.size()))];
        if (roll < 40) {
            entry(kEveryone, 1, 0, 0); // the default of a new share
        } else if (roll < 60) {
            entry(kEveryone, 0, 0, 1);
            entry(kAdministrators, 1, 0, 0);
        } else if (roll < 85) {
            entry(dom.domainUsers, 0, 1, 0);
            entry(kAdministrators, 1, 0, 0);
            entry(group, 1, 0, 0);
        } else if (roll < 95) {
            entry(group, 0, 1, 0);
            if (!dom.groups.empty())
                entry(dom.groups[m_random.Below(int(dom.groups.size()))], 0, 0, 1);
            entry(kAdministrators, 1, 0, 0);
            if (m_random.Percent(50))
                entry(dom.domainGuests, 2, 0, 0);
            else
                entry(dom.users[m_random.Below(int(dom.users.size()))], 0, 2, 0);
        } else {
            entry(kEveryone, 0, 0, 0); // a mask none of the columns names
            entry(kAdministrators, 1, 0, 0);
            entry(dom.users[m_random.Below(int(dom.users.size()))], 1, 0, 0);
        }
        if (m_random.Percent(3))
            entry(dom.users[m_random.Below(int(dom.users.size()))], 0, 1, 0);
    }

    void Shares()
    {
        const AccessDataSize& size = m_data.size;
        const int servers = int(m_data.servers.size());
        for (int s = 0; s < servers; ++s) {
            AddShare(s, "ADMIN$", true);
            AddShare(s, "IPC$", true);
            AddShare(s, "C$", true);
            if (m_data.servers[s].isDC) {
                AddShare(s, "NETLOGON", false);
                AddShare(s, "SYSVOL", false);
            }
        }
        std::vector<int> members;
        for (int s = 0; s < servers; ++s)
            if (!m_data.servers[s].isDC)
                members.push_back(s);
        std::vector<int> perServer(servers, 0);
        const int rest = size.shares - int(m_data.shares.size());
        for (int i = 0; i < rest; ++i) {
            const int server =
                i < int(members.size()) ? members[i] : members[m_random.Below(int(members.size()))];
            const int k = perServer[server]++;
            QByteArray name = kShareNames[k % std::size(kShareNames)];
            if (k >= int(std::size(kShareNames)))
                name += Number(k / std::size(kShareNames) + 1);
            AddShare(server, name, false);
        }
    }

    void AddFolderEntry(int folder, int account, uint32_t mask, bool deny = false)
    {
        m_data.folderEntries.push_back(FolderEntry(folder, account, mask, deny));
    }

    // The entries a folder of `dom` gets when it does not inherit, or one added explicitly.
    void ExplicitEntry(int folder, const DomainAccounts& dom)
    {
        const int roll = m_random.Below(100);
        const int group = dom.groups[m_random.Skewed(int(dom.groups.size()))];
        const int user = dom.users[m_random.Below(int(dom.users.size()))];
        if (roll < 45)
            AddFolderEntry(folder, group, kModifyMask);
        else if (roll < 65)
            AddFolderEntry(folder, group, kReadMask);
        else if (roll < 85)
            AddFolderEntry(folder, user, m_random.Percent(50) ? kFullMask : kModifyMask);
        else if (roll < 90)
            AddFolderEntry(folder, kEveryone, kReadMask);
        else if (roll < 94)
            AddFolderEntry(folder, group, kGenericAll);
        else if (roll < 97)
            AddFolderEntry(folder, m_random.Percent(50) ? group : user, kWriteMask, true);
        else
            AddFolderEntry(folder, m_random.Percent(50) ? group : user,
                           m_random.Percent(50) ? kDeleteMask : kFullNoSyncMask, true);
    }

    void FreshAcl(int folder, const DomainAccounts& dom, bool root)
    {
        AddFolderEntry(folder, kAdministrators, kFullMask);
        AddFolderEntry(folder, kLocalSystem, kFullMask);
        if (root ? m_random.Percent(50) : m_random.Percent(20))
            AddFolderEntry(folder, dom.domainUsers, kReadMask);
        if (m_random.Percent(root ? 15 : 5))
            AddFolderEntry(folder, kEveryone, kReadMask);
        const int extra = 1 + m_random.Below(3);
        for (int i = 0; i < extra; ++i)
            ExplicitEntry(folder, dom);
    }

    void Folders()
    {
        const AccessDataSize& size = m_data.size;
        const int walked = int(m_walked.size());
        // Folder counts per share: a few big trees, many small ones.
        std::vector<double> weight(walked);
        double total = 0;
        for (double& w : weight)
            total += (w = std::exp(5.0 * m_random.Unit()));
        const int rest = size.folders - walked;
        std::vector<int> count(walked, 1);
        int given = 0;
        for (int i = 0; i < walked; ++i)
            given += count[i] += int(double(rest) * weight[i] / total);
        for (int i = 0; given < size.folders; i = (i + 1) % walked, ++given)
            ++count[i];

        m_data.folders.reserve(size.folders);
        m_data.folderEntries.reserve(size_t(size.folderEntries) + size.folderEntries / 8);
        std::vector<int> firstEntry, entryCount, children;
        firstEntry.reserve(size.folders);
        entryCount.reserve(size.folders);
        children.reserve(size.folders);
        for (int i = 0; i < walked; ++i) {
            const int share = m_walked[i];
            const BenchShare& sh = m_data.shares[share];
            const DomainAccounts& dom = m_domains[m_data.servers[sh.server].domain];
            const int first = int(m_data.folders.size());
            for (int k = 0; k < count[i]; ++k) {
                const int folder = int(m_data.folders.size());
                const size_t before = m_data.folderEntries.size();
                // The entries wanted so far; the shape below is steered towards that total.
                const int64_t wanted = int64_t(size.folderEntries) * (folder + 1) / size.folders;
                const int64_t deficit = wanted - int64_t(before);
                int parent = -1;
                QByteArray path;
                if (k == 0) {
                    path = "\\\\" + m_data.servers[sh.server].name + '\\' + sh.name;
                } else {
                    parent = first + m_random.Below(k);
                    const int ordinal = children[parent]++;
                    path = m_data.folders[parent].path + '\\' +
                           kFolderNames[ordinal % std::size(kFolderNames)];
                    if (ordinal >= int(std::size(kFolderNames)))
                        path += ' ' + Number(ordinal / std::size(kFolderNames) + 1);
                    path.truncate(250); // as the refresh stores a longer path
                }
                children.push_back(0);
                m_data.folders.push_back({share, path});
                const bool inherit =
                    parent >= 0 && deficit > -200 && (deficit > 0 || m_random.Percent(85));
                if (inherit) {
                    for (int e = 0; e < entryCount[parent]; ++e) {
                        BenchFolderEntry copy = m_data.folderEntries[firstEntry[parent] + e];
                        copy.folder = folder;
                        m_data.folderEntries.push_back(copy);
                    }
                    if (m_random.Percent(15))
                        ExplicitEntry(folder, dom);
                } else {
                    FreshAcl(folder, dom, parent < 0);
                }
                for (int64_t extra = wanted - int64_t(m_data.folderEntries.size()), e = 0;
                     e < std::min<int64_t>(extra, 3); ++e)
                    ExplicitEntry(folder, dom);
                firstEntry.push_back(int(before));
                entryCount.push_back(int(m_data.folderEntries.size() - before));
            }
        }
        // The last folders may leave the total short by a few: top it up at the end.
        Random spread(size.seed ^ 0xF01DE5);
        while (int64_t(m_data.folderEntries.size()) < size.folderEntries) {
            const int folder =
                int(m_data.folders.size()) - 1 - spread.Below(std::min(size.folders, 1000));
            const BenchShare& sh = m_data.shares[m_data.folders[folder].share];
            ExplicitEntry(folder, m_domains[m_data.servers[sh.server].domain]);
        }
    }

    void Picks()
    {
        std::vector<int> groupsOf(m_data.accounts.size(), 0);
        for (const auto& [member, group] : m_data.memberships)
            ++groupsOf[member];
        const DomainAccounts& dom = m_domains[0];
        m_data.busyUser = *std::max_element(dom.users.begin(), dom.users.end(), [&](int a, int b) {
            return groupsOf[a] < groupsOf[b];
        });
        m_data.bigGroup = dom.domainUsers;
        std::vector<int> foldersOf(m_data.servers.size(), 0);
        for (const BenchFolder& folder : m_data.folders)
            ++foldersOf[m_data.shares[folder.share].server];
        for (int s = 0; s < int(m_data.servers.size()); ++s)
            if (m_data.servers[s].domain == 0 && !m_data.servers[s].isDC &&
                (m_data.busyServer < 0 || foldersOf[s] > foldersOf[m_data.busyServer]))
                m_data.busyServer = s;
    }

    Random m_random;
    AccessData m_data;
    std::vector<DomainAccounts> m_domains;
    std::vector<int> m_walked; // shares whose folders are walked, in order
    std::unordered_set<uint64_t> m_pairs;
};

QByteArray GuidText(uint64_t seed, uint64_t kind, uint64_t index)
{
    Random random(seed * 0x100000001B3ull ^ (kind << 56) ^ index);
    const uint64_t hi = random.Next(), lo = random.Next();
    static const char kHex[] = "0123456789ABCDEF";
    QByteArray text("{00000000-0000-0000-0000-000000000000}");
    int bit = 0;
    for (int i = 1; i < 37; ++i) {
        if (text[i] == '-')
            continue;
        const uint64_t word = bit < 64 ? hi : lo;
        text[i] = kHex[(word >> (60 - (bit % 64))) & 0xF];
        bit += 4;
    }
    return text;
}

} // namespace

AccessDataSize ScaledSize(int divisor, uint64_t seed)
{
    AccessDataSize size;
    divisor = std::max(1, divisor);
    size.seed = seed;
    size.users = std::max(size.domains * 40, size.users / divisor);
    size.groups = std::max(size.domains * 20, size.groups / divisor);
    size.servers = std::max(size.domains * 3, size.servers / divisor);
    size.shares = std::max(size.servers * 5, size.shares / divisor);
    size.folders = std::max(size.shares * 2, size.folders / divisor);
    size.folderEntries = std::max(size.folders * 4, size.folderEntries / divisor);
    return size;
}

bool CheckSize(const AccessDataSize& size, QString& error)
{
    struct Rule
    {
        const char* name;
        int value, least, most;
    };
    const Rule rules[] = {
        {"domains", size.domains, 1, int(std::size(kDomainNames))},
        {"users", size.users, size.domains * 40, 10000000},
        {"groups", size.groups, size.domains * 20, 1000000},
        {"servers", size.servers, size.domains * 2, 100000},
        {"shares", size.shares, size.servers * 4, 1000000},
        {"folders", size.folders, size.shares, 50000000},
        {"folder entries", size.folderEntries, size.folders, 500000000},
    };
    for (const Rule& rule : rules) {
        if (rule.value < rule.least || rule.value > rule.most) {
            error = QStringLiteral("The number of %1 (%2) must lie between %3 and %4")
                        .arg(QLatin1String(rule.name))
                        .arg(rule.value)
                        .arg(rule.least)
                        .arg(rule.most);
            return false;
        }
    }
    return true;
}

QByteArray AccessData::ShareGuid(int share) const
{
    return GuidText(size.seed, 1, uint64_t(share));
}

QByteArray AccessData::FolderGuid(int folder) const
{
    return GuidText(size.seed, 2, uint64_t(folder));
}

AccessData GenerateAccessData(const AccessDataSize& size)
{
    return Generator(size).Run();
}

// ---- SQLite ----

namespace {

class SqliteWriter
{
  public:
    explicit SqliteWriter(sqlite3* db) : m_db(db) {}
    ~SqliteWriter() { sqlite3_finalize(m_statement); }

    bool Exec(const QByteArray& sql)
    {
        char* message = nullptr;
        if (sqlite3_exec(m_db, sql.constData(), nullptr, nullptr, &message) == SQLITE_OK)
            return true;
        m_error = QStringLiteral("%1: %2").arg(QString::fromUtf8(sql.left(60)),
                                               QString::fromUtf8(message ? message : "?"));
        sqlite3_free(message);
        return false;
    }
    bool Prepare(const char* sql)
    {
        sqlite3_finalize(m_statement);
        m_statement = nullptr;
        if (sqlite3_prepare_v2(m_db, sql, -1, &m_statement, nullptr) == SQLITE_OK)
            return true;
        return Fail();
    }
    void Text(int column, const QByteArray& text)
    {
        sqlite3_bind_text(m_statement, column, text.constData(), int(text.size()),
                          SQLITE_TRANSIENT);
    }
    void Int(int column, int value) { sqlite3_bind_int(m_statement, column, value); }
    void Null(int column) { sqlite3_bind_null(m_statement, column); }
    bool Step()
    {
        const int rc = sqlite3_step(m_statement);
        sqlite3_reset(m_statement);
        return rc == SQLITE_DONE || Fail();
    }
    QString Error() const { return m_error; }

  private:
    bool Fail()
    {
        m_error = QString::fromUtf8(sqlite3_errmsg(m_db));
        return false;
    }

    sqlite3* m_db;
    sqlite3_stmt* m_statement = nullptr;
    QString m_error;
};

QByteArray PaddedSid(const QByteArray& sid)
{
    return sid + QByteArray(std::max<qsizetype>(0, 47 - sid.size()), ' ');
}

bool WriteSqliteRows(const AccessData& data, SqliteWriter& w)
{
    for (const QString& statement :
         store::SplitScript(store::SchemaScript(QStringLiteral("SQLite"))))
        if (!w.Exec(statement.toUtf8()))
            return false;
    if (!w.Exec("BEGIN"))
        return false;
    if (!w.Prepare("INSERT INTO Servers (ProviderName, DomainName, Server, isDC, isOnline) "
                   "VALUES (?, ?, ?, ?, 1)"))
        return false;
    for (const BenchServer& server : data.servers) {
        w.Text(1, kProviderName);
        w.Text(2, data.domainNames[server.domain]);
        w.Text(3, server.name);
        w.Int(4, server.isDC ? 1 : 0);
        if (!w.Step())
            return false;
    }
    std::vector<QByteArray> dcOf(data.domainNames.size());
    for (const BenchServer& server : data.servers)
        if (server.isDC)
            dcOf[server.domain] = server.name;
    if (!w.Prepare("INSERT INTO UserGroupList (SID, UserGroupName, DomainName, isGroup, "
                   "hasAdminRights, DomainController) VALUES (?, ?, ?, ?, ?, ?)"))
        return false;
    for (const BenchAccount& account : data.accounts) {
        w.Text(1, account.sid);
        w.Text(2, account.name);
        w.Text(3, account.domain < 0 ? QByteArray("BUILTIN") : data.domainNames[account.domain]);
        w.Int(4, account.isGroup ? 1 : 0);
        w.Int(5, account.admin ? 1 : 0);
        if (account.domain < 0)
            w.Null(6);
        else
            w.Text(6, dcOf[account.domain]);
        if (!w.Step())
            return false;
    }
    if (!w.Prepare("INSERT INTO User2Group (UserGroupSID, GroupSID) VALUES (?, ?)"))
        return false;
    for (const auto& [member, group] : data.memberships) {
        w.Text(1, PaddedSid(data.accounts[member].sid));
        w.Text(2, PaddedSid(data.accounts[group].sid));
        if (!w.Step())
            return false;
    }
    if (!w.Prepare("INSERT INTO ServerShares (GUID, Server, Share, isIPC) VALUES (?, ?, ?, ?)"))
        return false;
    for (int i = 0; i < int(data.shares.size()); ++i) {
        const BenchShare& share = data.shares[i];
        w.Text(1, data.ShareGuid(i));
        w.Text(2, data.servers[share.server].name);
        w.Text(3, share.name);
        w.Int(4, share.isIPC ? 1 : 0);
        if (!w.Step())
            return false;
    }
    if (!w.Prepare("INSERT INTO ShareAccessList (ServerShareGUID, UserGroupSID, FullAccess, "
                   "ChangeAccess, ReadAccess) VALUES (?, ?, ?, ?, ?)"))
        return false;
    for (const BenchShareEntry& entry : data.shareEntries) {
        w.Text(1, data.ShareGuid(entry.share));
        w.Text(2, data.accounts[entry.account].sid);
        w.Int(3, entry.full);
        w.Int(4, entry.change);
        w.Int(5, entry.read);
        if (!w.Step())
            return false;
    }
    if (!w.Prepare("INSERT INTO sharefolders (GUID, ServerShareGUID, FolderName) VALUES (?, ?, ?)"))
        return false;
    for (int i = 0; i < int(data.folders.size()); ++i) {
        w.Text(1, data.FolderGuid(i));
        w.Text(2, data.ShareGuid(data.folders[i].share));
        w.Text(3, data.folders[i].path);
        if (!w.Step())
            return false;
    }
    if (!w.Prepare("INSERT INTO folderaccesslist (FolderGUID, UserGroupSID, ListDirectory, "
                   "AddFile, AddSubdirectory, Traverse, DeleteChild, _Delete, FullControl) "
                   "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"))
        return false;
    int lastFolder = -1;
    QByteArray guid;
    for (const BenchFolderEntry& entry : data.folderEntries) {
        if (entry.folder != lastFolder)
            guid = data.FolderGuid(lastFolder = entry.folder);
        w.Text(1, guid);
        w.Text(2, data.accounts[entry.account].sid);
        for (int c = 0; c < 7; ++c)
            w.Int(3 + c, entry.values[c]);
        if (!w.Step())
            return false;
    }
    return w.Exec("COMMIT");
}

} // namespace

bool WriteSqlite(const AccessData& data, const QString& file, QString& error)
{
    if (QFile::exists(file)) {
        error = QStringLiteral("The database file \"%1\" exists already").arg(file);
        return false;
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(file).constData(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        error = QStringLiteral("Cannot create \"%1\": %2")
                    .arg(file, QString::fromUtf8(db ? sqlite3_errmsg(db) : "out of memory"));
        sqlite3_close(db);
        return false;
    }
    bool ok;
    {
        SqliteWriter writer(db);
        // A file made from scratch: nothing to protect until it is complete. WAL at the end,
        // as the program's connection leaves it.
        ok = writer.Exec("PRAGMA journal_mode=OFF") && writer.Exec("PRAGMA synchronous=OFF") &&
             writer.Exec("PRAGMA cache_size=-1000000") && WriteSqliteRows(data, writer) &&
             writer.Exec("PRAGMA journal_mode=WAL");
        if (!ok)
            error = QStringLiteral("Writing \"%1\" failed: %2").arg(file, writer.Error());
    }
    sqlite3_close(db);
    if (!ok)
        QFile::remove(file);
    return ok;
}

// ---- PostgreSQL ----

namespace {

class CopyWriter
{
  public:
    explicit CopyWriter(PGconn* conn) : m_conn(conn) {}

    bool Exec(const QByteArray& sql)
    {
        PGresult* result = PQexec(m_conn, sql.constData());
        const ExecStatusType status = PQresultStatus(result);
        const bool ok =
            status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK || status == PGRES_EMPTY_QUERY;
        if (!ok)
            m_error = QStringLiteral("%1: %2").arg(QString::fromUtf8(sql.left(60)),
                                                   QString::fromUtf8(PQresultErrorMessage(result)));
        PQclear(result);
        return ok;
    }
    bool Begin(const QByteArray& table, const QByteArray& columns)
    {
        PGresult* result = PQexec(m_conn, "COPY " + table + " (" + columns + ") FROM STDIN");
        const bool ok = PQresultStatus(result) == PGRES_COPY_IN;
        if (!ok)
            m_error =
                QStringLiteral("COPY %1: %2")
                    .arg(QString::fromUtf8(table), QString::fromUtf8(PQresultErrorMessage(result)));
        PQclear(result);
        m_buffer.clear();
        return ok;
    }
    // Fields of one row; text is escaped for COPY's text format.
    CopyWriter& Field(const QByteArray& text)
    {
        Separator();
        for (char c : text) {
            if (c == '\\' || c == '\t' || c == '\n' || c == '\r')
                m_buffer.append('\\');
            m_buffer.append(c);
        }
        return *this;
    }
    CopyWriter& Field(int value)
    {
        Separator();
        m_buffer.append(Number(uint64_t(value)));
        return *this;
    }
    CopyWriter& NullField()
    {
        Separator();
        m_buffer.append("\\N");
        return *this;
    }
    bool EndRow()
    {
        m_buffer.append('\n');
        m_rowStarted = false;
        return m_buffer.size() < (1 << 20) || Flush();
    }
    bool End()
    {
        if (!Flush())
            return false;
        if (PQputCopyEnd(m_conn, nullptr) != 1)
            return Fail();
        PGresult* result = PQgetResult(m_conn);
        const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
        if (!ok)
            m_error = QString::fromUtf8(PQresultErrorMessage(result));
        PQclear(result);
        while ((result = PQgetResult(m_conn)))
            PQclear(result);
        return ok;
    }
    QString Error() const { return m_error; }

  private:
    void Separator()
    {
        if (m_rowStarted)
            m_buffer.append('\t');
        m_rowStarted = true;
    }
    bool Flush()
    {
        if (!m_buffer.isEmpty() &&
            PQputCopyData(m_conn, m_buffer.constData(), int(m_buffer.size())) != 1)
            return Fail();
        m_buffer.clear();
        return true;
    }
    bool Fail()
    {
        m_error = QString::fromUtf8(PQerrorMessage(m_conn));
        return false;
    }

    PGconn* m_conn;
    QByteArray m_buffer;
    bool m_rowStarted = false;
    QString m_error;
};

bool WritePostgresRows(const AccessData& data, const QString& schemaSql, CopyWriter& w)
{
    if (!w.Exec(schemaSql.toUtf8()) || !w.Exec("BEGIN"))
        return false;
    if (!w.Begin("Servers", "ProviderName, DomainName, Server, isDC, isOnline"))
        return false;
    for (const BenchServer& server : data.servers)
        if (!w.Field(kProviderName)
                 .Field(data.domainNames[server.domain])
                 .Field(server.name)
                 .Field(server.isDC ? 1 : 0)
                 .Field(1)
                 .EndRow())
            return false;
    if (!w.End())
        return false;
    std::vector<QByteArray> dcOf(data.domainNames.size());
    for (const BenchServer& server : data.servers)
        if (server.isDC)
            dcOf[server.domain] = server.name;
    if (!w.Begin("UserGroupList",
                 "SID, UserGroupName, DomainName, isGroup, hasAdminRights, DomainController"))
        return false;
    for (const BenchAccount& a : data.accounts) {
        w.Field(a.sid)
            .Field(a.name)
            .Field(a.domain < 0 ? QByteArray("BUILTIN") : data.domainNames[a.domain])
            .Field(a.isGroup ? 1 : 0)
            .Field(a.admin ? 1 : 0);
        if (a.domain < 0)
            w.NullField();
        else
            w.Field(dcOf[a.domain]);
        if (!w.EndRow())
            return false;
    }
    if (!w.End() || !w.Begin("User2Group", "UserGroupSID, GroupSID"))
        return false;
    for (const auto& [member, group] : data.memberships)
        if (!w.Field(PaddedSid(data.accounts[member].sid))
                 .Field(PaddedSid(data.accounts[group].sid))
                 .EndRow())
            return false;
    if (!w.End() || !w.Begin("ServerShares", "GUID, Server, Share, isIPC"))
        return false;
    for (int i = 0; i < int(data.shares.size()); ++i)
        if (!w.Field(data.ShareGuid(i))
                 .Field(data.servers[data.shares[i].server].name)
                 .Field(data.shares[i].name)
                 .Field(data.shares[i].isIPC ? 1 : 0)
                 .EndRow())
            return false;
    if (!w.End() || !w.Begin("ShareAccessList",
                             "ServerShareGUID, UserGroupSID, FullAccess, ChangeAccess, ReadAccess"))
        return false;
    for (const BenchShareEntry& e : data.shareEntries)
        if (!w.Field(data.ShareGuid(e.share))
                 .Field(data.accounts[e.account].sid)
                 .Field(e.full)
                 .Field(e.change)
                 .Field(e.read)
                 .EndRow())
            return false;
    if (!w.End() || !w.Begin("sharefolders", "GUID, ServerShareGUID, FolderName"))
        return false;
    for (int i = 0; i < int(data.folders.size()); ++i)
        if (!w.Field(data.FolderGuid(i))
                 .Field(data.ShareGuid(data.folders[i].share))
                 .Field(data.folders[i].path)
                 .EndRow())
            return false;
    if (!w.End() || !w.Begin("folderaccesslist",
                             "FolderGUID, UserGroupSID, ListDirectory, AddFile, "
                             "AddSubdirectory, Traverse, DeleteChild, _Delete, FullControl"))
        return false;
    int lastFolder = -1;
    QByteArray guid;
    for (const BenchFolderEntry& e : data.folderEntries) {
        if (e.folder != lastFolder)
            guid = data.FolderGuid(lastFolder = e.folder);
        w.Field(guid).Field(data.accounts[e.account].sid);
        for (int c = 0; c < 7; ++c)
            w.Field(e.values[c]);
        if (!w.EndRow())
            return false;
    }
    // Statistics as a server's autovacuum would soon have them.
    return w.End() && w.Exec("COMMIT") && w.Exec("ANALYZE");
}

} // namespace

namespace {

template <typename Work> bool WithPostgres(const QByteArray& conninfo, QString& error, Work work)
{
    PGconn* conn = PQconnectdb(conninfo.constData());
    if (PQstatus(conn) != CONNECTION_OK) {
        error = QStringLiteral("Cannot connect to PostgreSQL: %1")
                    .arg(QString::fromUtf8(PQerrorMessage(conn)).trimmed());
        PQfinish(conn);
        return false;
    }
    CopyWriter writer(conn);
    const bool ok = writer.Exec("SET client_min_messages = warning") && work(writer);
    if (!ok)
        error = QStringLiteral("PostgreSQL: %1").arg(writer.Error().trimmed());
    PQfinish(conn);
    return ok;
}

} // namespace

bool WritePostgres(const AccessData& data, const QByteArray& conninfo, const QString& schemaSql,
                   QString& error)
{
    return WithPostgres(conninfo, error, [&](CopyWriter& writer) {
        return WritePostgresRows(data, schemaSql, writer);
    });
}

bool ExecPostgres(const QByteArray& conninfo, const QString& sql, QString& error)
{
    return WithPostgres(conninfo, error,
                        [&](CopyWriter& writer) { return writer.Exec(sql.toUtf8()); });
}

} // namespace velmora::bench
