#pragma once
// Security identifiers, access control lists and security descriptors in the binary
// self-relative form that the wire carries. The accessors read a descriptor handed over by
// a backend exactly as the platform's calls would, but every read is bounded by the
// buffer: a malformed descriptor (offsets or lengths outside the buffer, entry counts
// larger than the list, truncated SIDs) gives false and the thread's last error
// (87 invalid parameter, 1336 invalid ACL, 1337 invalid SID, 1338 invalid descriptor),
// never a read out of bounds.

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
uint8_t GetSidRevision(QByteArrayView sid);

// "S-1-5-21-..." to binary; empty for a text that is not a SID.
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

bool IsValidAcl(QByteArrayView acl);
bool GetAclInformation(QByteArrayView acl, AclSizeInformation& info);
// Entry `index` (from 0); false for an index past the count or an entry that does not fit.
bool GetAce(QByteArrayView acl, uint32_t index, AceView& ace);

// --- Security descriptors ---------------------------------------------------------------

bool IsValidSecurityDescriptor(QByteArrayView descriptor);
// present false: no DACL. present true with a null `dacl` (dacl.data() == nullptr): a
// null DACL, which grants everyone everything.
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

// A self-relative descriptor: owner, group (either may be empty), and the DACL.
QByteArray BuildSecurityDescriptor(const QByteArray& owner, const QByteArray& group, DaclKind kind,
                                   const QList<AceSpec>& entries = {});
QByteArray BuildAcl(const QList<AceSpec>& entries);

} // namespace velmora::platform
