#include "platform/lab/LabGenerator.h"

#include "platform/lab/LabFile.h"

#include <QByteArray>
#include <QIODevice>
#include <QSet>
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <vector>

namespace velmora::platform::lab {

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
    uint32_t Below(uint32_t n) { return uint32_t(((Next() >> 32) * uint64_t(n)) >> 32); }
    bool Percent(uint32_t percent) { return Below(100) < percent; }

  private:
    uint64_t m_state;
};

// Buffered output that hands the device large pieces.
class Out
{
  public:
    explicit Out(QIODevice& device) : m_device(device) { m_buffer.reserve(kChunk + 4096); }

    Out& operator<<(const char* text)
    {
        m_buffer.append(text);
        Check();
        return *this;
    }
    Out& operator<<(char ch)
    {
        m_buffer.append(ch);
        return *this;
    }
    Out& operator<<(const QByteArray& text)
    {
        m_buffer.append(text);
        Check();
        return *this;
    }
    Out& Number(uint64_t value)
    {
        char digits[24];
        const auto result = std::to_chars(digits, digits + sizeof digits, value);
        m_buffer.append(digits, result.ptr - digits);
        return *this;
    }
    Out& Hex(uint32_t value)
    {
        char digits[11] = {'0', 'x'};
        static const char kHex[] = "0123456789ABCDEF";
        for (int i = 0; i < 8; ++i)
            digits[2 + i] = kHex[(value >> (28 - 4 * i)) & 0xF];
        m_buffer.append(digits, 10);
        return *this;
    }
    // A JSON string; the generator's texts need only backslashes and quotes escaped.
    Out& Text(const QByteArray& text)
    {
        m_buffer.append('"');
        for (const char ch : text) {
            if (ch == '\\' || ch == '"')
                m_buffer.append('\\');
            m_buffer.append(ch);
        }
        m_buffer.append('"');
        Check();
        return *this;
    }
    bool Finish()
    {
        Flush();
        return m_ok;
    }

  private:
    static constexpr qsizetype kChunk = 1 << 20;

    void Check()
    {
        if (m_buffer.size() >= kChunk)
            Flush();
    }
    void Flush()
    {
        if (m_ok && !m_buffer.isEmpty() && m_device.write(m_buffer) != m_buffer.size())
            m_ok = false;
        m_buffer.clear();
    }

    QIODevice& m_device;
    QByteArray m_buffer;
    bool m_ok = true;
};

constexpr const char* kDomainNames[] = {"CORP",   "SALES", "RESEARCH", "FINANCE", "LOGISTICS",
                                        "EUROPE", "ASIA",  "PLANT",    "RETAIL",  "SERVICE"};
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
constexpr const char* kFileNames[] = {"report.docx", "budget.xlsx", "notes.txt",
                                      "minutes.doc", "scan.pdf",    "plan.pptx"};

// The i-th of n names starting at `start`; past the list, names get a number (Pick).
size_t Rotated(size_t start, size_t i, size_t n)
{
    return i < n ? (start + i) % n : i;
}

template <size_t N> QByteArray Pick(const char* const (&list)[N], size_t index)
{
    QByteArray name(list[index % N]);
    if (index >= N)
        name += ' ' + QByteArray::number(qulonglong(index / N + 1));
    return name;
}

constexpr uint32_t kRead = 0x001200A9u;
constexpr uint32_t kChange = 0x001301BFu;
constexpr uint32_t kFull = 0x001F01FFu;
constexpr uint32_t kDelete = 0x00010000u;

const QByteArray kEveryone("S-1-1-0");
const QByteArray kAuthenticatedUsers("S-1-5-11");
const QByteArray kSystem("S-1-5-18");
const QByteArray kAdministrators("S-1-5-32-544");

struct Entry
{
    bool deny = false;
    QByteArray sid;
    uint32_t mask = 0;
    bool inherited = false;
};

