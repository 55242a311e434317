#include "platform/Security.h"

#include "platform/Network.h"
#include "platform/OsError.h"

#include <QStringList>
#include <utility>

namespace velmora::platform {

namespace {

constexpr qsizetype kSidHeaderSize = 8;
constexpr uint8_t kSidRevision = 1;
constexpr uint8_t kMaxSubAuthorities = 15;
constexpr uint64_t kMaxAuthority = 0xFFFFFFFFFFFFull;

constexpr qsizetype kAclHeaderSize = 8;
constexpr uint8_t kAclRevision = 2;
constexpr uint8_t kMinAclRevision = 2;
constexpr uint8_t kMaxAclRevision = 4;

constexpr qsizetype kAceHeaderSize = 4;
constexpr qsizetype kAceFixedSize = 8; // header and mask
constexpr uint8_t kLastTypeWithSidAfterMask = 3;

constexpr qsizetype kDescriptorHeaderSize = 20;
constexpr uint8_t kDescriptorRevision = 1;
constexpr uint16_t kSeSaclPresent = 0x0010;
constexpr uint16_t kSeOwnerDefaulted = 0x0001;
constexpr uint16_t kSeGroupDefaulted = 0x0002;

// Every read goes through these: the caller has checked the range first.
uint8_t Byte(QByteArrayView b, qsizetype at)
{
    return static_cast<uint8_t>(b[at]);
}
uint16_t Le16(QByteArrayView b, qsizetype at)
{
    return static_cast<uint16_t>(Byte(b, at) | (Byte(b, at + 1) << 8));
}
uint32_t Le32(QByteArrayView b, qsizetype at)
{
    return static_cast<uint32_t>(Byte(b, at)) | (static_cast<uint32_t>(Byte(b, at + 1)) << 8) |
           (static_cast<uint32_t>(Byte(b, at + 2)) << 16) |
           (static_cast<uint32_t>(Byte(b, at + 3)) << 24);
}

void PutLe16(QByteArray& out, uint16_t v)
{
    out.append(static_cast<char>(v & 0xFF));
    out.append(static_cast<char>(v >> 8));
}
void PutLe32(QByteArray& out, uint32_t v)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.append(static_cast<char>((v >> shift) & 0xFF));
}
void SetLe32(QByteArray& out, qsizetype at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
void PadTo4(QByteArray& out)
{
    while (out.size() % 4 != 0)
        out.append('\0');
}

bool Fail(uint32_t code)
{
    SetOsLastError(code);
    return false;
}

// The length of the SID at the start of `bytes`, or 0 when they do not hold a whole one.
qsizetype SidLength(QByteArrayView bytes)
{
    if (bytes.size() < kSidHeaderSize || Byte(bytes, 0) != kSidRevision)
        return 0;
    const uint8_t count = Byte(bytes, 1);
    if (count > kMaxSubAuthorities)
        return 0;
    const qsizetype length = kSidHeaderSize + 4 * qsizetype(count);
    return bytes.size() < length ? 0 : length;
}

// --- ACL walking, shared by GetAclInformation, GetAce and IsValidAcl ---------------------

// The list's own bytes when its header is sound, else a null view (last error set).
QByteArrayView AclBytes(QByteArrayView acl)
{
    if (acl.size() < kAclHeaderSize) {
        SetOsLastError(kErrorInvalidAcl);
        return {};
    }
    const uint8_t revision = Byte(acl, 0);
    const uint16_t size = Le16(acl, 2);
    if (revision < kMinAclRevision || revision > kMaxAclRevision || size < kAclHeaderSize ||
        size % 4 != 0 || size > acl.size()) {
        SetOsLastError(kErrorInvalidAcl);
        return {};
    }
    return acl.first(size);
}

// The size of the entry starting at `at`, or 0 when it does not fit the list: its header
// must be readable, it must hold at least a mask, keep the 4-byte alignment and end inside
// the list. A size of 0 would otherwise make every later entry the same one.
qsizetype EntrySize(QByteArrayView list, qsizetype at)
{
    if (list.size() - at < kAceHeaderSize)
        return 0;
    const qsizetype size = Le16(list, at + 2);
    if (size < kAceFixedSize || size % 4 != 0 || size > list.size() - at)
        return 0;
    return size;
}

// Reads the entry at `at` whose size is known to fit; false when its content is not
// what its type requires.
bool ReadEntry(QByteArrayView list, qsizetype at, qsizetype size, AceView& ace)
{
    const QByteArrayView entry = list.sliced(at, size);
    const QByteArrayView rest = entry.sliced(kAceFixedSize);
    const qsizetype sidLength = SidLength(rest);
    const uint8_t type = Byte(entry, 0);
    if (type <= kLastTypeWithSidAfterMask && sidLength == 0)
        return false;
    ace.type = type;
    ace.flags = Byte(entry, 1);
    ace.size = static_cast<uint16_t>(size);
    ace.mask = Le32(entry, 4);
    ace.sid = sidLength == 0 ? QByteArrayView() : rest.first(sidLength);
    return true;
}

// --- descriptor parts ------------------------------------------------------------------

bool DescriptorHeader(QByteArrayView sd, uint16_t& control)
{
    if (sd.size() < kDescriptorHeaderSize || Byte(sd, 0) != kDescriptorRevision)
        return Fail(kErrorInvalidSecurityDescr);
    control = Le16(sd, 2);
    // A buffer can only carry the self-relative form; the absolute one holds pointers.
    if ((control & kSeSelfRelative) == 0)
        return Fail(kErrorInvalidSecurityDescr);
    return true;
}

// The bytes from a part's offset to the end of the descriptor; false when the offset
// points into the header, past the end, or off the 4-byte alignment the parts keep.
bool PartFrom(QByteArrayView sd, uint32_t offset, qsizetype minimum, QByteArrayView& part)
{
    if (offset < kDescriptorHeaderSize || offset % 4 != 0 || offset >= uint32_t(sd.size()) ||
        sd.size() - qsizetype(offset) < minimum)
        return Fail(kErrorInvalidSecurityDescr);
    part = sd.sliced(offset);
    return true;
}

// Owner (header offset 4) or group (8).
bool SidPart(QByteArrayView sd, qsizetype offsetAt, uint16_t defaultedBit, QByteArrayView& sid,
             bool& defaulted)
{
    uint16_t control = 0;
    if (!DescriptorHeader(sd, control))
        return false;
    const uint32_t offset = Le32(sd, offsetAt);
    sid = {};
    defaulted = (control & defaultedBit) != 0;
    if (offset == 0)
        return true;
    QByteArrayView rest;
    if (!PartFrom(sd, offset, kSidHeaderSize, rest))
        return false;
    if (Byte(rest, 0) != kSidRevision || Byte(rest, 1) > kMaxSubAuthorities)
        return Fail(kErrorInvalidSid);
    const qsizetype length = SidLength(rest);
    if (length == 0) // the sub-authorities run past the end of the descriptor
        return Fail(kErrorInvalidSecurityDescr);
    sid = rest.first(length);
    return true;
}

// DACL (header offset 16, present bit 0x0004) or SACL (12, 0x0010).
bool AclPart(QByteArrayView sd, qsizetype offsetAt, uint16_t presentBit, bool& present,
             QByteArrayView& acl, bool& defaulted)
{
    uint16_t control = 0;
    if (!DescriptorHeader(sd, control))
        return false;
    present = (control & presentBit) != 0;
    acl = {};
    defaulted = present && (control & kSeDaclDefaulted) != 0;
    if (!present)
        return true;
    const uint32_t offset = Le32(sd, offsetAt);
    if (offset == 0)
        return true; // a null list
    QByteArrayView rest;
    if (!PartFrom(sd, offset, kAclHeaderSize, rest))
        return false;
    const uint16_t size = Le16(rest, 2);
    if (size < kAclHeaderSize || size > rest.size())
        return Fail(kErrorInvalidSecurityDescr);
    acl = rest.first(size);
    return true;
}

} // namespace

// --- SIDs -------------------------------------------------------------------------------

bool IsValidSid(QByteArrayView sid)
{
    if (SidLength(sid) == 0)
        return Fail(kErrorInvalidSid);
    return true;
}

uint32_t GetLengthSid(QByteArrayView sid)
{
    const qsizetype length = SidLength(sid);
    if (length == 0)
        SetOsLastError(kErrorInvalidSid);
    return static_cast<uint32_t>(length);
}

bool GetSidSubAuthorityCount(QByteArrayView sid, uint8_t& count)
{
    if (!IsValidSid(sid))
        return false;
    count = Byte(sid, 1);
    return true;
}

bool GetSidSubAuthority(QByteArrayView sid, uint32_t index, uint32_t& value)
{
    if (!IsValidSid(sid))
        return false;
    if (index >= Byte(sid, 1))
        return Fail(kErrorInvalidParameter);
    value = Le32(sid, kSidHeaderSize + 4 * qsizetype(index));
    return true;
}

bool GetSidIdentifierAuthority(QByteArrayView sid, uint64_t& authority)
{
    if (!IsValidSid(sid))
        return false;
    authority = 0;
    for (qsizetype i = 2; i < kSidHeaderSize; ++i)
        authority = (authority << 8) | Byte(sid, i);
    return true;
}

uint8_t GetSidRevision(QByteArrayView sid)
{
    if (sid.isEmpty()) {
        SetOsLastError(kErrorInvalidSid);
        return 0;
    }
    return Byte(sid, 0);
}

QByteArray SidFromText(const QString& text)
{
    const QStringList parts = text.split(QLatin1Char('-'));
    // "S", the revision, the authority and up to 15 sub-authorities.
    if (parts.size() < 3 || parts.size() > 3 + kMaxSubAuthorities ||
        parts[0].compare(QLatin1String("S"), Qt::CaseInsensitive) != 0)
        return {};
    // Decimal digits only: toULongLong alone would take blanks and a sign.
    const auto number = [](const QString& part, uint64_t max, uint64_t& value) {
        if (part.isEmpty())
            return false;
        for (const QChar c : part) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
        }
        bool ok = false;
        value = part.toULongLong(&ok, 10);
        return ok && value <= max;
    };
    uint64_t revision = 0;
    uint64_t authority = 0;
    if (!number(parts[1], 0xFF, revision) || revision != kSidRevision ||
        !number(parts[2], kMaxAuthority, authority))
        return {};
    QByteArray sid;
    sid.append(static_cast<char>(revision));
    sid.append(static_cast<char>(parts.size() - 3));
    for (int shift = 40; shift >= 0; shift -= 8)
        sid.append(static_cast<char>((authority >> shift) & 0xFF));
    for (qsizetype i = 3; i < parts.size(); ++i) {
        uint64_t sub = 0;
        if (!number(parts[i], 0xFFFFFFFFu, sub))
            return {};
        PutLe32(sid, static_cast<uint32_t>(sub));
    }
    return sid;
}

