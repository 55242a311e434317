#pragma once
// The lab file: a whole simulated network in one JSON document (format "velmora-lab/1").
// LabFile reads it into a LabModel and checks every field on the way: an unknown field, a
// value of the wrong type or a name that refers to nothing refuses the whole file with one
// message naming the file and the place (JSON path, or line and column for a syntax error),
// so that a typo never silently changes a test.
//
// The model keeps everything the file says, with the format's defaults filled in, so the
// lab backend can answer every call from it. It is a plain value: no behaviour lives here.
//
// Besides the fields of format version 1, a machine may give a "comment" (what server
// enumeration and server information answer) and a domain an "extended_error" for its
// open_error 1208, as a provider can.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

class QIODevice;

namespace velmora::platform::lab {

inline constexpr char kLabFormat[] = "velmora-lab/1";

// Defaults that a file may leave out.
inline constexpr uint32_t kDefaultServerType = 0x00009003u; // NT server
inline constexpr uint32_t kDefaultRttMs = 1;
inline constexpr char kDefaultLocalComputer[] = "ADMINPC";
inline constexpr char kDefaultLocalUser[] = "LAB\\Administrator";
inline constexpr char kDefaultWorkgroup[] = "WORKGROUP";
inline constexpr char kAdministratorsSid[] = "S-1-5-32-544";

// Folder attribute bits, as the file system reports them.
enum : uint32_t
{
    kAttributeReadOnly = 0x00000001u,
    kAttributeHidden = 0x00000002u,
    kAttributeSystem = 0x00000004u,
    kAttributeDirectory = 0x00000010u,
    kAttributeArchive = 0x00000020u,
    kAttributeReparsePoint = 0x00000400u,
};

// ACE header flags.
enum : uint8_t
{
    kAceObjectInherit = 0x01,
    kAceContainerInherit = 0x02,
    kAceNoPropagate = 0x04,
    kAceInheritOnly = 0x08,
    kAceInherited = 0x10,
};

// ACE types that have names in the file; any other byte may be written as a number.
enum : uint8_t
{
    kAceAllow = 0,
    kAceDeny = 1,
    kAceAudit = 2,
};

// "Returns n entries/items, then fails with code".
struct ErrorAfter
{
    uint32_t count = 0;
    uint32_t code = 0;
};

struct ExtendedError
{
    uint32_t code = 0;
    QString text;
    QString provider; // empty: the name of the provider that failed
};

enum class AccountKind
{
    User,
    Group,
    Alias,
    WellKnown,
    Trust
};

struct Account
{
    QString name;
    QString sid;                 // whole SID: as written, or the domain SID + "-" + rid
    std::optional<uint32_t> rid; // set when the file gave a rid
    AccountKind kind = AccountKind::User;
    QStringList groups;                    // direct global groups, in the controller's order
    bool lookupFails = false;              // "lookup": "fails"
    std::optional<AccountKind> lookupKind; // "lookup": a kind reported instead of `kind`
};

struct Domain
{
    QString name;
    QString sid;         // empty: a workgroup
    QStringList servers; // as written (a name may carry leading backslashes)
    std::optional<uint32_t> openError;
    std::optional<ExtendedError> extendedError; // for openError 1208
    std::optional<ErrorAfter> enumErrorAfter;
    std::vector<Account> accounts;
};

struct Provider
{
    QString name;
    uint32_t type = 0;
    QStringList domains; // names; those not in the model's domains are bare containers
    std::optional<uint32_t> openError;
    std::optional<ExtendedError> extendedError; // for openError 1208
};

struct Ace
{
    uint8_t type = kAceAllow;
    QString sid; // empty when rawSid is given
    std::optional<QByteArray> rawSid;
    uint32_t mask = 0;
    uint8_t flags = 0;
};

enum class DaclForm
{
    List,   // a DACL with the entries of `dacl` (possibly none)
    Null,   // a null DACL: everyone has full access
    Absent, // no DACL present
};

// Copies share their text and entries (implicitly shared Qt containers): the reader gives
// folders with the same descriptor one stored copy, which keeps large generated trees small.
struct SecurityDescriptor
{
    QString owner; // empty: no owner
    QString group; // empty: no group
    DaclForm daclForm = DaclForm::List;
    QList<Ace> dacl;
};

struct Folder
{
    QString name; // empty for a share root or a drive root
    uint32_t attributes = kAttributeDirectory;
    // The descriptor the folder answers; when the file gives none, an empty DACL owned by
    // BUILTIN\Administrators. Unused when sdError is set.
    SecurityDescriptor sd;
    std::optional<uint32_t> sdError;   // reading the descriptor fails with this code
    std::optional<uint32_t> listError; // listing the folder fails with this code
    std::vector<Folder> folders;
    QStringList files;
    QString link; // non-empty: a junction to this path ("\A\B") of its tree
};

struct Share
{
    QString name;
    uint32_t type = 0;
    std::optional<SecurityDescriptor> sd; // none: no descriptor returned
    std::optional<Folder> root;           // none: the root cannot be listed
};

enum class RegValueKind
{
    Sz,
    ExpandSz,
    Dword,
    Binary
};

struct RegValue
{
    RegValueKind kind = RegValueKind::Sz;
    QString text;       // Sz, ExpandSz
    uint32_t dword = 0; // Dword
    QByteArray binary;  // Binary
};

enum class RegistryAccess
{
    Open,
    Refused,
    Unreachable
};

struct Registry
{
    RegistryAccess access = RegistryAccess::Open;
    // hive ("HKLM", "HKU") -> key path -> value name -> value. A key with no values is
    // present with an empty map.
    QMap<QString, QMap<QString, QMap<QString, RegValue>>> hives;
};

struct Ping
{
    bool reply = true;
    uint32_t rttMs = kDefaultRttMs; // when reply
    uint32_t status = 0;            // when no reply (an IP status, 11010 timed out, ...)
};

struct Credential
{
    QString user;     // "DOMAIN\name"
    QString password; // null: the associated-password marker; empty: blank
};

struct PrimaryDomain
{
    QString name;
    QString sid; // empty: not a domain member
};

struct Machine
{
    QString name;
    QString domain;
    QString comment;
    uint32_t type = kDefaultServerType;
    std::optional<uint32_t> typeError;
    std::optional<uint32_t> address; // IPv4 in host order (10.0.0.1 is 0x0A000001)
    Ping ping;
    bool admitsAnyone = true; // "admits": "*"
    QStringList admits;       // "DOMAIN\name" identities when not admitsAnyone
    std::vector<Credential> credentials;
    std::optional<uint32_t> connectError;
    std::optional<uint32_t> shareEnumError;
    std::optional<ErrorAfter> userEnumErrorAfter;
    std::vector<Share> shares;
    Registry registry;
    QMap<QString, bool> services; // name -> running
    QMap<QString, Folder> drives; // drive letter ("C") -> root folder
    PrimaryDomain primaryDomain;
};

struct Local
{
    QString computer = QString::fromLatin1(kDefaultLocalComputer);
    QString user = QString::fromLatin1(kDefaultLocalUser);
    PrimaryDomain primaryDomain{QString::fromLatin1(kDefaultWorkgroup), QString()};
    Registry registry;
    QMap<QString, Folder> files; // drive letter -> root folder
};

struct LabModel
{
    QString fileName;      // as given to the reader, for messages
    bool realtime = false; // ping times are slept, not only reported
    Local local;
    std::vector<Provider> providers;
    std::vector<Domain> domains;
    std::vector<Machine> machines;