struct DomainPlan
{
    QByteArray name;
    QByteArray sid;
    std::vector<QByteArray> groups; // departmental groups, rid 1100 + i
    std::vector<QByteArray> users;  // rid 2000 + i
    std::vector<QByteArray> servers;

    QByteArray Sid(uint32_t rid) const { return sid + '-' + QByteArray::number(rid); }
};

class Generator
{
  public:
    Generator(const LabGeneratorOptions& options, Out& out)
        : m_options(options), m_random(options.seed), m_out(out)
    {
    }

    void Run()
    {
        Plan();
        m_out << "{\n  \"format\": \"velmora-lab/1\",\n";
        const DomainPlan& first = m_domains.front();
        m_out << "  \"local\": { \"computer\": \"ADMINPC\", \"user\": ";
        m_out.Text(first.name + "\\Administrator");
        m_out << ", \"primary_domain\": { \"name\": ";
        m_out.Text(first.name) << ", \"sid\": ";
        m_out.Text(first.sid) << " } },\n";
        m_out << "  \"providers\": [\n    { \"name\": \"Microsoft Windows Network\", "
                 "\"type\": \"0x00020000\", \"domains\": [";
        for (size_t d = 0; d < m_domains.size(); ++d)
            (d ? m_out << ", " : m_out).Text(m_domains[d].name);
        m_out << ", \"WORKGROUP\"] },\n    { \"name\": \"Web Client Network\", "
                 "\"type\": \"0x002E0000\", \"open_error\": 1222 }\n  ],\n";
        WriteDomains();
        WriteMachines();
        m_out << "}\n";
    }

  private:
    void Plan()
    {
        for (int d = 0; d < m_options.domains; ++d) {
            DomainPlan domain;
            domain.name = Pick(kDomainNames, size_t(d));
            domain.name.replace(' ', '-');
            domain.sid = "S-1-5-21-" + QByteArray::number(1000000000 + m_random.Below(1000000000)) +
                         '-' + QByteArray::number(1000000000 + m_random.Below(1000000000)) + '-' +
                         QByteArray::number(1000000000 + m_random.Below(1000000000));
            for (int g = 0; g < m_options.groups; ++g)
                domain.groups.push_back(Pick(kGroupNames, size_t(g)));
            QSet<QByteArray> taken{"administrator", "guest", "krbtgt", "svc_audit", "svc_backup"};
            for (int u = 0; u < m_options.users; ++u) {
                const QByteArray first(kFirstNames[m_random.Below(std::size(kFirstNames))]);
                const QByteArray last(kLastNames[m_random.Below(std::size(kLastNames))]);
                QByteArray name = first.left(1) + last;
                for (int n = 2; taken.contains(name); ++n)
                    name = first.left(1) + last + QByteArray::number(n);
                taken.insert(name);
                domain.users.push_back(name);
            }
            m_domains.push_back(std::move(domain));
        }
        for (int s = 0; s < m_options.servers; ++s) {
            DomainPlan& domain = m_domains[size_t(s) % m_domains.size()];
            char number[8];
            std::snprintf(number, sizeof number, "%03d", int(domain.servers.size() + 1));
            domain.servers.push_back(domain.name + "-FS" + number);
        }
    }

    void WriteDomains()
    {
        m_out << "  \"domains\": [\n";
        for (size_t d = 0; d < m_domains.size(); ++d) {
            const DomainPlan& domain = m_domains[d];
            m_out << "    { \"name\": ";
            m_out.Text(domain.name) << ", \"sid\": ";
            m_out.Text(domain.sid) << ",\n      \"servers\": [";
            m_out.Text(domain.name + "-DC1");
            // Browse order: the controller, the members, the workstations.
            for (const QByteArray& server : domain.servers) {
                m_out << ", ";
                m_out.Text(server);
            }
            for (int w = 0; w < Workstations(); ++w) {
                m_out << ", ";
                m_out.Text(Workstation(domain, w));
            }
            m_out << "],\n      \"accounts\": [\n";
            m_firstAccount = true;
            WriteAccounts(d);
            m_out << "      ] },\n";
        }
        m_out << "    { \"name\": \"WORKGROUP\", \"servers\": [\"KIOSK01\"] }\n  ],\n";
    }