QString SidToString(QByteArrayView sid)
{
    uint64_t authority = 0;
    if (!GetSidIdentifierAuthority(sid, authority))
        return {};
    QString text = QStringLiteral("S-%1-%2").arg(uint(Byte(sid, 0))).arg(authority);
    const uint8_t count = Byte(sid, 1);
    for (qsizetype i = 0; i < count; ++i)
        text += QLatin1Char('-') + QString::number(Le32(sid, kSidHeaderSize + 4 * i));
    return text;
}

// --- ACLs -------------------------------------------------------------------------------

bool IsValidAcl(QByteArrayView acl)
{
    const QByteArrayView list = AclBytes(acl);
    if (list.isNull())
        return false;
    const uint16_t count = Le16(list, 4);
    qsizetype at = kAclHeaderSize;
    for (uint16_t i = 0; i < count; ++i) {
        const qsizetype size = EntrySize(list, at);
        AceView ace;
        if (size == 0 || !ReadEntry(list, at, size, ace))
            return Fail(kErrorInvalidAcl);
        at += size;
    }
    return true;
}

bool GetAclInformation(QByteArrayView acl, AclSizeInformation& info)
{
    const QByteArrayView list = AclBytes(acl);
    if (list.isNull())
        return false;
    const uint16_t count = Le16(list, 4);
    qsizetype at = kAclHeaderSize;
    for (uint16_t i = 0; i < count; ++i) {
        const qsizetype size = EntrySize(list, at);
        if (size == 0)
            break;
        at += size;
    }
    info.aceCount = count;
    info.aclBytesInUse = static_cast<uint32_t>(at);
    info.aclBytesFree = static_cast<uint32_t>(list.size() - at);
    return true;
}