    // Look-ups by name, without regard to case. A machine name may carry leading
    // backslashes. nullptr when there is no such entry.
    const Provider* FindProvider(const QString& name) const;
    const Domain* FindDomain(const QString& name) const;
    const Machine* FindMachine(const QString& name) const;
    const Machine* FindMachineByAddress(uint32_t address) const;

    // Rebuilds the look-up indexes; the reader calls it, code that edits the vectors must.
    void Reindex();

  private:
    QHash<QString, int> m_providerIndex;
    QHash<QString, int> m_domainIndex;
    QHash<QString, int> m_machineIndex;
    QHash<uint32_t, int> m_addressIndex;
};

// Removes two leading backslashes ("\\SRV" -> "SRV"); other names are returned unchanged.
QString StripServerPrefix(const QString& name);

// Dotted IPv4 text <-> address in host order. ParseIpv4Text accepts exactly four decimal
// octets.
bool ParseIpv4Text(const QString& text, uint32_t& address);
QString Ipv4Text(uint32_t address);

class LabFile
{
  public:
    // Reads and checks a lab file. On failure returns nothing and sets `error` to one line:
    // lab file "PATH": PLACE: REASON.
    static std::optional<LabModel> Read(const QString& path, QString& error);
    // The same from a device (already open for reading); `fileName` is used in messages.
    static std::optional<LabModel> Read(QIODevice& device, const QString& fileName, QString& error);
    static std::optional<LabModel> Parse(const QByteArray& json, const QString& fileName,
                                         QString& error);
};

} // namespace velmora::platform::lab