    int Workstations() const { return m_options.servers >= 20 ? 2 : 1; }

    static QByteArray Workstation(const DomainPlan& domain, int index)
    {
        return domain.name + "-WS" + QByteArray::number(101 + index);
    }

    void Account(const QByteArray& name, uint32_t rid, const char* kind,
                 const std::vector<QByteArray>& groups)
    {
        m_out << (m_firstAccount ? "        { \"name\": " : ",\n        { \"name\": ");
        m_firstAccount = false;
        m_out.Text(name) << ", \"rid\": ";
        m_out.Number(rid) << ", \"kind\": \"" << kind << '"';
        if (!groups.empty()) {
            m_out << ", \"groups\": [";
            for (size_t i = 0; i < groups.size(); ++i)
                (i ? m_out << ", " : m_out).Text(groups[i]);
            m_out << ']';
        }
        m_out << " }";
    }

    void WriteAccounts(size_t d)
    {
        const DomainPlan& domain = m_domains[d];
        const QByteArray admins("Domain Admins");
        const QByteArray users("Domain Users");
        Account("Administrator", 500, "user", {admins, users});
        Account("Guest", 501, "user", {"Domain Guests"});
        Account("krbtgt", 502, "user", {users});
        Account("svc_audit", 1001, "user", {users});
        Account("svc_backup", 1002, "user", {users});
        Account(admins, 512, "group", {});
        Account(users, 513, "group", {});
        Account("Domain Guests", 514, "group", {});
        for (size_t g = 0; g < domain.groups.size(); ++g) {
            // Some groups nest in an earlier one (never in themselves, so no circles).
            std::vector<QByteArray> parents;
            if (g > 0 && m_random.Percent(20))
                parents.push_back(domain.groups[m_random.Below(uint32_t(g))]);
            Account(domain.groups[g], uint32_t(1100 + g), "group", parents);
        }
        for (size_t u = 0; u < domain.users.size(); ++u) {
            std::vector<QByteArray> groups;
            if (m_random.Percent(4))
                groups.push_back(admins);
            groups.push_back(users);
            if (!domain.groups.empty()) {
                const uint32_t count = m_random.Below(4);
                for (uint32_t i = 0; i < count; ++i) {
                    const QByteArray& group =
                        domain.groups[m_random.Below(uint32_t(domain.groups.size()))];
                    if (std::find(groups.begin(), groups.end(), group) == groups.end())
                        groups.push_back(group);
                }
            }
            Account(domain.users[u], uint32_t(2000 + u), "user", groups);
        }
        // The trust accounts of the other domains.
        for (size_t o = 0; o < m_domains.size(); ++o) {
            if (o != d)
                Account(m_domains[o].name + '$', uint32_t(3000 + o), "trust", {});
        }
        m_out << "\n";
    }

    // --- machines --------------------------------------------------------------------------

    void WriteMachines()
    {
        m_out << "  \"machines\": [\n";
        for (const DomainPlan& domain : m_domains) {
            WriteController(domain);
            for (size_t s = 0; s < domain.servers.size(); ++s)
                WriteServer(domain, s);
            for (int w = 0; w < Workstations(); ++w) {
                m_out << "    { \"name\": ";
                m_out.Text(Workstation(domain, w)) << ", \"domain\": ";
                m_out.Text(domain.name) << ", \"type\": \"0x00001003\" },\n";
            }
        }
        m_out << "    { \"name\": \"KIOSK01\", \"domain\": \"WORKGROUP\", "
                 "\"comment\": \"Lobby kiosk\" }\n  ]\n";
    }