bool GetAce(QByteArrayView acl, uint32_t index, AceView& ace)
{
    const QByteArrayView list = AclBytes(acl);
    if (list.isNull())
        return false;
    if (index >= Le16(list, 4))
        return Fail(kErrorInvalidParameter);
    qsizetype at = kAclHeaderSize;
    for (uint32_t i = 0;; ++i) {
        const qsizetype size = EntrySize(list, at);
        if (size == 0)
            return Fail(kErrorInvalidAcl);
        if (i == index) {
            if (!ReadEntry(list, at, size, ace))
                return Fail(kErrorInvalidAcl);
            return true;
        }
        at += size;
    }
}

// --- Security descriptors ---------------------------------------------------------------

bool IsValidSecurityDescriptor(QByteArrayView descriptor)
{
    QByteArrayView part;
    bool present = false;
    bool defaulted = false;
    if (!GetSecurityDescriptorOwner(descriptor, part, defaulted) ||
        !GetSecurityDescriptorGroup(descriptor, part, defaulted))
        return false;
    for (const auto& [offsetAt, bit] : {std::pair<qsizetype, uint16_t>{16, kSeDaclPresent},
                                        std::pair<qsizetype, uint16_t>{12, kSeSaclPresent}}) {
        if (!AclPart(descriptor, offsetAt, bit, present, part, defaulted))
            return false;
        if (!part.isNull() && !IsValidAcl(part))
            return false;
    }
    return true;
}

