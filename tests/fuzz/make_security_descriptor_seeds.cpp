// Writes the seed descriptors of fuzz_security_descriptor into the folder given:
//   make_security_descriptor_seeds tests/fuzz/corpus/security_descriptor
// Built on demand only; the seeds it wrote are kept with the sources.

#include "platform/Security.h"

#include <QDir>
#include <QFile>
#include <QString>
#include <cstdio>

using namespace velmora::platform;

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    const auto sid = [](const char* text) { return SidFromText(QString::fromLatin1(text)); };
    const QByteArray admins = sid("S-1-5-32-544");
    const QByteArray system = sid("S-1-5-18");
    const QByteArray domainAdmins = sid("S-1-5-21-1004336348-1177238915-682003330-512");

    const struct
    {
        const char* name;
        QByteArray descriptor;
    } seeds[] = {
        {"share_two_entries",
         BuildSecurityDescriptor(admins, system, DaclKind::List,
                                 {{kAccessAllowedAceType, 0, 0x001200A9, sid("S-1-1-0")},
                                  {kAccessDeniedAceType, 0, 0x001301BF, sid("S-1-5-32-545")}})},
        {"null_dacl", BuildSecurityDescriptor(admins, {}, DaclKind::Null)},
        {"no_dacl", BuildSecurityDescriptor({}, {}, DaclKind::Absent)},
        {"empty_dacl", BuildSecurityDescriptor(domainAdmins, system, DaclKind::List)},
        {"folder_inherited",
         BuildSecurityDescriptor(
             {}, {}, DaclKind::List,
             {{kAccessAllowedAceType, kObjectInheritAce | kContainerInheritAce, 0x001F01FF, admins},
              {kAccessAllowedAceType, kInheritedAce | kInheritOnlyAce, 0x000F01FF, domainAdmins},
              {kAccessDeniedAceType, kNoPropagateInheritAce, 0x00010000,
               sid("S-1-5-21-1-2-3-4-5-6-7-8-9-10-11-12-13-4294967295")},
              {kSystemAuditAceType, 0, 0x80000000u, sid("S-1-281474976710655")}})},
        {"other_entry_types",
         BuildSecurityDescriptor(
             system, admins, DaclKind::List,
             {{5, 0, 0x100, QByteArray::fromHex("03000000") + QByteArray(16, 'g')},
              {0x11, 0, 1, sid("S-1-16-12288")}})},
    };
    for (const auto& seed : seeds) {
        QFile file(folder.filePath(QString::fromLatin1(seed.name)));
        if (!file.open(QIODevice::WriteOnly) ||
            file.write(seed.descriptor) != seed.descriptor.size()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
            return 1;
        }
    }
    return 0;
}