    void WriteController(const DomainPlan& domain)
    {
        m_out << "    { \"name\": ";
        m_out.Text(domain.name + "-DC1") << ", \"domain\": ";
        m_out.Text(domain.name) << ", \"type\": \"0x0000102B\", "
                                   "\"comment\": \"Primary domain controller\",\n"
                                   "      \"services\": { \"RemoteRegistry\": \"running\", "
                                   "\"Netlogon\": \"running\" },\n      \"shares\": [\n";
        m_out << "        { \"name\": \"IPC$\", \"type\": \"0x80000003\" },\n"
                 "        { \"name\": \"ADMIN$\", \"type\": \"0x80000000\" },\n";
        for (const char* share : {"NETLOGON", "SYSVOL"}) {
            m_out << "        { \"name\": \"" << share
                  << "\", \"sd\": { \"owner\": \"S-1-5-32-544\", \"dacl\": ["
                     "{ \"type\": \"allow\", \"sid\": \"S-1-1-0\", \"mask\": \"0x001200A9\" }, "
                     "{ \"type\": \"allow\", \"sid\": \"S-1-5-32-544\", \"mask\": "
                     "\"0x001F01FF\" }] },\n          \"root\": { \"folders\": [ "
                     "{ \"name\": \"scripts\" } ] } }"
                  << (share[0] == 'N' ? ",\n" : "\n");
        }
        m_out << "      ] },\n";
    }

    void WriteServer(const DomainPlan& domain, size_t index)
    {
        const QByteArray& name = domain.servers[index];
        m_out << "    { \"name\": ";
        m_out.Text(name) << ", \"domain\": ";
        m_out.Text(domain.name);
        const bool printServer = index % 10 == 9;
        m_out << ", \"comment\": \"" << (printServer ? "Print and file server" : "File server")
              << '"';
        const uint32_t roll = m_random.Below(100);
        if (roll < 3) {
            m_out << ",\n      \"ping\": { \"reply\": false, \"status\": 11010 }";
        } else if (roll < 6) {
            m_out << ",\n      \"admits\": [";
            m_out.Text(domain.name + "\\svc_backup") << "], \"credentials\": [ { \"user\": ";
            m_out.Text(domain.name + "\\svc_audit") << ", \"password\": \"Audit-";
            m_out.Number(m_random.Below(9000) + 1000) << "\" } ]";
        }
        m_out << ",\n      \"services\": { \"LanmanServer\": \"running\""
              << (printServer ? ", \"Spooler\": \"running\"" : "") << " },\n";
        m_out << "      \"drives\": { \"C\": { \"folders\": [ { \"name\": \"WINDOWS\", "
                 "\"attributes\": [\"system\"] }, { \"name\": \"Program Files\" } ] } },\n";
        m_out << "      \"shares\": [\n"
                 "        { \"name\": \"IPC$\", \"type\": \"0x80000003\" },\n"
                 "        { \"name\": \"ADMIN$\", \"type\": \"0x80000000\" },\n"
                 "        { \"name\": \"C$\", \"type\": \"0x80000000\" }";
        if (printServer) {
            m_out << ",\n        { \"name\": \"print$\", \"sd\": { \"dacl\": [ "
                     "{ \"type\": \"allow\", \"sid\": \"S-1-1-0\", \"mask\": \"0x001200A9\" }, "
                     "{ \"type\": \"allow\", \"sid\": \"S-1-5-32-550\", \"mask\": "
                     "\"0x001F01FF\" } ] }, \"root\": { \"folders\": [ { \"name\": \"W32X86\" "
                     "} ] } },\n        { \"name\": \"Printer-";
            m_out.Number(index + 1) << "\", \"type\": 1, \"sd\": { \"dacl\": [ { \"type\": "
                                       "\"allow\", \"sid\": \"S-1-1-0\", \"mask\": "
                                       "\"0x00020008\" } ] } }";
        }
        const uint32_t offset = m_random.Below(std::size(kShareNames));
        for (int s = 0; s < m_options.shares; ++s) {
            m_out << ",\n        { \"name\": ";
            m_out.Text(Pick(kShareNames, Rotated(offset, size_t(s), std::size(kShareNames))));
            m_out << ", ";
            WriteShareDescriptor(domain);
            m_out << ",\n          \"root\": ";
            std::vector<Entry> rootEntries{{false, kAdministrators, kFull, false},
                                           {false, kSystem, kFull, false}};
            for (int e = 0; e < m_options.entries; ++e)
                rootEntries.push_back(RandomEntry(domain));
            WriteFolder(domain, QByteArray(), rootEntries, 0, 10);
            m_out << " }";
        }
        m_out << "\n      ] },\n";
    }

