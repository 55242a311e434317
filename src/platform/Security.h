#pragma once
// Security identifiers, access control lists and security descriptors in the binary
// self-relative form that the wire carries. The accessors read a descriptor handed over by
// a backend exactly as the platform's calls would, but every read is bounded by the
// buffer: a malformed descriptor (offsets or lengths outside the buffer, entry counts
// larger than the list, truncated SIDs) gives false and the thread's last error
// (87 invalid parameter, 1336 invalid ACL, 1337 invalid SID, 1338 invalid descriptor),
// never a read out of bounds.
//
// What counts as malformed, and which error it gives:
// - 1338, the descriptor: shorter than its 20-byte header, a revision other than 1, no
//   self-relative bit (a buffer cannot carry the absolute form, which holds pointers), or
//   a part that does not lie inside the buffer: an offset into the header, past the end or
//   off the 4-byte alignment the platform keeps, an owner or group whose sub-authorities
//   run past the end, a list whose header or stated size runs past the end.
// - 1337, a SID: revision other than 1, more than 15 sub-authorities, or (for the SID
//   functions) fewer bytes than the count needs.
// - 1336, a list: revision outside 2..4, a stated size below 8, not a multiple of 4 or
//   larger than the bytes given, or an entry that does not fit: header past the list's
//   size, entry size below 8 or not a multiple of 4 (a size of 0 would make every later
//   entry the same one), or, for allow, deny, audit and alarm entries (types 0 to 3), no
//   whole SID after the mask.
// - 87: an index past the count (GetAce, GetSidSubAuthority).
// Bytes after a list's stated size, or after a SID's last sub-authority, are ignored.

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <cstdint>

namespace velmora::platform {

enum : uint32_t {
    kErrorInvalidAcl = 1336,
    kErrorInvalidSid = 1337,
    kErrorInvalidSecurityDescr = 1338,
};

// ACE types and header flags.
enum : uint8_t {
    kAccessAllowedAceType = 0,
    kAccessDeniedAceType = 1,
    kSystemAuditAceType = 2,
    kObjectInheritAce = 0x01,
    kContainerInheritAce = 0x02,
    kNoPropagateInheritAce = 0x04,
    kInheritOnlyAce = 0x08,
    kInheritedAce = 0x10,
};

// Security descriptor control bits.
enum : uint16_t {
    kSeDaclPresent = 0x0004,
    kSeDaclDefaulted = 0x0008,
    kSeSelfRelative = 0x8000,
};

// --- SIDs -------------------------------------------------------------------------------

// True when the bytes hold a whole SID: revision 1, at most 15 sub-authorities, and the
// buffer at least as long as the count says.
bool IsValidSid(QByteArrayView sid);
// 8 + 4 x count; 0 for an invalid SID.
uint32_t GetLengthSid(QByteArrayView sid);
bool GetSidSubAuthorityCount(QByteArrayView sid, uint8_t& count);
bool GetSidSubAuthority(QByteArrayView sid, uint32_t index, uint32_t& value);
// The six-byte identifier authority, big-endian.
bool GetSidIdentifierAuthority(QByteArrayView sid, uint64_t& authority);
// The first byte, whether or not the rest is a valid SID; 0 for an empty view.
uint8_t GetSidRevision(QByteArrayView sid);

// "S-1-5-21-..." to binary; empty for a text that is not a SID. Takes revision 1, a
// decimal authority below 2^48 and 0 to 15 decimal sub-authorities below 2^32; no blanks,
// signs or empty parts. "s-" is taken as "S-".
QByteArray SidFromText(const QString& text);
// Binary to "S-1-..." (authority as the decimal value of its six bytes); empty if invalid.
QString SidToString(QByteArrayView sid);

// --- ACLs -------------------------------------------------------------------------------

struct AclSizeInformation
{
    uint32_t aceCount = 0;
    uint32_t aclBytesInUse = 0;
    uint32_t aclBytesFree = 0;
};

struct AceView
{
    uint8_t type = 0;
    uint8_t flags = 0;
    uint16_t size = 0;
    uint32_t mask = 0;
    QByteArrayView sid; // inside the descriptor's buffer
};

// The header is sound and every entry the count announces fits.
bool IsValidAcl(QByteArrayView acl);
// Checks the header only. aceCount is the count the header states, even when fewer entries
// fit (as the platform reports it); aclBytesInUse runs to the end of the last of those
// entries that fits, walking from the first. A caller that asks GetAce for each index then
// skips exactly the entries that do not fit.
bool GetAclInformation(QByteArrayView acl, AclSizeInformation& info);
// Entry `index` (from 0); false for an index past the count (87) or when this entry or one
// before it does not fit (1336). For types 0 to 3 `sid` is the SID after the mask; for
// other types it is that SID when the bytes there hold one, else a null view.
bool GetAce(QByteArrayView acl, uint32_t index, AceView& ace);

// --- Security descriptors ---------------------------------------------------------------

// Checks the header, both SIDs and both lists with everything in them.
bool IsValidSecurityDescriptor(QByteArrayView descriptor);
// present false: no DACL. present true with a null `dacl` (dacl.data() == nullptr): a
// null DACL, which grants everyone everything. Otherwise `dacl` covers exactly the list's
// stated size; its content is left to GetAclInformation and GetAce, so a list with one bad
// entry still yields its good ones.
bool GetSecurityDescriptorDacl(QByteArrayView descriptor, bool& present, QByteArrayView& dacl,
                               bool& defaulted);
// A null `owner` when the descriptor has none.
bool GetSecurityDescriptorOwner(QByteArrayView descriptor, QByteArrayView& owner, bool& defaulted);
bool GetSecurityDescriptorGroup(QByteArrayView descriptor, QByteArrayView& group, bool& defaulted);
bool GetSecurityDescriptorControl(QByteArrayView descriptor, uint16_t& control, uint32_t& revision);

// --- Building (backends and tests) -----------------------------------------------------

struct AceSpec
{
    uint8_t type = kAccessAllowedAceType;
    uint8_t flags = 0;
    uint32_t mask = 0;
    QByteArray sid; // binary
};

enum class DaclKind { Absent, Null, List };

// A self-relative descriptor: owner, group (either may be empty), and the DACL, laid out
// in that order after the header, each part padded to 4 bytes. Absent: no DACL-present
// bit; Null: the bit with a DACL offset of 0; List: the bit and `entries` (none gives an
// empty list). The parts are copied as given, so tests can build malformed ones. Empty
// when the list would exceed 65535 bytes.
QByteArray BuildSecurityDescriptor(const QByteArray& owner, const QByteArray& group, DaclKind kind,
                                   const QList<AceSpec>& entries = {});
// A revision-2 list; each entry's size is 8 plus its SID, rounded up to 4 bytes.
QByteArray BuildAcl(const QList<AceSpec>& entries);

} // namespace velmora::platform