bool GetSecurityDescriptorDacl(QByteArrayView descriptor, bool& present, QByteArrayView& dacl,
                               bool& defaulted)
{
    return AclPart(descriptor, 16, kSeDaclPresent, present, dacl, defaulted);
}

bool GetSecurityDescriptorOwner(QByteArrayView descriptor, QByteArrayView& owner, bool& defaulted)
{
    return SidPart(descriptor, 4, kSeOwnerDefaulted, owner, defaulted);
}

bool GetSecurityDescriptorGroup(QByteArrayView descriptor, QByteArrayView& group, bool& defaulted)
{
    return SidPart(descriptor, 8, kSeGroupDefaulted, group, defaulted);
}

bool GetSecurityDescriptorControl(QByteArrayView descriptor, uint16_t& control, uint32_t& revision)
{
    uint16_t value = 0;
    if (!DescriptorHeader(descriptor, value))
        return false;
    control = value;
    revision = Byte(descriptor, 0);
    return true;
}

// --- Building ---------------------------------------------------------------------------

QByteArray BuildAcl(const QList<AceSpec>& entries)
{
    if (entries.size() > 0xFFFF)
        return {};
    QByteArray acl;
    acl.append(static_cast<char>(kAclRevision));
    acl.append('\0');
    PutLe16(acl, 0); // size, set below
    PutLe16(acl, static_cast<uint16_t>(entries.size()));
    PutLe16(acl, 0);
    for (const AceSpec& spec : entries) {
        const qsizetype start = acl.size();
        const qsizetype size = (kAceFixedSize + spec.sid.size() + 3) / 4 * 4;
        if (size > 0xFFFF)
            return {};
        acl.append(static_cast<char>(spec.type));
        acl.append(static_cast<char>(spec.flags));
        PutLe16(acl, static_cast<uint16_t>(size));
        PutLe32(acl, spec.mask);
        acl.append(spec.sid);
        PadTo4(acl);
        Q_ASSERT(acl.size() - start == size);
    }
    if (acl.size() > 0xFFFF)
        return {};
    acl[2] = static_cast<char>(acl.size() & 0xFF);
    acl[3] = static_cast<char>(acl.size() >> 8);
    return acl;
}

QByteArray BuildSecurityDescriptor(const QByteArray& owner, const QByteArray& group, DaclKind kind,
                                   const QList<AceSpec>& entries)
{
    QByteArray dacl;
    if (kind == DaclKind::List) {
        dacl = BuildAcl(entries);
        if (dacl.isEmpty())
            return {};
    }
    QByteArray sd;
    sd.append(static_cast<char>(kDescriptorRevision));
    sd.append('\0');
    PutLe16(sd, kSeSelfRelative | (kind == DaclKind::Absent ? 0 : kSeDaclPresent));
    for (int i = 0; i < 4; ++i)
        PutLe32(sd, 0); // owner, group, SACL, DACL offsets, set below
    const auto place = [&sd](qsizetype offsetAt, const QByteArray& part) {
        if (part.isEmpty())
            return;
        SetLe32(sd, offsetAt, static_cast<uint32_t>(sd.size()));
        sd.append(part);
        PadTo4(sd);
    };
    place(4, owner);
    place(8, group);
    place(16, dacl);
    return sd;
}

} // namespace velmora::platform
