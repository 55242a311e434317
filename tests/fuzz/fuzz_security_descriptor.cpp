// Feeds arbitrary bytes to every descriptor accessor, the way the share and folder scans
// read a descriptor that a server handed over, and checks that each view handed back lies
// inside the input. A read outside it is AddressSanitizer's to catch.

#include "platform/Security.h"

#include <QByteArray>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace velmora::platform;

namespace {

void Check(bool condition)
{
    if (!condition)
        abort();
}

void CheckInside(QByteArrayView part, QByteArrayView whole)
{
    if (part.isNull())
        return;
    Check(part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

void ReadSid(QByteArrayView sid, QByteArrayView whole)
{
    CheckInside(sid, whole);
    const QString text = SidToString(sid);
    Check(text.isEmpty() != IsValidSid(sid));
    if (text.isEmpty())
        return;
    // Whatever prints as a SID reads back as the same SID.
    Check(SidFromText(text) == sid.first(GetLengthSid(sid)).toByteArray());
    uint8_t count = 0;
    Check(GetSidSubAuthorityCount(sid, count));
    uint32_t value = 0;
    for (uint32_t i = 0; i < count; ++i)
        Check(GetSidSubAuthority(sid, i, value));
    Check(!GetSidSubAuthority(sid, count, value));
}

void ReadAcl(QByteArrayView acl, QByteArrayView whole)
{
    CheckInside(acl, whole);
    const bool valid = IsValidAcl(acl);
    AclSizeInformation info;
    if (!GetAclInformation(acl, info)) {
        Check(!valid);
        return;
    }
    Check(info.aclBytesInUse + info.aclBytesFree <= uint32_t(acl.size()));
    for (uint32_t i = 0; i < info.aceCount; ++i) {
        AceView ace;
        const bool read = GetAce(acl, i, ace);
        Check(read || !valid);
        if (read) {
            Check(ace.size >= 8);
            ReadSid(ace.sid, acl);
        }
    }
    AceView ace;
    Check(!GetAce(acl, info.aceCount, ace));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A copy of exactly the input's length, so a read one past its end is caught.
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const QByteArrayView sd(bytes);

    IsValidSecurityDescriptor(sd);
    uint16_t control = 0;
    uint32_t revision = 0;
    GetSecurityDescriptorControl(sd, control, revision);

    QByteArrayView part;
    bool defaulted = false;
    if (GetSecurityDescriptorOwner(sd, part, defaulted))
        ReadSid(part, sd);
    if (GetSecurityDescriptorGroup(sd, part, defaulted))
        ReadSid(part, sd);
    bool present = false;
    if (GetSecurityDescriptorDacl(sd, present, part, defaulted) && !part.isNull())
        ReadAcl(part, sd);

    // The same bytes taken as a bare list and as a bare SID.
    ReadAcl(sd, sd);
    ReadSid(sd, sd);
    return 0;
}