    void WriteShareDescriptor(const DomainPlan& domain)
    {
        const uint32_t roll = m_random.Below(100);
        if (roll < 2) {
            m_out << "\"sd\": \"none\"";
            return;
        }
        if (roll < 6) {
            m_out << "\"sd\": { \"owner\": \"S-1-5-32-544\", \"dacl\": null }";
            return;
        }
        if (roll < 8) {
            m_out << "\"sd\": { \"owner\": \"S-1-5-32-544\", \"dacl\": [] }";
            return;
        }
        std::vector<Entry> entries;
        if (roll < 45) {
            entries.push_back({false, kEveryone, kFull, false});
        } else if (roll < 75) {
            entries.push_back({false, kEveryone, kRead, false});
            entries.push_back({false, domain.Sid(513), kChange, false});
        } else {
            if (!domain.groups.empty())
                entries.push_back(
                    {false, domain.Sid(1100 + m_random.Below(uint32_t(domain.groups.size()))),
                     kFull, false});
            entries.push_back({false, kAdministrators, kFull, false});
        }
        if (m_random.Percent(6) && !domain.users.empty())
            entries.insert(entries.begin(),
                           {true, domain.Sid(2000 + m_random.Below(uint32_t(domain.users.size()))),
                            kChange, false});
        m_out << "\"sd\": { \"owner\": \"S-1-5-32-544\", \"dacl\": [";
        for (size_t i = 0; i < entries.size(); ++i) {
            m_out << (i ? ", " : " ") << "{ \"type\": \"" << (entries[i].deny ? "deny" : "allow")
                  << "\", \"sid\": ";
            m_out.Text(entries[i].sid) << ", \"mask\": \"";
            m_out.Hex(entries[i].mask) << "\" }";
        }
        m_out << " ] }";
    }

    Entry RandomEntry(const DomainPlan& domain)
    {
        Entry entry;
        const uint32_t who = m_random.Below(100);
        if (who < 25)
            entry.sid = domain.Sid(513);
        else if (who < 40)
            entry.sid = kEveryone;
        else if (who < 45)
            entry.sid = kAuthenticatedUsers;
        else if (who < 78 && !domain.groups.empty())
            entry.sid = domain.Sid(1100 + m_random.Below(uint32_t(domain.groups.size())));
        else if (who < 90 && !domain.users.empty())
            entry.sid = domain.Sid(2000 + m_random.Below(uint32_t(domain.users.size())));
        else // an account deleted since, or one of a domain nobody scans
            entry.sid = domain.Sid(9000 + m_random.Below(1000));
        const uint32_t what = m_random.Below(100);
        entry.mask = what < 50 ? kRead : what < 80 ? kChange : kFull;
        if (m_random.Percent(5)) {
            entry.deny = true;
            entry.mask = m_random.Percent(50) ? kDelete : kChange;
        }
        return entry;
    }

