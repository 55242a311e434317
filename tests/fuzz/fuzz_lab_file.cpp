// Feeds arbitrary bytes to the lab file reader: it must refuse what it cannot use with a
// message, never crash or read out of bounds.

#include "platform/lab/LabFile.h"

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray json(reinterpret_cast<const char*>(data), qsizetype(size));
    QString error;
    const auto model =
        velmora::platform::lab::LabFile::Parse(json, QStringLiteral("fuzz.json"), error);
    // A refusal always says why.
    if (!model && error.isEmpty())
        abort();
    return 0;
}