    // A folder and everything below it. `entries` is its DACL.
    void WriteFolder(const DomainPlan& domain, const QByteArray& name,
                     const std::vector<Entry>& entries, int level, int indent)
    {
        const QByteArray pad(indent, ' ');
        m_out << "{ ";
        if (!name.isEmpty()) {
            m_out << "\"name\": ";
            m_out.Text(name) << ", ";
        }
        if (level > 0 && m_random.Percent(1))
            m_out << "\"attributes\": [\"hidden\"], ";
        if (level > 0 && m_random.Percent(1)) {
            m_out << "\"list_error\": 5, ";
        }
        if (level > 0 && m_random.Below(200) == 0) {
            m_out << "\"sd\": { \"error\": 5 }";
        } else {
            m_out << "\"sd\": { \"owner\": \"S-1-5-32-544\", \"dacl\": [";
            for (size_t i = 0; i < entries.size(); ++i) {
                const Entry& entry = entries[i];
                m_out << (i ? ",\n" : "\n") << pad << "  { \"type\": \""
                      << (entry.deny ? "deny" : "allow") << "\", \"sid\": ";
                m_out.Text(entry.sid) << ", \"mask\": \"";
                m_out.Hex(entry.mask) << "\", \"flags\": [\"object_inherit\", "
                                         "\"container_inherit\""
                                      << (entry.inherited ? ", \"inherited\"]" : "]") << " }";
            }
            m_out << " ] }";
        }
        const uint32_t files = m_random.Below(3);
        if (files > 0) {
            m_out << ", \"files\": [";
            const uint32_t first = m_random.Below(std::size(kFileNames));
            for (uint32_t f = 0; f < files; ++f)
                (f ? m_out << ", " : m_out)
                    .Text(Pick(kFileNames, (first + f) % std::size(kFileNames)));
            m_out << ']';
        }
        if (level < m_options.depth && m_options.fanout > 0) {
            m_out << ",\n" << pad << "\"folders\": [\n";
            const uint32_t start = m_random.Below(std::size(kFolderNames));
            for (int c = 0; c < m_options.fanout; ++c) {
                const size_t index = Rotated(start, size_t(c), std::size(kFolderNames));
                m_out << pad << "  ";
                WriteFolder(domain, Pick(kFolderNames, index), ChildEntries(domain, entries),
                            level + 1, indent + 2);
                m_out << (c + 1 < m_options.fanout ? ",\n" : "\n");
            }
            m_out << pad << ']';
        }
        m_out << " }";
    }

    // Most folders inherit everything; some add an entry of their own; some break
    // inheritance and start over. Explicit entries come before inherited ones.
    std::vector<Entry> ChildEntries(const DomainPlan& domain, const std::vector<Entry>& parent)
    {
        std::vector<Entry> entries;
        const uint32_t roll = m_random.Below(100);
        if (roll < 8) {
            entries.push_back({false, kAdministrators, kFull, false});
            for (int e = 0; e < m_options.entries; ++e)
                entries.push_back(RandomEntry(domain));
            return entries;
        }
        if (roll < 20)
            entries.push_back(RandomEntry(domain));
        for (Entry entry : parent) {
            entry.inherited = true;
            entries.push_back(std::move(entry));
        }
        return entries;
    }

    const LabGeneratorOptions& m_options;
    Random m_random;
    Out& m_out;
    std::vector<DomainPlan> m_domains;
    bool m_firstAccount = true;
};

} // namespace

bool CheckLabGeneratorOptions(const LabGeneratorOptions& options, QString& error)
{
    const struct
    {
        const char* name;
        int value;
        int low;
        int high;
    } limits[] = {
        {"domains", options.domains, 1, 100}, {"servers", options.servers, 0, 100000},
        {"users", options.users, 0, 1000000}, {"groups", options.groups, 0, 100000},
        {"shares", options.shares, 0, 100},   {"depth", options.depth, 0, 30},
        {"fanout", options.fanout, 0, 1000},  {"entries", options.entries, 0, 100},
    };
    for (const auto& limit : limits) {
        if (limit.value < limit.low || limit.value > limit.high) {
            error = QStringLiteral("%1 must be from %2 to %3, not %4")
                        .arg(QString::fromLatin1(limit.name))
                        .arg(limit.low)
                        .arg(limit.high)
                        .arg(limit.value);
            return false;
        }
    }
    return true;
}

bool GenerateLab(const LabGeneratorOptions& options, QIODevice& device, QString& error)
{
    if (!CheckLabGeneratorOptions(options, error))
        return false;
    Out out(device);
    Generator(options, out).Run();
    if (!out.Finish()) {
        error = QStringLiteral("writing the lab file failed: ") + device.errorString();
        return false;
    }
    return true;
}

} // namespace velmora::platform::lab
